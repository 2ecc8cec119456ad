#include "update/net/packed_layout.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr uint8_t kFormat = 1;
constexpr size_t kTableHead = 1 + 1 + 2 + 4 + 8 + 16;
// A gzip member holds at least its 10-byte header, an empty deflate block and its trailer.
constexpr uint64_t kMinMember = 18;
// Members bigger than this are not what the publishing tool writes.
constexpr uint64_t kMaxMemberSize = 64u << 20;

uint64_t Little(const unsigned char* p, size_t bytes) {
    uint64_t v = 0;
    for (size_t i = bytes; i-- > 0;)
        v = (v << 8) | p[i];
    return v;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool SameDigest(const unsigned char* raw, const std::string& hex) {
    if (hex.size() != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        const int high = HexDigit(hex[2 * i]), low = HexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0 || raw[i] != static_cast<unsigned char>(high * 16 + low))
            return false;
    }
    return true;
}

} // namespace

bool ParsePackedLayout(std::string_view head, const ManifestEntry& entry, PackedLayout* layout) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(head.data());
    if (head.size() < 12 || bytes[0] != 0x1f || bytes[1] != 0x8b || bytes[2] != 8 ||
        (bytes[3] & 0x04) == 0 || entry.size <= 0 || entry.packedSize <= 0) {
        return false;
    }
    const size_t extraLength = static_cast<size_t>(Little(bytes + 10, 2));
    if (head.size() < 12 + extraLength) return false;
    const uint64_t size = static_cast<uint64_t>(entry.size);
    const uint64_t packed = static_cast<uint64_t>(entry.packedSize);
    for (size_t at = 12; at + 4 <= 12 + extraLength;) {
        const size_t length = static_cast<size_t>(Little(bytes + at + 2, 2));
        const unsigned char* data = bytes + at + 4;
        const bool ours = bytes[at] == 'Z' && bytes[at + 1] == 'M';
        at += 4 + length;
        if (at > 12 + extraLength) return false;
        if (!ours) continue;
        if (length < kTableHead || (length - kTableHead) % 4 != 0 || data[0] != kFormat)
            return false;
        const uint64_t member = Little(data + 4, 4);
        const size_t count = (length - kTableHead) / 4;
        if (member == 0 || member > kMaxMemberSize || Little(data + 8, 8) != size ||
            !SameDigest(data + 16, entry.hash) || count != (size + member - 1) / member) {
            return false;
        }
        layout->memberSize = member;
        layout->memberStart.assign(1, 0);
        for (size_t i = 0; i < count; ++i) {
            const uint64_t bytesOfMember = Little(data + kTableHead + 4 * i, 4);
            const uint64_t start = layout->memberStart.back();
            // The first member holds this header; none may reach past the copy.
            if (bytesOfMember < (i == 0 ? 12 + extraLength + 8 : kMinMember) ||
                bytesOfMember > packed - start)
                return false;
            layout->memberStart.push_back(start + bytesOfMember);
        }
        return layout->memberStart.back() == packed;
    }
    return false;
}

LayoutFetch FetchPackedLayout(const ManifestEntry& entry, const std::wstring& url,
                              PackedLayout* layout, int32_t* status) {
    int32_t answer = 0;
    const uint64_t packed = static_cast<uint64_t>(std::max<int64_t>(0, entry.packedSize));
    const uint64_t headSize = std::min(kPackedHeadMax, packed);
    std::string head;
    const RangeFetch fetched = FetchRanges(
        url, {{0, headSize}}, packed,
        [&](uint64_t, const char* data, size_t size) {
            head.append(data, size);
            return head.size() <= headSize;
        },
        &answer);
    if (status) *status = answer;
    switch (fetched) {
    case RangeFetch::Done:
        return ParsePackedLayout(head, entry, layout) ? LayoutFetch::Found : LayoutFetch::Unusable;
    case RangeFetch::NotHonoured:
        return answer == 200 ? LayoutFetch::NoRanges : LayoutFetch::Unusable;
    case RangeFetch::Failed:
        break;
    }
    return answer == 0 || answer == 206 ? LayoutFetch::NoAnswer : LayoutFetch::Unusable;
}

std::vector<Piece> PackedPieces(const PackedLayout& layout, uint64_t size, uint64_t rawBegin,
                                uint64_t pieceSize, uint64_t tailBytes) {
    std::vector<Piece> pieces;
    const size_t count = layout.memberStart.size() - 1;
    const size_t bulk = static_cast<size_t>(std::max<uint64_t>(1, pieceSize / layout.memberSize));
    for (size_t i = static_cast<size_t>(rawBegin / layout.memberSize); i < count;) {
        const uint64_t rawAt = i * layout.memberSize;
        const size_t take = std::min(count - i, size - rawAt > tailBytes ? bulk : size_t{1});
        pieces.push_back({{layout.memberStart[i], layout.memberStart[i + take]},
                          {rawAt, std::min(size, (i + take) * layout.memberSize)}});
        i += take;
    }
    return pieces;
}

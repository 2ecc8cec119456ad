// Compressed copies as the publishing tool writes them, for tests: gzip members of
// memberSize raw bytes each, one after the other (the member table is left out; the launcher
// reads the members as they come).
#pragma once

#include <zlib.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace test {

inline std::string GzipMember(const std::string& raw, int level = 9,
                              const std::string& extra = "") {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    gz_header header;
    std::memset(&header, 0, sizeof header);
    header.os = 255;
    if (!extra.empty()) {
        header.extra = reinterpret_cast<Bytef*>(const_cast<char*>(extra.data()));
        header.extra_len = static_cast<uInt>(extra.size());
    }
    deflateSetHeader(&z, &header);
    std::string out(deflateBound(&z, static_cast<uLong>(raw.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline std::string GzipMembers(const std::string& raw, size_t memberSize = 1 << 20) {
    if (raw.empty()) return GzipMember(raw);
    std::string out;
    for (size_t at = 0; at < raw.size(); at += memberSize)
        out += GzipMember(raw.substr(at, memberSize));
    return out;
}

inline void PutLittle(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xff);
}

// The copy as the publishing tool writes it: members of memberSize raw bytes, the first one's
// header carrying the "ZM" table (raw size, MD5, each member's length). lengths, when given,
// replaces the table's lengths (a hostile table).
inline std::string GzipCopyWithTable(const std::string& raw, const std::string& md5Hex,
                                     size_t memberSize = 1 << 20,
                                     const std::vector<uint32_t>* lengths = nullptr) {
    std::vector<std::string> members;
    for (size_t at = 0; at < raw.size(); at += memberSize)
        members.push_back(GzipMember(raw.substr(at, memberSize)));
    const auto extraWith = [&](const std::vector<uint32_t>& table) {
        std::string data;
        PutLittle(data, 1, 4); // format 1, reserved
        PutLittle(data, memberSize, 4);
        PutLittle(data, raw.size(), 8);
        for (size_t i = 0; i < 16; ++i)
            data += static_cast<char>(std::stoi(md5Hex.substr(2 * i, 2), nullptr, 16));
        for (uint32_t length : table)
            PutLittle(data, length, 4);
        std::string extra = "ZM";
        PutLittle(extra, data.size(), 2);
        return extra + data;
    };
    std::vector<uint32_t> table(members.size(), 0);
    // The first member's length with the table in its header: the table's size is known.
    members[0] = GzipMember(raw.substr(0, memberSize), 9, extraWith(table));
    for (size_t i = 0; i < members.size(); ++i)
        table[i] = static_cast<uint32_t>(members[i].size());
    members[0] = GzipMember(raw.substr(0, memberSize), 9, extraWith(lengths ? *lengths : table));
    std::string out;
    for (const std::string& m : members)
        out += m;
    return out;
}

// Bytes that deflate shrinks several times, as text and code do: words from a small
// vocabulary picked by a seeded generator.
inline std::string CompressibleBytes(size_t count, uint32_t seed) {
    static const char* const kWords[] = {
        "launcher ", "texture=", "0x3f800000 ", "{\"id\": ", "return ",
        "player_",   "\n",       "sound/",      "1024, ",    "if ("};
    std::string out;
    out.reserve(count + 16);
    uint32_t x = seed * 2654435761u + 1;
    while (out.size() < count) {
        x = x * 1664525u + 1013904223u;
        out += kWords[(x >> 16) % 10];
        if ((x & 0xff) < 8) out += static_cast<char>('a' + (x >> 8) % 26);
    }
    out.resize(count);
    return out;
}

} // namespace test

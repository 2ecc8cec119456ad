// The inflater of compressed copies: random mixes of compressible and incompressible bytes in
// members of every size, fed in every split, give the raw bytes exactly; a stream cut short,
// damaged, followed by foreign bytes or inflating past its limit is refused, and nothing past
// the limit ever reaches the sink.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "support/gzip_copy.h"
#include "support/test_support.h"
#include "update/net/gzip_members.h"
#include "update/net/packed_layout.h"

namespace {

struct Fed {
    std::string out;
    bool fedAll = true;
    bool complete = false;
    bool broken = false;
};

// Feeds stream in pieces of random sizes (up to maxPiece) to an inflater bounded by limit.
Fed Inflate(const std::string& stream, uint64_t limit, std::mt19937& rng, size_t maxPiece) {
    Fed fed;
    GzipMembersInflater inflater(limit, [&](const char* data, size_t size) {
        fed.out.append(data, size);
        return true;
    });
    for (size_t at = 0; at < stream.size() && fed.fedAll;) {
        const size_t piece = std::min(stream.size() - at, 1 + rng() % maxPiece);
        fed.fedAll = inflater.Feed(stream.data() + at, piece);
        at += piece;
    }
    fed.complete = inflater.Complete();
    fed.broken = inflater.Broken();
    EXPECT_EQ(inflater.RawBytes(), fed.out.size());
    return fed;
}

std::string Mixed(std::mt19937& rng, size_t size) {
    std::string raw;
    while (raw.size() < size) {
        const size_t run = std::min(size - raw.size(), size_t{1} + rng() % 300000);
        raw += rng() % 2 ? test::CompressibleBytes(run, rng()) : test::RandomBytes(run, rng());
    }
    return raw;
}

TEST(GzipMembers, MixedContentInMembersOfEverySizeInflatesByteForByteInEverySplit) {
    std::mt19937 rng(2401);
    for (int round = 0; round < 12; ++round) {
        const size_t size = round == 0 ? 1 : rng() % (3 << 20);
        const std::string raw = Mixed(rng, size);
        const size_t member = size_t{1} << (10 + rng() % 11); // 1 KiB to 1 MiB
        const std::string stream = test::GzipMembers(raw, member);
        SCOPED_TRACE("size " + std::to_string(size) + ", member " + std::to_string(member));
        const Fed fed = Inflate(stream, raw.size(), rng, round % 2 ? 7 : 400000);
        EXPECT_TRUE(fed.fedAll);
        EXPECT_TRUE(fed.complete);
        EXPECT_TRUE(fed.out == raw);
    }
}

TEST(GzipMembers, DamagedCutOrTrailedStreamsAreRefused) {
    std::mt19937 rng(2402);
    const std::string raw = Mixed(rng, 700000);
    const std::string stream = test::GzipMembers(raw, 200000);

    // Cut anywhere, even right after a member: never complete.
    for (size_t cut : {size_t{5}, stream.size() / 3, stream.size() - 1}) {
        const Fed fed = Inflate(stream.substr(0, cut), raw.size(), rng, 5000);
        EXPECT_FALSE(fed.complete) << "cut at " << cut;
        EXPECT_TRUE(raw.compare(0, fed.out.size(), fed.out) == 0);
    }
    // A flipped byte is refused (data, length or checksum), unless it lies in a header field
    // that says nothing about the data (date, system): then the bytes still come out right.
    int refused = 0;
    for (int i = 0; i < 20; ++i) {
        std::string damaged = stream;
        damaged[rng() % damaged.size()] ^= static_cast<char>(1 + rng() % 255);
        const Fed fed = Inflate(damaged, raw.size(), rng, 5000);
        if (fed.complete) {
            EXPECT_TRUE(fed.out == raw) << "flip " << i;
        } else {
            ++refused;
        }
    }
    EXPECT_GE(refused, 18);
    // Bytes after the last member that start no member.
    const Fed trailed = Inflate(stream + "not gzip", raw.size(), rng, 5000);
    EXPECT_TRUE(trailed.broken);
    EXPECT_FALSE(trailed.complete);
    // Not gzip at all.
    EXPECT_TRUE(Inflate(raw.substr(0, 1000), raw.size(), rng, 5000).broken);
}

TEST(GzipMembers, AStreamInflatingPastItsLimitNeverHandsOnAByteBeyondIt) {
    std::mt19937 rng(2403);
    // 64 MiB of zeros deflate to about 64 KiB: a small hostile copy for a small file.
    const std::string bomb = test::GzipMember(std::string(64u << 20, '\0'));
    for (uint64_t limit : {uint64_t{0}, uint64_t{1}, uint64_t{300000}, uint64_t{(64u << 20) - 1}}) {
        const Fed fed = Inflate(bomb, limit, rng, 70000);
        EXPECT_TRUE(fed.broken) << limit;
        EXPECT_FALSE(fed.complete);
        EXPECT_LE(fed.out.size(), limit);
    }
    // The limit itself is allowed.
    const Fed exact = Inflate(bomb, 64u << 20, rng, 70000);
    EXPECT_TRUE(exact.complete);
    EXPECT_EQ(exact.out.size(), size_t{64} << 20);
    // A sink that refuses ends the stream.
    GzipMembersInflater refusing(1 << 20, [](const char*, size_t) { return false; });
    const std::string small = test::GzipMember(test::CompressibleBytes(1000, 1));
    EXPECT_FALSE(refusing.Feed(small.data(), small.size()));
    EXPECT_TRUE(refusing.Broken());
    EXPECT_FALSE(refusing.Feed(small.data(), small.size()));
}

ManifestEntry EntryOf(const std::string& raw, const std::string& copy) {
    ManifestEntry entry;
    entry.path = L"big.pak";
    entry.hash = test::Md5Hex(raw);
    entry.size = static_cast<int64_t>(raw.size());
    entry.packedSize = static_cast<int64_t>(copy.size());
    return entry;
}

TEST(PackedLayout, TheTableGivesPiecesOfWholeMembersThatInflateToTheirRawRanges) {
    std::mt19937 rng(2404);
    const std::string raw = Mixed(rng, (5u << 20) + 12345);
    const std::string copy = test::GzipCopyWithTable(raw, test::Md5Hex(raw), 1 << 20);
    const ManifestEntry entry = EntryOf(raw, copy);
    PackedLayout layout;
    ASSERT_TRUE(ParsePackedLayout(copy.substr(0, kPackedHeadMax), entry, &layout));
    ASSERT_EQ(layout.memberStart.size(), 7u);
    for (uint64_t from : {uint64_t{0}, uint64_t{3} << 20}) {
        const std::vector<Piece> pieces = PackedPieces(layout, raw.size(), from, 2 << 20, 2 << 20);
        uint64_t rawAt = from;
        for (const Piece& piece : pieces) {
            EXPECT_EQ(piece.raw.begin, rawAt);
            rawAt = piece.raw.end;
            const Fed fed =
                Inflate(copy.substr(piece.source.begin, piece.source.end - piece.source.begin),
                        piece.raw.end - piece.raw.begin, rng, 100000);
            EXPECT_TRUE(fed.complete);
            EXPECT_TRUE(fed.out == raw.substr(piece.raw.begin, piece.raw.end - piece.raw.begin));
        }
        EXPECT_EQ(rawAt, raw.size());
        EXPECT_EQ(pieces.back().source.end, copy.size());
    }
}

TEST(PackedLayout, ATableThatDoesNotDescribeTheEntryOrItsCopyIsRefused) {
    std::mt19937 rng(2405);
    const std::string raw = Mixed(rng, (3u << 20) + 5);
    const std::string copy = test::GzipCopyWithTable(raw, test::Md5Hex(raw), 1 << 20);
    const ManifestEntry entry = EntryOf(raw, copy);
    PackedLayout layout;
    const std::string head = copy.substr(0, kPackedHeadMax);
    ASSERT_TRUE(ParsePackedLayout(head, entry, &layout));
    std::vector<uint32_t> lengths;
    for (size_t i = 1; i < layout.memberStart.size(); ++i)
        lengths.push_back(static_cast<uint32_t>(layout.memberStart[i] - layout.memberStart[i - 1]));

    ManifestEntry other = entry;
    other.hash = test::Md5Hex("another version");
    EXPECT_FALSE(ParsePackedLayout(head, other, &layout));
    other = entry;
    other.size -= 1;
    EXPECT_FALSE(ParsePackedLayout(head, other, &layout));
    other = entry;
    other.packedSize += 1; // the row announces another copy
    EXPECT_FALSE(ParsePackedLayout(head, other, &layout));
    EXPECT_FALSE(ParsePackedLayout(head.substr(0, 40), entry, &layout));     // cut inside the table
    EXPECT_FALSE(ParsePackedLayout(test::GzipMembers(raw), entry, &layout)); // no table

    // Hostile lengths: past the copy, wrapping around, an empty member, one member fewer.
    std::vector<std::vector<uint32_t>> hostile = {lengths, lengths, lengths, lengths};
    hostile[0].back() += 1;
    hostile[1][1] = 0xFFFFFFF0u;
    hostile[2][2] = 0;
    hostile[3].pop_back();
    for (const auto& table : hostile) {
        const std::string bad = test::GzipCopyWithTable(raw, test::Md5Hex(raw), 1 << 20, &table);
        EXPECT_FALSE(ParsePackedLayout(bad.substr(0, kPackedHeadMax), EntryOf(raw, copy), &layout));
    }
}

} // namespace

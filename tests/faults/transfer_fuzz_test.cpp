// The readers of what the server sends for patches, against many thousands of mutated, forged
// and random inputs: the block index reader takes only an index whose numbers are within the
// launcher's bounds and add up, and the multipart range reader never hands on a byte outside
// the ranges asked for, nor one twice. Anyone who answers for the server can write either, and
// the launcher runs elevated. Every input is made from fixed seeds, so a failure repeats.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "patch/make_index.h"
#include "update/patch/block_index.h"
#include "update/net/range_fetch.h"

namespace {

uint32_t Pick(std::mt19937& g, uint32_t n) {
    return n == 0 ? 0 : g() % n;
}

std::string RandomText(std::mt19937& g, size_t size) {
    std::string out(size, '\0');
    for (char& c : out)
        c = static_cast<char>(g());
    return out;
}

void PutAt(std::string& doc, size_t at, uint64_t value, int bytes) {
    std::string field;
    test::PutLe(field, value, bytes);
    if (doc.size() >= at + field.size()) doc.replace(at, field.size(), field);
}

// What an accepted index must be: numbers within the bounds, one row per block of the length
// it names, and nothing in the document that the index does not hold.
std::string Violation(const std::string& doc, const BlockIndex& index) {
    if (index.blockSize < kMinIndexBlockSize || index.blockSize > kMaxIndexBlockSize)
        return "block size " + std::to_string(index.blockSize);
    if (index.strongBytes < 4 || index.strongBytes > 16) return "strong bytes";
    if (doc[6] != 0 || doc[7] != 0) return "reserved bytes not zero";
    const uint64_t blocks =
        index.fileSize / index.blockSize + (index.fileSize % index.blockSize != 0);
    if (index.BlockCount() != blocks) return "rows for another length";
    if (index.strong.size() != blocks * index.strongBytes) return "strong rows";
    uint64_t sum = 0;
    for (uint32_t b = 0; b < index.BlockCount(); ++b) {
        if (index.BlockLength(b) == 0 || index.BlockLength(b) > index.blockSize)
            return "block length";
        sum += index.BlockLength(b);
    }
    if (sum != index.fileSize) return "blocks do not add up";
    std::string again = doc.substr(0, 8);
    test::PutLe(again, index.blockSize, 4);
    test::PutLe(again, index.fileSize, 8);
    again += test::Unhex(index.md5);
    for (uint32_t b = 0; b < index.BlockCount(); ++b) {
        test::PutLe(again, index.weak[b], 4);
        again.append(reinterpret_cast<const char*>(&index.strong[size_t{b} * index.strongBytes]),
                     index.strongBytes);
    }
    return again == doc ? "" : "does not hold what the document says";
}

std::string Mutate(std::string doc, std::mt19937& g) {
    static const uint64_t kBlocks[] = {
        0, 1, 511, 512, 513, 4096, 4u << 20, (4u << 20) + 1, 0x7FFFFFFF, 0xFFFFFFFF};
    static const uint64_t kLengths[] = {
        0,         1, 511, 512, 1u << 20, uint64_t{1} << 32, uint64_t{8} << 30, uint64_t{1} << 63,
        UINT64_MAX};
    for (uint32_t n = 1 + Pick(g, 3); n > 0; --n) {
        switch (Pick(g, 8)) {
        case 0: // a flipped bit anywhere
            if (!doc.empty()) doc[Pick(g, doc.size())] ^= static_cast<char>(1 << Pick(g, 8));
            break;
        case 1:
            PutAt(doc, 8, kBlocks[Pick(g, std::size(kBlocks))], 4);
            break;
        case 2:
            PutAt(doc, 12, kLengths[Pick(g, std::size(kLengths))], 8);
            break;
        case 3:
            PutAt(doc, 12, Pick(g, 1u << 24), 8);
            break;
        case 4:
            PutAt(doc, 5, Pick(g, 24), 1);
            break;
        case 5:
            PutAt(doc, 6, Pick(g, 3) == 0 ? 0 : g() & 0xFFFF, 2);
            break;
        case 6:
            doc.resize(Pick(g, static_cast<uint32_t>(doc.size()) + 1));
            break;
        default:
            doc += RandomText(g, Pick(g, 64));
            break;
        }
    }
    return doc;
}

TEST(BadIndexes, MutatedForgedAndRandomIndexesAreTakenOnlyWithinBoundsAndConsistent) {
    std::mt19937 g(21);
    BlockIndex index;
    // 60 bytes naming blocks of 4 GiB - 1 in a file of 8 GiB, and an empty file's index.
    std::string forged = "ZVBI";
    forged += "\x01\x04";
    test::PutLe(forged, 0, 2);
    test::PutLe(forged, 0xFFFFFFFFu, 4);
    test::PutLe(forged, uint64_t{8} << 30, 8);
    forged += std::string(16 + 3 * 8, 'a');
    ASSERT_EQ(forged.size(), 60u);
    EXPECT_FALSE(ParseBlockIndex(forged, &index));
    ASSERT_TRUE(ParseBlockIndex(test::MakeBlockIndex("", 4096), &index));
    EXPECT_EQ(index.BlockCount(), 0u);

    long accepted = 0, inputs = 0;
    const auto check = [&](const std::string& doc, const char* kind) {
        ++inputs;
        BlockIndex parsed;
        if (!ParseBlockIndex(doc, &parsed)) return;
        ++accepted;
        const std::string violation = Violation(doc, parsed);
        ASSERT_EQ(violation, "") << kind << " input of " << doc.size() << " bytes";
    };
    static const uint32_t kSizes[] = {512, 1000, 4096, 65536};
    for (int base = 0; base < 400; ++base) {
        const std::string content = RandomText(g, Pick(g, 200000));
        const std::string doc = test::MakeBlockIndex(content, kSizes[Pick(g, std::size(kSizes))],
                                                     static_cast<uint8_t>(4 + Pick(g, 13)));
        check(doc, "tool's");
        for (int m = 0; m < 25; ++m)
            check(Mutate(doc, g), "mutated");
    }
    for (int i = 0; i < 5000; ++i) {
        std::string doc = "ZVBI" + RandomText(g, Pick(g, 200));
        if (Pick(g, 2)) doc[4] = 1;
        check(doc, "random");
    }
    // The tool's own indexes all pass, and so do some mutations (those of sums only).
    EXPECT_GT(accepted, 400);
    EXPECT_LT(accepted, inputs);
}

// A range reader of its own with every write it makes checked against what was asked.
struct Feeding {
    bool complete = false;
    std::string problem;
};
Feeding Feed(const std::vector<ByteRange>& asked, uint64_t fileSize, const std::string& type,
             const std::string& contentRange, const std::string& body, std::mt19937& g) {
    Feeding out;
    std::vector<uint8_t> written(fileSize, 0);
    RangeBodyReader reader(
        asked, fileSize, type, contentRange, [&](uint64_t offset, const char*, size_t size) {
            const bool inside = std::any_of(asked.begin(), asked.end(), [&](const ByteRange& r) {
                return offset >= r.begin && offset + size <= r.end;
            });
            if (!inside || offset + size > fileSize) {
                out.problem = "wrote outside the ranges asked for";
                return true;
            }
            for (uint64_t at = offset; at < offset + size; ++at)
                if (written[at]++) out.problem = "wrote a byte twice";
            return true;
        });
    for (size_t at = 0; at < body.size();) {
        const size_t piece = std::min<size_t>(1 + Pick(g, 700), body.size() - at);
        if (!reader.Feed(body.data() + at, piece)) break;
        at += piece;
    }
    out.complete = reader.Complete();
    if (out.complete) {
        for (const ByteRange& r : asked)
            for (uint64_t at = r.begin; at < r.end; ++at)
                if (!written[at]) out.problem = "complete with a byte missing";
    }
    return out;
}

TEST(BadRangeBodies, MutatedAnswersNeverWriteOutsideTheRangesAskedNorTwice) {
    std::mt19937 g(42);
    long complete = 0;
    for (int round = 0; round < 4000; ++round) {
        const uint64_t fileSize = 1 + Pick(g, 20000);
        std::vector<uint64_t> cuts;
        for (uint32_t n = 2 * (1 + Pick(g, 4)); n > 0; --n)
            cuts.push_back(Pick(g, static_cast<uint32_t>(fileSize) + 1));
        std::sort(cuts.begin(), cuts.end());
        std::vector<ByteRange> asked;
        for (size_t i = 0; i + 1 < cuts.size(); i += 2)
            if (cuts[i] < cuts[i + 1] && (asked.empty() || asked.back().end < cuts[i]))
                asked.push_back({cuts[i], cuts[i + 1]});
        if (asked.empty()) continue;
        const auto rangeText = [&](const ByteRange& r, int64_t shift) {
            return "bytes " + std::to_string(r.begin + shift) + "-" +
                   std::to_string(r.end - 1 + shift) + "/" + std::to_string(fileSize);
        };
        const std::string boundary = "b" + std::to_string(g());
        const bool single = asked.size() == 1 && Pick(g, 2);
        std::string type =
            single ? "application/octet-stream" : "multipart/byteranges; boundary=" + boundary;
        std::string contentRange = single ? rangeText(asked[0], 0) : "";
        std::string body;
        for (const ByteRange& r : asked) {
            if (!single)
                body += "\r\n--" + boundary +
                        "\r\nContent-Type: x\r\nContent-Range: " + rangeText(r, 0) + "\r\n\r\n";
            body += RandomText(g, static_cast<size_t>(r.end - r.begin));
        }
        if (!single) body += "\r\n--" + boundary + "--\r\n";

        switch (Pick(g, 8)) {
        case 0:
            break; // as a server should answer
        case 1:
            body += RandomText(g, 1 + Pick(g, 5000));
            break; // longer than asked
        case 2:
            body.resize(Pick(g, static_cast<uint32_t>(body.size())));
            break;
        case 3: // a part again
            body += body.substr(0, body.size() / 2);
            break;
        case 4: // ranges off by a few bytes
            if (single)
                contentRange = rangeText(asked[0], static_cast<int64_t>(Pick(g, 5)) - 2);
            else
                body.replace(body.find("Content-Range: ") + 15, rangeText(asked[0], 0).size(),
                             rangeText(asked[0], static_cast<int64_t>(Pick(g, 5)) - 2));
            break;
        case 5: // bytes inserted or removed anywhere
            for (uint32_t n = 1 + Pick(g, 4); n > 0; --n) {
                const size_t at = Pick(g, static_cast<uint32_t>(body.size()) + 1);
                if (Pick(g, 2))
                    body.insert(at, RandomText(g, 1 + Pick(g, 30)));
                else
                    body.erase(at, Pick(g, 30));
            }
            break;
        case 6: // every part naming the first range
            for (size_t at = body.find("Content-Range: "); at != std::string::npos;
                 at = body.find("Content-Range: ", at + 1)) {
                const size_t end = body.find("\r\n", at);
                body.replace(at + 15, end - at - 15, rangeText(asked[0], 0));
            }
            break;
        default: // the file's length other than asked for
            if (single)
                contentRange += "0";
            else
                body = RandomText(g, Pick(g, 3000));
            break;
        }
        const Feeding f = Feed(asked, fileSize, type, contentRange, body, g);
        ASSERT_EQ(f.problem, "") << "round " << round;
        complete += f.complete;
    }
    EXPECT_GT(complete, 400); // the answers left as they were
}

} // namespace

// The builder of a new file version from local data: random old files, random edit patterns
// (overwrites, insertions, deletions, truncation, growth) and random leftovers in the ".tmp";
// what the matcher places plus the missing ranges taken from the new version must give the
// new version byte for byte, and the ranges must stay near the edited bytes. Then the reader
// of ranged answers, fed in every split, and the index reader's refusals.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "base/handles.h"
#include "patch/make_index.h"
#include "support/test_support.h"
#include "update/patch/block_index.h"
#include "update/patch/block_match.h"
#include "update/net/range_fetch.h"

namespace {

struct Edit {
    size_t at, length;
};

// new = old with a few random edits; the edited spans of new are reported.
std::string Edited(const std::string& old, std::mt19937& rng, std::vector<Edit>* spans) {
    std::string out = old;
    const int edits = 1 + rng() % 4;
    for (int e = 0; e < edits; ++e) {
        const size_t at = out.empty() ? 0 : rng() % out.size();
        const size_t length = 1 + rng() % 3000;
        switch (rng() % 5) {
        case 0: // overwrite
            out.replace(at, std::min(length, out.size() - at),
                        test::RandomBytes(std::min(length, out.size() - at), rng()));
            spans->push_back({at, length});
            break;
        case 1: // insertion
            out.insert(at, test::RandomBytes(length, rng()));
            spans->push_back({at, length});
            break;
        case 2: // deletion
            out.erase(at, length);
            spans->push_back({at, 1});
            break;
        case 3: // truncation
            out.resize(at);
            spans->push_back({at, 1});
            break;
        default: // growth
            spans->push_back({out.size(), length});
            out += test::RandomBytes(length, rng());
            break;
        }
    }
    return out;
}

struct Built {
    std::string content;
    uint64_t fetched = 0;
};

// Runs the matcher into tmp (holding tmpBefore), then fills the missing ranges from target.
// The index is target's, or indexDoc when given.
Built Build(const std::string& old, const std::string& tmpBefore, const std::string& target,
            uint32_t block, const test::TempDir& dir, const std::string& indexDoc = "") {
    const std::wstring oldPath = dir / L"game.pak";
    const std::wstring tmpPath = dir / L"game.pak.tmp";
    DeleteFileW(oldPath.c_str());
    if (!old.empty()) {
        EXPECT_TRUE(test::WriteFileBytes(oldPath, old));
    }
    EXPECT_TRUE(test::WriteFileBytes(tmpPath, tmpBefore));
    BlockIndex index;
    EXPECT_TRUE(
        ParseBlockIndex(indexDoc.empty() ? test::MakeBlockIndex(target, block) : indexDoc, &index));
    Built built;
    {
        FileHandle tmp(CreateFileW(tmpPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        EXPECT_TRUE(tmp.Valid());
        const uint64_t kept = tmpBefore.size();
        LARGE_INTEGER size;
        size.QuadPart = static_cast<LONGLONG>(target.size());
        EXPECT_TRUE(SetFilePointerEx(tmp.Get(), size, nullptr, FILE_BEGIN) &&
                    SetEndOfFile(tmp.Get()));
        // Every block is told once; found ones are copied from the old file, left ones come
        // from target.
        std::vector<int> told(index.BlockCount(), 0);
        const auto put = [&](uint32_t first, uint32_t count, const char* data) {
            for (uint32_t i = first; i < first + count; ++i)
                ++told[i];
            const uint64_t begin = index.BlockOffset(first);
            const uint64_t end =
                index.BlockOffset(first + count - 1) + index.BlockLength(first + count - 1);
            if (!data) return true;
            DWORD written = 0;
            OVERLAPPED at = {};
            at.Offset = static_cast<DWORD>(begin);
            return WriteFile(tmp.Get(), data, static_cast<DWORD>(end - begin), &written, &at) != 0;
        };
        const BlockEvents events = {
            [&](uint32_t first, uint32_t count) { return put(first, count, nullptr); },
            [&](uint32_t first, uint32_t count, uint32_t, uint64_t oldOffset) {
                return put(first, count, old.data() + oldOffset);
            },
            [&](uint32_t first, uint32_t count) {
                for (uint32_t i = first; i < first + count; ++i)
                    built.fetched += index.BlockLength(i);
                return put(first, count, target.data() + index.BlockOffset(first));
            }};
        EXPECT_TRUE(MatchLocalBlocks(index, tmp.Get(), kept, oldPath, events));
        EXPECT_EQ(std::count(told.begin(), told.end(), 1), static_cast<ptrdiff_t>(told.size()));
    }
    built.content = test::ReadFileBytes(tmpPath);
    return built;
}

TEST(BlockMatch, ThousandsOfBlocksUnderTheWeakSumOfALongRunEndTheScanSoon) {
    // Every block of the index claims the weak sum of 512 zero bytes, and none is zeros: each
    // offset of an old file of zeros is a candidate for all of them. The scan must not walk
    // them all at every offset, nor hash on for the whole file; the blocks come from the
    // server.
    test::TempDir dir(L"match");
    constexpr uint32_t kBlock = 512;
    const std::string target = test::RandomBytes(4096 * kBlock, 9);
    std::string doc = test::MakeBlockIndex(target, kBlock);
    const uint32_t zeros = test::ReferenceAdler(std::string(kBlock, '\0'));
    for (size_t row = 36; row < doc.size(); row += 4 + 6)
        doc.replace(row, 4, std::string(reinterpret_cast<const char*>(&zeros), 4));
    const Built built = Build(std::string(64 << 20, '\0'), "", target, kBlock, dir, doc);
    EXPECT_EQ(built.content, target);
    EXPECT_EQ(built.fetched, target.size());
}

TEST(BlockMatch, RandomEditsPatchedFromTheOldFileGiveTheNewFileAndFetchLittleMore) {
    test::TempDir dir(L"match");
    std::mt19937 rng(20261209);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const uint32_t block = (round % 3 == 0) ? 1000 : (round % 3 == 1 ? 1024 : 4096);
        const std::string old = test::RandomBytes(rng() % 200000, rng());
        std::vector<Edit> spans;
        const std::string target = Edited(old, rng, &spans);

        const Built built = Build(old, "", target, block, dir);
        ASSERT_EQ(built.content.size(), target.size());
        ASSERT_TRUE(built.content == target);
        // Each edit spoils at most the blocks it touches plus one on either side.
        uint64_t bound = 0;
        for (const Edit& e : spans)
            bound += e.length + 2 * block;
        EXPECT_LE(built.fetched, std::min<uint64_t>(bound, target.size()));
    }
}

TEST(BlockMatch, AGapWiderThanAnEditIsStillLookedForInTheOldFile) {
    // The halves of the file swapped: the second half of the new file lies at the old file's
    // start, so the scan finds it first and passes a gap of half the file, which must still be
    // looked for rather than fetched.
    test::TempDir dir(L"moved");
    const uint32_t block = 1000;
    const std::string old = test::RandomBytes(300 * block, 7);
    const std::string swapped = old.substr(150 * block + 500) + old.substr(0, 150 * block + 500);
    const Built built = Build(old, "", swapped, block, dir);
    ASSERT_TRUE(built.content == swapped);
    EXPECT_LE(built.fetched, 2u * block);
}

TEST(BlockMatch, LeftoversInTheTmpAreKeptWhereRightAndNeverTrusted) {
    test::TempDir dir(L"leftover");
    std::mt19937 rng(7);
    const uint32_t block = 2048;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const std::string target = test::RandomBytes(50000 + rng() % 100000, rng());
        std::string tmp;
        switch (round % 4) {
        case 0:
            tmp = target.substr(0, rng() % target.size());
            break; // cut transfer
        case 1:
            tmp = test::RandomBytes(target.size() + 5000, rng());
            break; // foreign bytes
        case 2:
            tmp = target + test::RandomBytes(9999, rng());
            break; // longer than new
        default: { // a patch cut short
            tmp = std::string(target.size(), '\0');
            for (size_t at = 0; at < target.size(); at += block)
                if (rng() % 2)
                    tmp.replace(at, std::min<size_t>(block, target.size() - at),
                                target.substr(at, block));
        }
        }
        // No old file at all: everything comes from the tmp or the server.
        const Built built = Build("", tmp, target, block, dir);
        ASSERT_TRUE(built.content == target);
        if (round % 4 == 2) {
            EXPECT_EQ(built.fetched, 0u);
        } else if (round % 4 == 1) {
            EXPECT_EQ(built.fetched, target.size());
        }
    }
}

TEST(BlockMatch, RunsOfEqualBlocksAndAFileShorterThanOneBlock) {
    test::TempDir dir(L"equal");
    const std::string zeros(40000, '\0');
    std::string target = zeros + "tail" + zeros;
    Built built = Build(zeros, "", target, 1024, dir);
    EXPECT_TRUE(built.content == target);
    EXPECT_LE(built.fetched, 2048u);
    built = Build("short", "", "shorter", 1024, dir);
    EXPECT_EQ(built.content, "shorter");
}

std::string Part(const std::string& boundary, const std::string& range, const std::string& data) {
    return "\r\n--" + boundary +
           "\r\nContent-Type: application/octet-stream\r\nContent-Range: " + range + "\r\n\r\n" +
           data;
}

struct Feeding {
    bool fed = true;
    bool complete = false;
    std::string file;
};

Feeding FeedInPieces(const std::vector<ByteRange>& asked, const std::string& type,
                     const std::string& contentRange, const std::string& body, size_t piece) {
    Feeding out;
    out.file.assign(100, '.');
    RangeBodyReader reader(asked, 100, type, contentRange,
                           [&](uint64_t at, const char* data, size_t size) {
                               out.file.replace(at, size, data, size);
                               return true;
                           });
    for (size_t at = 0; at < body.size() && out.fed; at += piece)
        out.fed = reader.Feed(body.data() + at, std::min(piece, body.size() - at));
    out.complete = out.fed && reader.Complete();
    return out;
}

TEST(RangeBody, MultipartAndSingleAnswersInEverySplitAndWhatIsRefused) {
    const std::string b = "3d6b6a416f9b5";
    const std::string type = "multipart/byteranges; boundary=" + b;
    const std::vector<ByteRange> asked = {{0, 10}, {50, 60}};
    const std::string good = Part(b, "bytes 0-9/100", "0123456789") +
                             Part(b, "bytes 50-59/100", "abcdefghij") + "\r\n--" + b + "--\r\n";
    for (size_t piece = 1; piece <= good.size(); ++piece) {
        Feeding f = FeedInPieces(asked, type, "", good, piece);
        ASSERT_TRUE(f.complete) << piece;
        EXPECT_EQ(f.file.substr(0, 10), "0123456789");
        EXPECT_EQ(f.file.substr(50, 10), "abcdefghij");
    }
    EXPECT_TRUE(
        FeedInPieces(asked, "Multipart/ByteRanges; boundary=\"" + b + "\"", "", good, 7).complete);

    // A single range answered without multipart.
    EXPECT_TRUE(
        FeedInPieces({{50, 60}}, "application/octet-stream", "bytes 50-59/100", "abcdefghij", 3)
            .complete);

    const std::vector<std::pair<std::string, Feeding>> refused = {
        {"a range not asked for",
         FeedInPieces(asked, type, "",
                      Part(b, "bytes 1-10/100", "0123456789") + "\r\n--" + b + "--\r\n", 5)},
        {"another file length",
         FeedInPieces(asked, type, "", Part(b, "bytes 0-9/101", "0123456789"), 5)},
        {"a range missing",
         FeedInPieces(asked, type, "",
                      Part(b, "bytes 0-9/100", "0123456789") + "\r\n--" + b + "--\r\n", 5)},
        {"cut inside a part", FeedInPieces(asked, type, "", good.substr(0, good.size() - 20), 5)},
        {"single answer naming another range",
         FeedInPieces({{50, 60}}, "application/octet-stream", "bytes 51-60/100", "abcdefghij", 3)},
        {"single answer longer than its range",
         FeedInPieces({{50, 60}}, "text/plain", "bytes 50-59/100", "abcdefghijk", 11)},
        {"no Content-Range", FeedInPieces({{50, 60}}, "text/plain", "", "abcdefghij", 10)},
    };
    for (const auto& [what, feeding] : refused)
        EXPECT_FALSE(feeding.complete) << what;
}

TEST(BlockIndexReader, TakesTheToolsFormatAndRefusesWhatDoesNotAddUp) {
    const std::string content = test::RandomBytes(10000, 3);
    BlockIndex index;
    ASSERT_TRUE(ParseBlockIndex(test::MakeBlockIndex(content, 4096), &index));
    EXPECT_EQ(index.md5, test::Md5Hex(content));
    EXPECT_EQ(index.BlockCount(), 3u);
    EXPECT_EQ(index.BlockLength(2), 10000u - 8192u);
    // The vector sum agrees with the plain one at every length and alignment around its steps
    // and runs, and on bytes of 0xff, whose sums come nearest to overflowing.
    const std::string ones(3 * 5552 + 77, '\xff');
    for (const std::string* data : {&content, &ones}) {
        for (size_t length : {0, 1, 31, 32, 33, 5535, 5536, 5552, 5553, 9999}) {
            for (size_t at : {0, 1, 3}) {
                // Summed in place, so that the loads start off their alignment.
                const size_t size = std::min(length, data->size() - at);
                ASSERT_EQ(Adler32(reinterpret_cast<const uint8_t*>(data->data()) + at, size),
                          test::ReferenceAdler(data->substr(at, size)))
                    << length << " at " << at;
            }
        }
    }
    EXPECT_EQ(Adler32(reinterpret_cast<const uint8_t*>(ones.data()), ones.size()),
              test::ReferenceAdler(ones));

    std::string doc = test::MakeBlockIndex(content, 4096);
    EXPECT_FALSE(ParseBlockIndex(doc.substr(0, doc.size() - 1), &index)) << "short";
    EXPECT_FALSE(ParseBlockIndex(doc + "x", &index)) << "long";
    std::string other = doc;
    other[4] = 2;
    EXPECT_FALSE(ParseBlockIndex(other, &index)) << "format";
    other = doc;
    other[8] = 0, other[9] = 0, other[10] = 0, other[11] = 0;
    EXPECT_FALSE(ParseBlockIndex(other, &index)) << "block size 0";
    other = doc;
    other[19] = 1; // a file size of 2^56 and more: far more blocks than the document holds
    EXPECT_FALSE(ParseBlockIndex(other, &index)) << "size";
    other = doc;
    other[7] = 1;
    EXPECT_FALSE(ParseBlockIndex(other, &index)) << "reserved bytes";
    // Block sizes from 512 B to 4 MiB, whatever the rows say.
    EXPECT_TRUE(ParseBlockIndex(test::MakeBlockIndex(content, 512), &index));
    EXPECT_FALSE(ParseBlockIndex(test::MakeBlockIndex(content, 511), &index));
    const std::string big(5 << 20, 'x');
    EXPECT_TRUE(ParseBlockIndex(test::MakeBlockIndex(big, 4 << 20), &index));
    EXPECT_FALSE(ParseBlockIndex(test::MakeBlockIndex(big, (4 << 20) + 1), &index));

    // The rolling sum agrees with a fresh sum at every offset.
    RollingAdler32 rolling(1000);
    const auto* bytes = reinterpret_cast<const uint8_t*>(content.data());
    rolling.Reset(bytes);
    for (size_t at = 1; at + 1000 <= content.size(); ++at) {
        rolling.Roll(bytes[at - 1], bytes[at + 999]);
        ASSERT_EQ(rolling.Value(), test::ReferenceAdler(content.substr(at, 1000))) << at;
    }
}

} // namespace

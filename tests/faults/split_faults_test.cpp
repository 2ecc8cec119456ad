// Big files fetched in pieces over several connections: assembled byte for byte from a server
// that answers ranges, and back to the whole download when it answers them wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "faults/fault_support.h"
#include "faults/inprocess_run.h"

namespace {

using faults::FaultGame;
using faults::kOk;

constexpr size_t kSplit = (20 << 20) + 12345; // above the size that is split

// The Range header of each request for the file, in order ("" for a whole download).
std::vector<std::string> RangesAsked(const FaultGame& game, size_t mark, const std::string& name) {
    std::vector<std::string> out;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        if (r.path.substr(0, r.path.find('?')) != game.FaultKey(name)) continue;
        std::string range;
        for (const auto& [key, value] : r.headers)
            if (_stricmp(key.c_str(), "Range") == 0) range = value;
        out.push_back(range);
    }
    return out;
}

class SplitFaults : public faults::InProcessRun {};

TEST_F(SplitFaults, PiecesFromAServerThatAnswersRangesMakeTheFileByteForByte) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    game.Add("data/archive.pak", test::RandomBytes(kSplit, 91));
    game.Add("small.bin", test::RandomBytes(5000, 92), "old small");
    game.Publish({"manifest_light.json"});
    const size_t mark = test::TestServer::LogMark();

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    EXPECT_TRUE(game.AllCurrent());
    // Ranges only, each asked once, covering the file end to end.
    std::vector<std::string> ranges = RangesAsked(game, mark, "data/archive.pak");
    ASSERT_GE(ranges.size(), 5u) << faults::Join(ranges);
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    for (const std::string& r : ranges) {
        unsigned long long first = 0, last = 0;
        ASSERT_EQ(sscanf(r.c_str(), "bytes=%llu-%llu", &first, &last), 2) << r;
        spans.emplace_back(first, last + 1);
    }
    std::sort(spans.begin(), spans.end());
    uint64_t at = 0;
    for (const auto& [begin, end] : spans) {
        EXPECT_EQ(begin, at);
        at = end;
    }
    EXPECT_EQ(at, kSplit);
}

TEST_F(SplitFaults, RangesAnsweredWrongFallBackToTheWholeFileWithinTheAttempt) {
    struct Case {
        const char* name;
        const char* fault; // on the first request for the file only
    };
    const Case cases[] = {
        {"the whole file for a range", "\"ignore_range\": true"},
        {"another Content-Range", "\"wrong_range\": 1"},
        {"a short piece", "\"length\": 1000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        game.Add("a.pak", test::RandomBytes(kSplit, 93));
        game.Publish({"manifest_light.json"},
                     "{\"" + game.FaultKey("a.pak") + "\": {" + c.fault + ", \"times\": 1}}");
        const size_t mark = test::TestServer::LogMark();
        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), kOk);
        EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
        EXPECT_TRUE(game.AllCurrent());
        // Pieces first (a short piece shows itself only at its end, when others are under
        // way), then the file whole, once.
        const std::vector<std::string> ranges = RangesAsked(game, mark, "a.pak");
        ASSERT_GE(ranges.size(), 2u) << faults::Join(ranges);
        EXPECT_FALSE(ranges.front().empty());
        EXPECT_EQ(std::count(ranges.begin(), ranges.end(), ""), 1) << faults::Join(ranges);
    }
}

TEST_F(SplitFaults, AServerThatIgnoresRangesIsAskedForPiecesOnceInARun) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    game.Add("a.pak", test::RandomBytes(kSplit, 94));
    game.Add("b.pak", test::RandomBytes(kSplit, 95));
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("a.pak") + "\": {\"ignore_range\": true}, \"" +
                     game.FaultKey("b.pak") + "\": {\"ignore_range\": true}}");
    const size_t mark = test::TestServer::LogMark();
    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(game.AllCurrent());
    size_t ranged = 0;
    for (const char* name : {"a.pak", "b.pak"})
        for (const std::string& r : RangesAsked(game, mark, name))
            ranged += r.empty() ? 0 : 1;
    EXPECT_EQ(ranged, 1u);
}

TEST_F(SplitFaults, ABrokenPieceFailsTheAttemptAndTheNextOneAsksForPiecesAgain) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    game.Add("a.pak", test::RandomBytes(kSplit, 96));
    // The first piece breaks early: nothing is proven, so the next attempt asks for everything
    // again in pieces, and never for the file whole.
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("a.pak") + "\": {\"cut_after\": 100000, \"times\": 1}}");
    const size_t mark = test::TestServer::LogMark();
    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
    EXPECT_TRUE(game.AllCurrent());
    const std::vector<std::string> ranges = RangesAsked(game, mark, "a.pak");
    int fromStart = 0;
    for (const std::string& r : ranges) {
        EXPECT_FALSE(r.empty());
        fromStart += r.rfind("bytes=0-", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(fromStart, 2) << faults::Join(ranges);
}

} // namespace

// Patching and resuming big files against a server that does not play along: no index, an
// index for other content, no ranges, ranges under the wrong names, ranges with wrong bytes,
// a connection cut in the middle. Every case ends with the right file, within the usual
// attempts, and the folder never holds a wrong file under a listed name.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "faults/fault_support.h"
#include "faults/inprocess_run.h"
#include "patch/make_index.h"

namespace {

using faults::FaultGame;
using faults::kOk;

constexpr size_t kBig = (1 << 20) + 300000; // above the size that gets indexes
constexpr uint32_t kBlock = 4096;

// The old version, and a new one with a few overwritten spans and bytes inserted near the start.
struct Versions {
    std::string old, fresh;
};
Versions MakeVersions(uint32_t seed) {
    Versions v;
    v.old = test::RandomBytes(kBig, seed);
    v.fresh = v.old;
    std::mt19937 rng(seed);
    for (int i = 0; i < 5; ++i)
        v.fresh.replace(rng() % (kBig - 5000), 3000, test::RandomBytes(3000, rng()));
    v.fresh.insert(1000, test::RandomBytes(100, seed + 1));
    return v;
}

std::string Header(const test::LoggedRequest& r, const std::string& name) {
    for (const auto& [key, value] : r.headers)
        if (_stricmp(key.c_str(), name.c_str()) == 0) return value;
    return "";
}

// The requests for one of the game's files, in order, as "index", "whole" or "range <header>".
// A test compares the first few only: the folder watch of the runs may hold a file open just
// when it is moved into place, and the attempt that follows asks again.
std::vector<std::string> FileRequests(const FaultGame& game, size_t mark, const std::string& name) {
    std::vector<std::string> out;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        const std::string path = r.path.substr(0, r.path.find('?'));
        // Two bytes of a small document, asked once a run: how the server answers several
        // ranges (single_range_test.cpp).
        if (Header(r, "Range") == "bytes=0-0,2-2") continue;
        if (path == "/blocks/" + game.Path(name) + ".zbi") {
            const std::string since = Header(r, "If-Modified-Since");
            out.push_back(since.empty() ? "index" : "index since " + since);
        }
        if (path != game.FaultKey(name)) continue;
        const std::string range = Header(r, "Range");
        out.push_back(range.empty() ? "whole" : "range " + range);
    }
    return out;
}

class PatchFaults : public faults::InProcessRun {
protected:
    static std::wstring IndexPath(const FaultGame& game, const std::string& name) {
        std::wstring path =
            game.ServerRoot() + L"\\blocks\\" + test::Widen(game.Path(name)) + L".zbi";
        for (wchar_t& c : path)
            if (c == L'/') c = L'\\';
        return path;
    }
    void WriteIndex(const FaultGame& game, const std::string& name, const std::string& content,
                    uint32_t block = kBlock) {
        ASSERT_TRUE(
            test::WriteFileBytes(IndexPath(game, name), test::MakeBlockIndex(content, block)));
    }
    // Dates the file on the first of January of year, midnight UTC.
    static void DateFile(const std::wstring& path, WORD year) {
        const SYSTEMTIME day = {year, 1, 0, 1, 0, 0, 0, 0};
        FILETIME time = {};
        ASSERT_TRUE(SystemTimeToFileTime(&day, &time));
        FileHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(file.Valid());
        EXPECT_TRUE(SetFileTime(file.Get(), nullptr, nullptr, &time));
    }
};

TEST_F(PatchFaults, AnIndexAndRangesBuildTheFileFromTheOldCopyFetchingOnlyTheChanges) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const Versions v = MakeVersions(1);
    game.Add("data.pak", v.fresh, v.old);
    game.Add("small.bin", "small files come whole", "old small");
    WriteIndex(game, "data.pak", v.fresh);
    game.Publish({"manifest_light.json"});
    const size_t mark = test::TestServer::LogMark();

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    const std::vector<std::string> requests = FileRequests(game, mark, "data.pak");
    ASSERT_GE(requests.size(), 2u) << faults::Join(requests);
    for (const std::string& r : requests)
        EXPECT_NE(r, "whole");
    EXPECT_EQ(requests[0], "index");
    // Six changed spans, each at most a few blocks: the ranges an attempt asks for (in one
    // request or a few, as the scan finds them) stay far below the file. A second attempt, with
    // an index of its own, comes when the watch holds the file open just as the patched copy
    // replaces it, which refuses the move.
    uint64_t asked = 0;
    for (size_t i = 1; i <= requests.size(); ++i) {
        if (i == requests.size() || requests[i] == "index") {
            EXPECT_LE(asked, 6u * (3000 + 2 * kBlock)) << faults::Join(requests);
            asked = 0;
            continue;
        }
        ASSERT_EQ(requests[i].rfind("range bytes=", 0), 0u) << faults::Join(requests);
        const std::string ranges = requests[i].substr(12);
        for (size_t at = 0; at < ranges.size();) {
            size_t comma = ranges.find(',', at);
            std::string one =
                ranges.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
            asked += std::stoull(one.substr(one.find('-') + 1)) - std::stoull(one) + 1;
            at = comma == std::string::npos ? ranges.size() : comma + 1;
        }
    }
    EXPECT_EQ(FileRequests(game, mark, "small.bin")[0], "whole");
}

TEST_F(PatchFaults, AFileOfAnotherLengthIsPatchedWhileVerifiedYetItsDigestDecides) {
    // The copy on disk is current, but the manifest lists another length: the patch that
    // starts beside the digest must not replace it, nor leave its ".tmp" behind.
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const Versions v = MakeVersions(3);
    game.Add("data.pak", v.fresh, v.fresh);
    WriteIndex(game, "data.pak", v.fresh);
    game.Publish({"manifest_light.json"});
    const std::wstring manifest = game.ServerRoot() + L"\\manifest_light.json";
    std::string json = test::ReadFileBytes(manifest);
    const std::string size = "\"size\": " + std::to_string(v.fresh.size());
    json.replace(json.find(size), size.size(), "\"size\": " + std::to_string(v.fresh.size() + 1));
    ASSERT_TRUE(test::WriteFileBytes(manifest, json));
    const size_t mark = test::TestServer::LogMark();

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    EXPECT_EQ(FileRequests(game, mark, "data.pak"), std::vector<std::string>{"index"});
}

TEST_F(PatchFaults, ABigCopyOlderThanItsIndexGetsItWhileHashedAndOnlyADifferentOneIsPatched) {
    // Both copies have their listed length and predate their indexes, so each index is asked
    // for beside the digest, with the copy's date. The stale copy's serves its patch (asked for
    // once); the current copy's blocks all hold, so nothing more is asked for. Blocks of 5 KiB
    // do not divide the reads, and the files end in a short block.
    FaultGame game(LauncherFolderFull(), NextPrefix());
    constexpr size_t kLarge = (size_t{64} << 20) + 5000; // above the size that asks early
    const std::string old = test::RandomBytes(kLarge, 11);
    std::string fresh = old;
    fresh.replace(kLarge / 2, 3000, test::RandomBytes(3000, 12));
    game.Add("stale.pak", fresh, old);
    game.Add("current.pak", old, old);
    WriteIndex(game, "stale.pak", fresh, 5 << 10);
    WriteIndex(game, "current.pak", old, 5 << 10);
    game.Publish({"manifest_light.json"});
    for (const char* name : {"stale.pak", "current.pak"}) {
        DateFile(game.Local(name), 2020);
        DateFile(IndexPath(game, name), 2021);
    }
    const size_t mark = test::TestServer::LogMark();

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    const std::string asked = "index since Wed, 01 Jan 2020 00:00:00 GMT";
    const std::vector<std::string> stale = FileRequests(game, mark, "stale.pak");
    ASSERT_GE(stale.size(), 2u) << faults::Join(stale);
    EXPECT_EQ(stale[0], asked);
    EXPECT_EQ(stale[1].rfind("range bytes=", 0), 0u) << faults::Join(stale);
    EXPECT_EQ(FileRequests(game, mark, "current.pak"), std::vector<std::string>{asked});
    // Not rewritten either, which a patch that needs no ranges would not show otherwise.
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    SYSTEMTIME written = {};
    ASSERT_TRUE(
        GetFileAttributesExW(game.Local("current.pak").c_str(), GetFileExInfoStandard, &data));
    ASSERT_TRUE(FileTimeToSystemTime(&data.ftLastWriteTime, &written));
    EXPECT_EQ(written.wYear, 2020);
}

TEST_F(PatchFaults, EachUnexpectedAnswerFallsBackToTheWholeFileWithinTheAttempt) {
    struct Case {
        const char* name;
        bool index;        // an index is published
        bool otherContent; // ... describing other content
        std::string fault; // on the file
        std::vector<std::string> requests;
    };
    const Case cases[] = {
        {"no index", false, false, "", {"index", "whole"}},
        {"index for other content", true, true, "", {"index", "whole"}},
        {"server without ranges",
         true,
         false,
         "{\"ignore_range\": true}",
         {"index", "range", "whole"}},
        {"wrong Content-Range",
         true,
         false,
         "{\"wrong_range\": 4096}",
         {"index", "range", "whole"}},
        {"blocks with wrong bytes",
         true,
         false,
         "{\"corrupt_range\": true}",
         {"index", "range", "whole"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FaultGame game(LauncherFolderFull(), NextPrefix());
        const Versions v = MakeVersions(2);
        game.Add("data.pak", v.fresh, v.old);
        if (c.index) WriteIndex(game, "data.pak", c.otherContent ? v.old : v.fresh);
        game.Publish({"manifest_light.json"},
                     c.fault.empty() ? ""
                                     : "{\"" + game.FaultKey("data.pak") + "\": " + c.fault + "}");
        const size_t mark = test::TestServer::LogMark();

        Outcome run = Run(game);
        EXPECT_EQ(run.Final(), kOk);
        EXPECT_TRUE(run.during.empty()) << faults::Join(run.during);
        EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
        std::vector<std::string> requests;
        for (std::string r : FileRequests(game, mark, "data.pak")) {
            if (r.rfind("range", 0) == 0) r = "range";
            // The ranges may be asked for in several requests.
            if (r != "range" || requests.empty() || requests.back() != "range")
                requests.push_back(r);
        }
        requests.resize(std::min(requests.size(), c.requests.size()));
        EXPECT_EQ(requests, c.requests) << faults::Join(requests);
    }
}

TEST_F(PatchFaults, ACutTransferContinuesFromItsBytesOnDiskAndAStaleTmpIsNotTrusted) {
    FaultGame game(LauncherFolderFull(), NextPrefix());
    const std::string content = test::RandomBytes(kBig, 3);
    game.Add("cut.pak", content);
    game.Add("stale.pak", content.substr(1000) + "x", "old");
    // A ".tmp" of other content beside stale.pak, as an older version's transfer left it.
    std::wstring staleTmp = game.Local("stale.pak") + L".tmp";
    ASSERT_TRUE(test::WriteFileBytes(staleTmp, content.substr(0, 500000)));
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("cut.pak") + "\": {\"cut_after\": 700000, \"times\": 1}}");
    const size_t mark = test::TestServer::LogMark();

    Outcome run = Run(game);
    EXPECT_EQ(run.Final(), kOk);
    EXPECT_TRUE(run.after.empty()) << faults::Join(run.after);
    const std::vector<std::string> cut = FileRequests(game, mark, "cut.pak");
    // The cut whole transfer, then the rest (no old copy to patch from: no index asked for).
    ASSERT_GE(cut.size(), 2u) << faults::Join(cut);
    EXPECT_EQ(cut[0], "whole");
    ASSERT_EQ(cut[1].rfind("range bytes=", 0), 0u);
    const uint64_t from = std::stoull(cut[1].substr(12));
    EXPECT_GT(from, 0u);
    EXPECT_LE(from, 700000u);
    // The stale ".tmp" is continued, fails its digest and the same attempt fetches it whole.
    std::vector<std::string> stale = FileRequests(game, mark, "stale.pak");
    stale.resize(std::min<size_t>(stale.size(), 3));
    EXPECT_EQ(stale, (std::vector<std::string>{"index", "range bytes=500000-", "whole"}));
}

} // namespace

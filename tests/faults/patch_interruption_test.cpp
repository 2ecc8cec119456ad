// A launcher killed in the middle of patching a big file: the file under its own name is still
// the old version (only its ".tmp" holds new blocks), and the next start finishes the patch
// from what is on disk, asking only for ranges.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/paths.h"
#include "faults/fault_support.h"
#include "patch/make_index.h"

namespace {

using faults::FaultGame;

TEST(PatchInterruption, AKilledPatchLeavesTheOldFileAndTheNextStartCompletesIt) {
    test::TempDir folder(L"patchkill");
    const std::wstring exe = folder / L"ZarvoLauncher.exe";
    ASSERT_TRUE(test::CopyFileTo(faults::RunnerSourceExe(), exe));
    FaultGame game(folder.Path());
    game.AllowExtra(L"ZarvoLauncher.exe", {test::ReadFileBytes(exe)});

    // Every second 8 KiB of the new version is new: a long list of ranges to fetch.
    const std::string old = test::RandomBytes(3 << 20, 71);
    std::string fresh = old;
    for (size_t at = 0; at < fresh.size(); at += 16384)
        fresh.replace(at, 8192, test::RandomBytes(8192, 72u + at));
    game.Add("data/world.pak", fresh, old);
    game.AllowExtra(L"data\\world.pak.tmp");
    ASSERT_TRUE(test::WriteFileBytes(game.ServerRoot() + L"\\blocks\\data\\world.pak.zbi",
                                     test::MakeBlockIndex(fresh, 4096)));
    // The ranges trickle in, so that the kill falls in the middle of them.
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("data/world.pak") +
                     "\": {\"trickle_bytes\": 16384, \"trickle_ms\": 30}}");
    const std::wstring tmp = game.Local("data/world.pak") + L".tmp";
    test::TempDir results(L"results");
    const std::wstring url = game.ManifestUrl("manifest_light.json");
    const size_t mark = test::TestServer::LogMark();
    {
        faults::FolderWatch watch(game);
        test::ChildProcess runner;
        ASSERT_TRUE(faults::StartRunner(runner, exe, url, L"LIGHT", results / L"first.txt"));
        // Killed once about a third of the new blocks has arrived.
        auto fetched = [&] {
            for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
                if (r.path.rfind("/update/", 0) == 0) return true;
            return false;
        };
        ASSERT_TRUE(test::WaitFor(fetched, 30000));
        Sleep(1500);
        runner.Kill(); // waits for the end
        watch.Stop();
        EXPECT_TRUE(watch.Problems().empty()) << faults::Join(watch.Problems());
    }
    EXPECT_EQ(test::ReadFileBytes(game.Local("data/world.pak")), old);
    EXPECT_TRUE(test::PathExists(tmp));
    EXPECT_TRUE(game.Problems(true).empty()) << faults::Join(game.Problems(true));

    // The next start: the blocks already in the ".tmp" are kept, only the rest is asked for.
    game.Publish({"manifest_light.json"});
    const size_t second = test::TestServer::LogMark();
    test::ChildProcess runner;
    ASSERT_TRUE(faults::StartRunner(runner, exe, url, L"LIGHT", results / L"second.txt"));
    const faults::RunnerResult end = faults::WaitRunner(runner, results / L"second.txt", 60000);
    ASSERT_TRUE(end.ended);
    EXPECT_EQ(end.Final(), L"Archivos OK!");
    EXPECT_TRUE(game.AllCurrent());
    EXPECT_FALSE(test::PathExists(tmp));
    size_t rangeRequests = 0, rangesAsked = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(second)) {
        if (r.path.rfind("/update/", 0) != 0) continue;
        std::string range;
        for (const auto& [key, value] : r.headers)
            if (_stricmp(key.c_str(), "Range") == 0) range = value;
        ASSERT_FALSE(range.empty()) << "a whole download after the kill";
        ++rangeRequests;
        rangesAsked += 1 + std::count(range.begin(), range.end(), ',');
    }
    EXPECT_GE(rangeRequests, 1u);
    // 192 ranges were missing at the start; a good part of them came before the kill.
    EXPECT_LT(rangesAsked, 192u);
}

// Killed while pieces of a big file are in flight: no wrong file in place, and the next start
// keeps the pieces the block index confirms, asking only for the rest.
TEST(PatchInterruption, AKilledSplitDownloadLeavesNoWrongFileAndTheNextStartCompletesIt) {
    test::TempDir folder(L"splitkill");
    const std::wstring exe = folder / L"ZarvoLauncher.exe";
    ASSERT_TRUE(test::CopyFileTo(faults::RunnerSourceExe(), exe));
    FaultGame game(folder.Path());
    game.AllowExtra(L"ZarvoLauncher.exe", {test::ReadFileBytes(exe)});
    const size_t size = (24 << 20) + 777;
    const std::string content = test::RandomBytes(size, 81);
    game.Add("data/archive.pak", content);
    game.AllowExtra(L"data\\archive.pak.tmp");
    ASSERT_TRUE(test::WriteFileBytes(game.ServerRoot() + L"\\blocks\\data\\archive.pak.zbi",
                                     test::MakeBlockIndex(content, 65536)));
    game.Publish({"manifest_light.json"},
                 "{\"" + game.FaultKey("data/archive.pak") +
                     "\": {\"trickle_bytes\": 32768, \"trickle_ms\": 50}}");
    const std::wstring tmp = game.Local("data/archive.pak") + L".tmp";
    test::TempDir results(L"results");
    const std::wstring url = game.ManifestUrl("manifest_light.json");
    const size_t mark = test::TestServer::LogMark();
    {
        faults::FolderWatch watch(game);
        test::ChildProcess runner;
        ASSERT_TRUE(faults::StartRunner(runner, exe, url, L"LIGHT", results / L"first.txt"));
        // Killed once several pieces are under way.
        auto pieces = [&] {
            size_t count = 0;
            for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
                count += r.path.rfind("/update/", 0) == 0 ? 1 : 0;
            return count >= 4;
        };
        ASSERT_TRUE(test::WaitFor(pieces, 30000));
        Sleep(800);
        runner.Kill();
        watch.Stop();
        EXPECT_TRUE(watch.Problems().empty()) << faults::Join(watch.Problems());
    }
    EXPECT_FALSE(test::PathExists(game.Local("data/archive.pak")));
    ASSERT_TRUE(test::PathExists(tmp));
    EXPECT_TRUE(game.Problems(true).empty()) << faults::Join(game.Problems(true));

    game.Publish({"manifest_light.json"});
    const size_t second = test::TestServer::LogMark();
    test::ChildProcess runner;
    ASSERT_TRUE(faults::StartRunner(runner, exe, url, L"LIGHT", results / L"second.txt"));
    const faults::RunnerResult end = faults::WaitRunner(runner, results / L"second.txt", 60000);
    ASSERT_TRUE(end.ended);
    EXPECT_EQ(end.Final(), L"Archivos OK!");
    EXPECT_TRUE(game.AllCurrent());
    EXPECT_FALSE(test::PathExists(tmp));
    // Only ranges, and less than the file: the confirmed pieces were kept.
    uint64_t asked = 0;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(second)) {
        if (r.path.rfind("/update/", 0) != 0) continue;
        std::string range;
        for (const auto& [key, value] : r.headers)
            if (_stricmp(key.c_str(), "Range") == 0) range = value;
        ASSERT_FALSE(range.empty()) << "a whole download after the kill";
        for (size_t at = range.find('=') + 1; at != std::string::npos && at < range.size();) {
            unsigned long long first = 0, last = 0;
            if (sscanf(range.c_str() + at, "%llu-%llu", &first, &last) != 2) break;
            asked += last + 1 - first;
            at = range.find(',', at);
            if (at != std::string::npos) ++at;
        }
    }
    EXPECT_GT(asked, 0u);
    EXPECT_LT(asked, size);
}

} // namespace

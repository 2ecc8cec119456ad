// A launcher killed while the runs of a bundle trickle in, some of its files placed and a big
// member part way in: no file stands in place with wrong bytes, and the next start ends with
// every file right and no ".tmp" left.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <optional>

#include "faults/bundle_support.h"
#include "faults/fault_support.h"

namespace {

using faults::FaultGame;

TEST(BundleInterruption, KilledInTheMiddleOfABundleNoFileStandsWrong) {
    test::TempDir folder(L"bundlekill");
    const std::wstring exe = folder / L"ZarvoLauncher.exe";
    ASSERT_TRUE(test::CopyFileTo(faults::RunnerSourceExe(), exe));
    FaultGame game(folder.Path());
    game.AllowExtra(L"ZarvoLauncher.exe", {test::ReadFileBytes(exe)});

    std::vector<faults::Member> members;
    for (int i = 0; i < 60; ++i) {
        const std::string name = "b/f" + std::to_string(i);
        const std::string content = i % 2 ? test::RandomBytes(3000 + i * 97, 700u + i)
                                          : test::CompressibleBytes(3000 + i * 89, 800u + i);
        if (i % 4 == 3) {
            game.Add(name, content, "stale " + name);
        } else {
            game.Add(name, content);
        }
        members.push_back({name, content});
    }
    // Members that span several of the transfer's blocks, so that the kill finds one part way.
    std::vector<std::string> big;
    for (int i = 0; i < 4; ++i) {
        const std::string name = "b/big" + std::to_string(i);
        const std::string content = test::RandomBytes(600000 + i * 50000, 900u + i);
        game.Add(name, content, i % 2 ? std::optional<std::string>("stale " + name) : std::nullopt);
        members.push_back({name, content});
        big.push_back(name);
    }
    const faults::Bundle bundle = faults::MakeBundle(members);
    faults::Offer(game, members, bundle);
    game.Publish({"manifest_light.json"},
                 "{\"" + bundle.Key() + "\": {\"trickle_bytes\": 4096, \"trickle_ms\": 20}}");

    test::TempDir results(L"results");
    const size_t mark = test::TestServer::LogMark();
    test::ChildProcess runner;
    ASSERT_TRUE(faults::StartRunner(runner, exe, game.ManifestUrl("manifest_light.json"), L"LIGHT",
                                    results / L"first.txt"));
    // Killed once some of the small files are in place and a big one is part way in, wherever
    // its bytes went.
    const int before = game.CountCurrent();
    const auto partWay = [](const std::wstring& path, size_t full) {
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return false;
        const uint64_t size = uint64_t{data.nFileSizeHigh} << 32 | data.nFileSizeLow;
        return size > 4096 && size < full;
    };
    const auto bigPartWay = [&] {
        for (size_t i = 0; i < big.size(); ++i) {
            const size_t full = members[members.size() - big.size() + i].content.size();
            const std::wstring local = game.Local(big[i]);
            if (partWay(local + L".tmp", full) || partWay(local, full)) return true;
        }
        return false;
    };
    EXPECT_TRUE(
        test::WaitFor([&] { return game.CountCurrent() >= before + 8 && bigPartWay(); }, 60000, 5));
    runner.Kill();
    const int placed = game.CountCurrent();
    EXPECT_LT(placed, static_cast<int>(members.size()));
    const std::vector<std::string> problems = game.Problems(true);
    EXPECT_TRUE(problems.empty()) << faults::Join(problems);
    const std::vector<test::LoggedRequest> requests = test::TestServer::RequestsSince(mark);
    EXPECT_GT(faults::RequestsTo(requests, bundle.Key()), 0);
    for (const faults::Member& m : members)
        EXPECT_EQ(faults::RequestsTo(requests, game.FaultKey(m.name)), 0) << m.name;

    // Untrickled, the next start finishes.
    game.Publish({"manifest_light.json"});
    ASSERT_TRUE(faults::StartRunner(runner, exe, game.ManifestUrl("manifest_light.json"), L"LIGHT",
                                    results / L"second.txt"));
    const faults::RunnerResult second = faults::WaitRunner(runner, results / L"second.txt", 60000);
    EXPECT_EQ(second.Final(), L"Archivos OK!");
    EXPECT_TRUE(game.AllCurrent());
    const std::vector<std::string> after = game.Problems(false);
    EXPECT_TRUE(after.empty()) << faults::Join(after);
}

} // namespace

// A launcher killed while the runs of a bundle trickle in, some of its files placed and some
// not: no file stands in place with wrong bytes, and the next start ends with every file right
// and no ".tmp" left.
#include <gtest/gtest.h>

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
    for (int i = 0; i < 80; ++i) {
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
    const faults::Bundle bundle = faults::MakeBundle(members);
    faults::Offer(game, members, bundle);
    game.Publish({"manifest_light.json"},
                 "{\"" + bundle.Key() + "\": {\"trickle_bytes\": 1024, \"trickle_ms\": 40}}");

    test::TempDir results(L"results");
    test::ChildProcess runner;
    ASSERT_TRUE(faults::StartRunner(runner, exe, game.ManifestUrl("manifest_light.json"), L"LIGHT",
                                    results / L"first.txt"));
    // Killed once some of the bundle's files are in place and others are not.
    const int before = game.CountCurrent();
    EXPECT_TRUE(test::WaitFor([&] { return game.CountCurrent() >= before + 8; }, 60000));
    runner.Kill();
    const int placed = game.CountCurrent();
    EXPECT_LT(placed, static_cast<int>(members.size()));
    const std::vector<std::string> problems = game.Problems(true);
    EXPECT_TRUE(problems.empty()) << faults::Join(problems);

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

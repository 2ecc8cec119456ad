// Two launchers started in the same game folder at the same moment (a double click, a
// shortcut and the installer both starting it): they fetch the same files into the same
// temporary names and both swap their own executable. Both runs must come to an end, the
// folder must never hold partial bytes meanwhile, and at the end every file is right.
#include <gtest/gtest.h>

#include "base/paths.h"
#include "faults/fault_support.h"

namespace {

using faults::FaultGame;

TEST(TwoLaunchers, StartedTogetherInOneFolderBothEndAndEveryFileIsRight) {
    test::TempDir folder(L"twice");
    FaultGame game(folder.Path());

    // Each run is the update run of the launcher in a process of its own, started from the
    // same executable in the game folder; the manifest lists a newer build of it.
    const std::string oldBuild = test::ReadFileBytes(faults::RunnerSourceExe());
    ASSERT_FALSE(oldBuild.empty());
    const std::string newBuild = oldBuild + std::string(4096, '\0') + "newer build";
    game.Add("ZarvoLauncher.exe", newBuild, oldBuild);
    game.AllowExtra(L"ZarvoLauncher.exe.old", {oldBuild, newBuild});
    game.AllowSwapGap("ZarvoLauncher.exe");
    game.AllowExtra(L"Log\\inst_done", {""});

    std::string faults = "{";
    for (int i = 0; i < 40; ++i) {
        const std::string name = "data/f" + std::to_string(i) + ".bin";
        const std::string content = test::RandomBytes(3000 + (i * 4099) % 120000, 2000u + i);
        if (i % 3 == 0) game.Add(name, content);
        if (i % 3 == 1) game.Add(name, content, "stale " + name);
        if (i % 3 == 2) game.Add(name, content, content);
        // Most transfers take a while, so the two runs meet on the same files.
        if (i % 4 != 3) {
            faults += std::string(faults.size() > 1 ? "," : "") + "\"" + game.FaultKey(name) +
                      "\": {\"trickle_bytes\": 8192, \"trickle_ms\": 40}";
        }
    }
    faults += "}";
    game.Publish({"manifest_full.json"}, faults);

    const std::wstring exe = folder / L"ZarvoLauncher.exe";
    test::TempDir results(L"results");
    const std::wstring resultA = results / L"a.txt", resultB = results / L"b.txt";
    test::ChildProcess a, b;
    faults::RunnerResult endA, endB;
    std::vector<std::string> during;
    {
        faults::FolderWatch watch(game);
        const std::wstring url = game.ManifestUrl("manifest_full.json");
        ASSERT_TRUE(faults::StartRunner(a, exe, url, L"FULL", resultA));
        ASSERT_TRUE(faults::StartRunner(b, exe, url, L"FULL", resultB));
        endA = faults::WaitRunner(a, resultA, 120000);
        endB = faults::WaitRunner(b, resultB, 120000);
        watch.Stop();
        during = watch.Problems();
    }

    ASSERT_TRUE(endA.ended) << "the first run did not end";
    ASSERT_TRUE(endB.ended) << "the second run did not end";
    std::printf("first run: %s\nsecond run: %s\n", test::Narrow(endA.Final()).c_str(),
                test::Narrow(endB.Final()).c_str());
    for (const faults::RunnerResult* end : {&endA, &endB}) {
        EXPECT_TRUE(end->Final() == L"Archivos OK!" || end->Final() == L"Error: fallo la descarga")
            << test::Narrow(end->Final());
    }
    EXPECT_TRUE(during.empty()) << faults::Join(during);
    EXPECT_TRUE(game.AllCurrent());
    const std::vector<std::string> problems = game.Problems(false);
    EXPECT_TRUE(problems.empty()) << faults::Join(problems);
}

} // namespace

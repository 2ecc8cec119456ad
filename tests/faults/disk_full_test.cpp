// A game folder on a small drive that fills up during the download (a tmpfs the test
// environment maps as drive Q:, see tmpfs_fixture.sh). The run is the launcher's update run
// in a process started from that drive, since the launcher's folder is where its executable
// stands. It must end with "Error: fallo la descarga", leave the files already in place as
// they were, and leave nothing partial behind.
#include <gtest/gtest.h>

#include "base/paths.h"
#include "faults/fault_support.h"

namespace {

using faults::FaultGame;

uint64_t FreeBytes(const std::wstring& folder) {
    ULARGE_INTEGER free = {};
    if (!GetDiskFreeSpaceExW((folder + L"\\").c_str(), &free, nullptr, nullptr)) return 0;
    return free.QuadPart;
}

TEST(DiskFull, ARunThatFillsTheDriveFailsAndLeavesEveryFileWhole) {
    const std::wstring drive = test::Env(L"ZARVO_FAULTS_DRIVE");
    if (drive.empty()) GTEST_SKIP() << "no small drive mapped (tmpfs_fixture.sh up)";
    const std::wstring folder = drive + L"\\game-" + std::to_wstring(GetCurrentProcessId());
    test::RemoveTree(folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr)) << test::Narrow(folder);
    const std::wstring exe = folder + L"\\ZarvoLauncher.exe";
    ASSERT_TRUE(test::CopyFileTo(faults::RunnerSourceExe(), exe));

    {
        FaultGame game(folder);
        const std::string runner = test::ReadFileBytes(exe);
        game.AllowExtra(L"ZarvoLauncher.exe", {runner});
        game.Add("kept/a.bin", test::RandomBytes(1 << 20, 41), test::RandomBytes(1 << 20, 41));
        game.Add("kept/b.bin", test::RandomBytes(512 << 10, 42), test::RandomBytes(512 << 10, 42));
        game.Add("stale/c.bin", test::RandomBytes(1 << 20, 43), "an older c.bin");
        for (int i = 0; i < 4; ++i)
            game.Add("new/small" + std::to_string(i) + ".bin",
                     test::RandomBytes(256 << 10, 50u + i));
        // More than the drive has left: it can never be written whole.
        const uint64_t free = FreeBytes(folder);
        ASSERT_GT(free, 4u << 20) << "the small drive is too small for the test";
        ASSERT_LT(free, 64u << 20) << "the drive is not the small one";
        game.Add("new/huge.bin", test::RandomBytes(static_cast<size_t>(free + (2 << 20)), 60));
        game.Publish({"manifest_light.json"});

        test::TempDir results(L"results");
        const std::wstring result = results / L"run.txt";
        test::ChildProcess run;
        faults::RunnerResult end;
        std::vector<std::string> during;
        {
            faults::FolderWatch watch(game);
            ASSERT_TRUE(faults::StartRunner(run, exe, game.ManifestUrl("manifest_light.json"),
                                            L"LIGHT", result));
            end = faults::WaitRunner(run, result, 120000);
            watch.Stop();
            during = watch.Problems();
        }

        ASSERT_TRUE(end.ended) << "the run did not end";
        EXPECT_EQ(end.Final(), L"Error: fallo la descarga");
        for (const std::wstring& text : end.texts) EXPECT_NE(text, L"Archivos OK!");
        EXPECT_TRUE(game.IsCurrent("kept/a.bin"));
        EXPECT_TRUE(game.IsCurrent("kept/b.bin"));
        EXPECT_FALSE(test::PathExists(game.Local("new/huge.bin")));
        EXPECT_TRUE(during.empty()) << faults::Join(during);
        const std::vector<std::string> problems = game.Problems(false);
        EXPECT_TRUE(problems.empty()) << faults::Join(problems);
        // Whatever was written for the failed file has been given back.
        EXPECT_GE(FreeBytes(folder) + (3u << 20), free);
    }
    test::RemoveTree(folder);
}

} // namespace

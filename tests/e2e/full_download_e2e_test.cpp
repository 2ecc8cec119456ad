// The whole-game download of the real launcher: from the button, interrupted and resumed,
// and failed.
#include <gtest/gtest.h>

#include <map>

#include "base/paths.h"
#include "e2e/launcher_fixture.h"

namespace {

using test::LauncherRun;
using test::ServedGame;

// A folder the launcher installed itself into: it runs in place and finds no game.
void PrepareEmptyInstall(LauncherRun& run) {
    test::WriteFileBytes(run / L".zarvo_install_dir", "");
}

std::map<std::string, std::string> SampleGame(ServedGame& game, int files, size_t size) {
    std::map<std::string, std::string> contents;
    for (int i = 0; i < files; ++i) {
        std::string path = "pak/part" + std::to_string(i) + ".pak";
        contents[path] = test::RandomBytes(size, 500u + i);
        game.AddFile(path, contents[path]);
    }
    return contents;
}

std::wstring LocalOf(const LauncherRun& run, const std::string& path) {
    std::wstring local = test::Widen(path);
    for (wchar_t& c : local)
        if (c == L'/') c = L'\\';
    return run / local;
}

bool Requested(size_t mark, const std::string& prefix) {
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        if (r.path.rfind(prefix, 0) == 0) return true;
    return false;
}

TEST(FullDownload, TheButtonMarksFirstThenDownloadsEverythingAndRestartsIntoALightRun) {
    ServedGame game;
    auto contents = SampleGame(game, 6, 20000);
    game.Publish("manifest_full.json", "{\"/manifest_full.json\": {\"delay_ms\": 1500}}");
    game.WriteRootFile("manifest_light.json", "{\"files\": []}");

    LauncherRun run;
    PrepareEmptyInstall(run);
    size_t mark = test::TestServer::LogMark();
    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    test::PumpMessages(500);
    EXPECT_FALSE(Requested(mark, "/manifest_full.json")); // nothing starts by itself

    test::PostClick(window, 690, 515);
    // The marker is there while the manifest is still being answered.
    ASSERT_TRUE(
        test::WaitFor([&] { return Requested(mark, "/manifest_full.json?nocache="); }, 10000));
    const std::wstring marker = run / L".zarvo_downloading";
    DWORD attributes = GetFileAttributesW(marker.c_str());
    ASSERT_NE(attributes, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(test::ReadFileBytes(marker), "");
    EXPECT_FALSE(test::PathExists(run / L"Log\\inst_done"));

    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitExit(30000, &exitCode)) << "no restart after the download";
    EXPECT_EQ(exitCode, 0u);
    for (const auto& [path, content] : contents)
        EXPECT_EQ(test::ReadFileBytes(LocalOf(run, path)), content) << path;
    EXPECT_TRUE(test::PathExists(run / L"Log\\inst_done"));
    // The restarted launcher finds the game installed and runs the light check.
    EXPECT_TRUE(
        test::WaitFor([&] { return Requested(mark, "/manifest_light.json?nocache="); }, 20000));
}

// The restart after a download would go into a build this start already ran (two publications
// disagree on the launcher): nothing restarts, and the window offers the game it installed.
TEST(FullDownload, ARefusedRestartLeavesTheWindowOfferingTheInstalledGame) {
    const std::string client =
        test::ReadFileBytes(LauncherFolderFull() + L"\\cmdline_recorder.exe");
    ASSERT_FALSE(client.empty());
    ServedGame game;
    game.AddFile("rovezuzav.exe", client);
    game.Publish("manifest_full.json");

    LauncherRun run;
    PrepareEmptyInstall(run);
    test::WriteFileBytes(run / L".zarvo_downloading", ""); // resumes by itself
    const std::string self = test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE"));
    ASSERT_TRUE(run.Start({L"ZARVO_LAUNCHER_RESTARTS=" + test::Widen(test::Md5Hex(self))}));
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return test::PathExists(run / L"Log\\inst_done"); }, 30000));
    EXPECT_FALSE(run.WaitExit(3000)) << "the launcher restarted or closed";
    test::PostClick(window, 690, 515);
    EXPECT_TRUE(
        test::WaitFor([&] { return test::PathExists(run / L"rovezuzav.exe.record"); }, 20000))
        << "the button did not start the game";
    EXPECT_TRUE(run.WaitExit(20000));
}

TEST(FullDownload, AnInterruptedDownloadResumesAtTheNextStartAndNeverLeavesPartialFiles) {
    ServedGame game;
    auto contents = SampleGame(game, 8, 40000);
    // Half of the files come slowly, so the kill lands in the middle of their transfers.
    std::string faults = "{";
    for (int i = 4; i < 8; ++i)
        faults += std::string(i > 4 ? "," : "") + "\"/update/pak/part" + std::to_string(i) +
                  ".pak\": {\"trickle_bytes\": 4000, \"trickle_ms\": 300, \"times\": 1}";
    faults += "}";
    game.Publish("manifest_full.json", faults);
    game.WriteRootFile("manifest_light.json", "{\"files\": []}");

    LauncherRun run;
    PrepareEmptyInstall(run);
    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    test::PostClick(window, 690, 515);
    ASSERT_TRUE(
        test::WaitFor([&] { return test::PathExists(LocalOf(run, "pak/part0.pak")); }, 20000));
    Sleep(800);
    run.Process().Kill();

    int placed = 0;
    for (const auto& [path, content] : contents) {
        std::wstring local = LocalOf(run, path);
        if (!test::PathExists(local)) continue;
        EXPECT_EQ(test::ReadFileBytes(local), content) << path << " is in place but not whole";
        ++placed;
    }
    EXPECT_LT(placed, 8) << "the kill came too late to interrupt anything";
    EXPECT_FALSE(test::PathExists(run / L"Log\\inst_done"));

    // The next start takes the download up again without a click.
    size_t mark = test::TestServer::LogMark();
    ASSERT_TRUE(run.Start());
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitExit(60000, &exitCode)) << "the resumed download did not finish";
    EXPECT_TRUE(Requested(mark, "/manifest_full.json?nocache="));
    for (const auto& [path, content] : contents)
        EXPECT_EQ(test::ReadFileBytes(LocalOf(run, path)), content) << path;
    EXPECT_TRUE(test::PathExists(run / L"Log\\inst_done"));
}

TEST(FullDownload, AFailedDownloadOffersItAgain) {
    ServedGame game;
    game.Publish("manifest_full.json", "{\"/manifest_full.json\": {\"status\": 500}}");

    LauncherRun run;
    PrepareEmptyInstall(run);
    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);

    for (int attempt = 0; attempt < 2; ++attempt) {
        size_t mark = test::TestServer::LogMark();
        test::PostClick(window, 690, 515);
        EXPECT_TRUE(
            test::WaitFor([&] { return Requested(mark, "/manifest_full.json?nocache="); }, 10000))
            << "attempt " << attempt;
        test::PumpMessages(700); // let the run end before the next click
    }
    EXPECT_TRUE(run.Process().Running());
    EXPECT_FALSE(test::PathExists(run / L"Log\\inst_done"));
    EXPECT_TRUE(test::PathExists(run / L".zarvo_downloading"));
}

} // namespace

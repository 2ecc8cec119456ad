// The real launcher updating a game folder and itself against the test server.
#include <gtest/gtest.h>

#include <set>

#include "base/paths.h"
#include "e2e/launcher_fixture.h"

namespace {

using test::LauncherRun;
using test::ServedGame;

void MarkInstalledIn(const LauncherRun& run) {
    test::WriteFileBytes(run / L"Log\\inst_done", "");
}

bool NoTmpLeft(const std::wstring& folder) {
    WIN32_FIND_DATAW data;
    bool clean = true;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return true;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            clean = clean && NoTmpLeft(folder + L"\\" + name);
        else if (name.size() > 4 && name.substr(name.size() - 4) == L".tmp")
            clean = false;
    } while (FindNextFileW(find, &data));
    FindClose(find);
    return clean;
}

TEST(LauncherUpdate, LightRunPlacesTheListedFilesAndAsksPolitely) {
    ServedGame game;
    const std::string one = test::RandomBytes(70000, 1), two = test::RandomBytes(300, 2);
    game.AddFile("data/one.bin", one);
    game.AddFile("data/sub dir/two.bin", two);
    game.AddFile("three.txt", "three");
    game.Publish("manifest_light.json");

    LauncherRun run;
    run.PlaceClientFile();
    MarkInstalledIn(run);
    test::WriteFileBytes(run / L"three.txt", "an older three");
    size_t mark = test::TestServer::LogMark();
    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);

    ASSERT_TRUE(test::WaitFor(
        [&] {
            return test::ReadFileBytes(run / L"data\\one.bin") == one &&
                   test::ReadFileBytes(run / L"data\\sub dir\\two.bin") == two &&
                   test::ReadFileBytes(run / L"three.txt") == "three";
        },
        30000));
    EXPECT_TRUE(NoTmpLeft(run.Folder()));
    // Wine's folders read back as their user's own, with full control: the run says that
    // others than the administrators may change the game folder.
    EXPECT_NE(test::ReadFileBytes(run / L"Log\\run.log")
                  .find("warning: users other than the administrators can write the game folder"),
              std::string::npos);

    std::vector<test::LoggedRequest> requests = test::TestServer::RequestsSince(mark);
    // The value mixes the tick count with a counter, so two different files may share one
    // across milliseconds; what must never repeat is a whole address.
    std::set<std::string> addresses;
    bool sawNested = false;
    for (const test::LoggedRequest& r : requests) {
        EXPECT_EQ(r.method, "GET");
        EXPECT_EQ(r.scheme, "https");
        EXPECT_EQ(r.userAgent, "ZarvoLauncher/1.0");
        size_t at = r.path.find("nocache=");
        ASSERT_NE(at, std::string::npos) << r.path;
        EXPECT_TRUE(addresses.insert(r.path).second) << "repeated " << r.path;
        sawNested |= r.path.rfind("/update/data/sub%20dir/two.bin?", 0) == 0 ||
                     r.path.rfind("/update/data/sub dir/two.bin?", 0) == 0;
    }
    EXPECT_TRUE(sawNested);
    EXPECT_TRUE(run.Process().Running()); // a light run without a new launcher keeps running
    test::PostClick(window, 782, 18);
    EXPECT_TRUE(run.WaitExit(20000));
}

TEST(LauncherUpdate, FullCheckZoneRunsTheFullManifestAndMarksTheInstall) {
    ServedGame game;
    game.AddFile("base.pak", test::RandomBytes(5000, 3));
    game.Publish("manifest_full.json");

    LauncherRun run;
    run.PlaceClientFile(); // not installed yet: no run starts by itself
    size_t mark = test::TestServer::LogMark();
    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    test::PumpMessages(500);
    EXPECT_FALSE(test::PathExists(run / L"Log\\inst_done"));

    test::PostClick(window, 600, 565);
    ASSERT_TRUE(test::WaitFor([&] { return test::PathExists(run / L"Log\\inst_done"); }, 30000));
    EXPECT_EQ(test::ReadFileBytes(run / L"base.pak"), test::RandomBytes(5000, 3));
    bool fullManifest = false;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
        fullManifest |= r.path.rfind("/manifest_full.json?nocache=", 0) == 0;
    EXPECT_TRUE(fullManifest);
}

TEST(LauncherUpdate, NewLauncherGoesInThroughOldAndRestartsWithItsQuotedPath) {
    // The "newer build" records how it was started, so the restart can be checked exactly.
    const std::string newBuild =
        test::ReadFileBytes(LauncherFolderFull() + L"\\cmdline_recorder.exe");
    ASSERT_FALSE(newBuild.empty());
    ServedGame game;
    game.AddFile("zarvolauncher.EXE", newBuild); // the launcher's own name, other letter case
    game.Publish("manifest_light.json");

    LauncherRun run;
    run.PlaceClientFile();
    MarkInstalledIn(run);
    ASSERT_TRUE(run.Start());
    const std::string oldBuild = test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE"));

    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitExit(30000, &exitCode)) << "the old launcher did not close";
    EXPECT_EQ(exitCode, 0u);
    ASSERT_TRUE(test::WaitFor([&] { return test::PathExists(run.ExePath() + L".record"); }, 20000));

    EXPECT_EQ(test::ReadFileBytes(run.ExePath()), newBuild);
    EXPECT_EQ(test::ReadFileBytes(run.ExePath() + L".old"), oldBuild);
    std::string record = test::ReadFileBytes(run.ExePath() + L".record");
    std::string commandLine = record.substr(0, record.find('\n'));
    std::string folder = record.substr(record.find('\n') + 1);
    folder = folder.substr(0, folder.find('\n'));
    // The launcher knows itself by the name it was started with.
    EXPECT_EQ(commandLine, "\"" + test::Narrow(run.ExePath()) + "\"");
    EXPECT_EQ(_stricmp(folder.c_str(), test::Narrow(run.Folder()).c_str()), 0) << folder;
}

TEST(LauncherUpdate, TheLauncherUpdatesItselfFromADeltaOfItsOwnBuild) {
    // The delta from this build to the "newer build", made by the host encoder.
    const std::string newBuild =
        test::ReadFileBytes(LauncherFolderFull() + L"\\cmdline_recorder.exe");
    const std::string delta =
        test::ReadFileBytes(LauncherFolderFull() + L"\\delta_samples\\launcher.zdelta");
    const std::string oldBuild = test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE"));
    ASSERT_FALSE(delta.empty()) << "no launcher delta beside the test program";
    const std::string name =
        "objects/" + test::Md5Hex(oldBuild) + "-" + test::Md5Hex(newBuild) + ".zdelta";
    ServedGame game;
    game.AddFile("ZarvoLauncher.exe", newBuild, // the name the launcher was started with
                 ", \"zdeltas\": \"" + test::Md5Hex(oldBuild) + "\"");
    game.WriteRootFile(name, delta);
    game.Publish("manifest_light.json");
    const size_t mark = test::TestServer::LogMark();

    LauncherRun run;
    run.PlaceClientFile();
    MarkInstalledIn(run);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitExit(30000, nullptr)) << "the old launcher did not close";
    ASSERT_TRUE(test::WaitFor([&] { return test::PathExists(run.ExePath() + L".record"); }, 20000));
    EXPECT_EQ(test::ReadFileBytes(run.ExePath()), newBuild);
    // The delta, and not a byte of the executable itself.
    bool askedDelta = false;
    for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark)) {
        const std::string path = r.path.substr(0, r.path.find('?'));
        askedDelta = askedDelta || path == "/" + name;
        EXPECT_NE(path.rfind("/update/", 0), 0u) << path;
    }
    EXPECT_TRUE(askedDelta);
}

TEST(LauncherUpdate, TheNewLauncherRemovesTheOldOneOnceItHasEnded) {
    // A newer build that is a real launcher: same program, different bytes.
    const std::string newBuild = test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE")) +
                                 std::string(4096, '\0') + "newer build";
    ServedGame game;
    game.AddFile("ZarvoLauncher.exe", newBuild);
    game.Publish("manifest_light.json");

    LauncherRun run;
    run.PlaceClientFile();
    MarkInstalledIn(run);
    ASSERT_TRUE(run.Start());
    ASSERT_TRUE(run.WaitExit(30000)) << "the old launcher did not restart";
    EXPECT_EQ(test::ReadFileBytes(run.ExePath()), newBuild);

    // The new process clears the ".old" at its start; should the old image still have been
    // in use then, the next start does.
    if (!test::WaitFor([&] { return !test::PathExists(run.ExePath() + L".old"); }, 10000)) {
        test::KillProcessesUnder(run.Folder());
        ASSERT_TRUE(run.Start());
        EXPECT_TRUE(
            test::WaitFor([&] { return !test::PathExists(run.ExePath() + L".old"); }, 10000));
    }
    EXPECT_FALSE(test::PathExists(run.ExePath() + L".old"));
}

} // namespace

namespace {

// Killed between the two renames of its own swap, a launcher leaves "<name>.exe.old" and no
// "<name>.exe" (the desktop shortcut's target): the next launcher started in the folder puts
// the previous build back.
TEST(LauncherUpdate, ASwapEndedBetweenItsRenamesIsUndoneByTheNextStart) {
    const std::string previous = test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE")) + "prev";
    LauncherRun run;
    run.PlaceClientFile();
    MarkInstalledIn(run);
    ASSERT_TRUE(test::WriteFileBytes(run / L"Zarvo Vestra.exe.old", previous));
    ASSERT_TRUE(test::WriteFileBytes(run / L"Zarvo Vestra.exe.tmp", "half a new build"));
    ASSERT_TRUE(run.Start());
    EXPECT_TRUE(test::WaitFor([&] { return test::PathExists(run / L"Zarvo Vestra.exe"); }, 20000))
        << "the folder is still without its launcher";
    EXPECT_EQ(test::ReadFileBytes(run / L"Zarvo Vestra.exe"), previous);
    EXPECT_FALSE(test::PathExists(run / L"Zarvo Vestra.exe.old"));
}

// Two publications that disagree on the launcher would have it replace and restart itself
// without end. A launcher restarted into a build once already in this start (as the
// environment of a restarted process tells) still puts the listed file in place, but does not
// restart into it again: it stays open and says so.
TEST(LauncherUpdate, ARestartIntoABuildThisStartAlreadyRanIsNotMade) {
    const std::string newBuild =
        test::ReadFileBytes(LauncherFolderFull() + L"\\cmdline_recorder.exe");
    ASSERT_FALSE(newBuild.empty());
    ServedGame game;
    game.AddFile("ZarvoLauncher.exe", newBuild);
    game.Publish("manifest_light.json");

    LauncherRun run;
    run.PlaceClientFile();
    MarkInstalledIn(run);
    ASSERT_TRUE(
        run.Start({L"ZARVO_LAUNCHER_RESTARTS=0123," + test::Widen(test::Md5Hex(newBuild))}));
    EXPECT_TRUE(
        test::WaitFor([&] { return test::ReadFileBytes(run.ExePath()) == newBuild; }, 30000));
    EXPECT_FALSE(run.WaitExit(5000)) << "the launcher restarted or closed";
    EXPECT_FALSE(test::PathExists(run.ExePath() + L".record")) << "the listed build was started";
}

} // namespace

// The real launcher killed again and again in the middle of a whole-game download: while it
// starts, while files trickle in, between a finished download and its move into place, just
// after it swapped in its own new executable, and after it marked the game installed. It is
// started again after every kill. After each one, every file of the game folder holds either
// its manifest content or what it held before; the last start ends with every file right.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>

#include "base/paths.h"
#include "faults/fault_support.h"

namespace {

using faults::FaultGame;

constexpr wchar_t kExeName[] = L"ZarvoLauncher.exe";

uint64_t SizeOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return UINT64_MAX;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// When a round kills the launcher: after a fixed time, or as soon as something shows in the
// folder (polled every millisecond), at the latest after the time.
struct Round {
    const char* moment;
    DWORD afterMs;
    std::function<bool()> when; // empty: only the time counts
};

TEST(Interruption, KilledAtManyMomentsOfAWholeGameDownloadTheFolderNeverHoldsPartialFiles) {
    test::TempDir folder(L"killed");
    FaultGame game(folder.Path());

    // The launcher that runs first, and the newer build the manifest lists under its name: the
    // same program with other bytes, so that the swapped-in copy runs as well.
    const std::string oldBuild = test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE"));
    ASSERT_FALSE(oldBuild.empty());
    const std::string newBuild = oldBuild + std::string(4096, '\0') + "newer build";
    const std::wstring exe = folder / kExeName;

    // Listed first, so that a worker takes each at once: the launcher, then one archive large
    // enough for its MD5 check to take a moment. Then many small files that trickle in.
    game.Add(test::Narrow(kExeName), newBuild, oldBuild);
    const std::string archive = test::RandomBytes(24u << 20, 900);
    game.Add("big/archive.pak", archive);
    std::string faults = "{";
    for (int i = 0; i < 48; ++i) {
        const std::string name = "pak/part" + std::to_string(i) + ".pak";
        const std::string content = test::RandomBytes(16384 + (i * 7919) % 190000, 1000u + i);
        if (i % 3 == 0) game.Add(name, content);
        if (i % 3 == 1) game.Add(name, content, "stale " + name);
        if (i % 3 == 2) game.Add(name, content, content);
        faults += std::string(i ? "," : "") + "\"" + game.FaultKey(name) +
                  "\": {\"trickle_bytes\": 4096, \"trickle_ms\": 60}";
    }
    faults += "}";
    game.Publish({"manifest_full.json", "manifest_light.json"}, faults);

    // A folder the launcher installed itself into, with a whole-game download under way: each
    // start takes the download up again by itself.
    test::WriteFileBytes(folder / L".zarvo_install_dir", "");
    test::WriteFileBytes(folder / L".zarvo_downloading", "");
    game.AllowExtra(L".zarvo_install_dir", {""});
    game.AllowExtra(L".zarvo_downloading", {""});
    game.AllowExtra(L"Log\\inst_done", {""});
    game.AllowExtra(L"Log\\lang_set", {""});
    game.AllowExtra(std::wstring(kExeName) + L".old", {oldBuild});

    const std::wstring exeTmp = exe + L".tmp";
    const std::wstring archiveTmp = game.Local("big/archive.pak") + L".tmp";
    auto anyTmp = [&] { return !game.TmpFiles().empty(); };
    const std::vector<Round> rounds = {
        {"while starting", 300, {}},
        {"as the first transfer begins", 20000, anyTmp},
        {"new launcher downloaded, not yet swapped", 20000,
         [&] { return SizeOf(exeTmp) == newBuild.size(); }},
        {"new launcher just swapped in", 20000, [&] { return SizeOf(exe) == newBuild.size(); }},
        {"archive downloaded, not yet moved", 20000,
         [&] { return SizeOf(archiveTmp) == archive.size(); }},
        {"during transfers", 900, {}},
        {"during transfers", 1300, {}},
        {"during transfers", 1700, {}},
        {"during transfers", 2100, {}},
        {"during transfers", 2500, {}},
        {"during transfers", 1100, {}},
        {"during transfers", 1500, {}},
        {"during transfers", 1900, {}},
        {"as the game is marked installed", 60000,
         [&] { return FileExists(folder / L"Log\\inst_done"); }},
        {"in the light run after the restart", 1200, {}},
    };

    test::ChildProcess launcher;
    int roundNumber = 0;
    for (const Round& round : rounds) {
        SCOPED_TRACE(std::string("round ") + std::to_string(roundNumber) + ": " + round.moment);
        ASSERT_TRUE(launcher.Start(exe, L"\"" + exe + L"\"", folder.Path()));
        const ULONGLONG start = GetTickCount64();
        while (GetTickCount64() - start < round.afterMs && launcher.Running()) {
            if (round.when && round.when()) break;
            Sleep(1);
        }
        const ULONGLONG killedAt = GetTickCount64() - start;
        DWORD exitCode = 0;
        const bool ended = launcher.WaitExit(0, &exitCode);
        launcher.Kill();
        test::KillProcessesUnder(folder.Path()); // a launcher it restarted

        const std::vector<std::string> problems = game.Problems(true);
        EXPECT_TRUE(problems.empty()) << faults::Join(problems);
        if (FileExists(folder / L"Log\\inst_done")) {
            EXPECT_TRUE(game.AllCurrent()) << "marked installed with files missing";
        }
        std::printf("round %2d, %s after %5llu ms %-40s %2d of %d files current, %2zu .tmp, "
                    "launcher %s\n",
                    roundNumber, ended ? ("ended " + std::to_string(exitCode)).c_str() : "killed",
                    killedAt, round.moment, game.CountCurrent(), 50,
                    game.TmpFiles().size(),
                    test::ReadFileBytes(exe) == newBuild ? "new" : "old");
        ++roundNumber;
    }

    // The last start finishes the work: the game complete and marked installed, nothing left.
    ASSERT_TRUE(launcher.Start(exe, L"\"" + exe + L"\"", folder.Path()));
    EXPECT_TRUE(test::WaitFor(
        [&] { return game.AllCurrent() && FileExists(folder / L"Log\\inst_done"); }, 120000));
    launcher.Kill();
    test::KillProcessesUnder(folder.Path());
    EXPECT_TRUE(game.AllCurrent());
    const std::vector<std::string> problems = game.Problems(false);
    EXPECT_TRUE(problems.empty()) << faults::Join(problems);
}

} // namespace

// The launcher's own executable: known by its file however a path spells it, a read-only
// build's ".old" still removed, and no swap begun once the process is on its way out.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "base/threads.h"
#include "support/test_support.h"
#include "update/self_update.h"

namespace {

// The swap must recognise the running executable's file however a manifest path spells it;
// taken for another file, the running image would be overwritten in place, which fails at
// every start. This program stands in for the launcher: its own file is "the launcher".
TEST(SelfSwap, TheRunningExecutableIsKnownByItsFileNotByTheSpellingOfItsPath) {
    const std::wstring exe = LauncherExePath();
    if (!test::Env(L"ZARVO_SELF_SWAP_CHILD").empty()) {
        // A copy of this program under a name with non-ASCII letters, asked with them in the
        // other case (the file system folds them, the ASCII comparison does not).
        std::wstring upper = exe;
        CharUpperBuffW(upper.data(), static_cast<DWORD>(upper.size()));
        ASSERT_NE(upper.find(L"\u00D1AND\u00DA"), std::wstring::npos) << test::Narrow(upper);
        EXPECT_TRUE(IsLauncherExecutable(upper));
        return;
    }
    EXPECT_TRUE(IsLauncherExecutable(exe));

    wchar_t shortPath[MAX_PATH] = {};
    DWORD length = GetShortPathNameW(exe.c_str(), shortPath, MAX_PATH);
    ASSERT_TRUE(length > 0 && length < MAX_PATH);
    ASSERT_NE(std::wstring(shortPath), exe) << "no short name to try";
    EXPECT_TRUE(IsLauncherExecutable(shortPath)) << test::Narrow(shortPath);

    // A copy is another file, even with the same bytes and name.
    test::TempDir other(L"other");
    const std::wstring copy = other / exe.substr(exe.find_last_of(L'\\') + 1);
    ASSERT_TRUE(test::CopyFileTo(exe, copy));
    EXPECT_FALSE(IsLauncherExecutable(copy));

    test::TempDir folder(L"\u00F1and\u00FA");
    const std::wstring child = folder / L"\u00F1and\u00FA_self.exe";
    ASSERT_TRUE(test::CopyFileTo(exe, child));
    test::ChildProcess process;
    ASSERT_TRUE(process.Start(child, L"\"" + child + L"\" --gtest_filter=SelfSwap.*", folder.Path(),
                              {L"ZARVO_SELF_SWAP_CHILD=1"}));
    DWORD exitCode = 99;
    ASSERT_TRUE(process.WaitExit(60000, &exitCode));
    EXPECT_EQ(exitCode, 0u) << "the copy did not know its own file under the other case";
}

// A launcher marked read-only leaves a read-only ".old" behind its swap; it still goes at the
// next start, or the one after the next update could not take its name.
TEST(SelfSwap, AReadOnlyOldCopyIsDeletedAtTheNextStart) {
    const std::wstring old = LauncherExePath() + L".old";
    ASSERT_TRUE(test::WriteFileBytes(old, "the build before"));
    ASSERT_TRUE(SetFileAttributesW(old.c_str(), FILE_ATTRIBUTE_READONLY));
    DeleteOldLauncher();
    EXPECT_FALSE(test::PathExists(old));
    SetFileAttributesW(old.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(old.c_str());
}

// The way out of the process: background work is told to stop and waited for, within a bound
// even when a thread does not listen; once exiting, no swap of the launcher begins, so the
// process can never end between its two renames.
TEST(ExitPath, BackgroundWorkIsStoppedWithinItsBoundAndNoSwapBeginsAfterwards) {
    LauncherState& s = State();
    std::atomic<bool> sawCancel{false};
    std::atomic<bool> release{false};
    ASSERT_TRUE(StartBackgroundThread([&] {
        while (!State().cancelRequested.load())
            Sleep(5);
        sawCancel = true;
        Sleep(200); // finishing its current step
    }));
    ASSERT_TRUE(StartBackgroundThread([&] {
        while (!release.load())
            Sleep(5); // deaf to the request
    }));

    const ULONGLONG start = GetTickCount64();
    EXPECT_FALSE(StopBackgroundWork(1000));
    const ULONGLONG waited = GetTickCount64() - start;
    EXPECT_GE(waited, 1000u);
    EXPECT_LT(waited, 3000u);
    EXPECT_TRUE(s.exiting.load());
    EXPECT_TRUE(sawCancel.load());
    release = true;
    EXPECT_TRUE(StopBackgroundWork(5000));

    test::TempDir folder(L"swap");
    const std::wstring exe = folder / L"launcher.exe";
    ASSERT_TRUE(test::WriteFileBytes(exe, "running build"));
    ASSERT_TRUE(test::WriteFileBytes(exe + L".tmp", "new build"));
    EXPECT_FALSE(SwapLauncherExecutable(exe, exe + L".tmp"));
    EXPECT_EQ(test::ReadFileBytes(exe), "running build");
    EXPECT_FALSE(test::PathExists(exe + L".old"));
    EXPECT_FALSE(test::PathExists(exe + L".tmp"));
    EXPECT_TRUE(WaitForLauncherSwap(0));

    s.exiting.store(false); // the rest of this program goes on
    s.cancelRequested.store(false);
}

} // namespace

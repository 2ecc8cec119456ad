// The launcher updates its own executable like any other listed file. Windows lets a running
// image be renamed but not overwritten, so the new copy goes in through "<exe>.old".
#include "update/self_update.h"

#include <windows.h>

#include "app/launcher_state.h"
#include "app/paths.h"
#include "app/process.h"

namespace {
wchar_t LowerAscii(wchar_t c) { return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c; }
} // namespace

bool IsLauncherExecutable(const std::wstring& localPath) {
    std::wstring exe = LauncherExePath();
    if (exe.size() != localPath.size()) return false;
    for (size_t i = 0; i < exe.size(); ++i)
        if (LowerAscii(exe[i]) != LowerAscii(localPath[i])) return false;
    return true;
}

bool SwapLauncherExecutable(const std::wstring& exePath, const std::wstring& tmpPath) {
    const std::wstring oldPath = exePath + L".old";
    DeleteFileW(oldPath.c_str());
    if (!MoveFileExW(exePath.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        DeleteFileW(tmpPath.c_str());
        return false;
    }
    if (MoveFileExW(tmpPath.c_str(), exePath.c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED))
        return true;
    // Never leave the folder without a launcher: put the running one back.
    MoveFileExW(oldPath.c_str(), exePath.c_str(), MOVEFILE_REPLACE_EXISTING);
    DeleteFileW(tmpPath.c_str());
    return false;
}

void RestartLauncher() {
    const std::wstring exe = LauncherExePath();
    const std::wstring folder = ParentFolderOf(exe);
    StartDetachedProcess(exe, L"\"" + exe + L"\"", folder);
    // Closed whether or not the new process started: the user can start the new copy by hand.
    if (HWND window = State().mainWindow.load()) PostMessageW(window, WM_CLOSE, 0, 0);
}

void DeleteOldLauncher() { DeleteFileW((LauncherExePath() + L".old").c_str()); }

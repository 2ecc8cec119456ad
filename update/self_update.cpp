// The launcher updates its own executable like any other listed file. Windows lets a running
// image be renamed but not overwritten, so the new copy goes in through "<exe>.old".
#include "update/self_update.h"

#include <windows.h>

#include <atomic>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "base/process.h"
#include "update/digest.h"
#include "update/file_at.h"
#include "update/run_log.h"

namespace {

wchar_t LowerAscii(wchar_t c) {
    return c >= L'A' && c <= L'Z' ? c - L'A' + L'a' : c;
}

bool SameSpelling(const std::wstring& longOrPlainA, const std::wstring& longOrPlainB) {
    const std::wstring a = PlainPath(longOrPlainA), b = PlainPath(longOrPlainB);
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

// The volume and file index of an existing file: one file has one identity, however its
// path is spelt (short 8.3 names, letter case the comparison above does not fold, links).
struct FileIdentity {
    DWORD volume = 0;
    DWORD indexHigh = 0;
    DWORD indexLow = 0;
    bool operator==(const FileIdentity&) const = default;
};

bool ReadFileIdentity(const std::wstring& path, FileIdentity& identity) {
    FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.Get(), &info)) return false;
    identity = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
    return true;
}

} // namespace

bool IsLauncherExecutable(const std::wstring& localPath) {
    // The entry first: a file not yet in the folder fails its open and needs no look at the
    // launcher. The launcher's own identity is read anew each time: another launcher in the
    // same folder may have swapped it, and a freed file index is soon given to another file.
    FileIdentity launcher, entry;
    if (ReadFileIdentity(localPath, entry) && ReadFileIdentity(LauncherExePath(), launcher))
        return launcher == entry;
    // Without both identities (a file missing, a file system that gives none) the spelling is
    // all there is to go by.
    return SameSpelling(LauncherExePath(), localPath);
}

namespace {

// Swaps under way. Between its two renames the folder has no launcher, so the process must
// not end there; once it is on its way out, no swap begins.
std::atomic<int> gSwapsUnderWay{0};

struct SwapUnderWay {
    SwapUnderWay() { ++gSwapsUnderWay; }
    ~SwapUnderWay() { --gSwapsUnderWay; }
    SwapUnderWay(const SwapUnderWay&) = delete;
    SwapUnderWay& operator=(const SwapUnderWay&) = delete;
};

} // namespace

bool SwapLauncherExecutable(const std::wstring& exePath, const std::wstring& tmpPath, HANDLE held) {
    SwapUnderWay underWay;
    // Counted first, then checked: the exit path sets exiting before it waits for the count.
    if (State().exiting.load()) {
        DeleteFileW(tmpPath.c_str()); // a held one goes with its holder
        SetLastError(ERROR_OPERATION_ABORTED);
        return false;
    }
    const std::wstring oldPath = exePath + L".old";
    // A read-only launcher leaves a read-only ".old", which would refuse both.
    ClearReadOnly(oldPath);
    DeleteFileW(oldPath.c_str());
    if (!MoveFileExW(exePath.c_str(), oldPath.c_str(), MOVEFILE_REPLACE_EXISTING)) return false;
    const bool placed = held ? RenameHeldFile(held, ResolveFullPath(exePath), true)
                             : MoveFileExW(tmpPath.c_str(), exePath.c_str(),
                                           MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED);
    if (placed) return true;
    // Never leave the folder without a launcher: put the running one back. The ".tmp" stays
    // for the caller, who tries again or deletes it: a swap is never retried without it.
    const DWORD error = GetLastError();
    MoveFileExW(oldPath.c_str(), exePath.c_str(), MOVEFILE_REPLACE_EXISTING);
    SetLastError(error);
    return false;
}

namespace {

// The launchers this start has restarted into (their MD5s, comma separated), handed from each
// restarted process to the next through its environment; the command line stays as it was.
constexpr wchar_t kRestartsVariable[] = L"ZARVO_LAUNCHER_RESTARTS";
std::wstring gRestartedInto;

} // namespace

void TakeRestartHistory() {
    wchar_t buffer[2048] = {};
    const DWORD length = GetEnvironmentVariableW(kRestartsVariable, buffer, 2048);
    gRestartedInto = length > 0 && length < 2048 ? std::wstring(buffer, length) : std::wstring();
    // The game client and anything else this process starts do not carry it on.
    SetEnvironmentVariableW(kRestartsVariable, nullptr);
}

RestartResult RestartLauncher() {
    // The player closed the launcher while the work ended: the next start picks it up.
    if (State().exiting.load()) return RestartResult::NotStarted;
    const std::wstring exe = LauncherExePath();
    const std::wstring folder = ParentFolderOf(exe);
    // Two publications that disagree on the launcher (a rollout, mixed origins) would have it
    // replace and restart itself without end: a build this start already ran is not restarted
    // into again.
    const std::string digest = ComputeFileMd5(exe);
    const std::wstring now(digest.begin(), digest.end());
    if (!now.empty() &&
        (L"," + gRestartedInto + L",").find(L"," + now + L",") != std::wstring::npos)
        return RestartResult::Refused;
    const std::wstring history = gRestartedInto.empty() ? now : gRestartedInto + L"," + now;
    SetEnvironmentVariableW(kRestartsVariable, history.c_str());
    unsigned long error = 0;
    // By its plain path: Wine starts no program by the "\\?\" form.
    const bool started = StartDetachedProcess(PlainPath(exe), L"\"" + PlainPath(exe) + L"\"",
                                              PlainPath(folder), &error);
    SetEnvironmentVariableW(kRestartsVariable, nullptr);
    if (!started)
        RunLogLine(L"restart: \"" + PlainPath(exe) + L"\" could not be started, error " +
                   std::to_wstring(error));
    // Closed whether or not the new process started: the user can start the new copy by hand.
    if (HWND window = State().mainWindow.load()) PostMessageW(window, WM_CLOSE, 0, 0);
    return started ? RestartResult::Restarted : RestartResult::NotStarted;
}

void RestoreInterruptedSwaps() {
    // A swap ended between its two renames (killed, power lost) leaves "<name>.exe.old" and no
    // "<name>.exe": the shortcut would be dead. Any launcher started in the folder puts the
    // previous build back under its name; the next light run brings the new one again.
    const std::wstring folder = ParentFolderOf(LauncherExePath());
    WIN32_FIND_DATAW entry;
    FindHandle search(FindFirstFileW((folder + L"\\*.exe.old").c_str(), &entry));
    if (!search) return;
    do {
        if (entry.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
            continue;
        const std::wstring old = folder + L"\\" + entry.cFileName;
        const std::wstring name = old.substr(0, old.size() - 4);
        if (GetFileAttributesW(name.c_str()) == INVALID_FILE_ATTRIBUTES &&
            GetLastError() == ERROR_FILE_NOT_FOUND)
            MoveFileExW(old.c_str(), name.c_str(), 0);
    } while (FindNextFileW(search.Get(), &entry));
}

bool WaitForLauncherSwap(DWORD timeoutMs) {
    const ULONGLONG start = GetTickCount64();
    while (gSwapsUnderWay.load() > 0) {
        if (GetTickCount64() - start >= timeoutMs) return false;
        Sleep(1);
    }
    return true;
}

void DeleteOldLauncher() {
    const std::wstring oldPath = LauncherExePath() + L".old";
    ClearReadOnly(oldPath);
    DeleteFileW(oldPath.c_str());
}

// Replacing the running launcher's executable and starting the new one.
#pragma once

#include <windows.h>

#include <string>

enum class RestartResult {
    Restarted,  // the new process started; the window was asked to close
    NotStarted, // it could not be started (Log\run.log says why) or the process is ending; the
                // window was asked to close all the same: the player starts the launcher again
    Refused,    // this start already restarted into the build now in place (the publications
                // keep swapping the launcher back and forth): nothing started, the window stays
};

// Starts the launcher's executable anew and posts WM_CLOSE to the window. Any thread.
RestartResult RestartLauncher();

// Reads, once at the process's start, the builds the restarts before this one went into.
void TakeRestartHistory();

// Puts "<name>.exe.old" back as "<name>.exe" in the launcher's folder wherever the new name is
// missing: a swap that was ended between its two renames.
void RestoreInterruptedSwaps();

// True when localPath names the running executable's file: the same volume and file index,
// however the path is spelt; by the path, ASCII letters without case, when either file's
// identity cannot be read.
bool IsLauncherExecutable(const std::wstring& localPath);

// Puts the verified download tmpPath in place of the running executable at exePath, keeping
// the previous one as exePath + ".old"; with held (the ".tmp" open with DELETE access), the
// ".tmp" is renamed through that handle. True when the new executable is in place; on false
// the previous executable is back under its name, the ".tmp" is left to the caller, and the
// last error tells whether the swap may be tried again (a refused rename) or not.
bool SwapLauncherExecutable(const std::wstring& exePath, const std::wstring& tmpPath,
                            HANDLE held = nullptr);

// Waits up to timeoutMs while a swap is between its renames; true when none is. Once the
// launcher state says the process is exiting, no new swap begins.
bool WaitForLauncherSwap(DWORD timeoutMs);

// Removes the ".old" executable a previous self-update left behind; failures are ignored.
void DeleteOldLauncher();

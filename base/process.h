// Starting another program without waiting for it.
#pragma once

#include <string>

// Starts exe with the full command line (program path quoted by the caller) in folder, with
// no handle inheritance, no creation flags and this process's environment, and lets both of
// its handles go (thread first). False, with the system's error code in error, when it could
// not be started.
bool StartDetachedProcess(const std::wstring& exe, const std::wstring& commandLine,
                          const std::wstring& folder, unsigned long* error = nullptr);

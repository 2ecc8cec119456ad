#include "base/process.h"

#include <windows.h>

#include "base/handles.h"

bool StartDetachedProcess(const std::wstring& exe, const std::wstring& commandLine,
                          const std::wstring& folder, unsigned long* error) {
    // CreateProcessW may write into the command line, so it gets a copy of its own.
    std::wstring buffer = commandLine;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info)) {
        if (error) *error = GetLastError();
        return false;
    }
    KernelHandle thread(info.hThread), process(info.hProcess);
    thread.Reset();
    process.Reset();
    return true;
}

#include "update/run_log.h"

#include <windows.h>

#include <cstdio>
#include <mutex>

#include "base/handles.h"
#include "base/paths.h"

namespace {

std::mutex gLogLock;
int gLinesThisRun = 0;

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                      nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                            nullptr, nullptr);
    return out;
}

// The log is the launcher's own file in its own folder: opened only as a plain file, never
// through a link a user may have planted under Log.
FileHandle OpenLogForAppend() {
    FileHandle file(CreateFileW(RunLogPath().c_str(), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ||
        info.nNumberOfLinks > 1)
        return FileHandle();
    return file;
}

void WriteLineLocked(const std::wstring& text) {
    if (gLinesThisRun >= kRunLogMaxLines) return;
    const bool last = ++gLinesThisRun == kRunLogMaxLines;
    SYSTEMTIME now = {};
    GetSystemTime(&now);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "%04u-%02u-%02u %02u:%02u:%02u.%03u ", now.wYear, now.wMonth,
             now.wDay, now.wHour, now.wMinute, now.wSecond, now.wMilliseconds);
    std::string line = stamp + Utf8(last ? L"(more lines of this run left out)" : text);
    // One line per line: a path cannot forge another entry of the log.
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    line += "\r\n";
    FileHandle file = OpenLogForAppend();
    DWORD written = 0;
    if (file)
        WriteFile(file.Get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

} // namespace

std::wstring RunLogPath() {
    return LauncherFolderFull() + L"\\Log\\run.log";
}

std::wstring OlderRunLogPath() {
    return RunLogPath() + L".1";
}

void BeginRunLog(const std::wstring& mode, const std::wstring& manifestUrl) {
    std::lock_guard<std::mutex> lock(gLogLock);
    CreateDirectoryW((LauncherFolderFull() + L"\\Log").c_str(), nullptr);
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (GetFileAttributesExW(RunLogPath().c_str(), GetFileExInfoStandard, &data) &&
        ((static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow) >=
            kRunLogMaxBytes &&
        !(data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        MoveFileExW(RunLogPath().c_str(), OlderRunLogPath().c_str(), MOVEFILE_REPLACE_EXISTING);
    gLinesThisRun = 0;
    WriteLineLocked(L"run " + mode + L" " + manifestUrl);
}

void RunLogLine(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(gLogLock);
    WriteLineLocked(text);
}

void RunLogFileFailure(const std::wstring& path, const wchar_t* step, const std::wstring& why) {
    RunLogLine(L"failed " + std::wstring(step) + L" \"" + path + L"\": " + why);
}

void EndRunLog(const std::wstring& status) {
    RunLogLine(L"end: " + status);
}

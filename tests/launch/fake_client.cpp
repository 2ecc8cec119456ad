// Stand-in for the game client, built as rovezuzav.exe. Each start appends one line to
// "launch_record.txt" beside the executable: the full command line, a "|" (which no Windows
// path holds) and the current folder, in UTF-8. Then it exits with 0.
#include <windows.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t module[MAX_PATH * 2] = {};
    DWORD length = GetModuleFileNameW(nullptr, module, MAX_PATH * 2);
    std::wstring recordPath(module, length);
    recordPath = recordPath.substr(0, recordPath.find_last_of(L'\\') + 1) + L"launch_record.txt";

    wchar_t current[MAX_PATH * 2] = {};
    GetCurrentDirectoryW(MAX_PATH * 2, current);

    // One write of the whole line, so a reader never sees half a record.
    std::string line = Utf8(GetCommandLineW()) + "|" + Utf8(current) + "\n";
    HANDLE file = CreateFileW(recordPath.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 1;
    DWORD written = 0;
    BOOL ok = WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
    return ok && written == line.size() ? 0 : 1;
}

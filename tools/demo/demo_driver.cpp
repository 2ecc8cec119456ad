// The demo's hands when nobody watches: starts programs, waits for windows by class, clicks
// into them and closes them. One command per run:
//
//   demo_driver.exe start FOLDER EXE                    start EXE in FOLDER, print its pid
//   demo_driver.exe wait CLASS SECONDS                  wait for a visible window, print its title
//   demo_driver.exe click CLASS X Y                     move, press and release at client (X, Y)
//   demo_driver.exe close CLASS                         ask every window of the class to close
//   demo_driver.exe quiet SECONDS TIMEOUT CLASS...      wait until no window of the classes has
//                                                       been seen for SECONDS
// Exit status 0 on success, 1 when the window did not come (or go) in time, 2 on bad usage.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

namespace {

void Print(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    if (n > 1) WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), n, nullptr, nullptr);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

struct Search {
    const wchar_t* className;
    std::vector<HWND> found;
};

BOOL CALLBACK Collect(HWND window, LPARAM context) {
    auto* search = reinterpret_cast<Search*>(context);
    wchar_t name[256] = {};
    GetClassNameW(window, name, 256);
    if (std::wcscmp(name, search->className) == 0 && IsWindowVisible(window))
        search->found.push_back(window);
    return TRUE;
}

std::vector<HWND> Windows(const wchar_t* className) {
    Search search = {className, {}};
    EnumWindows(Collect, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND WaitWindow(const wchar_t* className, double seconds) {
    ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(seconds * 1000);
    do {
        std::vector<HWND> found = Windows(className);
        if (!found.empty()) return found.front();
        Sleep(100);
    } while (GetTickCount64() < end);
    return nullptr;
}

std::wstring Title(HWND window) {
    wchar_t title[512] = {};
    GetWindowTextW(window, title, 512);
    return title;
}

// Started as from the desktop link: the quoted path as the whole command line.
int Start(const std::wstring& folder, const std::wstring& exe) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
    line.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info)) {
        Print(L"demo_driver: cannot start " + exe + L" (error " + std::to_wstring(GetLastError()) + L")");
        return 1;
    }
    Print(std::to_wstring(info.dwProcessId));
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
    return 0;
}

void Post(HWND window, UINT message, int x, int y, WPARAM keys) {
    POINT p = {x, y};
    ClientToScreen(window, &p);
    SetCursorPos(p.x, p.y); // the launcher tracks the mouse leaving from the real cursor
    PostMessageW(window, message, keys, MAKELPARAM(x, y));
    Sleep(60);
}

int Click(const wchar_t* className, int x, int y) {
    HWND window = WaitWindow(className, 5);
    if (!window) return 1;
    Post(window, WM_MOUSEMOVE, x, y, 0);
    Post(window, WM_LBUTTONDOWN, x, y, MK_LBUTTON);
    Post(window, WM_LBUTTONUP, x, y, 0);
    return 0;
}

int Quiet(double quietSeconds, double timeoutSeconds, const std::vector<std::wstring>& classes) {
    ULONGLONG now = GetTickCount64();
    ULONGLONG end = now + static_cast<ULONGLONG>(timeoutSeconds * 1000);
    ULONGLONG lastSeen = now;
    while (GetTickCount64() < end) {
        for (const std::wstring& c : classes)
            if (!Windows(c.c_str()).empty()) lastSeen = GetTickCount64();
        if (GetTickCount64() - lastSeen >= static_cast<ULONGLONG>(quietSeconds * 1000)) return 0;
        Sleep(250);
    }
    return 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::wstring> args(argv + 1, argv + argc);
    const std::wstring command = args.empty() ? L"" : args[0];
    if (command == L"start" && args.size() == 3) return Start(args[1], args[2]);
    if (command == L"wait" && args.size() == 3) {
        HWND window = WaitWindow(args[1].c_str(), _wtof(args[2].c_str()));
        if (!window) return 1;
        Print(Title(window));
        return 0;
    }
    if (command == L"click" && args.size() == 4)
        return Click(args[1].c_str(), _wtoi(args[2].c_str()), _wtoi(args[3].c_str()));
    if (command == L"close" && args.size() == 2) {
        for (HWND window : Windows(args[1].c_str())) PostMessageW(window, WM_CLOSE, 0, 0);
        return 0;
    }
    if (command == L"quiet" && args.size() >= 4)
        return Quiet(_wtof(args[1].c_str()), _wtof(args[2].c_str()),
                     std::vector<std::wstring>(args.begin() + 3, args.end()));
    Print(L"usage: demo_driver.exe start|wait|click|close|quiet ... (see the source)");
    return 2;
}

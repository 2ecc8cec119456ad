// Watches a window program from outside, for the benchmarks (bench/bench.py): the time from
// process start to its first painted window, and for the launcher the time until a light run
// has painted its bars full.
//
//   bench_watch.exe startup EXE CLASS RESULT_FILE
//       "window_ms=": the window of CLASS exists; "painted_ms=": three fixed points of it show
//       neither black nor what the screen showed there before the start
//   bench_watch.exe run EXE RESULT_FILE ENDED_FILE RELEASE_FILE TIMEOUT_S
//       "run_ms=": the launcher's bytes bar is painted full (the run said "Archivos OK!"); then
//       ENDED_FILE is created and the launcher kept alive until RELEASE_FILE exists, so that
//       its memory can be read from outside
// The program is ended in every case; every wait has a time bound.
#include <windows.h>

#include <algorithm>
#include <string>

#include "support/test_support.h"

namespace {

struct Process {
    HANDLE handle = nullptr;
    DWORD pid = 0;
    ~Process() {
        if (!handle) return;
        TerminateProcess(handle, 255);
        WaitForSingleObject(handle, 10000);
        CloseHandle(handle);
    }
};

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

bool Start(const std::wstring& exe, Process& process) {
    std::wstring folder = exe.substr(0, exe.find_last_of(L"\\/"));
    std::wstring commandLine = L"\"" + exe + L"\"";
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info))
        return false;
    CloseHandle(info.hThread);
    process.handle = info.hProcess;
    process.pid = info.dwProcessId;
    return true;
}

COLORREF ScreenPixel(int x, int y) {
    HDC screen = GetDC(nullptr);
    COLORREF c = GetPixel(screen, x, y);
    ReleaseDC(nullptr, screen);
    return c;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return written == text.size();
}

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

constexpr int kWidth = 800, kHeight = 570;
// Client points that every skin and the minimal window paint in a colour far from black.
const POINT kSamples[] = {{400, 300}, {100, 300}, {20, 20}};

int Startup(const std::wstring& exe, const wchar_t* className, const std::wstring& result) {
    // Both programs centre their window; what the screen shows there before is the baseline.
    const int left = (GetSystemMetrics(SM_CXSCREEN) - kWidth) / 2;
    const int top = (GetSystemMetrics(SM_CYSCREEN) - kHeight) / 2;
    COLORREF before[3];
    for (int i = 0; i < 3; ++i)
        before[i] = ScreenPixel(left + kSamples[i].x, top + kSamples[i].y);

    Process process;
    const double start = NowMs();
    if (!Start(exe, process)) return 1;
    double windowMs = -1, paintedMs = -1;
    while (NowMs() - start < 60000) {
        if (windowMs < 0 && test::FindProcessWindow(process.pid, className, 0))
            windowMs = NowMs() - start;
        if (windowMs >= 0) {
            bool painted = true;
            for (int i = 0; i < 3 && painted; ++i) {
                COLORREF c = ScreenPixel(left + kSamples[i].x, top + kSamples[i].y);
                painted = test::ColorDistance(c, RGB(0, 0, 0)) > 24 &&
                          test::ColorDistance(c, before[i]) > 24;
            }
            if (painted) {
                paintedMs = NowMs() - start;
                break;
            }
        }
        Sleep(1);
    }
    if (paintedMs < 0) return 1;
    return WriteText(result, "window_ms=" + std::to_string(windowMs) +
                                 "\npainted_ms=" + std::to_string(paintedMs) + "\n")
               ? 0
               : 1;
}

int Run(const std::wstring& exe, const std::wstring& result, const std::wstring& ended,
        const std::wstring& release, double timeoutMs) {
    Process process;
    const double start = NowMs();
    if (!Start(exe, process)) return 1;
    HWND window = nullptr;
    while (!window && NowMs() - start < 60000) {
        window = test::FindProcessWindow(process.pid, L"Zarvo Vestra Launcher", 0);
        Sleep(5);
    }
    if (!window) return 1;
    // The right end of the bytes bar: it fills only when the run ends well (a light run over
    // valid files downloads nothing, so the bar stays empty until then).
    const COLORREF full = RGB(0x6E, 0xCE, 0x4E);
    double runMs = -1;
    while (NowMs() - start < timeoutMs) {
        RECT r;
        GetWindowRect(window, &r);
        if (test::ColorDistance(ScreenPixel(r.left + 590, r.top + 506), full) <= 30) {
            runMs = NowMs() - start;
            break;
        }
        if (WaitForSingleObject(process.handle, 0) == WAIT_OBJECT_0) return 1;
        Sleep(2);
    }
    if (runMs < 0) return 1;
    WriteText(ended, "");
    for (double waitStart = NowMs(); !Exists(release) && NowMs() - waitStart < 60000;)
        Sleep(20);
    return WriteText(result, "run_ms=" + std::to_string(runMs) + "\n") ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    const std::wstring mode = argc > 1 ? argv[1] : L"";
    if (argc == 5 && mode == L"startup") return Startup(argv[2], argv[3], argv[4]);
    if (argc == 7 && mode == L"run")
        return Run(argv[2], argv[3], argv[4], argv[5], 1000.0 * _wtoi(argv[6]));
    return 2;
}

// Process entry: COM, the first-run check, GDI+, the skin, the window and its message loop.
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

#include <string>

#include "base/threads.h"
#include "app/command_line.h"
#include "app/first_run.h"
#include "base/launcher_state.h"
#include "app/window.h"
#include "net/release_head.h"
#include "ui/skin.h"
#include "update/self_update.h"

namespace {

bool RegisterLauncherClass() {
    LauncherState& s = State();
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = LauncherWindowProc;
    wc.hInstance = s.appInstance;
    wc.hIcon = static_cast<HICON>(
        LoadImageW(s.appInstance, MAKEINTRESOURCEW(kIconGroup), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    wc.hIconSm = static_cast<HICON>(LoadImageW(s.appInstance, MAKEINTRESOURCEW(kIconGroup),
                                               IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR));
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = WindowClassName().c_str();
    return RegisterClassExW(&wc) != 0;
}

void CentreOnScreen(HWND window) {
    int x = (GetSystemMetrics(SM_CXSCREEN) - kWindowWidth) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - kWindowHeight) / 2;
    SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOZORDER | SWP_NOSIZE);
}

int RunMessageLoop() {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<int>(msg.wParam);
}

int ShowStartupError(const wchar_t* text) {
    MessageBoxW(nullptr, text, L"Error", MB_ICONERROR);
    return 1;
}

// Some system DLLs load others by bare name through their own loaders, which do not all honour
// the restriction above (Wine's GDI+ fetches its image codecs so, from the program's folder
// first). Loaded here from the system folder, they are already in the process when asked
// for by name, and stay for its lifetime.
void LoadIndirectSystemDlls() {
    for (const wchar_t* name : {L"windowscodecs.dll", L"crypt32.dll", L"secur32.dll"})
        LoadLibraryExW(name, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// How long the way out waits for background work: long enough for every thread to notice the
// cancel at its next block or file, short enough to go unnoticed with the window gone.
constexpr DWORD kExitWaitMs = 5000;
constexpr DWORD kSwapWaitMs = 10000;

// The way out, whichever way the message loop ended. Background threads are detached and may
// still run: they are told to stop and given a bounded time. The process then ends through
// ExitProcess, which stops any straggler before anything else and runs no static destructor,
// so no thread ever sees the launcher state, the runtime's locks or the HTTP session torn down
// under it; the system reclaims memory and handles. A straggler can only be in the middle of
// a ".tmp" (scratch data) or, briefly, of the launcher's own swap, which is waited for.
[[noreturn]] void EndProcess(int exitCode) {
    LauncherState& s = State();
    // The window goes at once (the destroy handling closes the web panel while COM is up).
    if (HWND window = s.mainWindow.exchange(nullptr)) DestroyWindow(window);
    StopBackgroundWork(kExitWaitMs);
    WaitForLauncherSwap(kSwapWaitMs);
    DeleteSkinImages(); // the loader thread must be gone before GDI+; a failed window left them
    if (s.gdiplusToken) Gdiplus::GdiplusShutdown(s.gdiplusToken);
    CoUninitialize();
    ExitProcess(static_cast<UINT>(exitCode));
}

// A build that follows release heads takes "--channel NAME" and keeps it for later starts
// (restarts after a self-update included); every other build reads no command line.
void RememberChannelOfCommandLine() {
    if (!ReleaseHeadEnabled()) return;
    if (const std::wstring channel = ChannelSwitch(GetCommandLineW()); !channel.empty())
        RememberReleaseChannel(channel);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    // The launcher runs elevated and is often started from a download folder anyone can write
    // to: no DLL may come from there. From here on every DLL loaded by name, including the
    // delay-loaded ones (winhttp, gdiplus, bcrypt, crypt32) and those the system loads for us,
    // comes from the system folder.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    LoadIndirectSystemDlls();
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    TakeRestartHistory();
    RestoreInterruptedSwaps();
    switch (InstallOnFirstRun()) {
    case FirstRunResult::RunInPlace:
        break;
    case FirstRunResult::Installed:
        CoUninitialize();
        return 0;
    case FirstRunResult::Refused:
        CoUninitialize();
        return 1;
    }

    RememberChannelOfCommandLine();

    LauncherState& s = State();
    Gdiplus::GdiplusStartupInput gdiplusInput;
    Gdiplus::GdiplusStartup(&s.gdiplusToken, &gdiplusInput, nullptr);
    s.appInstance = instance;
    // Decoded while the window is made; its first paint waits for the pictures.
    StartSkinLoad();

    int exitCode = 1;
    if (!RegisterLauncherClass()) {
        exitCode = ShowStartupError(L"No se pudo registrar la clase de la ventana");
    } else {
        // The handle is also stored by the creation handling itself, before it starts any
        // background thread, so that no early status repaint is lost.
        HWND window = CreateWindowExW(0, WindowClassName().c_str(), L"Zarvo Vestra",
                                      WS_POPUP | WS_VISIBLE | WS_CLIPSIBLINGS | WS_CLIPCHILDREN,
                                      CW_USEDEFAULT, CW_USEDEFAULT, kWindowWidth, kWindowHeight,
                                      nullptr, nullptr, instance, nullptr);
        if (!window) {
            exitCode = ShowStartupError(L"No se pudo crear la ventana");
        } else {
            s.mainWindow.store(window);
            CentreOnScreen(window);
            ShowWindow(window, showCommand);
            UpdateWindow(window);
            exitCode = RunMessageLoop();
        }
    }

    EndProcess(exitCode);
}

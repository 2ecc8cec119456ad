// Process entry: COM, the first-run check, GDI+, the skin, the window and its message loop.
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

#include "app/first_run.h"
#include "app/launcher_state.h"
#include "app/window.h"
#include "ui/skin.h"

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

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (InstallOnFirstRun()) {
        CoUninitialize();
        return 0;
    }

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

    WaitForSkin(); // a window that failed never deleted the pictures
    Gdiplus::GdiplusShutdown(s.gdiplusToken);
    CoUninitialize();
    return exitCode;
}

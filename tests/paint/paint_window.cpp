#include "paint_window.h"

#include <objbase.h>
#include <gdiplus.h>

#include "base/launcher_state.h"
#include "ui/paint.h"
#include "ui/skin.h"

namespace painttest {

namespace {

constexpr wchar_t kClassName[] = L"ZarvoPaintTestWindow";
// Away from the screen's centre, where the launcher's own window opens in other tests.
constexpr int kWindowX = 16;
constexpr int kWindowY = 16;

HWND gWindow = nullptr;
ULONG_PTR gGdiplusToken = 0;

LRESULT CALLBACK PaintOnlyProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PaintWindow(window);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

bool Open() {
    LauncherState& s = State();
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&gGdiplusToken, &input, nullptr) != Gdiplus::Ok) return false;
    s.appInstance = GetModuleHandleW(nullptr);
    s.imgBackground = LoadPngResource(kPngBackground);
    s.imgActionNormal = LoadPngResource(kPngActionNormal);
    s.imgActionHover = LoadPngResource(kPngActionHover);
    s.imgActionPressed = LoadPngResource(kPngActionPressed);

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = PaintOnlyProc;
    wc.hInstance = s.appInstance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = kClassName;
    RegisterClassExW(&wc);
    // Topmost, so that no other window on the shared display can cover the captured pixels.
    gWindow = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kClassName, L"paint test",
                              WS_POPUP | WS_CLIPCHILDREN, kWindowX, kWindowY, kWindowWidth,
                              kWindowHeight, nullptr, nullptr, s.appInstance, nullptr);
    if (!gWindow) return false;
    ShowWindow(gWindow, SW_SHOWNOACTIVATE);
    UpdateWindow(gWindow);
    test::PumpMessages(300);
    return true;
}

void Close() {
    LauncherState& s = State();
    if (gWindow) DestroyWindow(gWindow);
    gWindow = nullptr;
    DeleteSkinImages();
    s.imgBackground = s.imgActionNormal = s.imgActionHover = s.imgActionPressed = nullptr;
    if (gGdiplusToken) Gdiplus::GdiplusShutdown(gGdiplusToken);
    gGdiplusToken = 0;
}

HWND Window() {
    return gWindow;
}

void ResetState() {
    LauncherState& s = State();
    s.hoverAction = s.hoverClose = s.hoverWebsite = false;
    s.hoverLangEnglish = s.hoverLangSpanish = s.hoverFullCheck = false;
    s.actionPressed = false;
    s.actionButtonVisible.store(false);
    s.updateRunning.store(false);
    s.gameNotInstalled.store(false);
    s.clientLanguage.store(0);
    s.progressBytesPercent.store(0);
    s.progressFilesPercent.store(0);
    SetStatusText(L"");
}

test::Pixels Render() {
    if (!IsWindowVisible(gWindow)) ShowWindow(gWindow, SW_SHOWNOACTIVATE);
    InvalidateRect(gWindow, nullptr, FALSE);
    UpdateWindow(gWindow);
    GdiFlush();
    // Lets the window's surface reach the display before it is read back.
    test::PumpMessages(120);
    return test::CaptureClient(gWindow, kWindowWidth, kWindowHeight);
}

void Hide() {
    ShowWindow(gWindow, SW_HIDE);
    test::PumpMessages(50);
}

int CountNear(const test::Pixels& p, const RECT& region, uint32_t rgb, int tolerance) {
    int count = 0;
    for (int y = region.top; y < region.bottom; ++y)
        for (int x = region.left; x < region.right; ++x)
            if (test::ColorDistance(p.At(x, y), rgb) <= tolerance) ++count;
    return count;
}

int CountDifferent(const test::Pixels& a, const test::Pixels& b, const RECT& region,
                   int tolerance) {
    int count = 0;
    for (int y = region.top; y < region.bottom; ++y)
        for (int x = region.left; x < region.right; ++x)
            if (test::ColorDistance(a.At(x, y), b.At(x, y)) > tolerance) ++count;
    return count;
}

void SaveShot(const test::Pixels& p, const std::wstring& name) {
    test::SavePng(p, test::ProgramFolder() + L"\\" + name + L".png");
}

} // namespace painttest

// Stand-in game client of the demo, built as rovezuzav.exe: a window that shows what the
// launcher passed on its command line (the launch token). Closes on a click, Esc or Alt+F4.
#include <windows.h>
#include <shellapi.h>

#include <string>

namespace {

constexpr wchar_t kClassName[] = L"Zarvo Vestra Game";
std::wstring token;

std::wstring TokenFromCommandLine() {
    int count = 0;
    wchar_t** args = CommandLineToArgvW(GetCommandLineW(), &count);
    std::wstring joined;
    for (int i = 1; args && i < count; ++i) {
        if (!joined.empty()) joined += L' ';
        joined += args[i];
    }
    LocalFree(args);
    return joined.empty() ? L"(nothing)" : joined;
}

void DrawLine(HDC dc, const RECT& client, int top, int height, int weight, COLORREF colour,
              const std::wstring& text) {
    HFONT font = CreateFontW(height, 0, 0, 0, weight, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, ANTIALIASED_QUALITY,
                             DEFAULT_PITCH, L"Arial");
    HGDIOBJ old = SelectObject(dc, font);
    SetTextColor(dc, colour);
    RECT line = {client.left, top, client.right, top + height + 8};
    DrawTextW(dc, text.c_str(), -1, &line, DT_CENTER | DT_SINGLELINE | DT_NOPREFIX);
    SelectObject(dc, old);
    DeleteObject(font);
}

void Paint(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client;
    GetClientRect(window, &client);
    HBRUSH background = CreateSolidBrush(RGB(24, 30, 44));
    FillRect(dc, &client, background);
    DeleteObject(background);
    SetBkMode(dc, TRANSPARENT);
    DrawLine(dc, client, 48, 44, FW_BOLD, RGB(240, 170, 60), L"Zarvo Vestra");
    DrawLine(dc, client, 112, 26, FW_NORMAL, RGB(220, 226, 235), L"started with: " + token);
    DrawLine(dc, client, 190, 16, FW_NORMAL, RGB(130, 140, 155),
             L"the demo's stand-in for the game client - click to close");
    EndPaint(window, &ps);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: Paint(window); return 0;
    case WM_LBUTTONUP: DestroyWindow(window); return 0;
    case WM_KEYDOWN:
        if (wParam == VK_ESCAPE) DestroyWindow(window);
        return 0;
    case WM_DESTROY: PostQuitMessage(0); return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    token = TokenFromCommandLine();
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = WindowProc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));
    wc.lpszClassName = kClassName;
    if (!RegisterClassExW(&wc)) return 1;

    const int width = 640, height = 260;
    const std::wstring title = L"Zarvo Vestra \u2014 started with: " + token;
    HWND window = CreateWindowExW(0, kClassName, title.c_str(), WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU,
                                  (GetSystemMetrics(SM_CXSCREEN) - width) / 2,
                                  (GetSystemMetrics(SM_CYSCREEN) - height) / 2, width, height,
                                  nullptr, nullptr, instance, nullptr);
    if (!window) return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

// The least a window program of the launcher's kind must do before its first paint, for the
// start-up benchmark: the launcher's manifest and libraries, COM in a single-threaded
// apartment, GDI+, the background picture decoded from its PNG resource and drawn. What the
// launcher needs beyond this program is its own.
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>
#include <shellapi.h>
#include <shlwapi.h>
#include <winhttp.h>

namespace {

// The launcher imports these libraries; a program that imports them pays for their loading.
// Read once through a volatile, so that the linker keeps every import.
const void* volatile gImports[] = {reinterpret_cast<const void*>(&WinHttpCheckPlatform),
                                   reinterpret_cast<const void*>(&ShellExecuteW),
                                   reinterpret_cast<const void*>(&PathFileExistsW),
                                   reinterpret_cast<const void*>(&RegCloseKey),
                                   reinterpret_cast<const void*>(&CreateCompatibleDC)};

Gdiplus::Bitmap* gBackground = nullptr;

Gdiplus::Bitmap* LoadBackground(HINSTANCE instance) {
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(103), L"PNG");
    if (!resource) return nullptr;
    const DWORD size = SizeofResource(instance, resource);
    const void* bytes = LockResource(LoadResource(instance, resource));
    IStream* stream = SHCreateMemStream(static_cast<const BYTE*>(bytes), size);
    if (!stream) return nullptr;
    Gdiplus::Bitmap* bitmap = nullptr;
    {
        Gdiplus::Bitmap decoded(stream, FALSE);
        if (decoded.GetLastStatus() == Gdiplus::Ok)
            bitmap = decoded.Clone(0, 0, static_cast<INT>(decoded.GetWidth()),
                                   static_cast<INT>(decoded.GetHeight()), PixelFormat32bppPARGB);
    }
    stream->Release();
    return bitmap;
}

LRESULT CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT ps;
        HDC dc = BeginPaint(window, &ps);
        {
            Gdiplus::Graphics graphics(dc);
            if (gBackground) graphics.DrawImage(gBackground, 0, 0, 800, 605);
        }
        EndPaint(window, &ps);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    for (const void* import : gImports)
        if (!import) return 1;
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    gBackground = LoadBackground(instance);

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = Procedure;
    wc.hInstance = instance;
    wc.lpszClassName = L"Platform Bench Window";
    if (!RegisterClassExW(&wc)) return 1;
    const int width = 800, height = 570;
    HWND window = CreateWindowExW(0, wc.lpszClassName, L"Platform", WS_POPUP | WS_VISIBLE,
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
    delete gBackground;
    Gdiplus::GdiplusShutdown(token);
    CoUninitialize();
    return 0;
}

// Screen pixels for the picture tests, and PNG files of them for people to look at.
#include "support/test_support.h"

#include <objbase.h>
#include <gdiplus.h>

namespace test {

Pixels CaptureScreen(const RECT& screenRect) {
    Pixels pixels;
    pixels.width = screenRect.right - screenRect.left;
    pixels.height = screenRect.bottom - screenRect.top;
    pixels.data.assign(static_cast<size_t>(pixels.width) * pixels.height, 0);

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = pixels.width;
    info.bmiHeader.biHeight = -pixels.height; // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, pixels.width, pixels.height, screen, screenRect.left, screenRect.top,
           SRCCOPY);
    GdiFlush();
    const uint32_t* source = static_cast<const uint32_t*>(bits);
    for (size_t i = 0; i < pixels.data.size(); ++i) pixels.data[i] = source[i] & 0xFFFFFF;
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return pixels;
}

Pixels CaptureClient(HWND window, int width, int height) {
    POINT origin = {0, 0};
    ClientToScreen(window, &origin);
    RECT r = {origin.x, origin.y, origin.x + width, origin.y + height};
    return CaptureScreen(r);
}

bool SavePng(const Pixels& pixels, const std::wstring& path) {
    Gdiplus::GdiplusStartupInput input;
    ULONG_PTR token = 0;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return false;
    bool ok = false;
    {
        std::vector<uint32_t> argb(pixels.data.size());
        for (size_t i = 0; i < argb.size(); ++i) argb[i] = pixels.data[i] | 0xFF000000u;
        Gdiplus::Bitmap bitmap(pixels.width, pixels.height, pixels.width * 4,
                               PixelFormat32bppARGB, reinterpret_cast<BYTE*>(argb.data()));
        // {557CF406-1A04-11D3-9A73-0000F81EF32E}: the built-in PNG encoder.
        const CLSID png = {0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
        ok = bitmap.Save(path.c_str(), &png, nullptr) == Gdiplus::Ok;
    }
    Gdiplus::GdiplusShutdown(token);
    return ok;
}

} // namespace test

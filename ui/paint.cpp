#include "ui/paint.h"

// Stand-in until the painter lands: a plain dark window.
void PaintWindow(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT r = {0, 0, 800, 570};
    FillRect(dc, &r, static_cast<HBRUSH>(GetStockObject(DKGRAY_BRUSH)));
    EndPaint(window, &ps);
}
void FillProgressBar(Gdiplus::Graphics&, int32_t, int32_t, int32_t, int32_t, int32_t, uint32_t) {}

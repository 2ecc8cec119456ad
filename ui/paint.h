// The paint pass: the whole window drawn off-screen with GDI+ and copied in one blit.
#pragma once

#include <windows.h>

#include <cstdint>

namespace Gdiplus {
class Graphics;
}

void PaintWindow(HWND window);

// One progress bar fill: a vertical gradient, lighter at the top, width * percent / 100 wide.
void FillProgressBar(Gdiplus::Graphics& graphics, int32_t x, int32_t y, int32_t width,
                     int32_t height, int32_t percent, uint32_t baseColor);

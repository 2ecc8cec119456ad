// A test window painted by the launcher's paint pass, and the pixel checks the picture tests
// share. The window's procedure only paints, so the launcher state alone decides the picture.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "support/test_support.h"

namespace painttest {

// Starts GDI+, loads the four skin pictures into the launcher state and opens the window;
// Close undoes all of it.
bool Open();
void Close();
HWND Window();

// Back to the quiet picture: no hover, not pressed, no button, empty bars and status,
// no language.
void ResetState();

// Shows the window if hidden, paints it now and copies its client area from the screen.
test::Pixels Render();
// Takes the window off the screen, to look at another program's window under it.
void Hide();

// Colours as the screen gives them (0xRRGGBB) from a GDI+ ARGB value.
constexpr uint32_t Rgb(uint32_t argb) {
    return argb & 0xFFFFFF;
}

// Pixels of the region (left, top, right, bottom exclusive) within tolerance of the colour.
int CountNear(const test::Pixels& p, const RECT& region, uint32_t rgb, int tolerance);
// Pixels of the region that differ by more than the tolerance between two pictures.
int CountDifferent(const test::Pixels& a, const test::Pixels& b, const RECT& region,
                   int tolerance = 2);

// Saves the picture beside the test program as name.png.
void SaveShot(const test::Pixels& p, const std::wstring& name);

} // namespace painttest

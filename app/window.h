// The main window's procedure: creation work, hover, drag, buttons, custom messages.
#pragma once

#include <windows.h>

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

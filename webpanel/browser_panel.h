// The web panel: a child window hosting the WebView2 browser at webPanelRect.
#pragma once

#include <string>

std::wstring GetWebViewDataFolder();
void OverlayInitAndNavigate(const std::wstring& url);
void PlaceOverlay();
void CloseOverlay();

// The window thread's reaction to WM_LAUNCHER_DISPLAYINFO.
void OnDisplayInfoReady();

// The web panel: a child window hosting the WebView2 browser at webPanelRect.
#pragma once

#include <string>

std::wstring GetWebViewDataFolder();
// Makes the browser's user-data folder (full form) with rules of its own, or gives one that
// stands those rules; false when it may not be used: reached through a link, or holding one.
bool PrepareWebViewDataFolder(const std::wstring& folder);
void OverlayInitAndNavigate(const std::wstring& url);
void PlaceOverlay();
void CloseOverlay();

// The window thread's reaction to WM_LAUNCHER_DISPLAYINFO.
void OnDisplayInfoReady();

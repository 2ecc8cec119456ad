#include "webpanel/browser_panel.h"

// Stand-in until the browser panel lands.
std::wstring GetWebViewDataFolder() { return {}; }
void OverlayInitAndNavigate(const std::wstring&) {}
void PlaceOverlay() {}
void CloseOverlay() {}
void OnDisplayInfoReady() {}

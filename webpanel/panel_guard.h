// What the page in the web panel may do. The browser runs with the launcher's administrator
// token, so the page stays on the studio's own https host: every other navigation is cancelled,
// new windows are refused, permission requests denied and downloads cancelled.
#pragma once

#include <string>

#include "webpanel/webview2.h"

// True when uri is an https address on the same host (and port) as page, the address the
// display information named. Addresses with user information ("user@host") are refused.
bool IsPanelAddress(const std::wstring& uri, const std::wstring& page);

// Registers the handlers on the view; false when the navigation guards could not be
// registered (the caller then shows no page). The download guard needs a newer runtime;
// without it the runtime's own download handling stays.
bool GuardPanel(ICoreWebView2* view);

// The page whose host the view may stay on: set before every navigation. Window thread only.
void SetPanelPage(const std::wstring& page);

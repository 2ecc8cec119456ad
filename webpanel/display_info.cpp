// Once per start the update server says whether the web panel shows a page, and which.
#include "webpanel/display_info.h"

#include <windows.h>

#include <mutex>
#include <string>

#include "base/build_config.h"
#include "base/launcher_state.h"
#include "net/http.h"
#include "net/json.h"
#include "net/signature.h"

namespace {

// The document holds a flag, a page address and a signature: a few hundred bytes. Far more
// than any real one, far less than a manifest.
constexpr size_t kMaxDisplayInfoBytes = 1u << 20;

// The panel shows web pages from the studio's servers only: an address in any other scheme
// (file:, http:, javascript:, a custom protocol handler) could reach the player's disk or
// other programs from a window that runs elevated. The scheme is case-insensitive.
bool IsHttpsAddress(const std::string& address) {
    constexpr char kScheme[] = "https:";
    if (address.size() <= sizeof(kScheme) - 1) return false;
    for (size_t i = 0; i < sizeof(kScheme) - 1; ++i) {
        char c = address[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != kScheme[i]) return false;
    }
    return true;
}

} // namespace

bool FetchDisplayInfo(bool& enabled, std::wstring& url) {
    enabled = false;
    url.clear();

    const std::wstring address =
        AddNoCacheParam(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/displayinfo.json");
    // Any failure, whatever the status, shows as an empty body.
    const std::string body = HttpGetToString(address, nullptr, nullptr, kMaxDisplayInfoBytes);
    if (body.empty()) return false;
    // Its address drives a browser inside an elevated process: a signed build shows only a
    // page the studio signed, and otherwise no panel at all.
    if (CheckFetchedDocument(body, "displayinfo.json") != DocumentCheck::Accepted) return false;

    const int32_t enabledValue = ExtractJsonInt(body, "enabled");
    const std::string pageUtf8 = ExtractJsonString(body, "url");
    enabled = enabledValue != 0 && IsHttpsAddress(pageUtf8);
    url = Utf8ToWide(pageUtf8);
    return true;
}

void DisplayInfoThread() {
    bool enabled = false;
    std::wstring url;
    if (!FetchDisplayInfo(enabled, url)) return;

    LauncherState& s = State();
    std::lock_guard<std::mutex> lock(s.displayInfoMutex);
    s.displayEnabled = enabled;
    s.displayUrl = std::move(url);
    // Posted under the lock, so the window reads exactly the values stored here.
    if (HWND window = s.mainWindow.load()) PostMessageW(window, WM_LAUNCHER_DISPLAYINFO, 0, 0);
}

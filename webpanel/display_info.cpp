#include "webpanel/display_info.h"

// Stand-in until display information lands.
bool FetchDisplayInfo(bool& enabled, std::wstring& url) {
    enabled = false;
    url.clear();
    return false;
}
void DisplayInfoThread() {}

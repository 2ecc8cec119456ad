#include "update/http.h"

// Stand-in until the HTTP client lands.
std::wstring AddNoCacheParam(const std::wstring& url) { return url; }
std::string HttpGetToString(const std::wstring&, int32_t* status) {
    if (status) *status = 0;
    return {};
}
bool HttpDownloadToFile(const std::wstring&, const std::wstring&, DownloadProgressFn,
                        int32_t* status) {
    if (status) *status = 0;
    return false;
}

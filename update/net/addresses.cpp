#include "update/net/addresses.h"

#include "base/build_config.h"
#include "update/net/http.h"

namespace {

std::wstring OnServer(const wchar_t* folder, const std::wstring& path) {
    return AddNoCacheParam(std::wstring(LAUNCHER_UPDATE_BASE_URL) + folder + path);
}

} // namespace

std::wstring EntryUrl(const ManifestEntry& entry) {
    return OnServer(L"/update/", entry.path);
}

std::wstring PackedUrl(const ManifestEntry& entry) {
    return OnServer(L"/packed/", entry.path);
}

std::wstring BlockIndexUrl(const ManifestEntry& entry) {
    return OnServer(L"/blocks/", entry.path + L".zbi");
}

std::wstring BundleUrl(const std::string& bundle) {
    return OnServer(L"/objects/", std::wstring(bundle.begin(), bundle.end()) + L".zbd");
}

#include "update/net/addresses.h"

#include "base/build_config.h"
#include "net/http.h"

namespace {

#ifdef LAUNCHER_CACHEABLE_CONTENT
constexpr bool kCacheable = true;
#else
constexpr bool kCacheable = false;
#endif

std::wstring OnServer(const wchar_t* folder, const std::wstring& path) {
    return AddNoCacheParam(std::wstring(LAUNCHER_UPDATE_BASE_URL) + folder + path);
}

// The row's MD5 names its objects. The reader checks only its length, lowered: a row whose
// "hash" holds anything but hex digits (no file can have that digest, so its download fails
// whatever comes) keeps its classic address rather than putting its text into a path.
bool NamesObjects(const ManifestEntry& entry) {
    if (!kCacheable) return false;
    for (char c : entry.hash)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return !entry.hash.empty();
}

std::wstring Object(const ManifestEntry& entry, const std::wstring& suffix) {
    return std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/objects/" +
           std::wstring(entry.hash.begin(), entry.hash.end()) + suffix;
}

} // namespace

std::wstring EntryUrl(const ManifestEntry& entry) {
    if (NamesObjects(entry)) return Object(entry, L"");
    return OnServer(L"/update/", entry.path);
}

std::wstring PackedUrl(const ManifestEntry& entry) {
    if (NamesObjects(entry))
        return Object(entry, L"-" + std::to_wstring(entry.packedSize) + L".gz");
    return OnServer(L"/packed/", entry.path);
}

std::wstring BlockIndexUrl(const ManifestEntry& entry) {
    if (NamesObjects(entry)) return Object(entry, L".zbi");
    return OnServer(L"/blocks/", entry.path + L".zbi");
}

// A bundle is named by its bytes in every build; only the cacheable one asks for it so that
// every player's request is the same.
std::wstring BundleUrl(const std::string& bundle) {
    const std::wstring name = std::wstring(bundle.begin(), bundle.end()) + L".zbd";
    if (kCacheable) return std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/objects/" + name;
    return OnServer(L"/objects/", name);
}

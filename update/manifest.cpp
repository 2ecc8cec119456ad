#include "update/manifest.h"

#include <string_view>

#include "base/launcher_state.h"
#include "net/json.h"
#include "net/signature.h"

namespace {

constexpr size_t kHashLength = 32;
constexpr size_t kSha256Length = 64;

bool IsLowerHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

// Hash as written, with ASCII upper-case letters lowered byte by byte.
std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Windows drops trailing dots and spaces from names, so ".. " or "..." may resolve like "..";
// any component made only of dots and spaces with two or more dots is refused.
bool IsParentLikeComponent(const std::wstring& path, size_t begin, size_t end) {
    size_t dots = 0;
    for (size_t i = begin; i < end; ++i) {
        if (path[i] == L'.') {
            ++dots;
        } else if (path[i] != L' ') {
            return false;
        }
    }
    return dots >= 2;
}

// Only dots and spaces, or nothing: such a component names nothing of its own, and a path of
// nothing else names the game folder itself ("." or "./"), not a file in it.
bool IsBlankComponent(const std::wstring& path, size_t begin, size_t end) {
    for (size_t i = begin; i < end; ++i)
        if (path[i] != L'.' && path[i] != L' ') return false;
    return true;
}

// Windows reserves device names in every folder and whatever the extension: "nul.txt",
// "a/CON" or "com1 .log" open the device, not a file of the game folder, so a manifest could
// send a download to a port or a printer. The name is the part before the first dot with
// trailing spaces dropped, as the system compares it.
bool IsDeviceName(const std::wstring& path, size_t begin, size_t end) {
    size_t stop = begin;
    while (stop < end && path[stop] != L'.')
        ++stop;
    while (stop > begin && path[stop - 1] == L' ')
        --stop;
    // Compared in place: this runs for every component of every row of a manifest.
    const size_t length = stop - begin;
    if (length < 3 || length > 7) return false;
    wchar_t name[8] = {};
    for (size_t i = 0; i < length; ++i) {
        const wchar_t c = path[begin + i];
        name[i] = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    const std::wstring_view upper(name, length);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (upper == device) return true;
    if (length != 4 || (upper.compare(0, 3, L"COM") != 0 && upper.compare(0, 3, L"LPT") != 0))
        return false;
    const wchar_t digit = upper[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
           digit == L'\u00b3';
}

// A bundle's place is taken only within the launcher's bounds: a small file, a member no
// longer than the file and inside a bundle of bounded size. Anything else leaves the file to
// its own address, as a launcher that knows no bundles fetches it.
void ReadBundlePlace(std::string_view object, ManifestEntry& entry) {
    std::string bundle = LowerAscii(ExtractJsonString(object, "zbundle"));
    if (bundle.empty()) return;
    const int64_t offset = ExtractJsonInt(object, "zboffset");
    const int64_t length = ExtractJsonInt(object, "zblength");
    if (bundle.size() != kSha256Length || !IsLowerHex(bundle) || entry.size <= 0 ||
        entry.size > kMaxBundledFileSize || length <= 0 || length > entry.size || offset < 0 ||
        offset + length > kMaxBundleSize) {
        return;
    }
    entry.bundle = std::move(bundle);
    entry.bundleOffset = offset;
    entry.bundleLength = length;
}

} // namespace

bool IsSafeEntryPath(const std::wstring& path) {
    if (path.empty()) return false;
    if (path.front() == L'/' || path.front() == L'\\') return false;
    if (path.find(L':') != std::wstring::npos) return false;
    size_t begin = 0;
    bool namesSomething = false;
    while (begin <= path.size()) {
        size_t end = path.find_first_of(L"/\\", begin);
        if (end == std::wstring::npos) end = path.size();
        if (IsParentLikeComponent(path, begin, end)) return false;
        if (IsDeviceName(path, begin, end)) return false;
        namesSomething |= !IsBlankComponent(path, begin, end);
        begin = end + 1;
    }
    return namesSomething;
}

bool ParseManifest(const std::string& text) {
    return ParseManifestRows(text, State().manifestEntries);
}

bool ParseManifestRows(const std::string& text, std::vector<ManifestEntry>& entries) {
    entries.clear();
    // A signed manifest names each file's SHA-256 too: MD5 alone can be collided.
    const bool withSha256 = SigningEnabled();
    if (text.size() < 7) return false;

    const size_t filesKey = text.find("\"files\"");
    if (filesKey == std::string::npos) return false;
    size_t cursor = text.find('[', filesKey);
    if (cursor == std::string::npos) return false;

    // Every brace-delimited object from the array's start on is a file row; the first "}"
    // closes an object and the array's "]" is never looked for.
    while (cursor < text.size()) {
        const size_t open = text.find('{', cursor);
        if (open == std::string::npos) break;
        const size_t close = text.find('}', open);
        if (close == std::string::npos) break;
        // A view, not a copy: the keys are looked for within this row only.
        const std::string_view object = std::string_view(text).substr(open, close - open + 1);
        cursor = close + 1;

        ManifestEntry entry;
        entry.path = Utf8ToWide(ExtractJsonString(object, "path"));
        entry.hash = LowerAscii(ExtractJsonString(object, "hash"));
        entry.size = static_cast<int64_t>(ExtractJsonInt(object, "size"));
        entry.version = ExtractJsonInt(object, "version");
        // The quoted key never matches "size": launchers without compressed copies pass it by.
        entry.packedSize = ExtractJsonInt(object, "zsize");
        if (entry.packedSize <= 0 || entry.packedSize >= entry.size) entry.packedSize = 0;
        ReadBundlePlace(object, entry);
        // The launcher runs elevated: a path that could leave the game folder is refused
        // like a malformed row.
        if (entry.path.empty() || entry.hash.size() != kHashLength) continue;
        if (!IsSafeEntryPath(entry.path)) continue;
        if (withSha256) {
            entry.sha256 = LowerAscii(ExtractJsonString(object, "sha256"));
            if (entry.sha256.size() != kSha256Length || !IsLowerHex(entry.sha256)) continue;
        }
        entries.push_back(std::move(entry));
    }
    return !entries.empty();
}

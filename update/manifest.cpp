#include "update/manifest.h"

#include <string_view>
#include <unordered_set>

#include "base/launcher_state.h"
#include "base/path_identity.h"
#include "base/paths.h"
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

// One file named by two rows (the same path twice, or two spellings the file system takes as
// one), a row naming a file that another row needs as a folder, or one naming another's
// ".tmp": whichever row was placed last would win, and the other never match on disk.
bool NamesAFileTwice(const std::vector<ManifestEntry>& entries) {
    std::unordered_set<std::wstring> files, folders;
    files.reserve(entries.size());
    for (const ManifestEntry& entry : entries) {
        std::wstring key = PathKey(entry.path);
        for (size_t at = key.find(L'\\'); at != std::wstring::npos; at = key.find(L'\\', at + 1))
            folders.insert(key.substr(0, at));
        if (!files.insert(std::move(key)).second) return true;
    }
    for (const std::wstring& key : files) {
        if (folders.count(key)) return true;
        if (key.size() > 4 && key.compare(key.size() - 4, 4, L".TMP") == 0 &&
            files.count(key.substr(0, key.size() - 4)))
            return true;
    }
    return false;
}

} // namespace

bool IsSafeEntryPath(const std::wstring& path) {
    if (!IsCanonicalRelativePath(path) || IsLauncherOwnPath(path)) return false;
    // The launcher's ".old" lies beside it, and goes at every start.
    const std::wstring exe = LauncherExePath();
    const size_t slash = exe.find_last_of(L"\\/");
    return PathKey(path) !=
           PathKey(exe.substr(slash == std::wstring::npos ? 0 : slash + 1) + L".old");
}

bool ParseManifest(const std::string& text, ManifestRefusals* refusals) {
    return ParseManifestRows(text, State().manifestEntries, refusals);
}

bool ParseManifestRows(const std::string& text, std::vector<ManifestEntry>& entries,
                       ManifestRefusals* refusals) {
    entries.clear();
    if (refusals) *refusals = {};
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
        // The launcher runs elevated: a path that could leave the game folder, or name a
        // listed file under a second spelling, is refused like a malformed row.
        bool taken =
            !entry.path.empty() && entry.hash.size() == kHashLength && IsSafeEntryPath(entry.path);
        if (taken && withSha256) {
            entry.sha256 = LowerAscii(ExtractJsonString(object, "sha256"));
            taken = entry.sha256.size() == kSha256Length && IsLowerHex(entry.sha256);
        }
        if (taken) {
            entries.push_back(std::move(entry));
        } else if (refusals && (!entry.path.empty() || !entry.hash.empty())) {
            // An object naming neither a path nor a content is no row of the list.
            if (refusals->paths.size() < ManifestRefusals::kPathsKept)
                refusals->paths.push_back(entry.path);
            ++refusals->rows;
        }
    }
    if (NamesAFileTwice(entries)) {
        entries.clear();
        if (refusals) refusals->sameFileTwice = true;
    }
    return !entries.empty();
}

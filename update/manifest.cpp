#include "update/manifest.h"

#include "app/launcher_state.h"
#include "update/json.h"

namespace {

constexpr size_t kHashLength = 32;

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

} // namespace

bool IsSafeEntryPath(const std::wstring& path) {
    if (path.empty()) return false;
    if (path.front() == L'/' || path.front() == L'\\') return false;
    if (path.find(L':') != std::wstring::npos) return false;
    size_t begin = 0;
    while (begin <= path.size()) {
        size_t end = path.find_first_of(L"/\\", begin);
        if (end == std::wstring::npos) end = path.size();
        if (IsParentLikeComponent(path, begin, end)) return false;
        begin = end + 1;
    }
    return true;
}

bool ParseManifest(const std::string& text) {
    std::vector<ManifestEntry>& entries = State().manifestEntries;
    entries.clear();
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
        const std::string object = text.substr(open, close - open + 1);
        cursor = close + 1;

        ManifestEntry entry;
        entry.path = Utf8ToWide(ExtractJsonString(object, "path"));
        entry.hash = LowerAscii(ExtractJsonString(object, "hash"));
        entry.size = static_cast<int64_t>(ExtractJsonInt(object, "size"));
        entry.version = ExtractJsonInt(object, "version");
        // The launcher runs elevated: a path that could leave the game folder is refused
        // like a malformed row.
        if (entry.path.empty() || entry.hash.size() != kHashLength) continue;
        if (!IsSafeEntryPath(entry.path)) continue;
        entries.push_back(std::move(entry));
    }
    return !entries.empty();
}

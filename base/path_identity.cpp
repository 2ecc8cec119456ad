#include "base/path_identity.h"

#include <windows.h>

#include <algorithm>
#include <string_view>

#include "base/paths.h"

namespace {

// Windows reserves device names in every folder and whatever the extension: "nul.txt",
// "a/CON" or "com1 .log" open the device, not a file of the game folder. The name is the part
// before the first dot with trailing spaces dropped, as the system compares it.
bool IsDeviceName(std::wstring_view part) {
    size_t stop = part.find(L'.');
    if (stop == std::wstring_view::npos) stop = part.size();
    while (stop > 0 && part[stop - 1] == L' ')
        --stop;
    if (stop < 3 || stop > 7) return false;
    wchar_t name[8] = {};
    for (size_t i = 0; i < stop; ++i) {
        const wchar_t c = part[i];
        name[i] = (c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
    }
    const std::wstring_view upper(name, stop);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (upper == device) return true;
    if (stop != 4 || (upper.compare(0, 3, L"COM") != 0 && upper.compare(0, 3, L"LPT") != 0))
        return false;
    const wchar_t digit = upper[3];
    return (digit >= L'0' && digit <= L'9') || digit == L'\u00b9' || digit == L'\u00b2' ||
           digit == L'\u00b3';
}

// The shape of a generated short name: at most eight characters with a "~" (not the first)
// and letters or digits after the last one, then at most a three-character extension
// ("DATAFI~1.PAK" on Windows, "DATA~K2F.PAK" under Wine). Such a part may be the alias of a
// longer name in the same folder, which is then one file under two spellings.
bool IsShortNameAlias(std::wstring_view part) {
    const size_t dot = part.rfind(L'.');
    const std::wstring_view base = dot == std::wstring_view::npos ? part : part.substr(0, dot);
    if (dot != std::wstring_view::npos && part.size() - dot - 1 > 3) return false;
    if (base.size() > 8) return false;
    const size_t tilde = base.rfind(L'~');
    if (tilde == std::wstring_view::npos || tilde == 0 || tilde + 1 == base.size()) return false;
    return std::all_of(base.begin() + tilde + 1, base.end(), [](wchar_t c) {
        return (c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
    });
}

bool IsRefusedCharacter(wchar_t c) {
    if (c < 0x20 || c == 0x7f) return true;
    return std::wstring_view(L"\\:*?\"<>|#%{}").find(c) != std::wstring_view::npos;
}

bool IsCanonicalPart(std::wstring_view part) {
    if (part.empty() || part.size() > 255) return false;
    // Also refuses ".", ".." and every part of only dots and spaces.
    if (part.back() == L'.' || part.back() == L' ') return false;
    if (std::any_of(part.begin(), part.end(), IsRefusedCharacter)) return false;
    return !IsDeviceName(part) && !IsShortNameAlias(part);
}

} // namespace

std::wstring PathKey(const std::wstring& path) {
    // A long path's "\\?\" form names the same file as its plain form.
    std::wstring key = PlainPath(path);
    std::replace(key.begin(), key.end(), L'/', L'\\');
    if (key.empty()) return key;
    std::wstring upper(key.size(), L'\0');
    const int n = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, key.data(),
                                static_cast<int>(key.size()), upper.data(),
                                static_cast<int>(upper.size()), nullptr, nullptr, 0);
    return n == static_cast<int>(key.size()) ? upper : key;
}

bool IsCanonicalRelativePath(const std::wstring& path) {
    if (path.empty()) return false;
    const std::wstring_view all(path);
    size_t begin = 0;
    while (true) {
        const size_t end = all.find(L'/', begin);
        if (!IsCanonicalPart(all.substr(begin, end == std::wstring_view::npos ? end : end - begin)))
            return false;
        if (end == std::wstring_view::npos) return true;
        begin = end + 1;
    }
}

bool IsLauncherOwnPath(const std::wstring& path) {
    const std::wstring key = PathKey(path);
    if (key == L"LOG" || key.rfind(L"LOG\\", 0) == 0) return true;
    return key == L".ZARVO_DOWNLOADING" || key == L".ZARVO_INSTALL_DIR";
}

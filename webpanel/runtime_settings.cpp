// The loader's settings: an environment variable wins; otherwise an administrator's policy
// under Software\Policies\Microsoft\Edge\WebView2, for this application or for all.
#include <windows.h>
#include <shobjidl.h>

#include <optional>
#include <string>
#include <vector>

#include "base/handles.h"
#include "webpanel/runtime_internal.h"

namespace {

constexpr const wchar_t* kPolicyRoot = L"Software\\Policies\\Microsoft\\Edge\\WebView2\\";

std::optional<std::wstring> EnvironmentValue(const wchar_t* name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed == 0) return std::nullopt;
    std::wstring value(needed, L'\0');
    DWORD length = GetEnvironmentVariableW(name, value.data(), needed);
    if (length >= needed) return std::nullopt; // changed under us; treat as unset
    value.resize(length);
    return value;
}

// The application user model id of this process: its package's, else one it set itself.
std::wstring ApplicationUserModelId() {
    using GetAumidFn = LONG(WINAPI*)(UINT32*, PWSTR);
    if (HMODULE kernel = GetModuleHandleW(L"kernel32.dll")) {
        auto getAumid = reinterpret_cast<GetAumidFn>(
            reinterpret_cast<void*>(GetProcAddress(kernel, "GetCurrentApplicationUserModelId")));
        UINT32 length = 0;
        if (getAumid && getAumid(&length, nullptr) == ERROR_INSUFFICIENT_BUFFER && length > 1) {
            std::wstring id(length, L'\0');
            if (getAumid(&length, id.data()) == ERROR_SUCCESS) {
                id.resize(wcsnlen(id.c_str(), id.size()));
                return id;
            }
        }
    }
    CoTaskString explicitId;
    if (SUCCEEDED(GetCurrentProcessExplicitAppUserModelID(explicitId.Put())) && explicitId.Get())
        return explicitId.Get();
    return {};
}

std::wstring FileNameOf(const std::wstring& path) {
    size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::optional<std::wstring> ReadStringValue(HKEY key, const std::wstring& name) {
    DWORD bytes = 0;
    if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_SZ, nullptr, value.data(), &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

std::optional<std::wstring> ReadDwordValueAsText(HKEY key, const std::wstring& name) {
    DWORD value = 0;
    DWORD bytes = sizeof(value);
    if (RegGetValueW(key, nullptr, name.c_str(), RRF_RT_REG_DWORD, nullptr, &value, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    return std::to_wstring(value);
}

// The names a policy value may carry, most specific first.
struct PolicyNames {
    std::vector<std::wstring> withStar;
    std::vector<std::wstring> withoutStar;
};

PolicyNames MakePolicyNames() {
    PolicyNames names;
    std::wstring aumid = ApplicationUserModelId();
    if (!aumid.empty()) names.withoutStar.push_back(aumid);
    std::wstring exeName = FileNameOf(ExecutablePath());
    if (!exeName.empty()) names.withoutStar.push_back(exeName);
    names.withStar = names.withoutStar;
    names.withStar.push_back(L"*");
    return names;
}

class SettingsReader {
public:
    SettingsReader() {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            RegKey key;
            if (RegOpenKeyExW(root, kPolicyRoot, 0, KEY_READ, key.Put()) == ERROR_SUCCESS)
                policiesPresent_ = true;
        }
        if (policiesPresent_) names_ = MakePolicyNames();
    }

    std::optional<std::wstring> Read(const wchar_t* variable, const wchar_t* policy,
                                     bool allowStar, bool dwordFirst = false) const {
        if (variable) {
            if (auto value = EnvironmentValue(variable)) return value;
        }
        if (!policy || !policiesPresent_) return std::nullopt;
        const std::wstring subKey = std::wstring(kPolicyRoot) + policy;
        const auto& names = allowStar ? names_.withStar : names_.withoutStar;
        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
            RegKey key;
            if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
                continue;
            for (const std::wstring& name : names) {
                if (dwordFirst) {
                    if (auto value = ReadDwordValueAsText(key.Get(), name)) return value;
                }
                if (auto value = ReadStringValue(key.Get(), name)) return value;
            }
        }
        return std::nullopt;
    }

private:
    bool policiesPresent_ = false;
    PolicyNames names_;
};

bool IsDecimal(const std::wstring& text) {
    return !text.empty() && text.find_first_not_of(L"0123456789") == std::wstring::npos;
}

std::wstring Trimmed(const std::wstring& text) {
    size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring::npos) return {};
    size_t last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
}

// "1,2" selects beta and dev; a number above 4 stands for stable. Nothing usable: all five.
uint32_t ParseChannelMask(const std::wstring& text) {
    uint32_t mask = 0;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(L',', start);
        if (comma == std::wstring::npos) comma = text.size();
        std::wstring token = Trimmed(text.substr(start, comma - start));
        if (IsDecimal(token)) {
            // Long digit strings are simply "above 4".
            unsigned channel = token.size() > 2 ? 5u : static_cast<unsigned>(std::stoul(token));
            mask |= 1u << (channel > 4 ? 0u : channel);
        }
        start = comma + 1;
    }
    return (mask == 0 || mask == 15) ? 31u : mask;
}

bool IsOne(const std::optional<std::wstring>& value) {
    if (!value) return false;
    std::wstring text = Trimmed(*value);
    size_t nonZero = text.find_first_not_of(L'0');
    return IsDecimal(text) && nonZero != std::wstring::npos && text.substr(nonZero) == L"1";
}

} // namespace

std::wstring ExecutablePath() {
    std::wstring path(MAX_PATH, L'\0');
    while (path.size() <= 32768) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
    return {};
}

RuntimeSettings ReadRuntimeSettings(PCWSTR callerBrowserFolder, PCWSTR callerUserDataFolder) {
    const SettingsReader reader;
    RuntimeSettings settings;

    if (auto folder = reader.Read(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER",
                                  L"BrowserExecutableFolder", true))
        settings.browserFolder = *folder;
    else if (callerBrowserFolder)
        settings.browserFolder = callerBrowserFolder;

    if (auto folder = reader.Read(L"WEBVIEW2_USER_DATA_FOLDER", L"UserDataFolder", false))
        settings.userDataFolder = *folder;
    else if (callerUserDataFolder)
        settings.userDataFolder = callerUserDataFolder;

    settings.useEdgeView = EnvironmentValue(L"WEBVIEW2_USE_EDGE_VIEW") == L"1";
    const bool channelStar = !settings.useEdgeView;

    settings.channelMask = 31;
    if (auto channels =
            reader.Read(L"WEBVIEW2_RELEASE_CHANNELS", L"ReleaseChannels", channelStar))
        settings.channelMask = ParseChannelMask(*channels);

    auto searchKind =
        reader.Read(L"WEBVIEW2_CHANNEL_SEARCH_KIND", L"ChannelSearchKind", channelStar, true);
    if (!searchKind)
        searchKind = reader.Read(L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE",
                                 L"ReleaseChannelPreference", channelStar, true);
    settings.reverseSearch = IsOne(searchKind);
    return settings;
}

// Where the client library of the WebView2 runtime lives: a fixed folder the settings name,
// or the newest-compatible installed channel found through the updater's registry entries or
// a packaged runtime.
#include <windows.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/folder_security.h"
#include "base/handles.h"
#include "webpanel/runtime_internal.h"

namespace {

struct Channel {
    const wchar_t* clientStateId;
    const wchar_t* packageFamily;
};

constexpr Channel kChannels[5] = {
    {L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"Microsoft.WebView2Runtime.Stable_8wekyb3d8bbwe"},
    {L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}", L"Microsoft.WebView2Runtime.Beta_8wekyb3d8bbwe"},
    {L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}", L"Microsoft.WebView2Runtime.Dev_8wekyb3d8bbwe"},
    {L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}", L"Microsoft.WebView2Runtime.Canary_8wekyb3d8bbwe"},
    {L"{BE59E8FD-089A-411B-A3B0-051D9E417818}",
     L"Microsoft.WebView2Runtime.Internal_8wekyb3d8bbwe"},
};

constexpr const wchar_t* kClientStateKey = L"Software\\Microsoft\\EdgeUpdate\\ClientState\\";
constexpr const wchar_t* kEdgeClientKey =
    L"Software\\Microsoft\\EdgeUpdate\\Clients\\{56EB18F8-B008-4CBD-B6D2-8C97FE7E9062}";

using Version = std::array<uint32_t, 4>;
constexpr Version kMinimumVersion = {86, 0, 616, 0};

constexpr HRESULT kNotFound = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND); // 0x80070002
constexpr HRESULT kUntrustedFolder = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);

// "120.0.2210.91" and shorter forms ("120.0" is 120.0.0.0); anything else is no version.
std::optional<Version> ParseVersion(const std::wstring& text) {
    Version version = {0, 0, 0, 0};
    size_t part = 0;
    size_t position = 0;
    while (true) {
        if (part == version.size()) return std::nullopt;
        size_t digits = 0;
        uint64_t value = 0;
        while (position < text.size() && text[position] >= L'0' && text[position] <= L'9') {
            value = value * 10 + static_cast<uint64_t>(text[position] - L'0');
            if (value > UINT32_MAX) return std::nullopt;
            ++position;
            ++digits;
        }
        if (digits == 0) return std::nullopt;
        version[part++] = static_cast<uint32_t>(value);
        if (position == text.size()) return version;
        if (text[position] != L'.') return std::nullopt;
        ++position;
    }
}

bool IsCompatible(const Version& version) {
    return version >= kMinimumVersion;
}

std::wstring WithoutTrailingSeparators(std::wstring path) {
    while (path.size() > 1 && (path.back() == L'\\' || path.back() == L'/'))
        path.pop_back();
    return path;
}

std::wstring LastComponent(const std::wstring& path) {
    size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? path : path.substr(separator + 1);
}

std::wstring ClientLibraryIn(const std::wstring& folder) {
    return folder + L"\\" + kClientLibraryRelativePath;
}

// The runtime starts from this file: it must be there, readable and executable, and not
// locked against others.
bool IsAccessible(const std::wstring& library) {
    FileHandle file(CreateFileW(library.c_str(), GENERIC_READ | GENERIC_EXECUTE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.Valid();
}

// Version test, then access test, each rejection with its debug line.
bool AcceptCandidate(const std::wstring& folder, const std::optional<Version>& version,
                     std::wstring& libraryPath) {
    if (!version || !IsCompatible(*version)) {
        WriteLoaderDebugLine(L"WebView2: skipped an incompatible version " + folder);
        return false;
    }
    std::wstring library = ClientLibraryIn(folder);
    if (!IsAccessible(library)) {
        WriteLoaderDebugLine(L"WebView2: skipped inaccessible " + library);
        return false;
    }
    libraryPath = std::move(library);
    return true;
}

std::optional<std::wstring> ReadRegistryString(HKEY root, const std::wstring& subKey,
                                               const wchar_t* name) {
    RegKey key;
    if (RegOpenKeyExW(root, subKey.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.Put()) !=
        ERROR_SUCCESS)
        return std::nullopt;
    DWORD bytes = 0;
    if (RegGetValueW(key.Get(), nullptr, name, RRF_RT_REG_SZ, nullptr, nullptr, &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    std::wstring value(bytes / sizeof(wchar_t) + 1, L'\0');
    bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RegGetValueW(key.Get(), nullptr, name, RRF_RT_REG_SZ, nullptr, value.data(), &bytes) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.resize(wcsnlen(value.c_str(), value.size()));
    return value;
}

// The runtime folder the updater registered for a channel under one root, if any.
std::optional<std::wstring> RegisteredFolder(HKEY root, int channel, bool useEdgeView) {
    if (channel == 0 && useEdgeView) {
        auto location = ReadRegistryString(root, kEdgeClientKey, L"location");
        auto version = ReadRegistryString(root, kEdgeClientKey, L"pv");
        if (!location || !version) return std::nullopt;
        return *location + L"\\" + *version;
    }
    return ReadRegistryString(
        root, std::wstring(kClientStateKey) + kChannels[channel].clientStateId, L"EBWebView");
}

// Packaged runtimes, through the dynamic dependency functions of newer systems.
struct alignas(8) PackageVersionParts {
    USHORT revision, build, minor, major;
};
struct PackageId {
    UINT32 reserved;
    UINT32 processorArchitecture;
    PackageVersionParts version;
    PWSTR name;
    PWSTR publisher;
    PWSTR resourceId;
    PWSTR publisherId;
};
struct PackageInfo {
    UINT32 reserved;
    UINT32 flags;
    PWSTR path;
    PWSTR packageFullName;
    PWSTR packageFamilyName;
    PackageId packageId;
};

using TryCreatePackageDependencyFn = HRESULT(WINAPI*)(PSID, PCWSTR, UINT64, int, int, PCWSTR, int,
                                                      PWSTR*);
using AddPackageDependencyFn = HRESULT(WINAPI*)(PCWSTR, INT32, int, void**, PWSTR*);
using GetCurrentPackageInfoFn = LONG(WINAPI*)(UINT32, UINT32*, BYTE*, UINT32*);

constexpr int kArchitecturesNeutralAndX64 = 0x1 | 0x4;
constexpr int kLifetimeProcess = 0;
constexpr UINT32 kPackageInfoFlags = 0x00180001;

struct PackageFunctions {
    TryCreatePackageDependencyFn tryCreate = nullptr;
    AddPackageDependencyFn add = nullptr;
    GetCurrentPackageInfoFn currentInfo = nullptr;
    bool Available() const { return tryCreate && add && currentInfo; }
};

template <typename Fn> Fn Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

PackageFunctions LookUpPackageFunctions() {
    PackageFunctions functions;
    HMODULE kernelBase = GetModuleHandleW(L"kernelbase.dll");
    if (!kernelBase) return functions;
    functions.tryCreate =
        Lookup<TryCreatePackageDependencyFn>(kernelBase, "TryCreatePackageDependency");
    functions.add = Lookup<AddPackageDependencyFn>(kernelBase, "AddPackageDependency");
    functions.currentInfo = Lookup<GetCurrentPackageInfoFn>(kernelBase, "GetCurrentPackageInfo");
    return functions;
}

struct PackagedRuntime {
    std::wstring folder;
    Version version;
};

std::optional<PackagedRuntime> FindPackagedRuntime(const PackageFunctions& functions,
                                                   const wchar_t* family) {
    ProcessHeapString dependencyId;
    if (FAILED(functions.tryCreate(nullptr, family, 0, kArchitecturesNeutralAndX64,
                                   kLifetimeProcess, nullptr, 0, dependencyId.Put())) ||
        !dependencyId)
        return std::nullopt;
    // The dependency lasts for the process; its context is not needed again.
    void* context = nullptr;
    ProcessHeapString fullName;
    if (FAILED(functions.add(dependencyId.Get(), 0, 0, &context, fullName.Put())))
        return std::nullopt;

    UINT32 bytes = 0;
    UINT32 count = 0;
    if (functions.currentInfo(kPackageInfoFlags, &bytes, nullptr, &count) !=
            ERROR_INSUFFICIENT_BUFFER ||
        bytes == 0)
        return std::nullopt;
    // PACKAGE_INFO holds pointers: keep the buffer pointer-aligned.
    std::vector<uint64_t> buffer((bytes + sizeof(uint64_t) - 1) / sizeof(uint64_t));
    if (functions.currentInfo(kPackageInfoFlags, &bytes, reinterpret_cast<BYTE*>(buffer.data()),
                              &count) != ERROR_SUCCESS)
        return std::nullopt;
    const auto* packages = reinterpret_cast<const PackageInfo*>(buffer.data());
    for (UINT32 i = 0; i < count; ++i) {
        const PackageInfo& package = packages[i];
        if (!package.packageFamilyName || !package.path) continue;
        if (CompareStringOrdinal(package.packageFamilyName, -1, family, -1, TRUE) != CSTR_EQUAL)
            continue;
        const PackageVersionParts& v = package.packageId.version;
        return PackagedRuntime{package.path, {v.major, v.minor, v.build, v.revision}};
    }
    return std::nullopt;
}

// An elevated process loads the runtime's library as administrator: a folder named by a
// per-user setting (an environment variable, a registration or policy under the user's key)
// counts only when no one but the administrators can change what is loaded from it.
bool IsElevated() {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw)) return true;
    KernelHandle token(raw);
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size))
        return true;
    return elevation.TokenIsElevated != 0;
}

bool OnlyAdministratorsCanChange(const std::wstring& folder) {
    const std::wstring library = ClientLibraryIn(folder);
    if (CrossesReparsePoint(library)) return false;
    for (const std::wstring& path :
         {folder, folder + L"\\EBWebView", folder + L"\\EBWebView\\x64", library})
        if (!OnlyAdministratorsCanWriteAt(path)) return false;
    return true;
}

bool MayLoadFrom(const std::wstring& folder) {
    if (!IsElevated() || OnlyAdministratorsCanChange(folder)) return true;
    WriteLoaderDebugLine(L"WebView2: skipped a runtime other users can change " + folder);
    return false;
}

bool FindInChannel(int channel, const RuntimeSettings& settings, const PackageFunctions& packages,
                   std::wstring& libraryPath) {
    for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
        auto folder = RegisteredFolder(root, channel, settings.useEdgeView);
        if (!folder) continue;
        std::wstring trimmed = WithoutTrailingSeparators(*folder);
        if (AcceptCandidate(trimmed, ParseVersion(LastComponent(trimmed)), libraryPath)) {
            if (root != HKEY_CURRENT_USER || MayLoadFrom(trimmed)) return true;
            libraryPath.clear();
        }
    }
    if (packages.Available()) {
        if (auto runtime = FindPackagedRuntime(packages, kChannels[channel].packageFamily)) {
            if (AcceptCandidate(WithoutTrailingSeparators(runtime->folder), runtime->version,
                                libraryPath))
                return true;
        }
    }
    return false;
}

bool IsAbsoluteFolder(const std::wstring& folder) {
    bool drive =
        folder.size() >= 3 &&
        ((folder[0] >= L'A' && folder[0] <= L'Z') || (folder[0] >= L'a' && folder[0] <= L'z')) &&
        folder[1] == L':' && folder[2] == L'\\';
    bool unc = folder.size() >= 2 && folder[0] == L'\\' && folder[1] == L'\\';
    return drive || unc;
}

HRESULT FindInFixedFolder(const RuntimeSettings& settings, std::wstring& libraryPath) {
    std::wstring folder = settings.browserFolder;
    if (!IsAbsoluteFolder(folder)) {
        std::wstring exe = ExecutablePath();
        size_t separator = exe.find_last_of(L'\\');
        if (exe.empty() || separator == std::wstring::npos) {
            DWORD error = GetLastError();
            WriteLoaderDebugLine(std::string("WebView2: Failed to find the app exe path."));
            return error ? HRESULT_FROM_WIN32(error) : E_UNEXPECTED;
        }
        folder = exe.substr(0, separator) + L"\\" + folder;
    }
    std::wstring library = ClientLibraryIn(folder);
    if (!IsAccessible(library)) {
        WriteLoaderDebugLine(L"WebView2: Failed to find the WebView2 client dll at: " + library);
        return kNotFound;
    }
    if (!MayLoadFrom(folder)) return kUntrustedFolder;
    libraryPath = std::move(library);
    return S_OK;
}

} // namespace

HRESULT FindClientLibrary(const RuntimeSettings& settings, std::wstring& libraryPath,
                          RuntimeKind& kind) {
    if (!settings.browserFolder.empty()) {
        kind = settings.useEdgeView ? RuntimeKind::EdgeView : RuntimeKind::FixedFolder;
        const HRESULT found = FindInFixedFolder(settings, libraryPath);
        // A folder the user could have planted is passed over for the machine's runtime.
        if (found != kUntrustedFolder) return found;
    }
    kind = settings.useEdgeView ? RuntimeKind::EdgeView : RuntimeKind::Installed;
    const PackageFunctions packages = LookUpPackageFunctions();
    for (int step = 0; step < 5; ++step) {
        int channel = settings.reverseSearch ? 4 - step : step;
        if (!(settings.channelMask & (1u << channel))) continue;
        if (FindInChannel(channel, settings, packages, libraryPath)) return S_OK;
    }
    WriteLoaderDebugLine(std::string("WebView2: Failed to find an installed WebView2 runtime or "
                                     "non-stable Microsoft Edge installation."));
    return kNotFound;
}

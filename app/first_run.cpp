#include "app/first_run.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "base/handles.h"
#include "app/install_folder.h"
#include "base/paths.h"
#include "base/process.h"

namespace {

constexpr wchar_t kBrandName[] = L"Zarvo Vestra";
constexpr wchar_t kInstallMarkerName[] = L".zarvo_install_dir";
constexpr wchar_t kInstalledExeName[] = L"Zarvo Vestra.exe";
constexpr wchar_t kGameClientName[] = L"rovezuzav.exe";

// The "SystemDrive" variable, or "C:" when it is unset or longer than the buffer.
std::wstring SystemDrive() {
    wchar_t buffer[16] = L"C:";
    DWORD length = GetEnvironmentVariableW(L"SystemDrive", buffer, 16);
    if (length == 0 || length >= 16) return L"C:";
    return std::wstring(buffer, length);
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

std::wstring InstallFolder() {
    return ResolveFullPath(SystemDrive() + L"\\" + kBrandName);
}

bool InstallOnFirstRun() {
    if (FileExists(InstDonePath())) return false;

    std::wstring installFolder = InstallFolder();
    std::wstring currentFolder = ResolveFullPath(LauncherFolder());
    if (SameFolder(installFolder, currentFolder)) return false;
    // A folder the launcher installed itself into, or a game folder: stay where we are.
    if (FileExists(currentFolder + L"\\" + kInstallMarkerName)) return false;
    if (FileExists(currentFolder + L"\\" + kGameClientName)) return false;

    // Everything in this folder runs elevated later: other users must not write into it.
    CreateProtectedFolder(installFolder);
    CreateHiddenMarker(installFolder + L"\\" + kInstallMarkerName);

    std::wstring installedExe = installFolder + L"\\" + kInstalledExeName;
    if (!CopyFileW(LauncherExePath().c_str(), installedExe.c_str(), FALSE)) return false;

    CreateDesktopShortcut(installedExe, kBrandName);
    return StartDetachedProcess(installedExe, L"\"" + installedExe + L"\"", installFolder);
}

void CreateDesktopShortcut(const std::wstring& target, const std::wstring& name) {
    std::wstring linkPath;
    {
        CoTaskString desktop;
        if (FAILED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, desktop.Put())) || !desktop)
            return;
        linkPath = std::wstring(desktop.Get()) + L"\\" + name + L".lnk";
    }

    ComPtr<IShellLinkW> link;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.PutVoid())))
        return;

    size_t separator = target.find_last_of(L"\\/");
    std::wstring workingFolder =
        separator == std::wstring::npos ? target : target.substr(0, separator);
    link->SetPath(target.c_str());
    link->SetWorkingDirectory(workingFolder.c_str());
    link->SetIconLocation(target.c_str(), 0);
    link->SetDescription(kBrandName);

    ComPtr<IPersistFile> persist;
    if (SUCCEEDED(link->QueryInterface(IID_IPersistFile, persist.PutVoid())))
        persist->Save(linkPath.c_str(), TRUE);
}

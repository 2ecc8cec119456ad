#include "app/first_run.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <vector>

#include "app/handles.h"
#include "app/paths.h"

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

// Starts the installed copy with its quoted path as the whole command line.
bool StartInstalledCopy(const std::wstring& exe, const std::wstring& folder) {
    std::wstring commandLine = L"\"" + exe + L"\"";
    std::vector<wchar_t> buffer(commandLine.begin(), commandLine.end());
    buffer.push_back(L'\0');
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(exe.c_str(), buffer.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.c_str(), &startup, &info))
        return false;
    KernelHandle thread(info.hThread), process(info.hProcess);
    thread.Reset();
    process.Reset();
    return true;
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

    SHCreateDirectoryExW(nullptr, installFolder.c_str(), nullptr);
    CreateHiddenMarker(installFolder + L"\\" + kInstallMarkerName);

    std::wstring installedExe = installFolder + L"\\" + kInstalledExeName;
    if (!CopyFileW(LauncherExePath().c_str(), installedExe.c_str(), FALSE)) return false;

    CreateDesktopShortcut(installedExe, kBrandName);
    return StartInstalledCopy(installedExe, installFolder);
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

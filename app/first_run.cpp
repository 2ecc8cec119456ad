#include "app/first_run.h"

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include "app/command_line.h"
#include "app/image_check.h"
#include "base/handles.h"
#include "app/install_folder.h"
#include "base/paths.h"
#include "base/process.h"
#include "net/release_head.h"

namespace {

constexpr wchar_t kBrandName[] = L"Zarvo Vestra";
constexpr wchar_t kInstallMarkerName[] = L".zarvo_install_dir";
constexpr wchar_t kInstalledExeName[] = L"Zarvo Vestra.exe";
constexpr wchar_t kGameClientName[] = L"rovezuzav.exe";

// The drive Windows runs from, as the system says: the "SystemDrive" variable comes from the
// environment of whoever started us, and would move where the elevated launcher writes.
std::wstring SystemDrive() {
    wchar_t buffer[MAX_PATH] = {};
    UINT length = GetSystemWindowsDirectoryW(buffer, MAX_PATH);
    if (length < 2 || length >= MAX_PATH || buffer[1] != L':') return L"C:";
    return std::wstring(buffer, 2);
}

#ifdef LAUNCHER_TEST_SETTINGS
// Test builds only: the suite gives each test an install folder of its own.
std::wstring TestInstallFolder() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = GetEnvironmentVariableW(L"ZARVO_TEST_INSTALL_FOLDER", buffer, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(buffer, length) : std::wstring();
}
#endif

// The player is told, and nothing is copied: the folder is someone else's to mend.
void ReportUnsafeInstallFolder(const std::wstring& folder) {
    const std::wstring text =
        L"No se puede instalar en " + folder +
        L": la carpeta ya existe y otros usuarios pueden cambiarla, o lleva a otro sitio. "
        L"Borrala o deja solo a los administradores escribir en ella, y vuelve a empezar.";
    MessageBoxW(nullptr, text.c_str(), L"Error", MB_ICONERROR);
}

bool SameFolder(const std::wstring& a, const std::wstring& b) {
    return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(),
                                static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

} // namespace

std::wstring InstallFolder() {
#ifdef LAUNCHER_TEST_SETTINGS
    if (std::wstring folder = TestInstallFolder(); !folder.empty()) return ResolveFullPath(folder);
#endif
    return ResolveFullPath(SystemDrive() + L"\\" + kBrandName);
}

FirstRunResult InstallOnFirstRun() {
    if (FileExists(InstDonePath())) return FirstRunResult::RunInPlace;

    std::wstring installFolder = InstallFolder();
    std::wstring currentFolder = PlainPath(ResolveFullPath(LauncherFolder()));
    if (SameFolder(installFolder, currentFolder)) return FirstRunResult::RunInPlace;
    // A folder the launcher installed itself into, or a game folder: stay where we are.
    if (FileExists(currentFolder + L"\\" + kInstallMarkerName)) return FirstRunResult::RunInPlace;
    if (FileExists(currentFolder + L"\\" + kGameClientName)) return FirstRunResult::RunInPlace;

    // Everything in this folder runs elevated later: other users must not write into it, and
    // a folder they made or pointed elsewhere is not ours to fill.
    if (!CreateProtectedFolder(installFolder)) {
        ReportUnsafeInstallFolder(installFolder);
        return FirstRunResult::Refused;
    }
    CreateHiddenMarker(installFolder + L"\\" + kInstallMarkerName);

    std::wstring installedExe = installFolder + L"\\" + kInstalledExeName;
    if (!CopyFileW(LauncherExePath().c_str(), installedExe.c_str(), FALSE))
        return FirstRunResult::RunInPlace;
    // Copied by path from a folder others may write: the file there may no longer be the one
    // the elevation prompt showed. Checked where no one else can change it any more.
    if (!MatchesRunningImage(installedExe)) {
        DeleteFileW(installedExe.c_str());
        return FirstRunResult::RunInPlace;
    }

    // The link and the start name the plain path: neither takes the "\\?\" form.
    const std::wstring startedExe = PlainPath(installedExe);
    CreateDesktopShortcut(startedExe, kBrandName);
    return StartDetachedProcess(
               startedExe,
               InstalledCopyCommandLine(startedExe, GetCommandLineW(), ReleaseHeadEnabled()),
               PlainPath(installFolder))
               ? FirstRunResult::Installed
               : FirstRunResult::RunInPlace;
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

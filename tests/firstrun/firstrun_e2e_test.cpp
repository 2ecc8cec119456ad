// The real launcher on its first start: from anywhere else it installs itself into
// "C:\Zarvo Vestra", puts the shortcut on the desktop, starts the copy and ends; from a game
// folder, an installed folder or the install folder itself it runs in place.
//
// The launcher of a test build takes its install folder from ZARVO_TEST_INSTALL_FOLDER: each
// test gives it a fresh "Zarvo Vestra" in a temp folder of its own, inherited by every launcher
// it starts. A link at the install folder's name is what the launcher must refuse.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include "base/handles.h"
#include "base/paths.h"
#include "firstrun/shell_link_util.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kWindowClass[] = L"Zarvo Vestra Launcher";

// Runs a Unix program; Wine gives no handle to wait on, so callers poll for its effect.
bool RunUnix(const std::wstring& program, const std::wstring& commandLine) {
    test::ChildProcess process;
    return process.Start(L"Z:\\bin\\" + program, commandLine, L"");
}

// The install folder of every launcher this process starts, "Zarvo Vestra" in a fresh temp
// folder, for the lifetime of the object.
class InstallFolderSetting {
public:
    InstallFolderSetting() {
        SetEnvironmentVariableW(L"ZARVO_TEST_INSTALL_FOLDER", Folder().c_str());
    }
    ~InstallFolderSetting() { SetEnvironmentVariableW(L"ZARVO_TEST_INSTALL_FOLDER", nullptr); }
    InstallFolderSetting(const InstallFolderSetting&) = delete;
    InstallFolderSetting& operator=(const InstallFolderSetting&) = delete;
    std::wstring Root() const { return root_.Path(); }
    std::wstring Folder() const { return root_ / L"Zarvo Vestra"; }

private:
    test::TempDir root_{L"install"};
};

std::vector<DWORD> ProcessesUnder(const std::wstring& folder) {
    std::wstring prefix = folder + L"\\";
    std::vector<DWORD> out;
    // A failed snapshot is INVALID_HANDLE_VALUE, as with files.
    FileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot) return out;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more;
         more = Process32NextW(snapshot.Get(), &entry)) {
        KernelHandle process(
            OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, entry.th32ProcessID));
        if (!process) continue;
        wchar_t image[MAX_PATH * 2];
        DWORD size = MAX_PATH * 2;
        if (QueryFullProcessImageNameW(process.Get(), 0, image, &size) &&
            _wcsnicmp(image, prefix.c_str(), prefix.size()) == 0)
            out.push_back(entry.th32ProcessID);
    }
    return out;
}

// Names in a folder, without "." and "..".
std::vector<std::wstring> FolderEntries(const std::wstring& folder) {
    std::vector<std::wstring> out;
    WIN32_FIND_DATAW data;
    FindHandle find(FindFirstFileW((folder + L"\\*").c_str(), &data));
    if (!find) return out;
    do {
        std::wstring name = data.cFileName;
        if (name != L"." && name != L"..") out.push_back(name);
    } while (FindNextFileW(find.Get(), &data));
    return out;
}

class FirstRun : public ::testing::Test {
protected:
    void SetUp() override {
        test::TestServer::Configure(emptyRoot_.Path());
        DeleteFileW(ShortcutPath().c_str());
    }
    void TearDown() override {
        launcher_.Kill();
        test::KillProcessesUnder(InstallDir());
        test::KillProcessesUnder(downloads_.Path());
        DeleteFileW(ShortcutPath().c_str());
        test::TestServer::Reset();
    }

    std::wstring InstallDir() const { return install_.Folder(); }
    std::wstring InstalledExe() const { return InstallDir() + L"\\Zarvo Vestra.exe"; }
    std::wstring MarkerPath() const { return InstallDir() + L"\\.zarvo_install_dir"; }

    static std::wstring ShortcutPath() { return test::DesktopLink(L"Zarvo Vestra"); }

    // The launcher as a fresh download, started from its folder like a user would.
    bool StartLauncherIn(const std::wstring& folder,
                         const std::wstring& name = L"ZarvoLauncher.exe",
                         const std::vector<std::wstring>& extraEnv = {}) {
        std::wstring exe = folder + L"\\" + name;
        if (!test::PathExists(exe) && !test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), exe))
            return false;
        return launcher_.Start(exe, L"\"" + exe + L"\"", folder, extraEnv);
    }
    // True when the started launcher opened its own window, so it stayed where it was.
    bool RunsInPlace() {
        HWND window = nullptr;
        test::WaitFor(
            [&] {
                window = test::FindProcessWindow(launcher_.Pid(), kWindowClass, 0);
                return window || !launcher_.Running();
            },
            30000);
        return window != nullptr;
    }

    test::ComApartment com_;
    InstallFolderSetting install_;
    test::TempDir emptyRoot_{L"www"};
    test::TempDir downloads_{L"Downloads"};
    test::ChildProcess launcher_;
};

TEST_F(FirstRun, FreshLauncherInstallsItselfStartsTheCopyAndEnds) {
    ASSERT_TRUE(StartLauncherIn(downloads_.Path(), L"Zarvo Vestra Setup.exe"));
    DWORD exitCode = 99;
    ASSERT_TRUE(launcher_.WaitExit(60000, &exitCode)) << "the downloaded launcher did not end";
    EXPECT_EQ(exitCode, 0u);
    // It ended before its window: nothing besides itself in its folder.
    EXPECT_EQ(FolderEntries(downloads_.Path()),
              std::vector<std::wstring>{L"Zarvo Vestra Setup.exe"});

    EXPECT_EQ(test::ReadFileBytes(InstalledExe()),
              test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE")));
    DWORD markerAttributes = GetFileAttributesW(MarkerPath().c_str());
    ASSERT_NE(markerAttributes, INVALID_FILE_ATTRIBUTES) << "no install marker";
    EXPECT_TRUE(markerAttributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(test::ReadFileBytes(MarkerPath()), "");

    test::ShellLinkFields link = test::ReadShellLink(ShortcutPath());
    ASSERT_TRUE(link.loaded) << "no desktop link at " << test::Narrow(ShortcutPath());
    EXPECT_EQ(link.path, InstalledExe());
    EXPECT_EQ(link.workingFolder, InstallDir());
    EXPECT_EQ(link.iconPath, InstalledExe());
    EXPECT_EQ(link.iconIndex, 0);
    EXPECT_EQ(link.description, L"Zarvo Vestra");

    // The copy runs in place: one process with its window, which does not hand over again.
    ASSERT_TRUE(test::WaitFor([&] { return !ProcessesUnder(InstallDir()).empty(); }, 15000))
        << "the installed copy is not running";
    DWORD copy = ProcessesUnder(InstallDir()).front();
    EXPECT_NE(test::FindProcessWindow(copy, kWindowClass, 30000), nullptr);
    test::PumpMessages(1000);
    EXPECT_EQ(ProcessesUnder(InstallDir()), std::vector<DWORD>{copy});
}

TEST_F(FirstRun, GameFolderInstalledFolderAndInstallMarkerRunInPlace) {
    for (const wchar_t* marker : {L"Log\\inst_done", L".zarvo_install_dir", L"rovezuzav.exe"}) {
        SCOPED_TRACE(test::Narrow(marker));
        test::TempDir folder(L"game");
        ASSERT_TRUE(test::WriteFileBytes(folder / marker, ""));
        ASSERT_TRUE(StartLauncherIn(folder.Path()));
        EXPECT_TRUE(RunsInPlace());
        EXPECT_TRUE(FolderEntries(InstallDir()).empty()) << "it installed itself";
        EXPECT_FALSE(test::PathExists(ShortcutPath()));
        launcher_.Kill();
        test::KillProcessesUnder(folder.Path());
    }
}

TEST_F(FirstRun, InstallFolderInOtherLetterCaseIsTheInstallFolder) {
    ASSERT_TRUE(
        test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), InstallDir() + L"\\ZarvoLauncher.exe"));
    const std::wstring otherCase = install_.Root() + L"\\zarvo VESTRA";
    ASSERT_TRUE(StartLauncherIn(otherCase));
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    QueryFullProcessImageNameW(launcher_.Handle(), 0, image, &size);
    ASSERT_EQ(std::wstring(image), otherCase + L"\\ZarvoLauncher.exe")
        << "the system changed the letter case of the launcher's path; nothing to compare";

    EXPECT_TRUE(RunsInPlace());
    EXPECT_FALSE(test::PathExists(InstalledExe()));
    EXPECT_FALSE(test::PathExists(MarkerPath()));
    EXPECT_FALSE(test::PathExists(ShortcutPath()));
}

TEST_F(FirstRun, FailedCopyLeavesFolderAndMarkerWithoutShortcutAndRunsInPlace) {
    ASSERT_TRUE(CreateDirectoryW(InstallDir().c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(InstalledExe().c_str(), nullptr)); // nothing can be copied onto it
    ASSERT_TRUE(StartLauncherIn(downloads_.Path()));
    EXPECT_TRUE(RunsInPlace());
    DWORD markerAttributes = GetFileAttributesW(MarkerPath().c_str());
    ASSERT_NE(markerAttributes, INVALID_FILE_ATTRIBUTES) << "no install marker";
    EXPECT_TRUE(markerAttributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(test::PathExists(ShortcutPath()));
}

// A symbolic link at link to target, made by the Unix ln; Wine shows it as a reparse point.
bool MakeUnixLink(const std::wstring& target, const std::wstring& link) {
    const std::wstring unixTarget = test::Widen(test::UnixPath(target));
    const std::wstring unixLink = test::Widen(test::UnixPath(link));
    if (unixTarget.empty() || unixLink.empty()) return false;
    RunUnix(L"ln", L"ln -sfnT \"" + unixTarget + L"\" \"" + unixLink + L"\"");
    return test::WaitFor(
        [&] {
            DWORD attributes = GetFileAttributesW(link.c_str());
            return attributes != INVALID_FILE_ATTRIBUTES &&
                   (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
        },
        10000);
}

// Anyone may create folders at the drive's root: a link at the install folder's name, or on
// the way to it, would take the elevated copy and its rights wherever it points. The launcher
// says so and copies nothing.
TEST_F(FirstRun, InstallFolderReachedThroughALinkIsRefusedAndNothingIsCopied) {
    test::TempDir elsewhere(L"elsewhere");
    struct Layout {
        const char* what;
        std::wstring link;
        std::wstring folder;
    } layouts[] = {
        {"at the name", InstallDir(), InstallDir()},
        {"on the way", install_.Root() + L"\\Programs",
         install_.Root() + L"\\Programs\\Zarvo Vestra"},
    };
    for (const Layout& layout : layouts) {
        SCOPED_TRACE(layout.what);
        ASSERT_TRUE(MakeUnixLink(elsewhere.Path(), layout.link));
        SetEnvironmentVariableW(L"ZARVO_TEST_INSTALL_FOLDER", layout.folder.c_str());
        ASSERT_TRUE(StartLauncherIn(downloads_.Path(), L"Zarvo Vestra Setup.exe"));
        EXPECT_NE(test::FindProcessWindow(launcher_.Pid(), L"#32770", 30000), nullptr)
            << "no error shown";
        EXPECT_EQ(test::FindProcessWindow(launcher_.Pid(), kWindowClass, 0), nullptr);
        EXPECT_TRUE(FolderEntries(elsewhere.Path()).empty()) << "it copied through the link";
        EXPECT_FALSE(test::PathExists(ShortcutPath()));
        launcher_.Kill();
        RunUnix(L"rm", L"rm -f \"" + test::Widen(test::UnixPath(layout.link)) + L"\"");
        test::WaitFor([&] { return !test::PathExists(layout.link); }, 10000);
    }
    SetEnvironmentVariableW(L"ZARVO_TEST_INSTALL_FOLDER", InstallDir().c_str());
}

// DLLs the launcher loads by name, itself or through the system's DLLs, that are not among the
// system's KnownDLLs, so the ordinary search would look for them in the launcher's folder
// first. version.dll is left out: Wine's gdi32 imports it while the program's own imports are
// resolved, before any of the program's code runs, so under Wine no program can keep a planted
// version.dll out; Windows does not do this.
const wchar_t* const kPlantedDlls[] = {
    L"winhttp",  L"gdiplus", L"bcrypt",   L"crypt32",  L"secur32",       L"schannel",
    L"rsaenh",   L"dnsapi",  L"iphlpapi", L"jsproxy",  L"kerberos",      L"msv1_0",
    L"netapi32", L"propsys", L"uxtheme",  L"actxprxy", L"windowscodecs",
};

// Copies of the marker DLL under every planted name in folder.
void PlantMarkerDlls(const std::wstring& folder) {
    const std::wstring marker = LauncherFolderFull() + L"\\marker_dll.dll";
    for (const wchar_t* name : kPlantedDlls)
        ASSERT_TRUE(test::CopyFileTo(marker, folder + L"\\" + name + L".dll"))
            << test::Narrow(name);
}

// The traces a loaded marker DLL left in folder.
std::vector<std::wstring> LoadedMarkers(const std::wstring& folder) {
    std::vector<std::wstring> loaded;
    for (const std::wstring& name : FolderEntries(folder))
        if (name.ends_with(L".loaded")) loaded.push_back(name);
    return loaded;
}

// Wine loads a DLL found beside the program instead of its own when told "native first".
std::vector<std::wstring> NativeFirstEnvironment() {
    std::wstring names;
    for (const wchar_t* name : kPlantedDlls)
        names += (names.empty() ? L"" : L",") + std::wstring(name);
    return {L"WINEDLLOVERRIDES=winemenubuilder.exe=d;" + names + L"=n,b"};
}

TEST_F(FirstRun, DllsPlantedBesideTheLauncherAreNeverLoaded) {
    const std::vector<std::wstring> env = NativeFirstEnvironment();

    // A first start from a download folder: the launcher installs itself and ends.
    PlantMarkerDlls(downloads_.Path());
    ASSERT_TRUE(StartLauncherIn(downloads_.Path(), L"Zarvo Vestra Setup.exe", env));
    DWORD exitCode = 99;
    ASSERT_TRUE(launcher_.WaitExit(60000, &exitCode)) << "the downloaded launcher did not end";
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(test::PathExists(InstalledExe()));
    EXPECT_EQ(LoadedMarkers(downloads_.Path()), std::vector<std::wstring>{});
    test::KillProcessesUnder(InstallDir());

    // A start in a game folder: the window opens, painted with GDI+, and the display
    // information is fetched over WinHTTP.
    // In an installed game folder: the window opens, painted with GDI+, and the light update
    // fetches a changed file over WinHTTP, checks its digest and puts it in place.
    test::TempDir game(L"game");
    ASSERT_TRUE(test::WriteFileBytes(game / L"rovezuzav.exe", "MZ"));
    ASSERT_TRUE(test::WriteFileBytes(game / L"Log\\inst_done", ""));
    ASSERT_TRUE(test::WriteFileBytes(game / L"news.txt", "old news"));
    const std::string news = "fresh news";
    ASSERT_TRUE(test::WriteFileBytes(emptyRoot_ / L"update\\news.txt", news));
    ASSERT_TRUE(test::WriteFileBytes(emptyRoot_ / L"manifest_light.json",
                                     R"({"files": [{"path": "news.txt", "hash": ")" +
                                         test::Md5Hex(news) + R"(", "size": 10, "version": 1}]})"));
    PlantMarkerDlls(game.Path());
    ASSERT_TRUE(StartLauncherIn(game.Path(), L"ZarvoLauncher.exe", env));
    EXPECT_TRUE(RunsInPlace());
    EXPECT_TRUE(
        test::WaitFor([&] { return test::ReadFileBytes(game / L"news.txt") == news; }, 30000))
        << "the light update did not place the changed file";
    EXPECT_EQ(LoadedMarkers(game.Path()), std::vector<std::wstring>{});
    launcher_.Kill();
    test::KillProcessesUnder(game.Path());
}

} // namespace

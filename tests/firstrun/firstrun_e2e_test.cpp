// The real launcher on its first start: from anywhere else it installs itself into
// "C:\Zarvo Vestra", puts the shortcut on the desktop, starts the copy and ends; from a game
// folder, an installed folder or the install folder itself it runs in place.
//
// Wine sets SystemDrive to "C:" in every process it starts, whatever the parent passes, so
// the install folder of a launcher under test is always C:\Zarvo Vestra. Each test points that
// folder at a fresh temp folder of its own through a symbolic link in the prefix's drive_c
// (made by the Unix ln, which Wine starts like any program), so the launcher's files land in
// the test's temp folder.
#include <gtest/gtest.h>

#include <windows.h>
#include <tlhelp32.h>

#include "base/handles.h"
#include "base/paths.h"
#include "firstrun/shell_link_util.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kInstallFolder[] = L"C:\\Zarvo Vestra";
constexpr wchar_t kInstalledExe[] = L"C:\\Zarvo Vestra\\Zarvo Vestra.exe";
constexpr wchar_t kMarker[] = L"C:\\Zarvo Vestra\\.zarvo_install_dir";
constexpr wchar_t kWindowClass[] = L"Zarvo Vestra Launcher";

// Runs a Unix program; Wine gives no handle to wait on, so callers poll for its effect.
bool RunUnix(const std::wstring& program, const std::wstring& commandLine) {
    test::ChildProcess process;
    return process.Start(L"Z:\\bin\\" + program, commandLine, L"");
}

// C:\Zarvo Vestra as a link to a fresh temp folder for the lifetime of the object.
class InstallFolderRedirect {
public:
    InstallFolderRedirect() {
        std::wstring prefix = test::Env(L"WINEPREFIX");
        const std::wstring target = test::Widen(test::UnixPath(target_.Path()));
        if (prefix.empty() || target.empty()) return;
        link_ = prefix + L"/drive_c/Zarvo Vestra";
        // -T: a real folder of that name is never replaced or written into.
        RunUnix(L"ln", L"ln -sfnT \"" + target + L"\" \"" + link_ + L"\"");
        test::WriteFileBytes(target_ / L"probe", "");
        ready_ = test::WaitFor([] { return test::PathExists(L"C:\\Zarvo Vestra\\probe"); }, 10000);
        DeleteFileW((target_ / L"probe").c_str());
    }
    ~InstallFolderRedirect() {
        if (link_.empty()) return;
        RunUnix(L"rm", L"rm -f \"" + link_ + L"\"");
        test::WaitFor([] { return !test::PathExists(kInstallFolder); }, 10000);
    }
    bool Ready() const { return ready_; }

private:
    test::TempDir target_{L"install"};
    std::wstring link_;
    bool ready_ = false;
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
        ASSERT_TRUE(redirect_.Ready()) << "C:\\Zarvo Vestra could not be pointed at a temp folder";
        test::TestServer::Configure(emptyRoot_.Path());
        DeleteFileW(ShortcutPath().c_str());
    }
    void TearDown() override {
        launcher_.Kill();
        test::KillProcessesUnder(kInstallFolder);
        test::KillProcessesUnder(downloads_.Path());
        DeleteFileW(ShortcutPath().c_str());
        test::TestServer::Reset();
    }

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
    InstallFolderRedirect redirect_;
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

    EXPECT_EQ(test::ReadFileBytes(kInstalledExe),
              test::ReadFileBytes(test::Env(L"ZARVO_LAUNCHER_EXE")));
    DWORD markerAttributes = GetFileAttributesW(kMarker);
    ASSERT_NE(markerAttributes, INVALID_FILE_ATTRIBUTES) << "no install marker";
    EXPECT_TRUE(markerAttributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_EQ(test::ReadFileBytes(kMarker), "");

    test::ShellLinkFields link = test::ReadShellLink(ShortcutPath());
    ASSERT_TRUE(link.loaded) << "no desktop link at " << test::Narrow(ShortcutPath());
    EXPECT_EQ(link.path, kInstalledExe);
    EXPECT_EQ(link.workingFolder, kInstallFolder);
    EXPECT_EQ(link.iconPath, kInstalledExe);
    EXPECT_EQ(link.iconIndex, 0);
    EXPECT_EQ(link.description, L"Zarvo Vestra");

    // The copy runs in place: one process with its window, which does not hand over again.
    ASSERT_TRUE(test::WaitFor([] { return !ProcessesUnder(kInstallFolder).empty(); }, 15000))
        << "the installed copy is not running";
    DWORD copy = ProcessesUnder(kInstallFolder).front();
    EXPECT_NE(test::FindProcessWindow(copy, kWindowClass, 30000), nullptr);
    test::PumpMessages(1000);
    EXPECT_EQ(ProcessesUnder(kInstallFolder), std::vector<DWORD>{copy});
}

TEST_F(FirstRun, GameFolderInstalledFolderAndInstallMarkerRunInPlace) {
    for (const wchar_t* marker : {L"Log\\inst_done", L".zarvo_install_dir", L"rovezuzav.exe"}) {
        SCOPED_TRACE(test::Narrow(marker));
        test::TempDir folder(L"game");
        ASSERT_TRUE(test::WriteFileBytes(folder / marker, ""));
        ASSERT_TRUE(StartLauncherIn(folder.Path()));
        EXPECT_TRUE(RunsInPlace());
        EXPECT_TRUE(FolderEntries(kInstallFolder).empty()) << "it installed itself";
        EXPECT_FALSE(test::PathExists(ShortcutPath()));
        launcher_.Kill();
        test::KillProcessesUnder(folder.Path());
    }
}

TEST_F(FirstRun, InstallFolderInOtherLetterCaseIsTheInstallFolder) {
    ASSERT_TRUE(
        test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), L"C:\\Zarvo Vestra\\ZarvoLauncher.exe"));
    const std::wstring otherCase = L"C:\\zarvo VESTRA";
    ASSERT_TRUE(StartLauncherIn(otherCase));
    wchar_t image[MAX_PATH] = {};
    DWORD size = MAX_PATH;
    QueryFullProcessImageNameW(launcher_.Handle(), 0, image, &size);
    ASSERT_EQ(std::wstring(image), otherCase + L"\\ZarvoLauncher.exe")
        << "the system changed the letter case of the launcher's path; nothing to compare";

    EXPECT_TRUE(RunsInPlace());
    EXPECT_FALSE(test::PathExists(kInstalledExe));
    EXPECT_FALSE(test::PathExists(kMarker));
    EXPECT_FALSE(test::PathExists(ShortcutPath()));
}

TEST_F(FirstRun, FailedCopyLeavesFolderAndMarkerWithoutShortcutAndRunsInPlace) {
    ASSERT_TRUE(CreateDirectoryW(kInstalledExe, nullptr)); // nothing can be copied onto it
    ASSERT_TRUE(StartLauncherIn(downloads_.Path()));
    EXPECT_TRUE(RunsInPlace());
    DWORD markerAttributes = GetFileAttributesW(kMarker);
    ASSERT_NE(markerAttributes, INVALID_FILE_ATTRIBUTES) << "no install marker";
    EXPECT_TRUE(markerAttributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_FALSE(test::PathExists(ShortcutPath()));
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
    EXPECT_TRUE(test::PathExists(kInstalledExe));
    EXPECT_EQ(LoadedMarkers(downloads_.Path()), std::vector<std::wstring>{});
    test::KillProcessesUnder(kInstallFolder);

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

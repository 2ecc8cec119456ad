// The web panel in this process: a window of the test's own whose display-information and
// destroy messages go to the launcher's window procedure, with the stand-in runtime found
// through WEBVIEW2_BROWSER_EXECUTABLE_FOLDER and its call log read back.
#include <gtest/gtest.h>

#include <shlobj.h>
#include <knownfolders.h>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "app/window.h"
#include "support/test_support.h"
#include "webpanel/browser_panel.h"
#include "webpanel_test_util.h"

namespace {

using Lines = std::vector<std::string>;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_LAUNCHER_DISPLAYINFO || message == WM_DESTROY)
        return LauncherWindowProc(window, message, wParam, lParam);
    return DefWindowProcW(window, message, wParam, lParam);
}

bool Shown(HWND window) {
    return (GetWindowLongW(window, GWL_STYLE) & WS_VISIBLE) != 0;
}

Lines Tail(const Lines& lines, size_t from) {
    return from >= lines.size() ? Lines()
                                : Lines(lines.begin() + static_cast<ptrdiff_t>(from), lines.end());
}

class Panel : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = MainWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"PanelTestMain";
        RegisterClassW(&wc);
    }

    void SetUp() override {
        library_ = webtest::InstallFakeRuntime(runtime_.Path());
        folder_ = std::make_unique<webtest::ScopedEnv>(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER",
                                                       runtime_.Path());
        State().appInstance = GetModuleHandleW(nullptr);
        OpenMainWindow();
    }

    void TearDown() override {
        if (IsWindow(main_)) DestroyWindow(main_);
        webtest::Pump(20);
        State().mainWindow.store(nullptr);
    }

    void OpenMainWindow() {
        // Never mapped on the display: Wine waits for a window manager that Xvfb does not
        // have whenever a shown top-level window goes away. "Shown" below means the
        // WS_VISIBLE style of the host.
        main_ = CreateWindowExW(0, L"PanelTestMain", L"main", WS_POPUP | WS_CLIPCHILDREN, 100, 100,
                                kWindowWidth, kWindowHeight, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(main_, nullptr);
        State().mainWindow.store(main_);
    }

    // What the display-information thread does, then the window's handling of its message.
    void Announce(bool enabled, const std::wstring& url) {
        LauncherState& s = State();
        {
            std::lock_guard<std::mutex> lock(s.displayInfoMutex);
            s.displayEnabled = enabled;
            s.displayUrl = url;
        }
        SendMessageW(main_, WM_LAUNCHER_DISPLAYINFO, 0, 0);
    }

    HWND Host() const { return State().webPanelHost; }

    RECT HostRectInMain() const {
        RECT r = {};
        GetWindowRect(Host(), &r);
        MapWindowPoints(nullptr, main_, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    std::string EntryLine() const {
        return "CreateWebViewEnvironmentWithOptionsInternal flag=1 kind=1 userDataFolder=" +
               webtest::Utf8(ResolveFullPath(GetWebViewDataFolder())) +
               " options=null library=" + webtest::Utf8(library_);
    }

    // Shows a page and waits until the stand-in navigated to it.
    void ShowPage(const std::wstring& url) {
        Announce(true, url);
        ASSERT_TRUE(log_.WaitForLine("View.Navigate", 5000));
        ASSERT_TRUE(State().webController);
        ASSERT_TRUE(State().webView);
    }

    webtest::CleanRuntimeEnvironment environment_;
    webtest::FakeLog log_;
    test::TempDir runtime_{L"panel-runtime"};
    std::wstring library_;
    std::unique_ptr<webtest::ScopedEnv> folder_;
    HWND main_ = nullptr;
};

const std::wstring kPage = L"https://localhost:18443/panel/news.html?a=1&b=\\/x";

TEST_F(Panel, EnabledPageShowsTheEmptyHostAtOnceThenTheBrowserNavigates) {
    Announce(true, kPage);

    // Before the runtime has answered: the host is there, placed and shown, and empty.
    ASSERT_NE(Host(), nullptr);
    EXPECT_EQ(GetParent(Host()), main_);
    wchar_t className[32] = {};
    GetClassNameW(Host(), className, 32);
    EXPECT_EQ(_wcsicmp(className, L"STATIC"), 0) << webtest::Utf8(className);
    EXPECT_EQ(GetWindowLongW(Host(), GWL_STYLE) & ~WS_VISIBLE, static_cast<LONG>(WS_CHILD));
    EXPECT_TRUE(Shown(Host()));
    RECT r = HostRectInMain();
    EXPECT_EQ(r.left, 2);
    EXPECT_EQ(r.top, 90);
    EXPECT_EQ(r.right - r.left, 796);
    EXPECT_EQ(r.bottom - r.top, 385);
    EXPECT_FALSE(State().webController);
    EXPECT_TRUE(test::IsDirectory(ResolveFullPath(GetWebViewDataFolder())));

    ASSERT_TRUE(log_.WaitForLine("View.Navigate", 5000));
    EXPECT_EQ(log_.Lines(), (Lines{
                                EntryLine(),
                                "EnvironmentCompleted.Invoke 0x00000000",
                                "Environment.QueryInterface ICoreWebView2Environment",
                                "Environment.CreateCoreWebView2Controller parent=" +
                                    webtest::Utf8(className) + " x=2 y=90 w=796 h=385 shown=1",
                                "Environment.destroyed", // no reference to it is kept
                                "ControllerCompleted.Invoke 0x00000000",
                                "Controller.get_CoreWebView2",
                                "Controller.put_Bounds 0,0,796,385",
                                "View.get_Settings",
                                "Settings.put_AreDefaultContextMenusEnabled 0",
                                "Settings.put_AreDevToolsEnabled 0",
                                "Settings.put_IsStatusBarEnabled 0",
                                "Settings.put_IsZoomControlEnabled 0",
                                "Settings.QueryInterface ICoreWebView2Settings3",
                                "Settings.put_AreBrowserAcceleratorKeysEnabled 0",
                                "View.QueryInterface ICoreWebView2_4",
                                "View.Navigate " + webtest::Utf8(kPage),
                            }));
}

// The browser runs with the administrator's token: the page may not leave the studio's https
// host, open windows, use the machine's devices or download. The stand-in raises each event as
// a page would, after the navigation to the page itself.
TEST_F(Panel, ThePageStaysOnItsHostAndGetsNoWindowPermissionOrDownload) {
    webtest::ScopedEnv events(L"ZARVO_FAKE_WEBVIEW_EVENTS",
                              L"navigate http://localhost:18443/panel/|"
                              L"navigate https://elsewhere.example/panel/|"
                              L"navigate https://player@localhost:18443/panel/|"
                              L"navigate HTTPS://LOCALHOST:18443/panel/next.html|"
                              L"popup https://localhost:18443/panel/pop.html|"
                              L"permission https://localhost:18443/panel/|"
                              L"download https://localhost:18443/panel/setup.exe");
    ShowPage(kPage);
    ASSERT_TRUE(log_.WaitForLine("Event DownloadStarting", 5000));
    Lines seen;
    for (const std::string& line : log_.Lines())
        if (line.rfind("Event ", 0) == 0) seen.push_back(line);
    EXPECT_EQ(seen, (Lines{
                        "Event NavigationStarting " + webtest::Utf8(kPage) + " cancel=0",
                        "Event NavigationStarting http://localhost:18443/panel/ cancel=1",
                        "Event NavigationStarting https://elsewhere.example/panel/ cancel=1",
                        "Event NavigationStarting https://player@localhost:18443/panel/ cancel=1",
                        "Event NavigationStarting HTTPS://LOCALHOST:18443/panel/next.html cancel=0",
                        "Event NewWindowRequested https://localhost:18443/panel/pop.html "
                        "handled=1 newWindow=none",
                        "Event PermissionRequested https://localhost:18443/panel/ state=2",
                        "Event DownloadStarting https://localhost:18443/panel/setup.exe cancel=1 "
                        "handled=1",
                    }));
}

TEST_F(Panel, AnotherEnabledMessageNavigatesTheExistingView) {
    ShowPage(kPage);
    HWND host = Host();
    size_t seen = log_.Lines().size();
    ShowWindow(host, SW_HIDE);
    SetWindowPos(host, nullptr, 10, 10, 50, 50, SWP_NOZORDER | SWP_NOACTIVATE);

    Announce(true, L"https://localhost:18443/panel/second.html");
    webtest::Pump(100);
    EXPECT_EQ(Tail(log_.Lines(), seen),
              (Lines{"Controller.put_Bounds 0,0,796,385",
                     "View.Navigate https://localhost:18443/panel/second.html"}));
    EXPECT_EQ(Host(), host);
    EXPECT_TRUE(Shown(host));
    RECT r = HostRectInMain();
    EXPECT_EQ(r.left, 2);
    EXPECT_EQ(r.top, 90);
    EXPECT_EQ(r.right - r.left, 796);
    EXPECT_EQ(r.bottom - r.top, 385);
}

TEST_F(Panel, DestroyingTheWindowClosesTheBrowserBeforeItsHostAndReleasesEverything) {
    ShowPage(kPage);
    HWND host = Host();
    size_t seen = log_.Lines().size();
    DestroyWindow(main_);
    EXPECT_EQ(Tail(log_.Lines(), seen),
              (Lines{"Controller.Close host=alive", "Controller.destroyed", "View.destroyed",
                     "Settings.destroyed"}));
    EXPECT_FALSE(IsWindow(host));
    EXPECT_EQ(Host(), nullptr);
    EXPECT_FALSE(State().webController);
    EXPECT_FALSE(State().webView);
}

TEST_F(Panel, DisabledMessageClosesAShowingPanel) {
    ShowPage(kPage);
    HWND host = Host();
    size_t seen = log_.Lines().size();
    Announce(false, kPage);
    EXPECT_EQ(Tail(log_.Lines(), seen),
              (Lines{"Controller.Close host=alive", "Controller.destroyed", "View.destroyed",
                     "Settings.destroyed"}));
    EXPECT_FALSE(IsWindow(host));
    EXPECT_EQ(Host(), nullptr);
}

TEST_F(Panel, NothingIsShownWithoutAnEnabledPageAddress) {
    Announce(false, kPage);
    Announce(true, L"");
    webtest::Pump(100);
    EXPECT_EQ(Host(), nullptr);
    EXPECT_EQ(FindWindowExW(main_, nullptr, nullptr, nullptr), nullptr)
        << "a child window appeared";
    EXPECT_TRUE(log_.Lines().empty());
}

TEST_F(Panel, RuntimeFailuresLeaveTheEmptyHostInPlace) {
    struct Case {
        const wchar_t* environmentScript;
        const wchar_t* controllerScript;
        bool runtimePresent;
        const char* lastLine;
    } cases[] = {
        {L"", L"later", true, "ControllerCompleted.Invoke 0x80004004"},
        {L"", L"now", true, "Environment.destroyed"},
        {L"later,later", L"", true, "EnvironmentCompleted.Invoke 0x80004004"},
        {L"now,now", L"", true, "CreateWebViewEnvironmentWithOptionsInternal returns 0x80004005"},
        {L"", L"", false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(webtest::Utf8(c.environmentScript) + "/" + webtest::Utf8(c.controllerScript));
        if (!IsWindow(main_)) OpenMainWindow();
        webtest::FakeLog log;
        webtest::ScopedEnv environment(L"ZARVO_FAKE_WEBVIEW_ENVIRONMENT", c.environmentScript);
        webtest::ScopedEnv controller(L"ZARVO_FAKE_WEBVIEW_CONTROLLER", c.controllerScript);
        webtest::ScopedEnv calls(L"ZARVO_FAKE_WEBVIEW_CALLS");
        webtest::ScopedEnv controllerCalls(L"ZARVO_FAKE_WEBVIEW_CONTROLLER_CALLS");
        test::TempDir empty(L"no-runtime");
        std::unique_ptr<webtest::ScopedEnv> noRuntime;
        if (!c.runtimePresent)
            noRuntime = std::make_unique<webtest::ScopedEnv>(L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER",
                                                             empty.Path());

        Announce(true, kPage);
        webtest::Pump(300);
        ASSERT_NE(Host(), nullptr);
        EXPECT_TRUE(Shown(Host()));
        EXPECT_FALSE(State().webController);
        EXPECT_FALSE(State().webView);
        Lines lines = log.Lines();
        if (c.lastLine) {
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), c.lastLine);
        } else {
            EXPECT_TRUE(lines.empty());
        }
        // The host stays as long as the window; closing it is clean.
        DestroyWindow(main_);
        EXPECT_EQ(Host(), nullptr);
    }
}

// ---- the browser data folder --------------------------------------------------------------

// Points this process's HKEY_CURRENT_USER at a private key whose shell folders name a local
// application data folder that does not exist. Nothing else sees the change.
class UnusableLocalAppData {
public:
    UnusableLocalAppData()
        : path_(L"Software\\ZarvoVestraTests\\webpanel-" + std::to_wstring(GetCurrentProcessId())),
          key_(HKEY_CURRENT_USER, path_) {
        webtest::ScopedRegistryKey folders(
            HKEY_CURRENT_USER,
            path_ +
                L"\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders");
        folders.SetString(L"Local AppData", L"C:\\no\\such\\local\\app\\data");
        RegOpenKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, KEY_ALL_ACCESS, override_.Put());
        overridden_ = RegOverridePredefKey(HKEY_CURRENT_USER, override_.Get()) == ERROR_SUCCESS;
    }
    ~UnusableLocalAppData() { RegOverridePredefKey(HKEY_CURRENT_USER, nullptr); }
    bool Active() const { return overridden_; }

private:
    std::wstring path_;
    webtest::ScopedRegistryKey key_;
    RegKey override_;
    bool overridden_ = false;
};

TEST(WebViewDataFolder, IsUnderLocalAppDataThenTheTempFolderThenWindowsTemp) {
    CoTaskString localAppData;
    ASSERT_EQ(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, localAppData.Put()), S_OK);
    EXPECT_EQ(GetWebViewDataFolder(),
              std::wstring(localAppData.Get()) + L"\\ZarvoVestraLauncher\\WebView2");

    UnusableLocalAppData unusable;
    ASSERT_TRUE(unusable.Active());
    wchar_t temp[MAX_PATH] = {};
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    EXPECT_EQ(GetWebViewDataFolder(), std::wstring(temp) + L"\\ZarvoVestraLauncher\\WebView2");

    const std::wstring longTemp = L"C:\\" + std::wstring(297, L'x');
    webtest::ScopedEnv tmp(L"TMP", longTemp);
    webtest::ScopedEnv tempVariable(L"TEMP", longTemp);
    EXPECT_EQ(GetWebViewDataFolder(), L"C:\\Windows\\Temp\\ZarvoVestraLauncher\\WebView2");
}

// The elevated browser writes its profile in the user-data folder: a link planted anywhere in
// one that stands (before it had the launcher's rules) would take those writes elsewhere.
TEST(WebViewDataFolder, OneHoldingALinkAnywhereInsideIsNotUsed) {
    test::TempDir root(L"userdata");
    test::TempDir elsewhere(L"elsewhere");
    const std::wstring folder = root / L"WebView2";
    ASSERT_TRUE(PrepareWebViewDataFolder(folder));
    ASSERT_TRUE(CreateDirectoryW((folder + L"\\EBWebView").c_str(), nullptr));
    EXPECT_TRUE(PrepareWebViewDataFolder(folder)) << "a plain folder that stands is used";
    const std::wstring link = folder + L"\\EBWebView\\Default";
    ASSERT_TRUE(test::MakeUnixLink(elsewhere.Path(), link));
    EXPECT_FALSE(PrepareWebViewDataFolder(folder));
    test::ChildProcess rm;
    rm.Start(L"Z:\\bin\\rm", L"rm -f \"" + test::Widen(test::UnixPath(link)) + L"\"", L"");
    test::WaitFor([&] { return !test::PathExists(link); }, 10000);
}

TEST_F(Panel, BrowserGetsTheFallbackDataFolderInFullForm) {
    UnusableLocalAppData unusable;
    ASSERT_TRUE(unusable.Active());
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring expected = ResolveFullPath(std::wstring(temp) + L"ZarvoVestraLauncher\\WebView2");
    Announce(true, kPage);
    ASSERT_TRUE(log_.WaitForLine("CreateWebViewEnvironmentWithOptionsInternal", 5000));
    const std::string entry = log_.Lines()[0];
    EXPECT_NE(entry.find(" userDataFolder=" + webtest::Utf8(expected) + " options="),
              std::string::npos)
        << entry;
    EXPECT_TRUE(test::IsDirectory(expected));
}

} // namespace

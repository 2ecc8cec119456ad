// The real ZarvoLauncher.exe with the test server's display information and the stand-in
// runtime, which the launcher finds through WEBVIEW2_BROWSER_EXECUTABLE_FOLDER.
#include <gtest/gtest.h>

#include <algorithm>

#include <shlobj.h>
#include <knownfolders.h>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "e2e/launcher_fixture.h"
#include "debugged_process.h"
#include "support/test_support.h"
#include "webpanel_test_util.h"

namespace {

using Lines = std::vector<std::string>;
using webtest::kLibraryTail;

std::string LocalAppDataFolder() {
    PWSTR path = nullptr;
    std::string text;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, &path)))
        text = test::Narrow(path);
    CoTaskMemFree(path);
    return text;
}

class PanelEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        test::TestServer::Configure(www_.Path());
        library_ = webtest::InstallFakeRuntime(runtime_.Path());
        run_.PlaceClientFile();
    }
    void TearDown() override { test::TestServer::Reset(); }

    void ServeDisplayInfo(const std::string& document) {
        ASSERT_TRUE(test::WriteFileBytes(www_ / L"displayinfo.json", document));
    }

    // Starts the launcher with the runtime folder (by default the stand-in's).
    HWND Start(const std::wstring& runtimeFolder = L"") {
        std::vector<std::wstring> env = {
            L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER=" +
                (runtimeFolder.empty() ? runtime_.Path() : runtimeFolder),
            L"ZARVO_FAKE_WEBVIEW_LOG=" + log_.Path()};
        if (!run_.Start(env)) return nullptr;
        return run_.Window();
    }

    bool WaitForDisplayInfoRequest(size_t mark) {
        return test::WaitFor(
            [&] {
                for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
                    if (r.path.rfind("/displayinfo.json?nocache=", 0) == 0) return true;
                return false;
            },
            15000);
    }

    static HWND PanelHost(HWND window) {
        return FindWindowExW(window, nullptr, L"Static", nullptr);
    }

    static RECT RectInParent(HWND child, HWND parent) {
        RECT r = {};
        GetWindowRect(child, &r);
        MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
        return r;
    }

    void CloseAndExpectExitZero(HWND window) {
        PostMessageW(window, WM_CLOSE, 0, 0);
        DWORD exitCode = 99;
        ASSERT_TRUE(run_.WaitExit(20000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }

    test::TempDir www_{L"www"};
    test::TempDir runtime_{L"runtime"};
    std::wstring library_;
    webtest::FakeLog log_;
    test::LauncherRun run_;
};

const char kPage[] = "https://localhost:18443/panel/news.html";

TEST_F(PanelEndToEnd, EnabledPageIsShownNavigatedAgainOnRequestAndClosedWithTheWindow) {
    ServeDisplayInfo(std::string(R"({"enabled": 1, "url": ")") + kPage + R"("})");
    HWND window = Start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return log_.Contains("View.Navigate"); }, 20000));

    HWND host = PanelHost(window);
    ASSERT_NE(host, nullptr);
    EXPECT_TRUE(IsWindowVisible(host));
    RECT r = RectInParent(host, window);
    EXPECT_EQ(r.left, 2);
    EXPECT_EQ(r.top, 90);
    EXPECT_EQ(r.right - r.left, 796);
    EXPECT_EQ(r.bottom - r.top, 385);

    wchar_t className[32] = {};
    GetClassNameW(host, className, 32);
    EXPECT_EQ(
        log_.Lines(),
        (Lines{"CreateWebViewEnvironmentWithOptionsInternal flag=1 kind=1 userDataFolder=" +
                   LocalAppDataFolder() +
                   "\\ZarvoVestraLauncher\\WebView2 options=null "
                   "library=" +
                   webtest::Utf8(library_),
               "EnvironmentCompleted.Invoke 0x00000000",
               "Environment.QueryInterface ICoreWebView2Environment",
               "Environment.CreateCoreWebView2Controller parent=" + test::Narrow(className) +
                   " x=2 y=90 w=796 h=385 shown=1",
               "Environment.destroyed", "ControllerCompleted.Invoke 0x00000000",
               "Controller.get_CoreWebView2", "Controller.put_Bounds 0,0,796,385",
               "View.get_Settings", "Settings.put_AreDefaultContextMenusEnabled 0",
               "Settings.put_AreDevToolsEnabled 0", "Settings.put_IsStatusBarEnabled 0",
               "Settings.put_IsZoomControlEnabled 0",
               "Settings.QueryInterface ICoreWebView2Settings3",
               "Settings.put_AreBrowserAcceleratorKeysEnabled 0",
               "View.QueryInterface ICoreWebView2_4", std::string("View.Navigate ") + kPage}));

    // Another display-information message: the same view navigates again, no second browser.
    size_t seen = log_.Lines().size();
    PostMessageW(window, WM_LAUNCHER_DISPLAYINFO, 0, 0);
    ASSERT_TRUE(test::WaitFor([&] { return log_.Lines().size() >= seen + 2; }, 10000));
    test::PumpMessages(200);
    Lines lines = log_.Lines();
    EXPECT_EQ(Lines(lines.begin() + static_cast<ptrdiff_t>(seen), lines.end()),
              (Lines{"Controller.put_Bounds 0,0,796,385", std::string("View.Navigate ") + kPage}));

    seen = log_.Lines().size();
    CloseAndExpectExitZero(window);
    lines = log_.Lines();
    ASSERT_GT(lines.size(), seen);
    EXPECT_EQ(lines[seen], "Controller.Close host=alive");
}

// The close button quits without destroying the window first: the browser must be closed and
// released right there, while COM is still up, not at static teardown.
TEST_F(PanelEndToEnd, TheCloseButtonReleasesTheBrowserBeforeQuitting) {
    ServeDisplayInfo(std::string(R"({"enabled": 1, "url": ")") + kPage + R"("})");
    HWND window = Start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return log_.Contains("View.Navigate"); }, 20000));

    size_t seen = log_.Lines().size();
    test::PostClick(window, 782, 18);
    DWORD exitCode = 99;
    ASSERT_TRUE(run_.WaitExit(20000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    Lines lines = log_.Lines();
    Lines after(lines.begin() + static_cast<ptrdiff_t>(seen), lines.end());
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), "Controller.Close host=alive");
    EXPECT_NE(std::find(after.begin(), after.end(), "Controller.destroyed"), after.end());
    EXPECT_NE(std::find(after.begin(), after.end(), "View.destroyed"), after.end());
}

// Starting the game quits the launcher as well: the browser goes first, as with the close
// button.
TEST_F(PanelEndToEnd, StartingTheGameReleasesTheBrowserBeforeQuitting) {
    // An installed game whose light run finds everything current, with a client that starts.
    const std::wstring client = run_ / L"rovezuzav.exe";
    ASSERT_TRUE(test::CopyFileTo(LauncherFolderFull() + L"\\cmdline_recorder.exe", client));
    ASSERT_TRUE(test::WriteFileBytes(run_ / L"Log\\inst_done", ""));
    ASSERT_TRUE(test::WriteFileBytes(www_ / L"manifest_light.json",
                                     R"({"files": [{"path": "rovezuzav.exe", "hash": ")" +
                                         test::Md5Hex(test::ReadFileBytes(client)) +
                                         R"(", "size": 1, "version": 1}]})"));
    ServeDisplayInfo(std::string(R"({"enabled": 1, "url": ")") + kPage + R"("})");
    HWND window = Start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(test::WaitFor([&] { return log_.Contains("View.Navigate"); }, 20000));

    const size_t seen = log_.Lines().size();
    // The action button starts the game once the light run is over.
    ASSERT_TRUE(test::WaitFor(
        [&] {
            if (!test::PathExists(client + L".record")) test::PostClick(window, 690, 517);
            return test::PathExists(client + L".record");
        },
        20000))
        << "the game was not started";
    DWORD exitCode = 99;
    ASSERT_TRUE(run_.WaitExit(20000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    Lines lines = log_.Lines();
    Lines after(lines.begin() + static_cast<ptrdiff_t>(seen), lines.end());
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front(), "Controller.Close host=alive");
    EXPECT_NE(std::find(after.begin(), after.end(), "Controller.destroyed"), after.end());
    EXPECT_NE(std::find(after.begin(), after.end(), "View.destroyed"), after.end());
}

TEST_F(PanelEndToEnd, NoPanelUnlessTheDocumentEnablesAPage) {
    for (const char* document :
         {R"({"enabled": true, "url": "https://localhost/p.html"})", R"({"enabled": 1})"}) {
        SCOPED_TRACE(document);
        test::LauncherRun run;
        run.PlaceClientFile();
        ServeDisplayInfo(document);
        size_t mark = test::TestServer::LogMark();
        ASSERT_TRUE(run.Start({L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER=" + runtime_.Path(),
                               L"ZARVO_FAKE_WEBVIEW_LOG=" + log_.Path()}));
        HWND window = run.Window();
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(WaitForDisplayInfoRequest(mark));
        test::PumpMessages(500);
        // The message has been handled once the window answers.
        DWORD_PTR ignored = 0;
        SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored);
        EXPECT_EQ(PanelHost(window), nullptr);
        EXPECT_TRUE(log_.Lines().empty());
        PostMessageW(window, WM_CLOSE, 0, 0);
        DWORD exitCode = 99;
        ASSERT_TRUE(run.WaitExit(20000, &exitCode));
        EXPECT_EQ(exitCode, 0u);
    }
}

TEST_F(PanelEndToEnd, WithoutARuntimeTheEmptyHostStaysAndTheLauncherWorksOn) {
    ServeDisplayInfo(std::string(R"({"enabled": 1, "url": ")") + kPage + R"("})");
    test::TempDir noRuntime(L"no-runtime");
    HWND window = Start(noRuntime.Path());
    ASSERT_NE(window, nullptr);
    // The host is created hidden, placed, then shown by the same handler: wait for all of it.
    ASSERT_TRUE(test::WaitFor(
        [&] {
            HWND h = PanelHost(window);
            return h != nullptr && IsWindowVisible(h);
        },
        20000));
    HWND host = PanelHost(window);
    RECT r = RectInParent(host, window);
    EXPECT_EQ(r.left, 2);
    EXPECT_EQ(r.top, 90);
    EXPECT_EQ(r.right - r.left, 796);
    EXPECT_EQ(r.bottom - r.top, 385);

    // Still answering, and the close button still ends it normally.
    DWORD_PTR ignored = 0;
    EXPECT_NE(SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_BLOCK, 5000, &ignored), 0);
    test::PostClick(window, 782, 18);
    DWORD exitCode = 99;
    ASSERT_TRUE(run_.WaitExit(20000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(log_.Lines().empty());
}

// The loader's diagnostics as a debugger attached to the launcher receives them.
TEST_F(PanelEndToEnd, RuntimeDiagnosticsReachAnAttachedDebugger) {
    ServeDisplayInfo(std::string(R"({"enabled": 1, "url": ")") + kPage + R"("})");
    test::TempDir game(L"debugged-game");
    test::TempDir noRuntime(L"no-runtime");
    const std::wstring exe = game / L"ZarvoLauncher.exe";
    ASSERT_TRUE(test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), exe));
    ASSERT_TRUE(test::WriteFileBytes(game / L"rovezuzav.exe", "MZ"));

    webtest::DebuggedProcess launcher;
    ASSERT_TRUE(launcher.Start(exe, L"\"" + exe + L"\"", game.Path(),
                               {L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER=" + noRuntime.Path()}));
    const std::string expected =
        "WebView2: Failed to find the WebView2 client dll at: " + test::Narrow(noRuntime.Path()) +
        test::Narrow(kLibraryTail) + "\n";
    auto loaderLines = [&] {
        std::vector<std::string> lines;
        for (const std::string& text : launcher.Output())
            if (text.rfind("WebView2:", 0) == 0) lines.push_back(text);
        return lines;
    };
    ASSERT_TRUE(test::WaitFor([&] { return loaderLines().size() >= 2; }, 30000));
    EXPECT_EQ(loaderLines(), (Lines{expected, expected}));

    HWND window = test::FindProcessWindow(launcher.Pid(), L"Zarvo Vestra Launcher", 20000);
    ASSERT_NE(window, nullptr);
    PostMessageW(window, WM_CLOSE, 0, 0);
    DWORD exitCode = 99;
    ASSERT_TRUE(launcher.WaitExit(20000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

} // namespace

// The window's input rules, driven through the real window procedure on a host window of the
// test's own (so that creation work does not start update runs here).
#include <gtest/gtest.h>

#include "base/build_config.h"
#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "app/window.h"
#include "support/test_support.h"

namespace {

class WindowInput : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"InputTestHost";
        RegisterClassW(&wc);
        // One host for the suite: mapping a window under X takes a while.
        host_ = CreateWindowExW(0, L"InputTestHost", L"host", WS_POPUP | WS_VISIBLE, 100, 100,
                                kWindowWidth, kWindowHeight, nullptr, nullptr,
                                GetModuleHandleW(nullptr), nullptr);
    }
    static void TearDownTestSuite() { DestroyWindow(host_); }

    void SetUp() override {
        ASSERT_NE(host_, nullptr);
        SetWindowPos(host_, nullptr, 100, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
        LauncherState& s = State();
        s.hoverAction = s.hoverClose = s.hoverWebsite = false;
        s.hoverLangEnglish = s.hoverLangSpanish = s.hoverFullCheck = false;
        s.actionPressed = s.dragging = false;
        test::ResetRunState();
        DrainQuit();
    }

    void TearDown() override {
        ReleaseCapture();
        DrainQuit();
    }

    LRESULT Send(UINT message, int x, int y, WPARAM keys = 0) {
        return LauncherWindowProc(host_, message, keys, MAKELPARAM(x, y));
    }
    void Move(int x, int y) { Send(WM_MOUSEMOVE, x, y); }
    void Down(int x, int y) { Send(WM_LBUTTONDOWN, x, y, MK_LBUTTON); }
    void Up(int x, int y) { Send(WM_LBUTTONUP, x, y); }

    static bool DrainQuit() {
        MSG msg;
        bool quit = false;
        while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE))
            quit = true;
        return quit;
    }

    static HWND host_;
};

HWND WindowInput::host_ = nullptr;

struct Button {
    const char* name;
    const RECT* rect;
    bool LauncherState::*flag;
};

const Button kButtons[] = {
    {"website", &websiteButtonRect, &LauncherState::hoverWebsite},
    {"action", &actionButtonRect, &LauncherState::hoverAction},
    {"full check", &fullCheckRect, &LauncherState::hoverFullCheck},
    {"close", &closeButtonRect, &LauncherState::hoverClose},
    {"english", &langEnglishRect, &LauncherState::hoverLangEnglish},
    {"spanish", &langSpanishRect, &LauncherState::hoverLangSpanish},
};

TEST_F(WindowInput, HoverIncludesAllFourEdgesAndNothingBeyond) {
    for (const Button& b : kButtons) {
        const RECT& r = *b.rect;
        const POINT inside[] = {
            {r.left, r.top}, {r.right, r.top}, {r.left, r.bottom}, {r.right, r.bottom}};
        const POINT outside[] = {{r.left - 1, r.top},
                                 {r.right + 1, r.top},
                                 {r.left, r.top - 1},
                                 {r.right, r.bottom + 1}};
        for (POINT p : inside) {
            Move(p.x, p.y);
            for (const Button& other : kButtons)
                EXPECT_EQ(State().*other.flag, &other == &b)
                    << b.name << " at " << p.x << "," << p.y << " flag " << other.name;
        }
        for (POINT p : outside) {
            Move(p.x, p.y);
            EXPECT_FALSE(State().*b.flag) << b.name << " at " << p.x << "," << p.y;
        }
    }
}

TEST_F(WindowInput, ActionReleasedElsewhereDoesNothing) {
    Move(690, 515);
    Down(690, 515);
    EXPECT_TRUE(State().actionPressed);
    Move(300, 300);
    Up(300, 300);
    EXPECT_FALSE(State().actionPressed);
    EXPECT_EQ(CurrentStatusText(), L"");
}

TEST_F(WindowInput, ActionDraggedOutAndBackInRuns) {
    Move(690, 515);
    Down(690, 515);
    Move(300, 300);
    Move(700, 520);
    Up(700, 520);
    EXPECT_FALSE(State().actionPressed);
    // No game client lies beside the test program, so the launch reports that.
    EXPECT_EQ(CurrentStatusText(), L"Error: rovezuzav.exe");
}

TEST_F(WindowInput, ActionDoesNothingWhileARunIsActive) {
    State().updateRunning = true;
    Move(690, 515);
    Down(690, 515);
    EXPECT_TRUE(State().actionPressed); // the press is recorded...
    Up(690, 515);
    EXPECT_FALSE(State().actionPressed); // ...and cleared, with no action
    EXPECT_EQ(CurrentStatusText(), L"");
}

TEST_F(WindowInput, FullCheckRowsInsideTheWindowShowTheHand) {
    HCURSOR hand = LoadCursorW(nullptr, MAKEINTRESOURCEW(32649));
    for (int y : {560, 565, 569}) {
        Move(600, y);
        EXPECT_TRUE(State().hoverFullCheck) << y;
        EXPECT_EQ(LauncherWindowProc(host_, WM_SETCURSOR, reinterpret_cast<WPARAM>(host_),
                                     MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
                  TRUE);
        EXPECT_EQ(GetCursor(), hand);
    }
    Move(600, 559);
    EXPECT_FALSE(State().hoverFullCheck);
}

TEST_F(WindowInput, HandOnlyForLinksAndOnlyInTheClientArea) {
    Move(690, 515); // the action button keeps the arrow
    EXPECT_NE(LauncherWindowProc(host_, WM_SETCURSOR, reinterpret_cast<WPARAM>(host_),
                                 MAKELPARAM(HTCLIENT, WM_MOUSEMOVE)),
              TRUE);
    Move(40, 70); // EN, but outside the client area the system decides
    EXPECT_NE(LauncherWindowProc(host_, WM_SETCURSOR, reinterpret_cast<WPARAM>(host_),
                                 MAKELPARAM(HTCAPTION, WM_MOUSEMOVE)),
              TRUE);
}

TEST_F(WindowInput, PressElsewhereDragsWithCaptureUntilRelease) {
    Move(400, 300);
    Down(400, 300);
    EXPECT_TRUE(State().dragging);
    EXPECT_EQ(State().dragOffsetX, 400);
    EXPECT_EQ(State().dragOffsetY, 300);
    EXPECT_EQ(GetCapture(), host_);

    // While dragging the window follows the cursor and hover is left alone.
    SetCursorPos(100 + 450, 100 + 340);
    Move(690, 515);
    EXPECT_FALSE(State().hoverAction);
    RECT r = test::WindowScreenRect(host_);
    EXPECT_EQ(r.left, 150);
    EXPECT_EQ(r.top, 140);

    Up(450, 340);
    EXPECT_FALSE(State().dragging);
    EXPECT_NE(GetCapture(), host_);
}

TEST_F(WindowInput, CloseButtonPostsQuitWithZero) {
    Move(780, 15);
    Down(780, 15);
    MSG msg;
    ASSERT_TRUE(PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
    EXPECT_TRUE(IsWindow(host_)); // the window is not destroyed first
}

TEST_F(WindowInput, MouseLeaveClearsHoverButKeepsPressAndDrag) {
    Move(690, 515);
    Down(690, 515);
    LauncherWindowProc(host_, WM_MOUSELEAVE, 0, 0);
    EXPECT_FALSE(State().hoverAction);
    EXPECT_TRUE(State().actionPressed);
}

TEST_F(WindowInput, FullCheckIgnoredWhileARunIsActive) {
    State().updateRunning = true;
    Move(600, 565);
    Down(600, 565);
    Up(600, 565);
    test::PumpMessages(200);
    EXPECT_TRUE(State().updateRunning.load()); // nobody started or finished a run
    EXPECT_EQ(CurrentStatusText(), L"");
    State().updateRunning = false;
}

// The launcher runs elevated: the https handler, which the user's own key may name, must not
// be started by it. The address goes to the desktop shell, which starts the handler in the
// user's own session (here Wine's explorer, from a folder of its own). Wine's classes are the
// machine's only, so the machine's handler is pointed at a recorder for the test's length.
TEST_F(WindowInput, WebsiteIsOpenedByTheDesktopShellNotByThisProcess) {
    test::TempDir folder(L"https-handler");
    const std::wstring recorder = folder / L"handler.exe";
    ASSERT_TRUE(CopyFileW((LauncherFolderFull() + L"\\cmdline_recorder.exe").c_str(),
                          recorder.c_str(), FALSE));
    RegKey key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\https\\shell\\open\\command",
                              0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, key.Put(),
                              nullptr),
              ERROR_SUCCESS);
    wchar_t old[1024] = {};
    DWORD size = sizeof(old) - sizeof(wchar_t);
    RegQueryValueExW(key.Get(), nullptr, nullptr, nullptr, reinterpret_cast<BYTE*>(old), &size);
    auto setHandler = [&](const std::wstring& line) {
        RegSetValueExW(key.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(line.c_str()),
                       static_cast<DWORD>((line.size() + 1) * sizeof(wchar_t)));
    };
    setHandler(L"\"" + recorder + L"\" \"%1\"");
    Move(750, 70);
    Down(750, 70);
    Up(750, 70);
    const bool opened =
        test::WaitFor([&] { return test::PathExists(recorder + L".record"); }, 20000);
    setHandler(old);
    ASSERT_TRUE(opened) << "the address was not opened";
    wchar_t ours[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, ours);
    const std::string record = test::ReadFileBytes(recorder + L".record");
    EXPECT_NE(record.find(test::Narrow(LAUNCHER_WEBSITE_URL)), std::string::npos) << record;
    EXPECT_EQ(record.find("\n" + test::Narrow(ours) + "\n"), std::string::npos)
        << "started by this process: " << record;
}

} // namespace

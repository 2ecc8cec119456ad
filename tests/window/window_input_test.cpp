// The window's input rules, driven through the real window procedure on a host window of the
// test's own (so that creation work does not start update runs here).
#include <gtest/gtest.h>

#include "base/launcher_state.h"
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
        while (PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) quit = true;
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
        const POINT inside[] = {{r.left, r.top}, {r.right, r.top}, {r.left, r.bottom},
                                {r.right, r.bottom}};
        const POINT outside[] = {{r.left - 1, r.top}, {r.right + 1, r.top}, {r.left, r.top - 1},
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

} // namespace

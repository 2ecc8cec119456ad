// The real launcher's window as a user meets it: class, title, size, place, close, drag.
#include <gtest/gtest.h>

#include "e2e/launcher_fixture.h"

namespace {

TEST(LauncherWindow, OpensCentredWithItsClassTitleAndSizeAndClosesWithZero) {
    test::LauncherRun run;
    run.PlaceClientFile();
    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);

    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    EXPECT_STREQ(title, L"Zarvo Vestra");
    EXPECT_EQ(GetWindowLongW(window, GWL_STYLE) & (WS_POPUP | WS_CAPTION | WS_THICKFRAME),
              WS_POPUP);

    // The window is created at the default place and centred right after.
    const int x = (GetSystemMetrics(SM_CXSCREEN) - 800) / 2;
    const int y = (GetSystemMetrics(SM_CYSCREEN) - 570) / 2;
    test::WaitFor([&] { return test::WindowScreenRect(window).left == x; }, 5000);
    RECT r = test::WindowScreenRect(window);
    EXPECT_EQ(r.right - r.left, 800);
    EXPECT_EQ(r.bottom - r.top, 570);
    EXPECT_EQ(r.left, x);
    EXPECT_EQ(r.top, y);

    test::PostClick(window, 782, 18);
    DWORD exitCode = 99;
    ASSERT_TRUE(run.WaitExit(20000, &exitCode));
    EXPECT_EQ(exitCode, 0u);
}

TEST(LauncherWindow, DraggingTheBackgroundMovesTheWindow) {
    test::LauncherRun run;
    run.PlaceClientFile();
    ASSERT_TRUE(run.Start());
    HWND window = run.Window();
    ASSERT_NE(window, nullptr);
    const int centredX = (GetSystemMetrics(SM_CXSCREEN) - 800) / 2;
    ASSERT_TRUE(test::WaitFor([&] { return test::WindowScreenRect(window).left == centredX; }, 5000));
    RECT before = test::WindowScreenRect(window);

    test::PostMouse(window, WM_MOUSEMOVE, 400, 300);
    test::PostMouse(window, WM_LBUTTONDOWN, 400, 300, MK_LBUTTON);
    test::PumpMessages(300);
    SetCursorPos(before.left + 400 - 120, before.top + 300 + 60);
    PostMessageW(window, WM_MOUSEMOVE, MK_LBUTTON, MAKELPARAM(280, 360));
    test::PumpMessages(300);
    PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(280, 360));

    ASSERT_TRUE(test::WaitFor(
        [&] {
            RECT now = test::WindowScreenRect(window);
            return now.left == before.left - 120 && now.top == before.top + 60;
        },
        5000))
        << "window at " << test::WindowScreenRect(window).left << ","
        << test::WindowScreenRect(window).top;
}

} // namespace

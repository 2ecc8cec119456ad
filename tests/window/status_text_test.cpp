// The status line is written from many threads at once; readers never see a torn text, and
// every change asks the window to repaint.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "base/launcher_state.h"
#include "support/test_support.h"

namespace {

std::atomic<int> gRepaints{0};

LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_LAUNCHER_REPAINT) {
        ++gRepaints;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

TEST(StatusText, ConcurrentWritersNeverTearAndEveryChangePostsARepaint) {
    WNDCLASSW wc = {};
    wc.lpfnWndProc = CountingProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"StatusTestHost";
    RegisterClassW(&wc);
    HWND window = CreateWindowExW(0, L"StatusTestHost", L"", WS_POPUP, 0, 0, 10, 10, nullptr,
                                  nullptr, wc.hInstance, nullptr);
    ASSERT_NE(window, nullptr);
    SetStatusText(L"");
    State().mainWindow = window;
    gRepaints = 0;

    constexpr int kThreads = 6, kWrites = 400;
    std::atomic<bool> torn{false}, done{false};
    std::thread reader([&] {
        while (!done) {
            std::wstring text = CurrentStatusText();
            if (text.empty()) continue;
            // Every text written is one digit repeated 300 times.
            if (text.size() != 300 || text.find_first_not_of(text[0]) != std::wstring::npos)
                torn = true;
        }
    });
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            std::wstring text(300, static_cast<wchar_t>(L'0' + t));
            for (int i = 0; i < kWrites; ++i) SetStatusText(text);
        });
    for (std::thread& w : writers) w.join();
    done = true;
    reader.join();

    EXPECT_FALSE(torn);
    test::WaitFor([] { return gRepaints.load() >= kThreads * kWrites; }, 10000);
    EXPECT_EQ(gRepaints.load(), kThreads * kWrites);

    State().mainWindow = nullptr;
    DestroyWindow(window);
    SetStatusText(L"");
}

TEST(StatusText, WithoutAWindowNothingIsPosted) {
    State().mainWindow = nullptr;
    SetStatusText(L"Archivos OK!");
    EXPECT_EQ(CurrentStatusText(), L"Archivos OK!");
    MSG msg;
    EXPECT_FALSE(PeekMessageW(&msg, nullptr, WM_LAUNCHER_REPAINT, WM_LAUNCHER_REPAINT, PM_REMOVE));
    SetStatusText(L"");
}

} // namespace

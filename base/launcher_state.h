// The one process-wide state of the launcher. The window thread owns the window, the input
// state and the browser objects; background threads reach the window only through the atomics
// here, SetStatusText and posted messages.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "base/handles.h"
#include "base/manifest_entry.h"

namespace Gdiplus {
class Bitmap;
}
struct ICoreWebView2Controller;
struct ICoreWebView2;

// Posted by background threads, wParam and lParam 0.
constexpr UINT WM_LAUNCHER_REPAINT = WM_USER + 2;     // 1026: repaint the whole window
constexpr UINT WM_LAUNCHER_DISPLAYINFO = WM_USER + 3; // 1027: show, navigate or close the web panel

constexpr int kWindowWidth = 800;
constexpr int kWindowHeight = 570;

// Layout of the window in client pixels. Hit tests include all four edges.
constexpr RECT actionButtonRect = {620, 495, 760, 540};
constexpr RECT closeButtonRect = {772, 8, 792, 28};
constexpr RECT websiteButtonRect = {720, 53, 785, 90};
constexpr RECT langEnglishRect = {20, 53, 72, 90};
constexpr RECT langSpanishRect = {78, 53, 130, 90};
constexpr RECT fullCheckRect = {560, 560, 760, 590}; // only rows 560 to 569 lie in the window
constexpr RECT bytesBarRect = {81, 501, 599, 511};
constexpr RECT filesBarRect = {81, 519, 599, 529};
constexpr RECT webPanelRect = {2, 90, 798, 475};

inline bool PointInRect(const RECT& r, int x, int y) {
    return x >= r.left && x <= r.right && y >= r.top && y <= r.bottom;
}

struct LauncherState {
    // Window and resources.
    HINSTANCE appInstance = nullptr;
    ULONG_PTR gdiplusToken = 0;
    std::atomic<HWND> mainWindow{nullptr};
    Gdiplus::Bitmap* imgBackground = nullptr; // owned until WM_DESTROY
    Gdiplus::Bitmap* imgActionNormal = nullptr;
    Gdiplus::Bitmap* imgActionHover = nullptr;
    Gdiplus::Bitmap* imgActionPressed = nullptr;
    KernelHandle skinLoader;  // the thread that decodes the four pictures above
    KernelHandle skinDecoded; // set by it once they are in; the first paint waits for it

    // Status and progress.
    std::mutex statusMutex;
    std::wstring statusText; // guarded by statusMutex, written only by SetStatusText
    std::atomic<int32_t> progressBytesPercent{0};
    std::atomic<int32_t> progressFilesPercent{0};

    // Run control.
    std::atomic<bool> updateRunning{false};
    std::atomic<bool> cancelRequested{false};
    std::atomic<bool> exiting{false}; // set once, when the process is on its way out
    std::atomic<bool> launcherReplaced{false};
    std::atomic<bool> gameNotInstalled{false};
    std::atomic<bool> actionButtonVisible{false};
    std::atomic<int32_t> clientLanguage{0};
    std::vector<ManifestEntry> manifestEntries; // refilled by every update run
    std::atomic<uint64_t> nocacheCounter{0};
    // How the update server answered a request for several byte ranges in this run (a
    // SeveralRanges value of update/net/range_fetch.h): 0 while nobody asked.
    std::atomic<int32_t> severalRanges{0};

    // Input state, window thread only.
    bool hoverAction = false;
    bool hoverClose = false;
    bool hoverWebsite = false;
    bool hoverLangEnglish = false;
    bool hoverLangSpanish = false;
    bool hoverFullCheck = false;
    bool actionPressed = false;
    bool dragging = false;
    int32_t dragOffsetX = 0;
    int32_t dragOffsetY = 0;

    // Web panel. displayEnabled and displayUrl change together under displayInfoMutex.
    std::mutex displayInfoMutex;
    bool displayEnabled = false;
    std::wstring displayUrl;
    HWND webPanelHost = nullptr;
    ComPtr<ICoreWebView2Controller> webController;
    ComPtr<ICoreWebView2> webView;
};

// The launcher's state; lives for the whole process.
LauncherState& State();

// Name of the main window's class, created thread-safely on first use.
const std::wstring& WindowClassName();

// The only way to change the status line: replaces the text and asks the window to repaint.
// Callable from any thread.
void SetStatusText(const std::wstring& text);

// Current status line, copied under its lock (for tests and diagnostics).
std::wstring CurrentStatusText();

// Called with every new status text, in order, under the status lock (keep it short). Lets a
// diagnostic view or a test follow the whole sequence; null by default.
using StatusListener = void (*)(const std::wstring& text);
void SetStatusListener(StatusListener listener);

// Asks the window, if there is one, to repaint without erasing. Callable from any thread.
void InvalidateMainWindow();

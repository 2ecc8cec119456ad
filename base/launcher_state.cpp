#include "base/launcher_state.h"

namespace {
// Constructed before the entry point runs, destroyed after it returns.
LauncherState gState;
std::atomic<StatusListener> gStatusListener{nullptr};
} // namespace

LauncherState& State() {
    return gState;
}

const std::wstring& WindowClassName() {
    static const std::wstring name = L"Zarvo Vestra Launcher";
    return name;
}

void SetStatusText(const std::wstring& text) {
    LauncherState& s = State();
    std::lock_guard<std::mutex> lock(s.statusMutex);
    if (&text != &s.statusText) s.statusText = text;
    if (StatusListener listener = gStatusListener.load()) listener(s.statusText);
    // Posted under the lock so that the repaint follows this text, not a later one.
    if (HWND window = s.mainWindow.load()) PostMessageW(window, WM_LAUNCHER_REPAINT, 0, 0);
}

std::wstring CurrentStatusText() {
    LauncherState& s = State();
    std::lock_guard<std::mutex> lock(s.statusMutex);
    return s.statusText;
}

void InvalidateMainWindow() {
    if (HWND window = State().mainWindow.load()) InvalidateRect(window, nullptr, FALSE);
}

void SetStatusListener(StatusListener listener) {
    gStatusListener.store(listener);
}

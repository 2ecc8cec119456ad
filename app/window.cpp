// The main window's procedure. Each message goes to its own handler; the input rules work on
// the fixed layout rectangles, with the hover flags of the last mouse move.
#include "app/window.h"

#include <windowsx.h>

#include "app/background.h"
#include "base/threads.h"
#include "base/build_config.h"
#include "app/game_launch.h"
#include "app/user_shell.h"
#include "base/language.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "ui/paint.h"
#include "ui/skin.h"
#include "update/full_download.h"
#include "update/self_update.h"
#include "webpanel/browser_panel.h"
#include "webpanel/display_info.h"

namespace {

void Invalidate(HWND window) {
    InvalidateRect(window, nullptr, FALSE);
}

// A thread the system refuses to start must not leave the window waiting for a run that
// never comes: say so and offer the action button.
void StartOrReport(void (*work)()) {
    if (StartBackgroundThread(work)) return;
    State().actionButtonVisible.store(true);
    SetStatusText(L"Error: no se pudo iniciar la tarea");
}

void StartStartupWork() {
    LauncherState& s = State();
    if (FileExists(InstDonePath())) {
        StartOrReport(LightUpdateThread);
        return;
    }
    s.gameNotInstalled.store(true);
    s.actionButtonVisible.store(true);
    if (FileExists(DownloadMarkerPath())) {
        SetStatusText(L"Reanudando descarga...");
        StartOrReport(RunFullGameDownload);
    } else {
        SetStatusText(L"Juego no instalado. Pulsa el boton para descargar.");
    }
}

LRESULT OnCreate(HWND window) {
    LauncherState& s = State();
    // Known before any thread starts, so their first posts reach the window.
    s.mainWindow.store(window);
    DeleteOldLauncher();
    s.clientLanguage.store(ReadClientLanguage());
    ChooseLanguageOnFirstStart();
    StartStartupWork();
    StartOrReport(DisplayInfoThread);
    return 0;
}

LRESULT OnMouseMove(HWND window, LPARAM lParam) {
    LauncherState& s = State();
    if (s.dragging) {
        POINT cursor;
        GetCursorPos(&cursor);
        SetWindowPos(window, nullptr, cursor.x - s.dragOffsetX, cursor.y - s.dragOffsetY, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER);
        return 0;
    }
    int x = GET_X_LPARAM(lParam);
    int y = GET_Y_LPARAM(lParam);
    bool* flags[] = {&s.hoverWebsite, &s.hoverAction,      &s.hoverFullCheck,
                     &s.hoverClose,   &s.hoverLangEnglish, &s.hoverLangSpanish};
    const RECT* rects[] = {&websiteButtonRect, &actionButtonRect, &fullCheckRect,
                           &closeButtonRect,   &langEnglishRect,  &langSpanishRect};
    bool changed = false;
    for (int i = 0; i < 6; ++i) {
        bool inside = PointInRect(*rects[i], x, y);
        changed |= (*flags[i] != inside);
        *flags[i] = inside;
    }
    if (changed) Invalidate(window);

    TRACKMOUSEEVENT track = {sizeof(track), TME_LEAVE, window, 0};
    TrackMouseEvent(&track);
    return 0;
}

// Through the signed-in user's desktop shell, never by a handler this elevated process looks
// up. Without such a shell the address is not opened at all (as every shell failure, silently).
void OpenWebsite() {
    if (OpenAsSignedInUser(LAUNCHER_WEBSITE_URL) != UserShellOpen::Opened)
        OutputDebugStringW(L"Website: no desktop shell of the signed-in user opened it\n");
}

LRESULT OnLButtonDown(HWND window, LPARAM lParam) {
    LauncherState& s = State();
    if (s.hoverWebsite) {
        OpenWebsite();
    } else if (s.hoverLangEnglish) {
        SetLanguage(kLanguageEnglish);
    } else if (s.hoverLangSpanish) {
        SetLanguage(kLanguageSpanish);
    } else if (s.hoverAction) {
        s.actionPressed = true;
        Invalidate(window);
    } else if (s.hoverClose) {
        // The browser objects go now, while COM is still up.
        CloseOverlay();
        PostQuitMessage(0);
    } else if (s.hoverFullCheck) {
        if (!s.updateRunning.load()) StartOrReport(FullUpdateThread);
    } else {
        s.dragging = true;
        s.dragOffsetX = GET_X_LPARAM(lParam);
        s.dragOffsetY = GET_Y_LPARAM(lParam);
        SetCapture(window);
    }
    return 0;
}

void RunAction() {
    if (State().gameNotInstalled.load()) {
        StartOrReport(RunFullGameDownload);
    } else if (LaunchGame()) {
        // Quitting, as with the close button: the browser objects go now, while COM is up.
        CloseOverlay();
        DeleteRptFiles(LauncherFolderFull());
    }
}

LRESULT OnLButtonUp(HWND window) {
    LauncherState& s = State();
    if (s.dragging) {
        s.dragging = false;
        ReleaseCapture();
    }
    if (s.actionPressed && s.hoverAction && !s.updateRunning.load()) RunAction();
    s.actionPressed = false;
    Invalidate(window);
    return 0;
}

bool OnSetCursor(LPARAM lParam) {
    const LauncherState& s = State();
    bool overLink = s.hoverWebsite || s.hoverFullCheck || s.hoverLangEnglish || s.hoverLangSpanish;
    if (LOWORD(lParam) != HTCLIENT || !overLink) return false;
    HCURSOR hand = LoadCursorW(nullptr, MAKEINTRESOURCEW(32649)); // IDC_HAND
    SetCursor(hand ? hand : LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)));
    return true;
}

LRESULT OnMouseLeave(HWND window) {
    LauncherState& s = State();
    s.hoverWebsite = s.hoverAction = s.hoverFullCheck = false;
    s.hoverClose = s.hoverLangEnglish = s.hoverLangSpanish = false;
    Invalidate(window);
    return 0;
}

LRESULT OnPaint(HWND window) {
    PaintWindow(window);
    return 0;
}

// The session ends (log-off, shutdown): once this returns the system may end the process at
// any moment, so no swap of the launcher's own file may be left between its two renames.
LRESULT OnEndSession(WPARAM ending) {
    if (ending) {
        StopBackgroundWork(5000); // no swap begins after this
        WaitForLauncherSwap(10000);
    }
    return 0;
}

LRESULT OnDestroy() {
    CloseOverlay();
    DeleteSkinImages();
    PostQuitMessage(0);
    return 0;
}

} // namespace

LRESULT CALLBACK LauncherWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_MOUSEMOVE:
        return OnMouseMove(window, lParam);
    case WM_LBUTTONDOWN:
        return OnLButtonDown(window, lParam);
    case WM_LBUTTONUP:
        return OnLButtonUp(window);
    case WM_SETCURSOR:
        if (OnSetCursor(lParam)) return TRUE;
        break;
    case WM_MOUSELEAVE:
        return OnMouseLeave(window);
    case WM_LAUNCHER_REPAINT:
        Invalidate(window);
        return 0;
    case WM_LAUNCHER_DISPLAYINFO:
        OnDisplayInfoReady();
        return 0;
    case WM_PAINT:
        return OnPaint(window);
    case WM_ENDSESSION:
        return OnEndSession(wParam);
    case WM_DESTROY:
        return OnDestroy();
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

// The whole game, when it is not installed. The hidden marker makes an interrupted download
// start again by itself at the next start; the full run keeps every file already correct, and
// files only ever reach their place verified, so nothing partial is taken for done.
#include "update/full_download.h"

#include "base/build_config.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/self_update.h"
#include "update/update_run.h"

void RunFullGameDownload() {
    CreateHiddenMarker(DownloadMarkerPath());
    RunUpdateWithManifestUrl(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/manifest_full.json",
                             L"FULL");
    LauncherState& s = State();
    if (FileExists(InstDonePath())) {
        if (RestartLauncher() != RestartResult::Refused) return;
        // Installed, but the restart would go round without end: this window offers the game
        // as it stands.
        SetStatusText(L"Error: el launcher se actualiza sin fin");
    }
    s.gameNotInstalled.store(!FileExists(InstDonePath()));
    if (HWND window = s.mainWindow.load()) PostMessageW(window, WM_LAUNCHER_REPAINT, 0, 0);
}

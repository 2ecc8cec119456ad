#include "app/game_launch.h"

#include "app/launcher_state.h"

// Stand-in until the game launch lands.
bool LocateGameClient(std::wstring& clientPath, std::wstring& clientFolder) {
    clientPath.clear();
    clientFolder.clear();
    return false;
}
bool LaunchGame() {
    SetStatusText(L"Error: rovezuzav.exe");
    return false;
}
void DeleteRptFiles(const std::wstring&) {}

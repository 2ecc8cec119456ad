#include "update/game_folder_rights.h"

#include "base/folder_writers.h"
#include "base/paths.h"
#include "update/run_log.h"

std::wstring GameFolderRefusal() {
    const std::wstring folder = PlainPath(LauncherFolderFull());
    const UserWriteCheck check = CheckUsersCanWrite(folder);
    if (check.verdict == UserWriteVerdict::OnlyAdministrators) return {};
    if (check.verdict == UserWriteVerdict::Unknown) {
        RunLogLine(L"warning: the rules of the game folder \"" + folder +
                   L"\" could not be checked: " + check.who);
        return {};
    }
    RunLogLine(L"warning: users other than the administrators can write the game folder \"" +
               folder + L"\" (" + check.who +
               L"); its files can be changed between runs, and the game starts elevated");
#ifdef LAUNCHER_REFUSE_OPEN_GAME_FOLDER
    return L"Error: otros usuarios pueden cambiar la carpeta del juego";
#else
    return {};
#endif
}

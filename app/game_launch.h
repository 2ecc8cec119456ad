// Starting the game client that lies beside the launcher.
#pragma once

#include <string>

// True, with the client's full path and folder, when rovezuzav.exe exists beside the launcher.
bool LocateGameClient(std::wstring& clientPath, std::wstring& clientFolder);

// Starts the client with its launch token and posts the quit request; on failure the reason
// goes to the status line and the launcher stays open.
bool LaunchGame();

// Deletes the *.RPT files (either case) in the folder; sub-folders stay.
void DeleteRptFiles(const std::wstring& folder);

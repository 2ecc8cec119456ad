// The launcher runs elevated in whatever folder it was started from. Before a run works in
// that folder, and before the client starts from it, its rules are read: where the machine's
// ordinary users can write it, Log\run.log says so (each of its files can be changed between
// two runs, and what the game loads beside the client is not checked). A build with
// LAUNCHER_REFUSE_OPEN_GAME_FOLDER refuses to work there.
#pragma once

#include <string>

// Empty to go on; otherwise the status text of the refusal (only a build with the option
// refuses).
std::wstring GameFolderRefusal();

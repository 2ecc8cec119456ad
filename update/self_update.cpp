#include "update/self_update.h"

// Stand-in until self-update lands.
void RestartLauncher() {}
bool IsLauncherExecutable(const std::wstring&) { return false; }
bool SwapLauncherExecutable(const std::wstring&, const std::wstring&) { return false; }
void DeleteOldLauncher() {}

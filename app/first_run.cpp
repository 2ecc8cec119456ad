#include "app/first_run.h"

// Stand-in until first-run installation lands: always run in place.
bool InstallOnFirstRun() { return false; }
void CreateDesktopShortcut(const std::wstring&, const std::wstring&) {}
std::wstring InstallFolder() { return {}; }

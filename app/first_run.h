// A freshly downloaded launcher moves itself into its install folder on the system drive.
#pragma once

#include <string>

// True when a copy was placed in the install folder and started: this process must end.
bool InstallOnFirstRun();

// A desktop link "<name>.lnk" to target; every failure is silent. Needs COM on this thread.
void CreateDesktopShortcut(const std::wstring& target, const std::wstring& name);

// The install folder: "<SystemDrive>\Zarvo Vestra" in full form.
std::wstring InstallFolder();

// A freshly downloaded launcher moves itself into its install folder on the system drive.
#pragma once

#include <string>

enum class FirstRunResult {
    RunInPlace, // this folder is the launcher's, or the copy could not be made: the window opens
    Installed,  // a copy was placed in the install folder and started: this process ends
    Refused,    // the install folder is not safe to use; the player was told: this process ends
};

FirstRunResult InstallOnFirstRun();

// A desktop link "<name>.lnk" to target; every failure is silent. Needs COM on this thread.
void CreateDesktopShortcut(const std::wstring& target, const std::wstring& name);

// The install folder: "Zarvo Vestra" at the root of the drive Windows runs from, in full form.
std::wstring InstallFolder();

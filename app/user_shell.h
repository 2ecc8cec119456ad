// Opening an address as the signed-in user would. The launcher runs elevated: ShellExecuteW
// here would look the https handler up in this process's HKCU\Software\Classes (the user's to
// change) and start it with the administrator's token. The desktop shell runs unelevated, as
// the signed-in user: it is asked to open the address instead.
#pragma once

#include <string>

enum class UserShellOpen {
    Opened,         // handed to the desktop shell, which opens it unelevated
    NoDesktopShell, // no desktop shell answers (none runs, or it is not the system's): not opened
    Failed,         // the shell was found but refused: not opened
};

// Needs COM on this thread (a single-threaded apartment, as the window thread has).
UserShellOpen OpenAsSignedInUser(const std::wstring& address);

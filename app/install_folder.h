// The install folder's protection. Its files later run elevated, so other users must not be
// able to change them: the folder gets the rules of Program Files instead of inheriting the
// drive root's, where every authenticated user may create and modify.
#pragma once

#include <windows.h>

#include <string>

#include "base/handles.h"

// SYSTEM and Administrators full control, Users read and execute, each inherited by the files
// and folders inside; protected, so nothing is inherited from the drive's root.
extern const wchar_t kInstallFolderSddl[];

// The security descriptor built from kInstallFolderSddl, owned (empty when it cannot be built).
LocalMemory InstallFolderSecurityDescriptor();

// Creates folder, missing parents included, carrying that descriptor. A folder that already
// stands (made by anyone, before us) gets the descriptor, and Administrators as its owner,
// applied instead. True when the folder exists afterwards.
bool CreateProtectedFolder(const std::wstring& folder);

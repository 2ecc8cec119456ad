// The install folder's protection. Its files later run elevated, so other users must not be
// able to change them: the folder gets the rules of Program Files instead of inheriting the
// drive root's, where every authenticated user may create and modify. A folder of that name
// that someone else made first, or that leads elsewhere, is not taken.
#pragma once

#include <windows.h>

#include <string>

#include "base/folder_security.h"
#include "base/handles.h"

// SYSTEM and Administrators full control, Users read and execute, each inherited by the files
// and folders inside; protected, so nothing is inherited from the drive's root.
extern const wchar_t kInstallFolderSddl[];

// The security descriptor built from kInstallFolderSddl, owned (empty when it cannot be built).
LocalMemory InstallFolderSecurityDescriptor();

// Creates folder, missing parents included, carrying that descriptor, and checks what it got.
// A folder that already stands is used as it is when it passes the same checks; when its owner
// is trusted but its DACL is loose it is taken only while still empty, and gets our DACL. True
// when the folder can be used: no reparse point on the way, owner and DACL as above.
bool CreateProtectedFolder(const std::wstring& folder);

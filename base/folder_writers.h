// Whether the machine's ordinary users may change what is in a folder: the question an
// elevated run asks of a game folder it did not make. Answered from the folder's owner and
// DACL, read through a handle that does not follow a link at the folder's name.
#pragma once

#include <windows.h>

#include <string>

enum class UserWriteVerdict {
    OnlyAdministrators, // no entry lets the users below name add, change or re-rule anything
    UsersCanWrite,      // one does; who says which
    Unknown,            // the folder is missing, is a link, or its rules cannot be read
};

struct UserWriteCheck {
    UserWriteVerdict verdict = UserWriteVerdict::Unknown;
    // For the log: the grantee that may write ("Users", "Everyone", "the signed-in user S-1-...",
    // "owner ..."), or why the verdict is unknown.
    std::wstring who;
};

// Everyone, Authenticated Users, Users, INTERACTIVE and the signed-in user (the user of the
// desktop shell; without one, the user this process runs as) count as ordinary users. A grant
// of writing, appending, adding files or folders, deleting inside, changing the rules or the
// owner counts, to the folder itself or passed on to what is made in it; being its owner
// counts too (an owner may always change the rules). Denials are not weighed: the verdict errs
// towards "can write".
UserWriteCheck CheckUsersCanWrite(const std::wstring& folder);

// The same judgement of a descriptor read already.
UserWriteCheck JudgeUsersCanWrite(PSECURITY_DESCRIPTOR descriptor);

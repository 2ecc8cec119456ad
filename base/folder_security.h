// Who may change a file or folder, read from its security descriptor, and whether a path leads
// through a link. The launcher runs elevated: what it loads, starts or writes through must be
// out of reach of a standard user.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Rights that change a folder, what is in it or who may do so.
constexpr ACCESS_MASK kChangeRights =
    FILE_WRITE_DATA | FILE_APPEND_DATA | FILE_WRITE_EA | FILE_DELETE_CHILD | FILE_WRITE_ATTRIBUTES |
    DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL | MAXIMUM_ALLOWED;

// The user SID of a process's token, as a copy; empty when it cannot be read.
std::vector<BYTE> TokenUserSid(HANDLE process);

// SYSTEM, Administrators, TrustedInstaller, or the user this process runs as (an
// administrator, the launcher being elevated).
bool IsTrustedWriter(PSID sid);

// True when the descriptor's owner is a trusted writer and no entry of its DACL lets anyone
// else write, delete or change rights (a missing DACL lets everyone). The object itself and
// what it passes on to new files count.
bool OnlyAdministratorsCanWrite(PSECURITY_DESCRIPTOR descriptor);

// The same for the file or folder at path, read without opening it; false when unreadable.
bool OnlyAdministratorsCanWriteAt(const std::wstring& path);

// True when path (in full form), or a folder on the way to it below the drive's root, is a
// reparse point (a junction, a symbolic link, a mount point), or cannot be looked at.
bool CrossesReparsePoint(const std::wstring& path);

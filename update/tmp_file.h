// The one way a ".tmp" is opened for writing or held for its move. A ".tmp" is the launcher's
// own scratch name: it must never be a second name of a file the game or the player keeps
// (a hard link left by a seed, a link or junction planted in the folder), or writing it would
// rewrite that file too. So a ".tmp" is only ever written while it is a plain file with this
// one name; anything else found under the name is unlinked (the other names keep their bytes)
// and a fresh file takes its place.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/handles.h"

enum class TmpOpen {
    Fresh,    // an empty file, made with its folders when they are missing
    Existing, // the file as it is; none when it is missing (or was not a plain one-name file)
    Keep,     // the file as it is, or an empty one made with its folders
};

// Opens the ".tmp" at path for reading and writing, sharing it as share says; a handle that
// shares nothing may also rename the file. Null with the error of the failed step; what is
// returned was checked through the handle itself.
FileHandle OpenTmpForWriting(const std::wstring& path, TmpOpen how, DWORD share = 0);

// Opens the ".tmp" for its move into place (reading and DELETE, shared with readers only), so
// that nothing changes it or its name until it is renamed through this handle. Null when it
// is no plain file (a link or junction, a folder). A ".tmp" with a second name is held, but
// only a linked seed's, as its note says, may be placed (see PlaceFile). *length and *links
// are the held file's, as the hold's own look at it found them.
FileHandle HoldTmpForMove(const std::wstring& path, uint64_t* length, uint32_t* links);
// True when the open file is a plain file (no reparse point, no folder); *length and *links
// are then its own.
bool IsPlainFileHeld(HANDLE file, uint64_t* length, uint32_t* links);

// A ".tmp" shorter than this is not noted: placing hashes it again under its hold, one read
// that costs less than the note's and the comparison's calls (under Wine each is a round trip
// to the wine server). Patched and split files are far longer, and keep their notes.
constexpr uint64_t kHashedAgainBelow = uint64_t{128} << 10;

// What a source saw of the ".tmp" it checked, as it let go of it: the file, its length and its
// change time. Placing compares the held ".tmp" with this and hashes it again only when they
// differ (another program wrote it, or put another file under the name, in between).
struct TmpSeal {
    uint64_t volume = 0, fileIndex = 0, length = 0;
    int64_t changeTime = 0;
    uint32_t links = 0;
    bool taken = false;
};

// The seal of the open file; none (taken false) when the system cannot tell.
TmpSeal SealOf(HANDLE file);
// Notes the seal of the ".tmp" at path, of length bytes, whose content its source has just
// checked and written; a later note for the path replaces it. One shorter than
// kHashedAgainBelow is not noted (an older note for the path is dropped).
void NoteCheckedTmp(const std::wstring& path, HANDLE file, uint64_t length);
// Notes the seal of a seed just linked at path after its digest matched, whatever its length:
// only such a note lets a ".tmp" with a second name be placed.
void NoteLinkedSeed(const std::wstring& path, HANDLE seed);
// True when the held ".tmp" at path is what its last note describes; the note is used up.
bool HeldTmpAsNoted(const std::wstring& path, HANDLE held);

// True when the open file is a plain file (no reparse point, no folder) with one name.
bool IsSoleNamePlainFile(HANDLE file);

// Removes the name path through a handle of its own, which leaves the bytes of any other name
// of the file alone; readers that share deleting (FILE_SHARE_DELETE) do not stop it.
bool RemoveTmp(const std::wstring& path);

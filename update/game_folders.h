// The folders a write into the game folder goes through. The launcher runs elevated, and a game
// folder that existed before it was installed may be writable by every user, who could plant a
// junction or a link there and have the launcher write wherever it leads. So before a file's
// ".tmp" is made, every folder between the game folder and the file must be a real folder of
// the game folder, and it stays held (open without delete sharing, so nobody can rename or
// replace it with a link) until the file is in place.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "base/handles.h"

// The folders a run has proven and holds, by PathKey; each is looked at once a run. Shared
// by the run's workers.
struct HeldFolders {
    std::mutex lock;
    std::unordered_map<std::wstring, FileHandle> byKey;
    std::wstring rootFinal; // where the system finds the game folder: volume and path on it
};

// Checks and holds the folders between the game folder and localPath (a file inside it, in
// the full form LocalPathForEntry gives), creating the missing ones one by one. False, with
// nothing created past the fault, when one is a link, a junction, a file, or lies elsewhere
// than its path says; the last error is then ERROR_CANT_ACCESS_FILE or the system's.
bool HoldFoldersOnTheWay(const std::wstring& localPath, HeldFolders& held);

// True when nothing is at localPath (a file in the game folder, beyond the folders held), or a
// plain file found where its path says: never a link, a junction or a folder.
bool IsPlainFileOrNothing(const std::wstring& localPath, const HeldFolders& held);

// The names of folders a run looks for many names in, each listed once: a name its folder's
// listing lacks is nothing there, as a lookup of its own would find (under Wine every lookup of
// a missing name reads the whole folder, so one listing spares one such read per name). Used
// by one thread.
struct FolderNames {
    std::unordered_map<std::wstring, size_t> planned;                         // looks per folder
    std::unordered_map<std::wstring, std::unordered_set<std::wstring>> names; // listed, by key
};

// Counts a look the run will take at path (a file in the game folder, in full form).
void PlanLook(FolderNames& folders, const std::wstring& path);
// False when path's folder, held (HoldFoldersOnTheWay) and with enough looks planned to be
// worth its listing, was listed without path's name in it; true when it may be there.
bool MayBeThere(FolderNames& folders, const std::wstring& path);

// One identity for a path of the game folder. Windows resolves many spellings to one file
// (letter case, trailing dots and spaces, "." parts, short 8.3 aliases, "\" for "/"), so the
// launcher takes a row's path only in the one spelling the file system keeps, and compares
// such paths by a key that folds what the file system folds: letter case, nothing else.
#pragma once

#include <string>

// The key two paths are compared by: "/" as "\", each letter upper-cased one by one as NTFS
// folds names (no locale, no Unicode normalization: NTFS keeps a composed and a decomposed
// "e" with accent as two names, so the key does too), a long path's "\\?\" form as its plain
// form. Only meaningful for paths that IsCanonicalRelativePath takes, or full paths the
// system resolved.
std::wstring PathKey(const std::wstring& path);

// True for a relative path written the one way the file system keeps it: "/" separated parts,
// none empty, "." or "..", none ending in a dot or a space (Windows drops them), none a device
// name ("nul.txt", "COM1 ") or an 8.3 alias ("DATAFI~1.PAK" may be another file's short
// name), no characters Windows refuses in names ('<', '>', '|', '?', '*', '"', controls), no
// ':' (drives, streams), no '\', and none the download address would misread ('#', '%') or
// the reader would cut ('{', '}'); each part at most 255 characters.
bool IsCanonicalRelativePath(const std::wstring& path);

// True for a canonical path that names one of the launcher's own files or folders, whatever
// a manifest says: "Log" and all in it, the download and install markers.
bool IsLauncherOwnPath(const std::wstring& path);

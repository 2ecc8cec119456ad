// Where the launcher keeps its files: every local path starts from the folder of the running
// executable, which is also the game folder.
#pragma once

#include <string>
#include <string_view>

struct ManifestEntry;

// A full path from kPlainPathLimit characters on, in the form the file functions take at any
// length: "\\?\" before a drive path, "\\?\UNC\" for a share. Past 260 characters the
// plain form works only where long paths are enabled for the whole machine. The prefixed form
// is taken as written, so the path must be resolved ("\" separators, no "." parts). Shorter,
// relative and already prefixed paths come back unchanged.
std::wstring LongPathForm(const std::wstring& path);
// The path without the prefix LongPathForm may have put before it: for comparing and showing.
std::wstring PlainPath(const std::wstring& path);
// Paths shorter than this stay plain: the launcher's own additions to a path (".tmp", ".old",
// a file in Log\) keep them below the 248 characters a folder may have, and 260 for a file.
constexpr size_t kPlainPathLimit = 200;

// GetFullPathNameW of the path (of its plain form), in LongPathForm; the path unchanged when it
// cannot be resolved.
std::wstring ResolveFullPath(const std::wstring& path);

// Full file name of the running executable, however long, in LongPathForm.
std::wstring LauncherExePath();
// The running executable's folder, without a trailing backslash, as built (not resolved).
std::wstring LauncherFolder();
// The launcher folder in full form: ResolveFullPath(LauncherFolder() + "\.").
std::wstring LauncherFolderFull();

std::wstring InstDonePath();       // Log\inst_done
std::wstring LangSetPath();        // Log\lang_set
std::wstring OptDatPath();         // opt.dat, the game client's options file
std::wstring DownloadMarkerPath(); // .zarvo_downloading
// Local copy of a manifest entry: the launcher folder, "\" and the path with "\" separators,
// in LongPathForm.
std::wstring LocalPathForEntry(const ManifestEntry& entry);

// Creates the folder and its missing parents, one by one (SHCreateDirectoryExW stops at 248
// characters); true when the folder is there.
bool MakeFolders(const std::wstring& folder);

// A file exists when its attributes can be read and it is not a directory.
bool FileExists(const std::wstring& path);

// Empty marker files; failures are silent, the next start just sees the marker missing. A link
// at a marker's name or at Log\ is never written through: the marker is then not written.
void MarkInstalled();
void MarkLanguageChosen();
void CreateHiddenMarker(const std::wstring& path);
// Replaces the small file at path (in a real folder, never through a link at it) with text:
// written beside, then renamed over it, so a reader never sees half of it.
void ReplaceSmallFile(const std::wstring& path, std::string_view text);

// Takes the read-only mark off the file at path, through a handle on the file itself (never
// through a link), so that it can be replaced or deleted; folders and links keep theirs.
void ClearReadOnly(const std::wstring& path);

// Everything up to, not including, the last "\" or "/"; empty when there is none.
std::wstring ParentFolderOf(const std::wstring& path);

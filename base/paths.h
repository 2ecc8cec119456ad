// Where the launcher keeps its files: every local path starts from the folder of the running
// executable, which is also the game folder.
#pragma once

#include <string>
#include <string_view>

struct ManifestEntry;

// GetFullPathNameW of the path; the path unchanged when it cannot be resolved.
std::wstring ResolveFullPath(const std::wstring& path);

// Full file name of the running executable (at most 260 characters, as the system reports it).
std::wstring LauncherExePath();
// The running executable's folder, without a trailing backslash, as built (not resolved).
std::wstring LauncherFolder();
// The launcher folder in full form: ResolveFullPath(LauncherFolder() + "\.").
std::wstring LauncherFolderFull();

std::wstring InstDonePath();       // Log\inst_done
std::wstring LangSetPath();        // Log\lang_set
std::wstring OptDatPath();         // opt.dat, the game client's options file
std::wstring DownloadMarkerPath(); // .zarvo_downloading
// Local copy of a manifest entry: the launcher folder, "\" and the path with "\" separators.
std::wstring LocalPathForEntry(const ManifestEntry& entry);

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

// Everything up to, not including, the last "\" or "/"; empty when there is none.
std::wstring ParentFolderOf(const std::wstring& path);

// Only what the launcher itself listed goes, only inside the game folder, and never through a
// link: a path is deleted when a kept manifest named it, no manifest the launcher knows lists
// it now, it is no file of the launcher's own (its executable, "Log\", the markers), and every
// folder on its way is a real folder of the game folder.
#include "update/retired_files.h"

#include <windows.h>

#include <unordered_set>

#include "base/handles.h"
#include "base/paths.h"
#include "update/manifest.h"
#include "net/http.h"
#include "net/release_head.h"
#include "update/seeds.h"
#include "update/self_update.h"
#include "net/signature.h"

namespace {

constexpr DWORD kNotPlain = FILE_ATTRIBUTE_REPARSE_POINT;

bool IsRealFolder(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & kNotPlain);
}

// The launcher's own files, whatever a manifest says.
bool IsLaunchersOwn(const std::wstring& key, const std::wstring& localPath) {
    if (IsLauncherOwnPath(key) || key == L"OPT.DAT") return true;
    return IsLauncherExecutable(localPath) || IsLauncherExecutable(ResolveFullPath(localPath));
}

// The folders between the game folder and the file, each a real folder; the file's full path
// inside the game folder.
bool LiesInGameFolder(const std::wstring& localPath) {
    const std::wstring inside = PathKey(LauncherFolderFull()) + L"\\";
    // Cut in its plain form, as the key is; each folder looked at in its long form.
    const std::wstring full = PlainPath(ResolveFullPath(localPath));
    const std::wstring fullKey = PathKey(full);
    if (fullKey.size() <= inside.size() || fullKey.compare(0, inside.size(), inside) != 0)
        return false;
    for (size_t at = full.find(L'\\', inside.size()); at != std::wstring::npos;
         at = full.find(L'\\', at + 1)) {
        if (!IsRealFolder(LongPathForm(full.substr(0, at)))) return false;
    }
    return true;
}

// Deletes the file through a handle that was found to be the file at path itself, so that
// nothing between the look and the deletion can swap a link in.
bool DeleteIfItself(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) return false;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | kNotPlain)) ||
        !OpensAsItself(file.Get(), path))
        return false;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(file.Get(), FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

void RemoveEmptyFolders(const std::wstring& filePath) {
    const std::wstring inside = PathKey(LauncherFolderFull()) + L"\\";
    const std::wstring log = inside + L"LOG";
    std::wstring folder = ParentFolderOf(ResolveFullPath(filePath));
    for (; !folder.empty(); folder = ParentFolderOf(folder)) {
        const std::wstring key = PathKey(folder);
        if (key.size() <= inside.size() || key.compare(0, inside.size(), inside) != 0) return;
        if (key == log || !IsRealFolder(folder)) return;
        // Fails on a folder that still holds anything, which ends the walk.
        if (!RemoveDirectoryW(folder.c_str())) return;
    }
}

} // namespace

bool RemovesRetiredFiles() {
#ifdef LAUNCHER_REMOVE_RETIRED_FILES
    return true;
#else
    return false;
#endif
}

std::vector<std::wstring> RetiredFiles(const KeptManifests& kept,
                                       const std::vector<ManifestEntry>& current,
                                       const std::string& body, bool fullRun) {
    std::vector<std::wstring> retired;
    std::unordered_set<std::wstring> listed;
    for (const ManifestEntry& entry : current)
        listed.insert(PathKey(entry.path));
    if (!fullRun) {
        for (const ManifestEntry& entry : kept.others)
            listed.insert(PathKey(entry.path));
    }
    std::unordered_set<std::wstring> seen;
    for (const ManifestEntry& entry : kept.same) {
        const std::wstring key = PathKey(entry.path);
        if (!IsSafeEntryPath(entry.path) || listed.count(key) || !seen.insert(key).second) continue;
        // A row of the new document that its reader refused still names a file of the game.
        std::string quoted = "\"";
        for (wchar_t c : entry.path)
            quoted += c < 0x80 ? static_cast<char>(c) : '?';
        if (quoted.find('?') == std::string::npos && body.find(quoted + "\"") != std::string::npos)
            continue;
        const std::wstring local = LocalPathForEntry(entry);
        if (IsLaunchersOwn(key, local) || !LiesInGameFolder(local)) continue;
        const DWORD attributes = GetFileAttributesW(local.c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & (FILE_ATTRIBUTE_DIRECTORY | kNotPlain)))
            continue;
        retired.push_back(local);
    }
    return retired;
}

std::vector<std::wstring> ConfirmedByFullManifest(std::vector<std::wstring> retired,
                                                  const std::wstring& fullUrl) {
    if (retired.empty()) return retired;
    // Through a head, the full manifest of the release this install takes, checked by digest.
    const bool throughHead = ReleaseHeadEnabled();
    const std::string body = throughHead ? FetchHeadDocument(CurrentRelease().full, {})
                                         : HttpGetToString(AddNoCacheParam(fullUrl));
    std::vector<ManifestEntry> full;
    if (body.empty() ||
        (!throughHead &&
         CheckFetchedDocument(body, "manifest_full.json") != DocumentCheck::Accepted) ||
        !ParseManifestRows(body, full))
        return {};
    std::unordered_set<std::wstring> listed;
    for (const ManifestEntry& entry : full)
        listed.insert(PathKey(LocalPathForEntry(entry)));
    std::vector<std::wstring> confirmed;
    for (std::wstring& path : retired)
        if (!listed.count(PathKey(path))) confirmed.push_back(std::move(path));
    return confirmed;
}

void RemoveRetiredFiles(const KeptManifests& kept, const std::vector<ManifestEntry>& current,
                        const std::string& body, bool fullRun, const std::wstring& manifestUrl) {
    if (!RemovesRetiredFiles()) return;
    std::vector<std::wstring> retired = RetiredFiles(kept, current, body, fullRun);
    // The light manifest lists only part of the game: what left it may still belong to the
    // game, which only the full manifest of the same release can tell.
    if (!fullRun && !retired.empty()) {
        const size_t slash = manifestUrl.rfind(L'/');
        if (slash == std::wstring::npos) return;
        retired = ConfirmedByFullManifest(std::move(retired),
                                          manifestUrl.substr(0, slash + 1) + L"manifest_full.json");
    }
    for (const std::wstring& path : retired) {
        if (DeleteIfItself(path)) RemoveEmptyFolders(path);
    }
}

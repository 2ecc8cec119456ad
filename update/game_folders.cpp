#include "update/game_folders.h"

#include <windows.h>

#include <vector>

#include "base/path_identity.h"
#include "base/paths.h"

namespace {

// Lists and reads attributes; shares reading and writing (other workers hold the same folders)
// but not deletion, which also keeps the folder from being renamed.
FileHandle OpenFolderNoFollow(const std::wstring& path) {
    return FileHandle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT,
                                  nullptr));
}

// Where the system found the file: its volume and its path on that volume, as it resolved
// it (links and junctions followed). GetFinalPathNameByHandle would say the same, but Wine's
// fails past 260 characters.
std::wstring PlaceOf(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(file, &info)) return {};
    std::vector<char> buffer(sizeof(FILE_NAME_INFO) + 65536);
    auto* name = reinterpret_cast<FILE_NAME_INFO*>(buffer.data());
    if (!GetFileInformationByHandleEx(file, FileNameInfo, name, static_cast<DWORD>(buffer.size())))
        return {};
    return std::to_wstring(info.dwVolumeSerialNumber) + L":" +
           std::wstring(name->FileName, name->FileNameLength / sizeof(wchar_t));
}

// A real folder, found where its path says: the game folder's own place (as the system
// resolves it, short names and all) followed by the path's own parts, which a row's path
// spells the one way the file system keeps them.
bool IsRealFolder(HANDLE folder, const std::wstring& rootFinal, const std::wstring& relative) {
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(folder, &info)) return false;
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return !rootFinal.empty() && PathKey(PlaceOf(folder)) == PathKey(rootFinal + relative);
}

} // namespace

bool HoldFoldersOnTheWay(const std::wstring& localPath, HeldFolders& held) {
    const std::wstring inside = PathKey(LauncherFolderFull()) + L"\\";
    // Parts are cut from the plain form and each folder opened in its long form.
    const std::wstring plain = PlainPath(localPath);
    const std::wstring key = PathKey(plain);
    if (key.compare(0, inside.size(), inside) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    std::lock_guard<std::mutex> lock(held.lock);
    if (held.rootFinal.empty()) {
        FileHandle root = OpenFolderNoFollow(LauncherFolderFull());
        if (root) held.rootFinal = PlaceOf(root.Get());
    }
    for (size_t at = plain.find(L'\\', inside.size()); at != std::wstring::npos;
         at = plain.find(L'\\', at + 1)) {
        std::wstring folderKey = key.substr(0, at);
        if (held.byKey.count(folderKey)) continue;
        const std::wstring folder = LongPathForm(plain.substr(0, at));
        FileHandle handle = OpenFolderNoFollow(folder);
        if (!handle) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) return false;
            // Made here, in a folder already held: it is a new real folder, unless another
            // program was quicker, which the look below settles.
            if (!CreateDirectoryW(folder.c_str(), nullptr) &&
                GetLastError() != ERROR_ALREADY_EXISTS)
                return false;
            handle = OpenFolderNoFollow(folder);
            if (!handle) return false;
        }
        if (!IsRealFolder(handle.Get(), held.rootFinal,
                          plain.substr(inside.size() - 1, at - inside.size() + 1))) {
            SetLastError(ERROR_CANT_ACCESS_FILE);
            return false;
        }
        held.byKey.emplace(std::move(folderKey), std::move(handle));
    }
    return true;
}

bool IsPlainFileOrNothing(const std::wstring& localPath, const HeldFolders& held) {
    FileHandle file(CreateFileW(localPath.c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file) {
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    const std::wstring plain = PlainPath(localPath);
    const size_t rootLength = PlainPath(LauncherFolderFull()).size();
    return GetFileInformationByHandle(file.Get(), &info) &&
           !(info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) &&
           !held.rootFinal.empty() && plain.size() > rootLength &&
           PathKey(PlaceOf(file.Get())) == PathKey(held.rootFinal + plain.substr(rootLength));
}

namespace {

// A folder with fewer looks than this is not listed: on Windows a lookup costs less than
// a listing of a big folder.
constexpr size_t kListFromLooks = 16;

} // namespace

void PlanLook(FolderNames& folders, const std::wstring& path) {
    ++folders.planned[PathKey(ParentFolderOf(path))];
}

bool MayBeThere(FolderNames& folders, const std::wstring& path) {
    const std::wstring folder = ParentFolderOf(path);
    const std::wstring key = PathKey(folder);
    auto planned = folders.planned.find(key);
    if (planned == folders.planned.end() || planned->second < kListFromLooks) return true;
    auto listed = folders.names.find(key);
    if (listed == folders.names.end()) {
        // Listed at its first look; a folder that cannot be listed is looked at name by name.
        folders.planned.erase(planned);
        WIN32_FIND_DATAW found = {};
        FindHandle find(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                         FindExSearchNameMatch, nullptr,
                                         FIND_FIRST_EX_LARGE_FETCH));
        if (!find) return true;
        std::unordered_set<std::wstring> names;
        do {
            names.insert(PathKey(found.cFileName));
        } while (FindNextFileW(find.Get(), &found));
        if (GetLastError() != ERROR_NO_MORE_FILES) return true;
        folders.planned.emplace(key, kListFromLooks);
        listed = folders.names.emplace(key, std::move(names)).first;
    }
    const size_t slash = path.find_last_of(L"\\/");
    return listed->second.count(PathKey(path.substr(slash + 1))) != 0;
}

#include "update/tmp_file.h"

#include <mutex>
#include <unordered_map>

#include "base/paths.h"
#include "update/file_at.h"

namespace {

constexpr DWORD kNoFollow = FILE_FLAG_OPEN_REPARSE_POINT;

bool MarkForDeletion(HANDLE file) {
    FILE_DISPOSITION_INFO disposition = {};
    disposition.DeleteFile = TRUE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

// A look at what lies under the name before anything opens it for writing: a name that is
// not a plain file of its own is unlinked. False when the name is taken by something that
// cannot be removed (a folder, a file another program holds); GetLastError says why.
bool ClearForeignName(const std::wstring& path) {
    FileHandle probe(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, kNoFollow | FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!probe) {
        const DWORD error = GetLastError();
        // Missing: nothing to clear. Held by another program: the writer's own open says so.
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ||
               error == ERROR_SHARING_VIOLATION;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(probe.Get(), &info)) return false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0 && info.nNumberOfLinks <= 1)
        return true;
    return MarkForDeletion(probe.Get());
}

FileHandle OpenForWriting(const std::wstring& path, DWORD disposition, DWORD share) {
    // An unshared handle may also rename the file: no other handle that could mind is open.
    const DWORD access = GENERIC_READ | GENERIC_WRITE | (share == 0 ? DELETE : 0);
    return FileHandle(CreateFileW(path.c_str(), access, share, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL | kNoFollow, nullptr));
}

} // namespace

TmpSeal SealOf(HANDLE file) {
    TmpSeal seal;
    BY_HANDLE_FILE_INFORMATION info = {};
    FILE_BASIC_INFO basic = {};
    if (!GetFileInformationByHandle(file, &info) ||
        !GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        return seal;
    seal.volume = info.dwVolumeSerialNumber;
    seal.fileIndex = (static_cast<uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    seal.length = (static_cast<uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    seal.changeTime = basic.ChangeTime.QuadPart;
    seal.links = info.nNumberOfLinks;
    seal.taken = true;
    return seal;
}

namespace {

struct Notes {
    std::mutex lock;
    std::unordered_map<std::wstring, TmpSeal> byPath;
};

Notes& CheckedTmps() {
    static Notes notes;
    return notes;
}

} // namespace

namespace {

void KeepSeal(const std::wstring& path, const TmpSeal& seal) {
    Notes& notes = CheckedTmps();
    std::lock_guard<std::mutex> hold(notes.lock);
    if (seal.taken) {
        notes.byPath[path] = seal;
    } else {
        notes.byPath.erase(path);
    }
}

} // namespace

void NoteCheckedTmp(const std::wstring& path, HANDLE file, uint64_t length) {
    if (length < kHashedAgainBelow) return KeepSeal(path, TmpSeal());
    // The times set as they are: a file system that would move them again when the writer's
    // handle closes (NTFS does so for a written file) keeps them from then on. Zeros leave the
    // creation and access times and the attributes alone.
    FILE_BASIC_INFO basic = {};
    if (GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic)) {
        basic.CreationTime.QuadPart = 0;
        basic.LastAccessTime.QuadPart = 0;
        basic.FileAttributes = 0;
        SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    }
    KeepSeal(path, SealOf(file));
}

void NoteLinkedSeed(const std::wstring& path, HANDLE seed) {
    // The seed's handle reads only: nothing was written through it that could move its times.
    KeepSeal(path, SealOf(seed));
}

bool HeldTmpAsNoted(const std::wstring& path, HANDLE held) {
    TmpSeal noted;
    {
        Notes& notes = CheckedTmps();
        std::lock_guard<std::mutex> hold(notes.lock);
        const auto it = notes.byPath.find(path);
        if (it == notes.byPath.end()) return false;
        noted = it->second;
        notes.byPath.erase(it);
    }
    const TmpSeal now = SealOf(held);
    return now.taken && now.volume == noted.volume && now.fileIndex == noted.fileIndex &&
           now.length == noted.length && now.changeTime == noted.changeTime &&
           now.links == noted.links;
}

bool IsSoleNamePlainFile(HANDLE file) {
    BY_HANDLE_FILE_INFORMATION info = {};
    return GetFileInformationByHandle(file, &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
               0 &&
           info.nNumberOfLinks == 1;
}

FileHandle OpenTmpForWriting(const std::wstring& path, TmpOpen how, DWORD share) {
    if (how != TmpOpen::Existing) {
        // Most ".tmp" names are free: a file made new has this one name, and the name is
        // looked up once (under Wine every lookup of a missing name reads the whole folder).
        FileHandle made = OpenForWriting(path, CREATE_NEW, share);
        const std::wstring folder = ParentFolderOf(path);
        if (!made && GetLastError() == ERROR_PATH_NOT_FOUND && !folder.empty()) {
            MakeFolders(ResolveFullPath(folder));
            made = OpenForWriting(path, CREATE_NEW, share);
        }
        if (made || (GetLastError() != ERROR_FILE_EXISTS && GetLastError() != ERROR_ALREADY_EXISTS))
            return made;
    }
    if (!ClearForeignName(path)) return FileHandle();
    // Never CREATE_ALWAYS: that would empty a file before its handle could be looked at. A
    // name linked between the look and the open is refused here, before a byte is written.
    const DWORD disposition = how == TmpOpen::Existing ? OPEN_EXISTING : OPEN_ALWAYS;
    FileHandle file = OpenForWriting(path, disposition, share);
    // Folders are made only when missing: most files land in folders that exist.
    const std::wstring folder = ParentFolderOf(path);
    if (!file && how != TmpOpen::Existing && GetLastError() == ERROR_PATH_NOT_FOUND &&
        !folder.empty()) {
        MakeFolders(ResolveFullPath(folder));
        file = OpenForWriting(path, disposition, share);
    }
    if (!file) return file;
    if (!IsSoleNamePlainFile(file.Get())) {
        file.Reset();
        SetLastError(ERROR_NOT_SUPPORTED);
        return file;
    }
    if (how == TmpOpen::Fresh && FileSizeOf(file.Get()) != 0 && !SetFileLength(file.Get(), 0))
        file.Reset();
    return file;
}

bool IsPlainFileHeld(HANDLE file, uint64_t* length, uint32_t* links) {
    // Two plain queries rather than GetFileInformationByHandle, which also asks for the
    // volume's serial number: under Wine that is about nine wine server round trips a file.
    FILE_ATTRIBUTE_TAG_INFO kind = {};
    FILE_STANDARD_INFO standard = {};
    if (!GetFileInformationByHandleEx(file, FileAttributeTagInfo, &kind, sizeof kind) ||
        !GetFileInformationByHandleEx(file, FileStandardInfo, &standard, sizeof standard) ||
        (kind.FileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        standard.Directory)
        return false;
    *length = static_cast<uint64_t>(standard.EndOfFile.QuadPart);
    *links = standard.NumberOfLinks;
    return true;
}

FileHandle HoldTmpForMove(const std::wstring& path, uint64_t* length, uint32_t* links) {
    FileHandle held(CreateFileW(path.c_str(), GENERIC_READ | DELETE, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | kNoFollow, nullptr));
    *length = 0;
    *links = 0;
    if (held && !IsPlainFileHeld(held.Get(), length, links)) {
        // Not a refusal for now (see PlaceFile): such a ".tmp" is never placed.
        held.Reset();
        SetLastError(ERROR_NOT_SUPPORTED);
    }
    return held;
}

bool RemoveTmp(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), DELETE | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, kNoFollow, nullptr));
    if (!file)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    return MarkForDeletion(file.Get());
}

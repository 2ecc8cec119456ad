#include "update/local_copy.h"

#include <windows.h>

#include <memory>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/seeds.h"
#include "update/tmp_file.h"
#include "update/net/whole_file.h"

namespace {

constexpr size_t kCopyBlock = 1u << 20;

enum class Copy { Done, NotThere, Cancelled, NoLink };

// The seed's bytes through its handle, from the start, checked against the entry.
Copy SeedHoldsEntry(HANDLE seed, uint64_t length, const ManifestEntry& entry, char* block) {
    StreamDigest digest(!entry.sha256.empty());
    uint64_t done = 0;
    LARGE_INTEGER start = {};
    bool read = digest.Ok() && SetFilePointerEx(seed, start, nullptr, FILE_BEGIN);
    while (read && done < length) {
        if (State().cancelRequested.load()) return Copy::Cancelled;
        const int64_t got = ReadOnward(seed, block, kCopyBlock);
        read = got > 0;
        if (read) {
            digest.Update(block, static_cast<size_t>(got));
            done += static_cast<uint64_t>(got);
        }
    }
    return read && done == length && DigestMatchesEntry(digest, entry) ? Copy::Done
                                                                       : Copy::NotThere;
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
    return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber &&
           a.nFileIndexHigh == b.nFileIndexHigh && a.nFileIndexLow == b.nFileIndexLow;
}

// A file no manifest lists any more is linked rather than copied: the new name shares its
// bytes, so nothing is written and the folder holds them once, and reading them for the digest
// is all it costs. The link is made only once the digest, read through the seed's handle that
// keeps writers out, has matched, and only the name of that very file is kept: a ".tmp" never
// becomes a second name of a file it does not hold the entry's content as. A volume without
// hard links (FAT) gets a copy.
Copy LinkSeed(const std::wstring& seedPath, HANDLE seed, const BY_HANDLE_FILE_INFORMATION& info,
              uint64_t length, const EntryFetch& fetch, char* block) {
    const Copy held = SeedHoldsEntry(seed, length, fetch.entry, block);
    if (held != Copy::Done) return held;
    if (!RemoveTmp(fetch.tmpPath)) return Copy::NotThere;
    bool linked = CreateHardLinkW(fetch.tmpPath.c_str(), seedPath.c_str(), nullptr) != 0;
    const std::wstring folder = ParentFolderOf(fetch.tmpPath);
    if (!linked && GetLastError() == ERROR_PATH_NOT_FOUND && !folder.empty()) {
        MakeFolders(ResolveFullPath(folder));
        linked = CreateHardLinkW(fetch.tmpPath.c_str(), seedPath.c_str(), nullptr) != 0;
    }
    if (!linked) return Copy::NoLink;
    // The seed's name may have been given to another file since it was opened.
    FileHandle tmp(CreateFileW(fetch.tmpPath.c_str(), FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    BY_HANDLE_FILE_INFORMATION linkInfo = {};
    if (tmp && GetFileInformationByHandle(tmp.Get(), &linkInfo) && SameFile(info, linkInfo) &&
        !State().cancelRequested.load()) {
        NoteLinkedSeed(fetch.tmpPath, seed);
        return Copy::Done;
    }
    tmp.Reset();
    RemoveTmp(fetch.tmpPath);
    return State().cancelRequested.load() ? Copy::Cancelled : Copy::NotThere;
}

// The seed is opened without following a link, and with no sharing for writers: what is read
// is what the digest sees, and a file another program holds open for writing is passed by. It
// shares deleting, so that a link made to it can be removed while it is open.
Copy CopySeed(const WholeSeed& from, const EntryFetch& fetch, char* block) {
    const std::wstring& seedPath = from.path;
    FileHandle seed = OpenForReading(seedPath, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                     FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN);
    if (!seed) return Copy::NotThere;
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!GetFileInformationByHandle(seed.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) != 0 ||
        !OpensAsItself(seed.Get(), seedPath))
        return Copy::NotThere;
    const uint64_t length = FileSizeOf(seed.Get());
    if (fetch.entry.size < INT32_MAX && length != static_cast<uint64_t>(fetch.entry.size))
        return Copy::NotThere;

    if (from.unlisted) {
        const Copy linked = LinkSeed(seedPath, seed.Get(), info, length, fetch, block);
        if (linked != Copy::NoLink) return linked;
        LARGE_INTEGER start = {};
        if (!SetFilePointerEx(seed.Get(), start, nullptr, FILE_BEGIN)) return Copy::NotThere;
    }

    StreamDigest digest(!fetch.entry.sha256.empty());
    if (!digest.Ok()) return Copy::NotThere;
    bool written = false;
    {
        if (!RoomFor(fetch.tmpPath, fetch.entry.size)) return Copy::NotThere;
        FileHandle tmp = OpenTmpForWriting(fetch.tmpPath, TmpOpen::Fresh);
        if (!tmp) return Copy::NotThere;
        uint64_t done = 0;
        for (;;) {
            if (State().cancelRequested.load()) {
                tmp.Reset();
                DeleteFileW(fetch.tmpPath.c_str());
                return Copy::Cancelled;
            }
            const int64_t read = ReadOnward(seed.Get(), block, kCopyBlock);
            if (read <= 0) {
                written = read == 0 && done == length;
                break;
            }
            digest.Update(block, static_cast<size_t>(read));
            DWORD put = 0;
            if (!WriteFile(tmp.Get(), block, static_cast<DWORD>(read), &put, nullptr) ||
                put != static_cast<DWORD>(read))
                break;
            done += static_cast<uint64_t>(read);
        }
        written = written && FlushFileBuffers(tmp.Get()) && DigestMatchesEntry(digest, fetch.entry);
        if (written) NoteCheckedTmp(fetch.tmpPath, tmp.Get(), done);
    }
    if (written) return Copy::Done;
    DeleteFileW(fetch.tmpPath.c_str());
    return Copy::NotThere;
}

} // namespace

SourceAnswer LocalCopySource(EntryFetch& fetch) {
    if (!fetch.seeds) return SourceAnswer::NotForMe;
    const std::vector<WholeSeed> candidates =
        WholeSeedsFor(*fetch.seeds, fetch.entry, fetch.localPath);
    if (candidates.empty()) return SourceAnswer::NotForMe;
    const auto block = std::make_unique_for_overwrite<char[]>(kCopyBlock);
    for (const WholeSeed& seed : candidates) {
        switch (CopySeed(seed, fetch, block.get())) {
        case Copy::Done:
            return SourceAnswer::Done;
        case Copy::Cancelled:
            return SourceAnswer::Failed;
        case Copy::NotThere:
        case Copy::NoLink:
            break;
        }
    }
    return SourceAnswer::NotForMe;
}

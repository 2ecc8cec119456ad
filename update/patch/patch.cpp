// The patch path of a download attempt. With an index naming the entry's new MD5, the ".tmp"
// keeps the blocks it already holds at their places, gets the blocks found anywhere in the old
// file, and only the rest comes from the server as byte ranges. Without one, an interrupted
// ".tmp" is continued from its end. Whatever the server does that does not fit (no ranges, other
// ranges, another length, content that fails its digest) sends the attempt back to the whole
// download, which is always correct.
#include "update/patch/patch.h"

#include <windows.h>
#include <shlobj.h>

#include <optional>
#include <vector>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/patch/block_index.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/net/addresses.h"
#include "net/http.h"
#include "update/patch/patch_build.h"
#include "update/net/range_fetch.h"
#include "update/net/split_download.h"
#include "update/net/whole_file.h"
#include "update/seeds.h"
#include "update/tmp_file.h"

namespace {

// True when a file of length bytes can be the entry's.
bool LengthFitsEntry(uint64_t length, const ManifestEntry& entry) {
    return length <= LongestFor(entry) &&
           (entry.size < INT32_MAX ? length == static_cast<uint64_t>(entry.size)
                                   : length >= static_cast<uint64_t>(INT32_MAX));
}

PatchResult Discard(const std::wstring& tmpPath) {
    DeleteFileW(tmpPath.c_str());
    return PatchResult::WholeDownload;
}

// The continued ".tmp" on disk, and Done when it is the entry's content.
PatchResult Sealed(FileHandle& tmp, const std::wstring& tmpPath, StreamDigest& digest,
                   const ManifestEntry& entry) {
    if (!FlushFileBuffers(tmp.Get())) return PatchResult::Failed;
    const bool matches = DigestMatchesEntry(digest, entry);
    if (matches) NoteCheckedTmp(tmpPath, tmp.Get(), FileSizeOf(tmp.Get()));
    tmp.Reset();
    return matches ? PatchResult::Done : Discard(tmpPath);
}

// Continues an interrupted transfer with "Range: bytes=N-", N being the length on disk. Every
// byte of the answer must lie in that range, of a file of a length the entry can have: the
// ".tmp" never grows past the entry, whatever the server sends.
PatchResult ResumeTail(const ManifestEntry& entry, const std::wstring& url,
                       const std::wstring& tmpPath, int32_t* status) {
    FileHandle tmp = OpenTmpForWriting(tmpPath, TmpOpen::Existing);
    if (!tmp) return PatchResult::WholeDownload;
    const uint64_t kept = FileSizeOf(tmp.Get());
    if (kept == 0) return PatchResult::WholeDownload;
    if (kept > LongestFor(entry)) {
        tmp.Reset();
        return Discard(tmpPath);
    }
    StreamDigest digest(!entry.sha256.empty());
    if (!digest.Ok() || !DigestPrefix(tmp.Get(), kept, digest)) return PatchResult::Failed;

    const std::wstring header = L"Range: bytes=" + std::to_wstring(kept) + L"-";
    HttpResponse response;
    std::optional<RangeBodyReader> reader;
    bool refused = false, writeFailed = false;
    // Like every writer, the tail first asks for room for the bytes it will add (a row of 2 GiB
    // or more tells none), then stops where the drive is down to its reserve.
    const int64_t tail = entry.size < INT32_MAX ? entry.size - int64_t(kept) : 0;
    const auto write = [&](uint64_t offset, const char* data, size_t size) {
        const bool room = offset == kept
                              ? RoomFor(tmpPath, tail)
                              : (offset + size) / kReserveLookBytes == offset / kReserveLookBytes ||
                                    ReserveKept(tmpPath);
        if (!room || !WriteAt(tmp.Get(), offset, data, size)) {
            writeFailed = true;
            return false;
        }
        digest.Update(data, size);
        return true;
    };
    auto onChunk = [&](const char* data, size_t size) {
        if (!reader) {
            ByteRange range;
            uint64_t total = 0;
            if (response.status != 206 ||
                !ParseContentRange(response.contentRange, &range, &total) || range.begin != kept ||
                range.end != total || !LengthFitsEntry(total, entry)) {
                refused = true;
                return false;
            }
            reader.emplace(std::vector<ByteRange>{range}, total, response.contentType,
                           response.contentRange, write);
        }
        if (reader->Feed(data, size)) return true;
        refused = !writeFailed;
        return false;
    };
    const bool ok = HttpGet(url, header.c_str(), onChunk, &response);
    if (status) *status = response.status;
    if (writeFailed || (refused && reader)) {
        // A ".tmp" the disk refused, or one the server answered past its range.
        tmp.Reset();
        return Discard(tmpPath);
    }
    if (refused) return PatchResult::WholeDownload;
    if (!ok && response.status == 416) {
        // Nothing after byte N: the ".tmp" may be the whole file already, though the body
        // that broke off at its very end was never flushed.
        return Sealed(tmp, tmpPath, digest, entry);
    }
    if (!ok)
        return response.status == 0 || reader ? PatchResult::Failed : PatchResult::WholeDownload;
    if (!reader) return PatchResult::WholeDownload;
    if (!reader->Complete()) {
        tmp.Reset();
        return Discard(tmpPath);
    }
    return Sealed(tmp, tmpPath, digest, entry);
}

uint64_t LengthOf(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

// Without an old copy: an interrupted transfer's ".tmp" is continued, else the file comes
// whole. A ".tmp" as long as the file or longer may hold pieces written out of order (see
// split_download.h): only the index can tell which of its blocks are in, and without one
// nothing of it but a complete file counts. A shorter one is a prefix, which a file fetched in
// pieces continues in pieces.
PatchResult ContinueOrWhole(const ManifestEntry& entry, const std::wstring& url,
                            const std::vector<std::wstring>& seeds, const std::wstring& tmpPath,
                            bool indexAsked, int32_t* status, PieceBoard* board) {
    if (!FileExists(tmpPath)) return PatchResult::WholeDownload;
    const uint64_t kept = LengthOf(tmpPath);
    // A row of 2 GiB or more tells no length: any ".tmp" up to the longest such file may be a
    // prefix, continued from its end; only the server's answer says where the file ends.
    if (entry.size >= INT32_MAX)
        return kept < LongestFor(entry) ? ResumeTail(entry, url, tmpPath, status)
                                        : Discard(tmpPath);
    const uint64_t size = static_cast<uint64_t>(entry.size);
    if (kept >= size) {
        if (!indexAsked) {
            BlockIndex index;
            switch (FetchBlockIndex(entry, nullptr, &index)) {
            case IndexFetch::Found:
                return BuildFromIndex(index, entry, url, seeds, tmpPath, status, board);
            case IndexFetch::NoAnswer:
                return PatchResult::Failed;
            case IndexFetch::None:
                break;
            }
        }
        if (kept > size) return Discard(tmpPath);
    } else if (SplitsEntry(entry)) {
        return PatchResult::WholeDownload;
    }
    return ResumeTail(entry, url, tmpPath, status);
}

} // namespace

IndexFetch FetchBlockIndex(const ManifestEntry& entry, const FILETIME* changedAfter,
                           BlockIndex* index) {
    const std::wstring header = changedAfter ? IfModifiedSinceHeader(*changedAfter) : L"";
    int32_t status = 0;
    const std::string body =
        HttpGetToString(BlockIndexUrl(entry), &status, header.empty() ? nullptr : header.c_str(),
                        kMaxBlockIndexBytes);
    // The index names its file's MD5, which the manifest publishes: anyone answering for the
    // server can write one. Its length is what the launcher knows, or the index is not used.
    if (!body.empty() && ParseBlockIndex(body, index) && index->md5 == entry.hash &&
        LengthFitsEntry(index->fileSize, entry)) {
        return IndexFetch::Found;
    }
    return status == 0 ? IndexFetch::NoAnswer : IndexFetch::None;
}

namespace {

// The old copy first, then the other seeds.
std::vector<std::wstring> SeedsWithOldCopy(const std::wstring& localPath,
                                           const std::vector<std::wstring>& otherSeeds) {
    std::vector<std::wstring> seeds{localPath};
    seeds.insert(seeds.end(), otherSeeds.begin(), otherSeeds.end());
    return seeds;
}

} // namespace

PatchResult PatchWithIndex(IndexFetch fetched, const BlockIndex& index, const ManifestEntry& entry,
                           const std::wstring& url, const std::wstring& localPath,
                           const std::wstring& tmpPath, int32_t* status, PieceBoard* board,
                           const std::vector<std::wstring>& otherSeeds) {
    if (status) *status = 0;
    const std::vector<std::wstring> seeds = SeedsWithOldCopy(localPath, otherSeeds);
    switch (fetched) {
    case IndexFetch::Found:
        return BuildFromIndex(index, entry, url, seeds, tmpPath, status, board);
    case IndexFetch::NoAnswer:
        return PatchResult::Failed; // the server is not reachable
    case IndexFetch::None:
        break;
    }
    return ContinueOrWhole(entry, url, seeds, tmpPath, true, status, board);
}

PatchResult PatchToTmp(const ManifestEntry& entry, const std::wstring& url,
                       const std::wstring& localPath, const std::wstring& tmpPath, int32_t* status,
                       PieceBoard* board, const std::vector<std::wstring>& otherSeeds) {
    if (status) *status = 0;
    if (!KeepsPartialTmp(entry)) return PatchResult::WholeDownload;
    // Without an old copy the index could only confirm the ".tmp"'s blocks, which the digest
    // of a continued transfer does as well, for less than the index costs; but for a ".tmp"
    // written in pieces (see ContinueOrWhole). Other files to build from make it worth it.
    if (otherSeeds.empty() && !FileExists(localPath))
        return ContinueOrWhole(entry, url, {localPath}, tmpPath, false, status, board);
    BlockIndex index;
    const IndexFetch fetched = FetchBlockIndex(entry, nullptr, &index);
    // A file new to the game, built from others, may be the first of its folder.
    const std::wstring folder = ParentFolderOf(localPath);
    if (fetched == IndexFetch::Found && !otherSeeds.empty() && !folder.empty() &&
        GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES)
        SHCreateDirectoryExW(nullptr, ResolveFullPath(folder).c_str(), nullptr);
    return PatchWithIndex(fetched, index, entry, url, localPath, tmpPath, status, board,
                          otherSeeds);
}

SourceAnswer PatchSource(EntryFetch& fetch) {
    if (!fetch.patch) return SourceAnswer::NotForMe;
    // Blocks of other files of the game folder too, unless a build from them broke before: a
    // seed that cannot be read never costs more than one attempt.
    std::vector<std::wstring> otherSeeds;
    if (fetch.seeds && !fetch.seedsFailed && KeepsPartialTmp(fetch.entry))
        otherSeeds = BlockSeedsFor(*fetch.seeds, fetch.entry, FileExists(fetch.localPath));
    switch (PatchToTmp(fetch.entry, fetch.url, fetch.localPath, fetch.tmpPath, &fetch.status,
                       fetch.board, otherSeeds)) {
    case PatchResult::Done:
        return SourceAnswer::Done;
    case PatchResult::Failed:
        fetch.seedsFailed = fetch.seedsFailed || !otherSeeds.empty();
        return SourceAnswer::Failed;
    case PatchResult::WholeDownload:
        break;
    }
    return SourceAnswer::NotForMe;
}

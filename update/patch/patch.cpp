// The patch path of a download attempt. With an index naming the entry's new MD5, the ".tmp"
// keeps the blocks it already holds at their places, gets the blocks found anywhere in the old
// file, and only the rest comes from the server as byte ranges. Without one, an interrupted
// ".tmp" is continued from its end. Whatever the server does that does not fit (no ranges, other
// ranges, another length, content that fails its digest) sends the attempt back to the whole
// download, which is always correct.
#include "update/patch/patch.h"

#include <windows.h>

#include <vector>

#include "app/build_config.h"
#include "app/handles.h"
#include "app/launcher_state.h"
#include "app/paths.h"
#include "update/patch/block_index.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/net/http.h"
#include "update/patch/patch_build.h"
#include "update/net/range_fetch.h"
#include "update/net/split_download.h"

namespace {

PatchResult Discard(const std::wstring& tmpPath) {
    DeleteFileW(tmpPath.c_str());
    return PatchResult::WholeDownload;
}

// Continues an interrupted transfer with "Range: bytes=N-", N being the length on disk.
PatchResult ResumeTail(const ManifestEntry& entry, const std::wstring& url,
                       const std::wstring& tmpPath, int32_t* status) {
    FileHandle tmp(CreateFileW(tmpPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!tmp) return PatchResult::WholeDownload;
    const uint64_t kept = FileSizeOf(tmp.Get());
    if (kept == 0) return PatchResult::WholeDownload;
    StreamDigest digest(!entry.sha256.empty());
    if (!digest.Ok() || !DigestPrefix(tmp.Get(), kept, digest)) return PatchResult::Failed;

    const std::wstring header = L"Range: bytes=" + std::to_wstring(kept) + L"-";
    HttpResponse response;
    uint64_t at = kept;
    bool started = false, refused = false, writeFailed = false;
    auto onChunk = [&](const char* data, size_t size) {
        if (!started) {
            ByteRange range;
            uint64_t total = 0;
            if (response.status != 206 ||
                !ParseContentRange(response.contentRange, &range, &total) || range.begin != kept ||
                range.end != total) {
                refused = true;
                return false;
            }
            started = true;
        }
        if (!WriteAt(tmp.Get(), at, data, size)) {
            writeFailed = true;
            return false;
        }
        digest.Update(data, size);
        at += size;
        return true;
    };
    const bool ok = HttpGet(url, header.c_str(), onChunk, &response);
    if (status) *status = response.status;
    if (refused) return PatchResult::WholeDownload;
    if (writeFailed) {
        tmp.Reset();
        return Discard(tmpPath);
    }
    if (!ok && response.status == 416) {
        // Nothing after byte N: the ".tmp" may be the whole file already.
        tmp.Reset();
        return DigestMatchesEntry(digest, entry) ? PatchResult::Done : Discard(tmpPath);
    }
    if (!ok)
        return response.status == 0 || started ? PatchResult::Failed : PatchResult::WholeDownload;
    if (!started) return PatchResult::WholeDownload;
    if (!FlushFileBuffers(tmp.Get())) return PatchResult::Failed;
    tmp.Reset();
    return DigestMatchesEntry(digest, entry) ? PatchResult::Done : Discard(tmpPath);
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
                            const std::wstring& localPath, const std::wstring& tmpPath,
                            bool indexAsked, int32_t* status) {
    if (!FileExists(tmpPath)) return PatchResult::WholeDownload;
    const uint64_t kept = LengthOf(tmpPath);
    const uint64_t size = static_cast<uint64_t>(entry.size);
    if (kept >= size) {
        if (!indexAsked) {
            BlockIndex index;
            switch (FetchBlockIndex(entry, nullptr, &index)) {
            case IndexFetch::Found:
                return BuildFromIndex(index, entry, url, localPath, tmpPath, status);
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

std::wstring EntryUrl(const ManifestEntry& entry) {
    return AddNoCacheParam(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/update/" + entry.path);
}

IndexFetch FetchBlockIndex(const ManifestEntry& entry, const FILETIME* changedAfter,
                           BlockIndex* index) {
    const std::wstring url =
        std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/blocks/" + entry.path + L".zbi";
    const std::wstring header = changedAfter ? IfModifiedSinceHeader(*changedAfter) : L"";
    int32_t status = 0;
    const std::string body =
        HttpGetToString(AddNoCacheParam(url), &status, header.empty() ? nullptr : header.c_str());
    if (!body.empty() && ParseBlockIndex(body, index) && index->md5 == entry.hash)
        return IndexFetch::Found;
    return status == 0 ? IndexFetch::NoAnswer : IndexFetch::None;
}

PatchResult PatchWithIndex(IndexFetch fetched, const BlockIndex& index, const ManifestEntry& entry,
                           const std::wstring& url, const std::wstring& localPath,
                           const std::wstring& tmpPath, int32_t* status) {
    if (status) *status = 0;
    switch (fetched) {
    case IndexFetch::Found:
        return BuildFromIndex(index, entry, url, localPath, tmpPath, status);
    case IndexFetch::NoAnswer:
        return PatchResult::Failed; // the server is not reachable
    case IndexFetch::None:
        break;
    }
    return ContinueOrWhole(entry, url, localPath, tmpPath, true, status);
}

PatchResult PatchToTmp(const ManifestEntry& entry, const std::wstring& url,
                       const std::wstring& localPath, const std::wstring& tmpPath,
                       int32_t* status) {
    if (status) *status = 0;
    if (!KeepsPartialTmp(entry)) return PatchResult::WholeDownload;
    // Without an old copy the index could only confirm the ".tmp"'s blocks, which the digest
    // of a continued transfer does as well, for less than the index costs.
    if (!FileExists(localPath))
        return ContinueOrWhole(entry, url, localPath, tmpPath, false, status);
    BlockIndex index;
    const IndexFetch fetched = FetchBlockIndex(entry, nullptr, &index);
    return PatchWithIndex(fetched, index, entry, url, localPath, tmpPath, status);
}

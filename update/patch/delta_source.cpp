// The delta path of a download attempt. The delta is small by design (a rebuilt file's
// changes), so it is taken into memory within a bound; the old copy is read in windows where
// the delta points and the new bytes go to the ".tmp" in order, hashed as they are written.
// Whatever goes wrong (no such delta, a corrupt or hostile one, other content) leaves no
// ".tmp" and hands the file to the sources after this one.
#include "update/patch/delta_source.h"

#include <windows.h>

#include <algorithm>
#include <span>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "delta/delta.h"
#include "net/http.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/net/addresses.h"
#include "update/net/whole_file.h"
#include "update/tmp_file.h"

namespace {

// The delta did not give the file: the ".tmp" goes, and the attempt's later sources (and its
// later attempts) fetch it as a launcher without deltas would. A missing delta is not a
// missing file, so its status is not the attempt's.
SourceAnswer LeaveToOthers(EntryFetch& fetch) {
    RemoveTmp(fetch.tmpPath);
    fetch.delta = false;
    fetch.status = 0;
    return State().cancelRequested.load() ? SourceAnswer::Failed : SourceAnswer::NotForMe;
}

bool WriteOnward(HANDLE file, const uint8_t* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (!WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) || written == 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

} // namespace

bool NamesDeltaFrom(const ManifestEntry& entry, const std::string& md5) {
    constexpr size_t kMd5Length = 32;
    if (md5.size() != kMd5Length) return false;
    for (size_t at = 0; at + kMd5Length <= entry.deltaFrom.size(); at += kMd5Length)
        if (entry.deltaFrom.compare(at, kMd5Length, md5) == 0) return true;
    return false;
}

SourceAnswer DeltaSource(EntryFetch& fetch) {
    const ManifestEntry& entry = fetch.entry;
    // A file of unlisted length (2 GiB or more) gets none: the decoder needs the exact size.
    if (!fetch.delta || entry.size <= 0 || entry.size >= INT32_MAX ||
        !NamesDeltaFrom(entry, fetch.localMd5))
        return SourceAnswer::NotForMe;
    FileHandle old = OpenForReading(fetch.localPath, FILE_SHARE_READ | FILE_SHARE_DELETE);
    if (!old) return LeaveToOthers(fetch);
    const uint64_t oldSize = FileSizeOf(old.Get());
    const uint64_t newSize = static_cast<uint64_t>(entry.size);

    // Never more delta than the file itself: the publisher offers none that big.
    int32_t status = 0;
    const std::string delta = HttpGetToString(DeltaUrl(entry, fetch.localMd5), &status, nullptr,
                                              std::min(kMaxDeltaBytes, newSize));
    if (delta.empty()) {
        // No answer at all: the server is gone for this attempt, whichever source asks.
        if (status == 0) {
            fetch.status = 0;
            return SourceAnswer::Failed;
        }
        return LeaveToOthers(fetch);
    }

    // The ".tmp" as every source opens it (never through a link or a second name), and only
    // when the disk keeps its reserve after the whole new file.
    FileHandle tmp;
    if (RoomFor(fetch.tmpPath, entry.size)) tmp = OpenTmpForWriting(fetch.tmpPath, TmpOpen::Fresh);
    StreamDigest digest(!entry.sha256.empty());
    if (!tmp || !digest.Ok()) {
        tmp.Reset();
        return LeaveToOthers(fetch);
    }
    DeltaApplyIo io;
    io.readOld = [&old](uint64_t offset, uint8_t* out, size_t size) {
        return ReadAt(old.Get(), offset, out, size) == static_cast<int64_t>(size);
    };
    io.writeNew = [&tmp, &digest](const uint8_t* data, size_t size) {
        if (!WriteOnward(tmp.Get(), data, size)) return false;
        digest.Update(data, size);
        return true;
    };
    const auto bytes = std::span(reinterpret_cast<const uint8_t*>(delta.data()), delta.size());
    const DeltaStatus applied =
        ApplyDeltaFromMemory(bytes, io, oldSize, newSize, &State().cancelRequested);
    old.Reset();
    if (applied != DeltaStatus::Ok || !FlushFileBuffers(tmp.Get())) {
        tmp.Reset();
        return LeaveToOthers(fetch);
    }
    if (!DigestMatchesEntry(digest, entry)) {
        tmp.Reset();
        return LeaveToOthers(fetch);
    }
    NoteCheckedTmp(fetch.tmpPath, tmp.Get(), newSize);
    tmp.Reset();
    fetch.status = status;
    return SourceAnswer::Done;
}

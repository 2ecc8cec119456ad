#include "update/net/whole_file.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <optional>
#include <unordered_map>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/net/addresses.h"
#include "update/net/gzip_members.h"
#include "net/http.h"
#include "update/net/packed_layout.h"
#include "update/net/pieces.h"
#include "update/net/split_download.h"
#include "net/signature.h"
#include "update/tmp_file.h"

namespace {

// A hand-written row's size may be stale, and the default build does not compare sizes, so
// its whole body is held only to eight times the row's size, at least 64 MiB: far above any
// honest mismatch, far below a disk. A signed row's size is the studio's word: not a byte more.
// A row of 2 GiB or more carries INT32_MAX, which says only that: the longest such file taken
// anywhere (LongestFor) bounds it in either build, the digest decides.
constexpr uint64_t kWholeSizeFactor = 8;
constexpr uint64_t kWholeFloor = uint64_t{64} << 20;

// Free space a download leaves on its drive: room for the system's page file and updates and
// for the game's own saves and logs, whatever the rows add up to. A small drive keeps a
// sixteenth of itself instead. It is looked at every 8 MiB a download writes, and a fresh
// answer grants claims of 8 MiB in all, so sixteen downloads at once dip at most 136 MiB into it.
constexpr uint64_t kDiskReserve = uint64_t{256} << 20;

uint64_t WholeBodyLimit(const ManifestEntry& entry) {
    const uint64_t longest = LongestFor(entry);
    if (SigningEnabled() || !entry.sha256.empty()) return longest;
    if (entry.size >= INT32_MAX) return longest;
    return std::max(kWholeFloor, longest * kWholeSizeFactor);
}

} // namespace

static std::atomic<uint64_t> gFreeSpaceForTests{0};

namespace {

// A drive's free space as a folder of it last answered. A claim is judged against that answer
// while it is fresh, rather than by asking the system for each small file (under Wine an ask
// opens the folder: several wine server round trips). Every claim granted since an answer, in
// any folder, counts against it, as if all lay on one drive; an answer serves such claims of
// up to kReserveLookBytes in all and for a second at most, the step the writers look at as
// they write, so others' writes go unseen for no longer than they already may.
constexpr ULONGLONG kFreeAnswerLifeMs = 1000;

struct FreeAnswer {
    uint64_t free = 0, total = 0, claimedBefore = 0;
    ULONGLONG askedAt = 0;
};

struct FreeAnswers {
    std::mutex lock;
    std::unordered_map<std::wstring, FreeAnswer> byFolder;
    uint64_t claimed = 0; // every claim granted, in all
};

FreeAnswers& Answers() {
    static FreeAnswers answers;
    return answers;
}

bool Beyond(uint64_t free, uint64_t total, uint64_t bytes) {
    const uint64_t reserve = std::min(kDiskReserve, total / 16);
    return free > reserve && free - reserve > bytes;
}

// Whether the drive of path has more than bytes free beyond its reserve; true when the system
// cannot tell. With reuse, a fresh answer may grant the claim; a refusal always asks anew.
bool FreeBeyondReserve(const std::wstring& path, uint64_t bytes, bool reuse) {
    const size_t slash = path.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : path.substr(0, slash + 1);
    FreeAnswers& answers = Answers();
    const ULONGLONG now = GetTickCount64();
    if (reuse) {
        std::lock_guard<std::mutex> hold(answers.lock);
        const auto it = answers.byFolder.find(folder);
        if (it != answers.byFolder.end()) {
            const FreeAnswer& answer = it->second;
            const uint64_t since = answers.claimed - answer.claimedBefore;
            if (now - answer.askedAt < kFreeAnswerLifeMs && since <= kReserveLookBytes &&
                bytes <= kReserveLookBytes - since && answer.free > since &&
                Beyond(answer.free - since, answer.total, bytes)) {
                answers.claimed += bytes;
                return true;
            }
        }
    }
    ULARGE_INTEGER free = {}, total = {};
    if (!GetDiskFreeSpaceExW(folder.c_str(), &free, &total, nullptr)) return true;
    if (const uint64_t fake = gFreeSpaceForTests.load()) free.QuadPart = fake;
    const bool room = Beyond(free.QuadPart, total.QuadPart, bytes);
    std::lock_guard<std::mutex> hold(answers.lock);
    // The claim granted here is not in the answer's free space yet: it counts against it.
    answers.byFolder[folder] = {free.QuadPart, total.QuadPart, answers.claimed, now};
    if (room) answers.claimed += bytes;
    return room;
}

} // namespace

bool ReserveKept(const std::wstring& path) {
    return FreeBeyondReserve(path, 0, false);
}

bool RoomFor(const std::wstring& path, int64_t bytes) {
    // A row's INT32_MAX is no length; a block index or a range answer gives the real one.
    return FreeBeyondReserve(path, bytes > 0 && bytes != INT32_MAX ? uint64_t(bytes) : 0, true);
}

void SetFreeSpaceForTests(uint64_t bytes) {
    gFreeSpaceForTests.store(bytes);
    FreeAnswers& answers = Answers();
    std::lock_guard<std::mutex> hold(answers.lock);
    answers.byFolder.clear();
}

namespace {

bool WriteAll(HANDLE file, const char* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

// The whole body of a 200 answer into tmpPath, hashed as it is written (the bytes that reached
// the file, never read back), and on disk before the file is closed, so a placed file survives
// a power cut that follows "Archivos OK!". True only for a complete body whose MD5 (and
// SHA-256, when the entry has one) match the entry. The ".tmp" and its folders are created
// with the first block, so an answer without a body of ours creates none. A big file's
// transfer that breaks keeps what reached the disk, for the next attempt to continue; every
// other failure removes the ".tmp" (a full drive gets its space back). No more of the body
// reaches the ".tmp" than WholeBodyLimit allows, and none once the drive is down to its
// reserve: an endless answer fails the attempt.
// With packed, the body is the entry's compressed copy, inflated on its way to the file and
// never to more than the entry's size; a copy that is not what its row announces (another
// status or length, a damaged stream, content that fails the digest) sets *unusable, and the
// caller turns to the raw file. With handOut, a checked file is handed out still open (see
// EntryFetch::written) rather than closed.
bool DownloadWhole(const ManifestEntry& entry, const std::wstring& url, const std::wstring& tmpPath,
                   int32_t* status, bool packed = false, bool* unusable = nullptr,
                   FileHandle* handOut = nullptr) {
    FileHandle file;
    bool created = false;
    const auto create = [&] {
        if (!created) {
            created = true;
            if (RoomFor(tmpPath, entry.size)) file = OpenTmpForWriting(tmpPath, TmpOpen::Fresh);
        }
        return file.Valid();
    };

    StreamDigest digest(!entry.sha256.empty());
    const uint64_t limit = WholeBodyLimit(entry);
    uint64_t written = 0;
    bool writeFailed = false, tooLong = false;
    const auto keep = [&](const char* data, size_t size) {
        tooLong = size > limit - written ||
                  ((written + size) / kReserveLookBytes != written / kReserveLookBytes &&
                   !ReserveKept(tmpPath));
        if (tooLong) return false;
        if (!create() || !WriteAll(file.Get(), data, size)) {
            writeFailed = true;
            return false;
        }
        digest.Update(data, size);
        written += size;
        return true;
    };
    const uint64_t packedSize = static_cast<uint64_t>(std::max<int64_t>(0, entry.packedSize));
    std::optional<GzipMembersInflater> inflater;
    if (packed) inflater.emplace(static_cast<uint64_t>(std::max<int64_t>(0, entry.size)), keep);
    bool wrongLength = false;
    uint64_t received = 0;
    HttpResponse response;
    bool complete = HttpGet(
        url, nullptr,
        [&](const char* data, size_t size) {
            // Nothing asked for a part: only a 200 carries the file.
            if (response.status != 200) return false;
            if (!inflater) {
                tooLong = response.hasContentLength && response.contentLength > limit;
                return !tooLong && keep(data, size);
            }
            received += size;
            wrongLength = received > packedSize ||
                          (response.hasContentLength && response.contentLength != packedSize);
            return !wrongLength && inflater->Feed(data, size);
        },
        &response);
    if (status) *status = response.status;
    const bool bodyWhole = complete && response.status == 200;
    complete = bodyWhole && create() && FlushFileBuffers(file.Get());
    if (inflater)
        complete = complete && inflater->Complete() && received == packedSize &&
                   written == static_cast<uint64_t>(entry.size);
    const bool matches = complete && DigestMatchesEntry(digest, entry);
    // Handed to placing, the file needs no note; an older one for the name is dropped.
    if (matches) NoteCheckedTmp(tmpPath, file.Get(), handOut ? 0 : written);
    if (matches && handOut) {
        *handOut = std::move(file);
        return true;
    }
    file.Reset();
    if (matches) return true;
    // An answer that came whole, or came with the wrong content, makes the copy unusable; a
    // transfer that broke off or never got an answer is an attempt like any other.
    const bool refused = inflater && response.status != 0 && !writeFailed &&
                         (response.status != 200 || wrongLength || inflater->Broken() || bodyWhole);
    if (unusable) *unusable = refused;
    const bool resumable = !complete && !refused && !writeFailed && !tooLong && written > 0 &&
                           KeepsPartialTmp(entry) && !State().cancelRequested.load();
    if (!resumable) DeleteFileW(tmpPath.c_str());
    return false;
}

// The entry through its compressed copy: a big file in pieces of whole members, as its raw
// bytes would come, while the server answers ranges; otherwise the copy whole. *unusable as
// for DownloadWhole.
bool FetchPacked(PieceBoard* board, const ManifestEntry& entry, const std::wstring& tmpPath,
                 int32_t* status, bool* unusable) {
    const std::wstring url = PackedUrl(entry);
    if (board && SplitsEntry(entry) && !board->RangesIgnored()) {
        PackedLayout layout;
        switch (FetchPackedLayout(entry, url, &layout, status)) {
        case LayoutFetch::Found:
            switch (SplitDownload(*board, entry, url, tmpPath, status, &layout)) {
            case SplitResult::Done:
                return true;
            case SplitResult::Failed:
                return false;
            case SplitResult::WholeDownload:
                *unusable = true;
                return false;
            }
            return false;
        case LayoutFetch::NoAnswer:
            return false;
        case LayoutFetch::Unusable:
            *unusable = true;
            return false;
        case LayoutFetch::NoRanges:
            break;
        }
        if (State().cancelRequested.load()) return false;
    }
    return DownloadWhole(entry, url, tmpPath, status, true, unusable);
}

} // namespace

SourceAnswer PackedSource(EntryFetch& fetch) {
    if (!fetch.packed) return SourceAnswer::NotForMe;
    bool unusable = false;
    if (FetchPacked(fetch.board, fetch.entry, fetch.tmpPath, &fetch.status, &unusable))
        return SourceAnswer::Done;
    if (!unusable) return SourceAnswer::Failed;
    fetch.packed = false; // the raw file from here on, this attempt included
    return SourceAnswer::NotForMe;
}

SourceAnswer WholeSource(EntryFetch& fetch) {
    return DownloadWhole(fetch.entry, fetch.url, fetch.tmpPath, &fetch.status, false, nullptr,
                         &fetch.written)
               ? SourceAnswer::Done
               : SourceAnswer::Failed;
}

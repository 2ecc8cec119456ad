// The two kinds of worker of an update run. Verification decides per entry whether the file
// on disk matches its manifest hash; download fetches each differing file into "<path>.tmp",
// hashing it as it is written, and moves it into place, with a growing pause between attempts.
#include "update/workers.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <span>

#include "base/build_config.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/net/gzip_members.h"
#include "update/net/http.h"
#include "update/net/packed_layout.h"
#include "update/net/pieces.h"
#include "update/net/split_download.h"
#include "update/patch/patch.h"
#include "update/self_update.h"
#include "update/verify_file.h"

namespace {

constexpr DWORD kFirstPauseMs = 400;
constexpr DWORD kPauseStepMs = 400;
constexpr DWORD kLastPauseMs = 2000;

// A refused move is tried again after these pauses, about 10 s in all for an entry: a scanner
// or a backup tool holds a freshly written file for a moment, far shorter than a download.
constexpr DWORD kMovePausesMs[] = {50, 100, 200, 400, 800, 1600, 3200, 3650};

bool Stopping(const DownloadContext& c) {
    return State().cancelRequested.load() || c.failed->load();
}

bool MoveRefusedForNow(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

bool MoveIntoPlace(const std::wstring& localPath, const std::wstring& tmpPath) {
    // A name not yet taken cannot be the running launcher's, so a file new to the folder is
    // moved at once; only a taken name needs the look at identities. Under Wine every lookup of
    // a missing name reads the whole folder, so this spares one such read per new file.
    if (MoveFileExW(tmpPath.c_str(), localPath.c_str(), MOVEFILE_COPY_ALLOWED)) return true;
    if (IsLauncherExecutable(localPath)) {
        if (!SwapLauncherExecutable(localPath, tmpPath)) return false;
        State().launcherReplaced.store(true);
        return true;
    }
    return MoveFileExW(tmpPath.c_str(), localPath.c_str(),
                       MOVEFILE_REPLACE_EXISTING | MOVEFILE_COPY_ALLOWED) != 0;
}

// Puts the verified download in place; its folder exists, since the ".tmp" lies in it. A move
// that another program's handle refuses is tried again with growing pauses, spending the
// entry's movePause steps; a file that still cannot be moved there is not in place, so the
// attempt has failed.
bool PlaceFile(const std::wstring& localPath, const std::wstring& tmpPath, size_t* movePause) {
    for (;;) {
        if (MoveIntoPlace(localPath, tmpPath)) return true;
        if (!MoveRefusedForNow(GetLastError()) || *movePause == std::size(kMovePausesMs) ||
            State().cancelRequested.load()) {
            return false;
        }
        Sleep(kMovePausesMs[(*movePause)++]);
    }
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

// The entry's compressed copy on the update server, with a "nocache=" value of its own.
std::wstring PackedUrl(const ManifestEntry& entry) {
    return AddNoCacheParam(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/packed/" + entry.path);
}

// The whole body of a 200 answer into tmpPath, hashed as it is written (the bytes that reached
// the file, never read back), and on disk before the file is closed, so a placed file survives
// a power cut that follows "Archivos OK!". True only for a complete body whose MD5 (and
// SHA-256, when the entry has one) match the entry. The ".tmp" and its folders are created
// with the first block, so an answer without a body of ours creates none. A big file's
// transfer that breaks keeps what reached the disk, for the next attempt to continue; every
// other failure removes the ".tmp" (a full drive gets its space back).
// With packed, the body is the entry's compressed copy, inflated on its way to the file and
// never to more than the entry's size; a copy that is not what its row announces (another
// status or length, a damaged stream, content that fails the digest) sets *unusable, and the
// caller turns to the raw file.
bool DownloadWhole(const ManifestEntry& entry, const std::wstring& url, const std::wstring& tmpPath,
                   int32_t* status, bool packed = false, bool* unusable = nullptr) {
    FileHandle file;
    bool created = false;
    const auto create = [&] {
        if (!created) {
            created = true;
            file = CreateTmpFile(tmpPath);
        }
        return file.Valid();
    };

    StreamDigest digest(!entry.sha256.empty());
    uint64_t written = 0;
    bool writeFailed = false;
    const auto keep = [&](const char* data, size_t size) {
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
            if (!inflater) return keep(data, size);
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
    file.Reset();
    const bool matches = complete && DigestMatchesEntry(digest, entry);
    if (matches) return true;
    // An answer that came whole, or came with the wrong content, makes the copy unusable; a
    // transfer that broke off or never got an answer is an attempt like any other.
    const bool refused = inflater && response.status != 0 && !writeFailed &&
                         (response.status != 200 || wrongLength || inflater->Broken() || bodyWhole);
    if (unusable) *unusable = refused;
    const bool resumable = !complete && !refused && !writeFailed && written > 0 &&
                           KeepsPartialTmp(entry) && !State().cancelRequested.load();
    if (!resumable) DeleteFileW(tmpPath.c_str());
    return false;
}

// The entry through its compressed copy: a big file in pieces of whole members, as its raw
// bytes would come, while the server answers ranges; otherwise the copy whole. *unusable as
// for DownloadWhole.
bool FetchPacked(const DownloadContext& c, const ManifestEntry& entry, const std::wstring& tmpPath,
                 int32_t* status, bool* unusable) {
    const std::wstring url = PackedUrl(entry);
    if (c.board && SplitsEntry(entry) && !c.board->RangesIgnored()) {
        PackedLayout layout;
        switch (FetchPackedLayout(entry, url, &layout, status)) {
        case LayoutFetch::Found:
            switch (SplitDownload(*c.board, entry, url, tmpPath, status, &layout)) {
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

// One attempt's transfer: a big file is patched or continued where that works (see patch.h),
// unless a patch was just found impossible; then the compressed copy while it serves, else
// pieces from a server that answers ranges; the whole download is the way back from anything
// else.
bool FetchToTmp(const DownloadContext& c, const ManifestEntry& entry, const std::wstring& url,
                const std::wstring& localPath, const std::wstring& tmpPath, bool patch,
                bool* packed, int32_t* status) {
    switch (patch ? PatchToTmp(entry, url, localPath, tmpPath, status)
                  : PatchResult::WholeDownload) {
    case PatchResult::Done:
        return true;
    case PatchResult::Failed:
        return false;
    case PatchResult::WholeDownload:
        break;
    }
    if (State().cancelRequested.load()) return false;
    if (*packed) {
        bool unusable = false;
        if (FetchPacked(c, entry, tmpPath, status, &unusable)) return true;
        if (!unusable) return false;
        *packed = false; // the raw file from here on, this attempt included
        if (State().cancelRequested.load()) return false;
    }
    if (c.board && SplitsEntry(entry) && !c.board->RangesIgnored()) {
        switch (SplitDownload(*c.board, entry, url, tmpPath, status)) {
        case SplitResult::Done:
            return true;
        case SplitResult::Failed:
            return false;
        case SplitResult::WholeDownload:
            break;
        }
        if (State().cancelRequested.load()) return false;
    }
    return DownloadWhole(entry, url, tmpPath, status);
}

void CountEntry(const DownloadContext& c, const ManifestEntry& entry, bool withStatus) {
    LauncherState& s = State();
    int64_t done = c.doneCount->fetch_add(1) + 1;
    // A negative size in a manifest is nonsense; it must not wrap the byte progress around.
    uint64_t size = static_cast<uint64_t>(std::max<int64_t>(0, entry.size));
    uint64_t bytes = c.bytesDone->fetch_add(size) + size;
    uint64_t total = *c.bytesTotal;
    s.progressBytesPercent.store(
        total == 0 ? 100 : static_cast<int32_t>(std::min<uint64_t>(100, bytes * 100 / total)));
    int64_t files = *c.fileCount;
    int32_t percent = files > 0 ? static_cast<int32_t>(done * 100 / files) : 0;
    s.progressFilesPercent.store(percent);
    if (withStatus && (done % 16 == 0 || done == files)) {
        SetStatusText(L"Descargando " + std::to_wstring(percent) + L"% (" + std::to_wstring(done) +
                      L" / " + std::to_wstring(files) + L")");
        InvalidateMainWindow();
    }
}

enum class Outcome { Placed, NotOnServer, Stopped, GaveUp };

Outcome FetchEntry(const DownloadContext& c, const ManifestEntry& entry, Verdict verdict) {
    // One address for every attempt of this entry, with the same "nocache=" value.
    const std::wstring url = EntryUrl(entry);
    const std::wstring localPath = LocalPathForEntry(entry);
    const std::wstring tmpPath = localPath + L".tmp";
    bool packed = entry.packedSize > 0;

    size_t movePause = 0;
    // At most five attempts: pauses of 400, 800, 1200, 1600 and 2000 ms follow the failed ones.
    for (DWORD pause = kFirstPauseMs;;) {
        if (Stopping(c)) return Outcome::Stopped;
        int32_t status = 0;
        // What verification left applies to the first attempt only.
        const bool ready = verdict == Verdict::TmpReady;
        const bool patch = verdict != Verdict::WholeOnly;
        verdict = Verdict::Differs;
        if (ready || FetchToTmp(c, entry, url, localPath, tmpPath, patch, &packed, &status)) {
            if (PlaceFile(localPath, tmpPath, &movePause)) return Outcome::Placed;
            DeleteFileW(tmpPath.c_str());
        } else if (status == 404) {
            DeleteFileW(tmpPath.c_str());
            return Outcome::NotOnServer;
        }
        Sleep(pause);
        pause += kPauseStepMs;
        if (pause > kLastPauseMs) return Outcome::GaveUp;
    }
}

void GiveUp(const DownloadContext& c) {
    {
        std::lock_guard<std::mutex> lock(*c.errorLock);
        if (c.errorText->empty()) *c.errorText = L"Error: fallo la descarga";
    }
    c.failed->store(true);
}

} // namespace

void VerifyWorker(VerifyContext c) {
    LauncherState& s = State();
    // One read block for every file this worker hashes, not one per file.
    const auto block = std::make_unique_for_overwrite<char[]>(kFileReadBlock);
    const std::span<char> blockSpan(block.get(), kFileReadBlock);
    for (;;) {
        if (s.cancelRequested.load()) return;
        int32_t i = c.nextIndex->fetch_add(1);
        if (i >= *c.entryCount) return;

        const ManifestEntry& entry = s.manifestEntries[i];
        c.verdicts[i] = c.remembered && c.remembered[i]
                            ? Verdict::Fine
                            : VerifyEntryFile(entry, LocalPathForEntry(entry), blockSpan);

        int64_t verified = c.verifiedCount->fetch_add(1) + 1;
        if (verified % 256 == 0 || verified == *c.entryCount) {
            int32_t percent =
                *c.entryCount > 0 ? static_cast<int32_t>(verified * 100 / *c.entryCount) : 0;
            s.progressFilesPercent.store(percent);
            SetStatusText(L"Verificando " + std::to_wstring(percent) + L"%...");
            InvalidateMainWindow();
        }
    }
}

void DownloadWorker(DownloadContext c) {
    for (;;) {
        if (Stopping(c)) return;
        // Pieces of the big files in flight go first while few threads are on them.
        if (c.board && c.board->TakePieceFirst()) continue;
        // Counted before the claim, so that no helper sees the pool idle in between.
        if (c.board) c.board->EntryBegan();
        int32_t i = c.nextIndex->fetch_add(1);
        if (i >= *c.fileCount) {
            if (!c.board) return;
            c.board->EntryEnded();
            // No file left to claim: help with the pieces of those still in flight.
            c.board->Help([&c] { return Stopping(c); });
            return;
        }

        const ManifestEntry& entry = (*c.fileList)[i];
        const Outcome outcome = FetchEntry(c, entry, c.verdicts ? c.verdicts[i] : Verdict::Differs);
        if (c.board) c.board->EntryEnded();
        switch (outcome) {
        case Outcome::Placed:
            CountEntry(c, entry, true);
            break;
        case Outcome::NotOnServer:
            CountEntry(c, entry, false);
            break;
        case Outcome::Stopped:
            return;
        case Outcome::GaveUp:
            GiveUp(c);
            return;
        }
    }
}

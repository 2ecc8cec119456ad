// The two kinds of worker of an update run. Verification decides per entry whether the file
// on disk matches its manifest hash; download fetches each differing file into "<path>.tmp",
// hashing it as it is written, and moves it into place, with a growing pause between attempts.
#include "update/workers.h"

#include <windows.h>

#include <algorithm>
#include <memory>
#include <span>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/fetch_chain.h"
#include "update/net/addresses.h"
#include "update/net/pieces.h"
#include "update/net/split_download.h"
#include "update/run_log.h"
#include "update/self_update.h"
#include "net/signature.h"
#include "update/tmp_file.h"
#include "update/verified_record.h"
#include "update/verify_file.h"

namespace {

constexpr DWORD kFirstPauseMs = 400;
constexpr DWORD kPauseStepMs = 400;
constexpr DWORD kLastPauseMs = 2000;

// A refused move is tried again after these pauses, about 10 s in all for an entry: a scanner
// or a backup tool holds a freshly written file for a moment, far shorter than a download.
constexpr DWORD kMovePausesMs[] = {50, 100, 200, 400, 800, 1600, 3200, 3650};

std::atomic<uint32_t> gRetryPauseDivisor{1};
std::atomic<void (*)(const std::wstring&)> gBeforeHold{nullptr};

// The pauses above; the test suites shorten them all alike.
void RetryPause(DWORD ms) {
    Sleep(ms / gRetryPauseDivisor.load());
}

std::wstring WindowsError(DWORD error) {
    return L"Windows error " + std::to_wstring(error);
}

bool Stopping(const DownloadContext& c) {
    return State().cancelRequested.load() || c.failed->load();
}

bool MoveRefusedForNow(DWORD error) {
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
           error == ERROR_ACCESS_DENIED;
}

// Whether a refused move was refused because another program holds the file: its name can
// then not even be opened for deletion beside that program's handle.
bool HeldByAnotherProgram(DWORD moveError, const std::wstring& localPath) {
    if (moveError == ERROR_SHARING_VIOLATION || moveError == ERROR_LOCK_VIOLATION) return true;
    if (moveError != ERROR_ACCESS_DENIED) return false;
    FileHandle probe(CreateFileW(localPath.c_str(), DELETE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return !probe && GetLastError() == ERROR_SHARING_VIOLATION;
}

bool MoveIntoPlace(const std::wstring& localPath, const std::wstring& tmpPath, HANDLE held) {
    // A name not yet taken cannot be the running launcher's, so a file new to the folder is
    // moved at once; only a taken name needs the look at identities. Under Wine every lookup of
    // a missing name reads the whole folder, so this spares one such read per new file.
    const std::wstring target = ResolveFullPath(localPath);
    if (RenameHeldFile(held, target, false)) return true;
    if (IsLauncherExecutable(localPath)) {
        if (!SwapLauncherExecutable(localPath, tmpPath, held)) return false;
        State().launcherReplaced.store(true);
        return true;
    }
    // A listed file marked read-only is still the game's to replace.
    ClearReadOnly(target);
    return RenameHeldFile(held, target, true);
}

// Whether the held file, of length bytes, has the entry's content: a verdict taken by
// verification, minutes ago, is taken again under the hold.
bool HeldMatchesEntry(HANDLE held, uint64_t length, const ManifestEntry& entry) {
    StreamDigest digest(!entry.sha256.empty());
    return digest.Ok() && DigestPrefix(held, length, digest) && DigestMatchesEntry(digest, entry);
}

// Whether the held ".tmp" may be placed. Its source's check stands while nothing else can have
// had the file: the hold came at the first try and the file is as its source left it (same
// file, length and change time). Otherwise, and with recheck, it is hashed again under the
// hold; so is every short one, which its source does not note. A second name the source did
// not make itself (a linked seed) is never placed.
bool HeldMayBePlaced(HANDLE held, uint64_t length, uint32_t links, const ManifestEntry& entry,
                     const std::wstring& tmpPath, bool recheck) {
    const bool asLeft = HeldTmpAsNoted(tmpPath, held);
    if (!asLeft && links != 1) return false;
    return (asLeft && !recheck) || HeldMatchesEntry(held, length, entry);
}

// Puts the checked ".tmp" in place; its folder exists, since the ".tmp" lies in it. A move
// that another program's handle refuses is tried again with growing pauses, spending the
// entry's movePause steps; a file that still cannot be moved there is not in place, so the
// attempt has failed. With recheck (a verdict verification took minutes ago), the ".tmp" is
// checked once more under the hold in any case.
bool PlaceFile(const ManifestEntry& entry, const std::wstring& localPath,
               const std::wstring& tmpPath, bool recheck, size_t* movePause,
               FileHandle* written = nullptr) {
    FileHandle held;
    bool checked = false, firstHold = true;
    if (written && *written) {
        // Its source's own unshared handle: nobody can have written the bytes it checked. A
        // second name or a reparse point needs no access to them, so those are looked at.
        held = std::move(*written);
        uint64_t length = 0;
        uint32_t links = 0;
        if (!IsPlainFileHeld(held.Get(), &length, &links) || links != 1) {
            SetLastError(ERROR_NOT_SUPPORTED);
            return false;
        }
        checked = true;
    }
    for (;;) {
        if (!held) {
            uint64_t length = 0;
            uint32_t links = 0;
            if (const auto hook = gBeforeHold.load()) hook(tmpPath);
            held = HoldTmpForMove(tmpPath, &length, &links);
            // A hold refused at first: another program had the ".tmp" open meanwhile.
            if (held && !checked &&
                !HeldMayBePlaced(held.Get(), length, links, entry, tmpPath, recheck || !firstHold))
                return false;
            if (held) checked = true;
            firstHold = false;
        }
        if (held && MoveIntoPlace(localPath, tmpPath, held.Get())) return true;
        if (!MoveRefusedForNow(GetLastError()) || *movePause == std::size(kMovePausesMs) ||
            State().cancelRequested.load()) {
            return false;
        }
        RetryPause(kMovePausesMs[(*movePause)++]);
    }
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

// A signed row is the studio's promise that the file exists: a 404 for it is a server (or a
// CDN) keeping the old file in place, so it fails the attempt like any other answer. Rows a
// publication does not sign keep the rule that a 404 counts as done.
bool PromisesFile(const ManifestEntry& entry) {
    return SigningEnabled() || !entry.sha256.empty();
}

Outcome FetchEntry(const DownloadContext& c, const ManifestEntry& entry, Verdict verdict,
                   const std::string& localMd5) {
    const std::wstring localPath = LocalPathForEntry(entry);
    EntryFetch fetch{entry, EntryUrl(entry), localPath, localPath + L".tmp", c.board};
    fetch.packed = entry.packedSize > 0;
    fetch.seeds = c.seeds;
    fetch.localMd5 = localMd5;
    const std::wstring& tmpPath = fetch.tmpPath;

    size_t movePause = 0;
    int deniedAttempts = 0;
    // The last attempt's failure, for the run log: the step and why.
    std::pair<const wchar_t*, std::wstring> failure{L"download", L""};
    // At most five attempts: pauses of 400, 800, 1200, 1600 and 2000 ms follow the failed ones.
    for (DWORD pause = kFirstPauseMs;;) {
        if (Stopping(c)) return Outcome::Stopped;
        // What verification left applies to the first attempt only.
        const bool ready = verdict == Verdict::TmpReady;
        fetch.patch = verdict != Verdict::WholeOnly;
        fetch.status = 0;
        verdict = Verdict::Differs;
        if (ready || FetchToTmp(fetch)) {
            if (PlaceFile(entry, localPath, tmpPath, ready, &movePause, &fetch.written))
                return Outcome::Placed;
            const DWORD error = GetLastError();
            failure = {L"place", WindowsError(error)};
            // A file another program holds open is kept from its place, not from being
            // fetched: the checked ".tmp" waits for the next attempt. Access denied with nobody
            // holding the file for deletion may still be a scanner that shares it (a rename
            // over an open file is refused all the same) or one that let go just before the
            // look, so the ".tmp" gets one more round of the move's pauses; denied again, it
            // will not come with another download.
            const bool held = HeldByAnotherProgram(error, localPath);
            if (held || (error == ERROR_ACCESS_DENIED && ++deniedAttempts < 2)) {
                if (held)
                    failure.second += L", the file is in use";
                else
                    movePause = 0;
                verdict = Verdict::TmpReady;
            } else if (error == ERROR_ACCESS_DENIED) {
                DeleteFileW(tmpPath.c_str());
                RunLogFileFailure(entry.path, failure.first, failure.second);
                return Outcome::GaveUp;
            } else {
                DeleteFileW(tmpPath.c_str());
            }
        } else if (fetch.status == 404 && !PromisesFile(entry)) {
            DeleteFileW(tmpPath.c_str());
            return Outcome::NotOnServer;
        } else {
            const DWORD error = GetLastError();
            failure = {L"download", fetch.status ? L"HTTP " + std::to_wstring(fetch.status)
                                                 : L"no answer or " + WindowsError(error)};
        }
        RetryPause(pause);
        pause += kPauseStepMs;
        if (pause > kLastPauseMs) {
            if (verdict == Verdict::TmpReady) DeleteFileW(tmpPath.c_str());
            RunLogFileFailure(entry.path, failure.first, failure.second);
            return Outcome::GaveUp;
        }
    }
}

void GiveUp(const DownloadContext& c) {
    {
        std::lock_guard<std::mutex> lock(*c.errorLock);
        if (c.errorText->empty()) *c.errorText = L"Error: fallo la descarga";
    }
    c.failed->store(true);
}

// Fetches the next run of bundled files, placing and counting each file as it is checked; the
// files it could not give go back for their own addresses with all five attempts, as a
// compressed copy that proved unusable does. False when no run is left.
bool FetchNextBundleRun(const DownloadContext& c) {
    const BundleRun* run = c.bundles->TakeRun();
    if (!run) return false;
    FetchBundleRun(*run, *c.fileList, [&c](size_t file, bool ok) {
        const ManifestEntry& entry = (*c.fileList)[file];
        if (ok) {
            const std::wstring localPath = LocalPathForEntry(entry);
            size_t movePause = 0;
            if (PlaceFile(entry, localPath, localPath + L".tmp", false, &movePause))
                return CountEntry(c, entry, true);
            DeleteFileW((localPath + L".tmp").c_str());
        }
        if (!State().cancelRequested.load()) c.bundles->HandBack(file);
    });
    return true;
}

// The next file for this thread to fetch from its own address: the list's, then those the
// bundles handed back. False when none is left.
bool ClaimEntry(const DownloadContext& c, int32_t* index) {
    for (;;) {
        const int32_t i = c.nextIndex->fetch_add(1);
        if (i >= *c.fileCount) break;
        if (c.bundles && c.bundles->InRun(static_cast<size_t>(i))) continue;
        *index = i;
        return true;
    }
    size_t file = 0;
    if (!c.bundles || !c.bundles->TakeHandedBack(&file)) return false;
    *index = static_cast<int32_t>(file);
    return true;
}

// Fetches the claimed file i and counts it; false when the worker must stop.
bool FetchAndCount(const DownloadContext& c, int32_t i) {
    const ManifestEntry& entry = (*c.fileList)[i];
    const Outcome outcome = FetchEntry(c, entry, c.verdicts ? c.verdicts[i] : Verdict::Differs,
                                       c.localMd5s ? c.localMd5s[i] : std::string());
    if (c.board) c.board->EntryEnded();
    switch (outcome) {
    case Outcome::Placed:
        CountEntry(c, entry, true);
        return true;
    case Outcome::NotOnServer:
        CountEntry(c, entry, false);
        return true;
    case Outcome::Stopped:
        return false;
    case Outcome::GaveUp:
        GiveUp(c);
        return false;
    }
    return false;
}

enum class Turn { None, Went, Stop };

// With bundles, the big files at the list's head are claimed before the bundle runs, by at
// most half the pool's threads (split files come first in the list).
Turn FetchBigFileFirst(const DownloadContext& c) {
    // A look at the list's head first: once the big files are claimed, the bundle runs go on
    // without touching the board.
    const int32_t head = c.nextIndex->load();
    if (!c.bundles || !c.board || head >= *c.fileCount || !SplitsEntry((*c.fileList)[head]) ||
        !c.board->BeginBigFile())
        return Turn::None;
    c.board->EntryBegan();
    int32_t i = c.nextIndex->load();
    bool claimed = false;
    while (!claimed && i < *c.fileCount && SplitsEntry((*c.fileList)[i]))
        claimed = c.nextIndex->compare_exchange_weak(i, i + 1);
    if (!claimed) {
        c.board->EntryEnded();
        c.board->BigFileEnded();
        return Turn::None;
    }
    const bool goOn = FetchAndCount(c, i);
    c.board->BigFileEnded();
    return goOn ? Turn::Went : Turn::Stop;
}

} // namespace

void SetBeforeHoldForTests(void (*hook)(const std::wstring& tmpPath)) {
    gBeforeHold.store(hook);
}

void SetRetryPauseDivisorForTests(uint32_t divisor) {
    gRetryPauseDivisor.store(divisor ? divisor : 1);
}

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
        const std::wstring localPath = LocalPathForEntry(entry);
        const bool vouched = c.remembered && c.remembered[i] && NoWriterHolds(localPath);
        c.verdicts[i] = vouched ? Verdict::Fine
                                : VerifyEntryFile(entry, localPath, blockSpan,
                                                  c.localMd5s ? &c.localMd5s[i] : nullptr);

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
        // A big file next, beside the bundles: its pieces fill the link while the small
        // files wait on round trips and on their file work.
        switch (FetchBigFileFirst(c)) {
        case Turn::Went:
            continue;
        case Turn::Stop:
            return;
        case Turn::None:
            break;
        }
        // Then the small files by their bundles: many files to a round trip.
        if (c.bundles && FetchNextBundleRun(c)) continue;
        // Counted before the claim, so that no helper sees the pool idle in between.
        if (c.board) c.board->EntryBegan();
        int32_t i = 0;
        if (!ClaimEntry(c, &i)) {
            if (!c.board) return;
            c.board->EntryEnded();
            // No file left to claim: help with the pieces of those still in flight.
            c.board->Help([&c] { return Stopping(c); });
            return;
        }
        if (!FetchAndCount(c, i)) return;
    }
}

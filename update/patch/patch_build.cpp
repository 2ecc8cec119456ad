// The matcher (this thread) tells where each block of the new version comes from: the ".tmp"
// itself, a place in the old file, or the server. An edit shows as a short gap between two
// found blocks, so its download starts long before the scan ends. Beside it a copy thread
// moves the found runs from the old file into the ".tmp", a fetch thread asks the server for
// the ranges left so far (a bounded number per request) and writes them in, and a digest
// thread hashes the new content in order, each block as soon as its source is known, reading
// it where the copy reads it; a flush thread sends what is written to the disk meanwhile. The
// old file is held against writers for the whole build, so the bytes the copy writes are the
// bytes the digest saw. Nothing of it decides alone: the finished file must have the entry's
// digests, and anything unexpected sends the attempt back to the whole download.
#include "update/patch/patch_build.h"

#include <windows.h>

#include <algorithm>
#include <deque>
#include <map>
#include <thread>
#include <vector>

#include "base/threads.h"
#include "base/handles.h"
#include "base/launcher_state.h"
#include "update/patch/block_match.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/net/addresses.h"
#include "update/net/pieces.h"
#include "update/net/range_fetch.h"
#include "update/net/split_download.h"
#include "update/tmp_file.h"
#include "update/net/whole_file.h"

namespace {

constexpr size_t kCopyBytes = 4u << 20;
constexpr size_t kHashRead = 1u << 20;
constexpr DWORD kFlushPauseMs = 25;
// Runs found in the old file that a build keeps (one map node and one queue entry each, about
// 100 bytes): an honest patch has a few per edit, while an index of 2 million blocks found one
// by one all over the old file would hold about 200 MiB. Blocks found past the bound come from
// the server, which is always right.
constexpr size_t kMaxOldRuns = 64 * 1024;
// Ranges left to the server of a quarter MiB or more on average go as pieces over the pool's
// connections, as a big file's download does: the missing half of a resumed transfer, a file
// rewritten from some point on. Many small edits go in one request for several ranges, which
// costs one round trip.
constexpr uint64_t kSpreadRangeBytes = 256 << 10;

// Blocks first .. first + count - 1 of the new version, which are the bytes of seed number
// seed (the old file, or another file of the game folder) from oldOffset on.
struct OldRun {
    uint32_t first = 0;
    uint32_t count = 0;
    uint64_t oldOffset = 0;
    uint32_t seed = 0;
};

// Blocks first .. end - 1 of the new version.
struct BlockSpan {
    uint32_t first = 0;
    uint32_t end = 0;
};

// What the threads of a build know of each other. Its lock and its waits are Win32's slim
// lock and condition variable: under Wine they wait on futexes, where those of the C++ library
// in this toolchain (winpthreads) go through the wineserver at every contended wait and wake,
// about five times slower, and the threads of a build meet often.
class BuildBoard {
public:
    // Where a block can be read once it is known; blocks left to the server stay kUnknown
    // until they arrive.
    enum Source : uint8_t { kUnknown, kInTmp, kInOld };

    explicit BuildBoard(const BlockIndex& index)
        : index_(index), source_(index.BlockCount(), kUnknown) {}

    bool InTmp(uint32_t first, uint32_t count) { return Tell(first, count, kInTmp); }
    bool InOld(uint32_t first, uint32_t count, uint32_t seed, uint64_t oldOffset) {
        bool fromServer = false;
        {
            SrwLockGuard lock(lock_);
            // Past the bound, a run found in a seed comes from the server instead.
            fromServer = runs_.size() >= kMaxOldRuns;
            if (fromServer) {
                AddLeft(first, count);
            } else {
                runs_[first] = {first, count, oldOffset, seed};
                copies_.push_back({first, count, oldOffset, seed});
            }
        }
        return fromServer ? Wake() : Tell(first, count, kInOld);
    }
    bool Left(uint32_t first, uint32_t count) {
        {
            SrwLockGuard lock(lock_);
            AddLeft(first, count);
        }
        return Wake();
    }
    // Bytes [offset, offset + size) of a range arrived: the blocks that end among them are in
    // (ranges are whole blocks, and their bytes come in order).
    void Arrived(uint64_t offset, size_t size) {
        const uint32_t first = static_cast<uint32_t>(offset / index_.blockSize);
        uint32_t end = first;
        while (end < index_.BlockCount() && BlockEnd(end) <= offset + size)
            ++end;
        if (end > first) Tell(first, end - first, kInTmp);
    }
    void MatchEnded() { Set(matchEnded_); }
    // Nothing more will be told or written: the matcher, the copy and the fetch are over.
    void Finished() { Set(finished_); }
    void Stop() { Set(stopped_); }
    bool Stopped() {
        SrwLockGuard lock(lock_);
        return stopped_;
    }

    // The next run to copy; waits for one. False once the matcher has ended and every run
    // was taken, or the build stopped.
    bool TakeCopy(OldRun* run) {
        SrwLockGuard lock(lock_);
        Wait([&] { return stopped_ || matchEnded_ || !copies_.empty(); });
        if (stopped_ || copies_.empty()) return false;
        *run = copies_.front();
        copies_.pop_front();
        return true;
    }
    // The ranges left so far, at most kMaxRangesPerRequest, in file order; waits for some.
    // False once the matcher has ended and every range was taken, or the build stopped. last
    // tells whether no range will be left after these.
    bool TakeRanges(std::vector<ByteRange>* ranges, bool* last) {
        SrwLockGuard lock(lock_);
        Wait([&] { return stopped_ || matchEnded_ || !left_.empty() || pendingLeft_; });
        FlushLeft();
        if (stopped_ || left_.empty()) return false;
        // The lowest ranges first, taken off a heap: no re-sorting of those still waiting.
        ranges->clear();
        while (!left_.empty()) {
            const ByteRange r = {index_.BlockOffset(left_.front().first),
                                 BlockEnd(left_.front().end - 1)};
            if (!ranges->empty() && ranges->back().end == r.begin) {
                ranges->back().end = r.end;
            } else if (ranges->size() < kMaxRangesPerRequest) {
                ranges->push_back(r);
            } else {
                break;
            }
            std::pop_heap(left_.begin(), left_.end(), LaterSpan);
            left_.pop_back();
        }
        *last = matchEnded_ && left_.empty();
        return true;
    }
    // Waits until block from can be read; the piece that can be read in one go from there
    // (at most most blocks, all from the ".tmp" or all from one place of the old file), or an
    // empty piece when the build stopped or ended without it.
    struct Piece {
        uint32_t end = 0;       // one past the last block
        bool fromOld = false;   // else from the ".tmp", at the blocks' own offsets
        uint64_t oldOffset = 0; // where block first is in the old file
        uint32_t seed = 0;      // which file that is
    };
    Piece WaitReadable(uint32_t from, uint32_t most) {
        SrwLockGuard lock(lock_);
        const auto readable = [&] { return source_[from] == kInTmp || source_[from] == kInOld; };
        Wait([&] { return stopped_ || finished_ || readable(); });
        Piece piece{from};
        if (stopped_ || !readable()) return piece;
        uint32_t limit = from + std::min<uint32_t>(most, index_.BlockCount() - from);
        if (source_[from] == kInOld) {
            const OldRun& run = std::prev(runs_.upper_bound(from))->second;
            limit = std::min(limit, run.first + run.count);
            piece.fromOld = true;
            piece.seed = run.seed;
            piece.oldOffset =
                run.oldOffset + index_.BlockOffset(from) - index_.BlockOffset(run.first);
        }
        while (piece.end < limit && source_[piece.end] == source_[from])
            ++piece.end;
        return piece;
    }
    // Waits a while between two flushes; false once nothing more will be written.
    bool FlushPause() {
        SrwLockGuard lock(lock_);
        WaitFor(kFlushPauseMs, [&] { return stopped_ || finished_; });
        return !stopped_ && !finished_;
    }
    uint64_t BlockEnd(uint32_t block) const {
        return index_.BlockOffset(block) + index_.BlockLength(block);
    }

private:
    // Both with the lock held.
    template <typename Ready> void Wait(Ready ready) {
        while (!ready())
            SleepConditionVariableSRW(&changed_, &lock_, INFINITE, 0);
    }
    template <typename Ready> void WaitFor(DWORD milliseconds, Ready ready) {
        const ULONGLONG end = GetTickCount64() + milliseconds;
        for (ULONGLONG now = GetTickCount64(); !ready() && now < end; now = GetTickCount64())
            SleepConditionVariableSRW(&changed_, &lock_, static_cast<DWORD>(end - now), 0);
    }

    // With the lock held. A span that continues the last one told is merged with it; the one
    // told last waits beside the heap for that.
    void AddLeft(uint32_t first, uint32_t count) {
        if (pendingLeft_ && lastLeft_.end == first) {
            lastLeft_.end = first + count;
            return;
        }
        FlushLeft();
        lastLeft_ = {first, first + count};
        pendingLeft_ = true;
    }
    void FlushLeft() {
        if (!pendingLeft_) return;
        left_.push_back(lastLeft_);
        std::push_heap(left_.begin(), left_.end(), LaterSpan);
        pendingLeft_ = false;
    }
    static bool LaterSpan(const BlockSpan& a, const BlockSpan& b) { return a.first > b.first; }

    bool Tell(uint32_t first, uint32_t count, Source source) {
        {
            SrwLockGuard lock(lock_);
            std::fill_n(source_.begin() + first, count, source);
        }
        return Wake();
    }
    // Wakes every waiting thread; false once the build stopped.
    bool Wake() {
        WakeAllConditionVariable(&changed_);
        return !Stopped();
    }
    void Set(bool& flag) {
        {
            SrwLockGuard lock(lock_);
            flag = true;
        }
        WakeAllConditionVariable(&changed_);
    }

    const BlockIndex& index_;
    SRWLOCK lock_ = SRWLOCK_INIT;
    CONDITION_VARIABLE changed_ = CONDITION_VARIABLE_INIT;
    std::vector<Source> source_;
    std::map<uint32_t, OldRun> runs_; // by first block
    std::deque<OldRun> copies_;       // runs not yet taken by the copy thread
    std::vector<BlockSpan> left_;     // spans not yet asked for, a heap by their first blocks
    BlockSpan lastLeft_;              // the span told last, while pendingLeft_
    bool pendingLeft_ = false;
    bool matchEnded_ = false;
    bool finished_ = false;
    bool stopped_ = false;
};

// Two bytes of a small document tell how the server answers a request for several ranges, and
// a whole answer costs at most the document: the smallest listed file of three bytes or more,
// or the entry's index (about four bytes a block or more) when no file is smaller.
std::wstring ProbeUrl(const BlockIndex& index, const ManifestEntry& entry) {
    const ManifestEntry* smallest = nullptr;
    for (const ManifestEntry& e : State().manifestEntries)
        if (e.size >= 3 && (!smallest || e.size < smallest->size)) smallest = &e;
    const int64_t indexBytes = int64_t{4} * index.BlockCount();
    return smallest && smallest->size < indexBytes ? EntryUrl(*smallest) : BlockIndexUrl(entry);
}

// The copy thread: every run found in the old file or another seed, into the ".tmp" at its
// place.
bool CopyFoundRuns(BuildBoard& board, const BlockIndex& index, HANDLE tmp,
                   const std::vector<std::wstring>& seeds) {
    std::vector<FileHandle> opened(seeds.size());
    std::vector<uint8_t> buffer;
    OldRun run;
    while (board.TakeCopy(&run)) {
        FileHandle& old = opened[run.seed];
        if (!old) old = OpenForReading(seeds[run.seed]);
        if (!old) return false;
        if (buffer.empty()) buffer.resize(kCopyBytes);
        const uint64_t to = index.BlockOffset(run.first);
        const uint64_t size = board.BlockEnd(run.first + run.count - 1) - to;
        for (uint64_t done = 0; done < size;) {
            const size_t piece = static_cast<size_t>(std::min<uint64_t>(kCopyBytes, size - done));
            if (ReadAtOwnPosition(old.Get(), run.oldOffset + done, buffer.data(), piece) !=
                    static_cast<int64_t>(piece) ||
                !WriteAt(tmp, to + done, buffer.data(), piece)) {
                return false;
            }
            done += piece;
        }
    }
    return !board.Stopped();
}

// The ranges as pieces of whole blocks, a download piece each, smaller ones where the
// transfer nears its end so that the connections end together: the batch's end when it is
// the last, else the file's, since later ranges lie further on.
std::vector<ByteRange> PiecesOfRanges(const std::vector<ByteRange>& ranges, uint64_t blockSize,
                                      uint64_t fileSize, bool last) {
    const auto wholeBlocks = [blockSize](uint64_t bytes) {
        return std::max(blockSize, bytes - bytes % blockSize);
    };
    uint64_t left = 0;
    for (const ByteRange& r : ranges)
        left += r.end - r.begin;
    std::vector<ByteRange> pieces;
    for (const ByteRange& r : ranges) {
        for (uint64_t at = r.begin; at < r.end;) {
            const uint64_t size = wholeBlocks(PieceSizeFor(last ? left : fileSize - at, fileSize));
            const uint64_t end = std::min(r.end, at + size);
            pieces.push_back({at, end});
            left -= end - at;
            at = end;
        }
    }
    return pieces;
}

// With the pool, batches of ranges run beside the fetch thread, at most this many at once,
// each on a thread of its own (one more connection each, beside the pool's): the next batch is
// asked for while the last one's final bytes still come, so that a batch's end is no pause
// for the link.
constexpr size_t kBatchesInFlight = 4;
// How long the fetch thread lets what the scan leaves gather while the pool has pieces to
// take: a piece's round trip or two, not a stalled server's whole window.
constexpr DWORD kGatherMostMs = 500;

struct RangeBatch {
    std::vector<ByteRange> ranges;
    bool spread = false; // as pieces over the pool, else in one request for several ranges
    std::thread thread;
    RangeFetch result = RangeFetch::Done;
    int32_t status = 0;
};

// The fetch thread: every range the matcher leaves, written in at its offset.
RangeFetch FetchLeftRanges(BuildBoard& board, const BlockIndex& index, HANDLE tmp,
                           const std::wstring& url, const RangePlan& plan, PieceBoard* pool,
                           int32_t* status) {
    std::vector<ByteRange> ranges;
    bool last = false;
    // Batches still in flight when the build stopped end at their next bytes.
    const auto write = [&](uint64_t offset, const char* data, size_t size) {
        if (board.Stopped() || !WriteAt(tmp, offset, data, size)) return false;
        board.Arrived(offset, size);
        return true;
    };
    const auto fetch = [&](RangeBatch& batch) {
        batch.result = batch.spread ? plan.spread(batch.ranges, write, &batch.status)
                                    : FetchRanges(url, batch.ranges, index.fileSize, write,
                                                  &batch.status, plan);
    };
    std::deque<RangeBatch> batches;
    RangeFetch outcome = RangeFetch::Done;
    // A batch's failure ends the fetch.
    const auto settle = [&](RangeBatch& batch) {
        if (batch.result != RangeFetch::Done && outcome == RangeFetch::Done) {
            outcome = batch.result;
            if (status) *status = batch.status;
        }
    };
    const auto joinOldest = [&] {
        batches.front().thread.join();
        settle(batches.front());
        batches.pop_front();
    };
    while (outcome == RangeFetch::Done && board.TakeRanges(&ranges, &last)) {
        if (batches.size() == kBatchesInFlight) joinOldest();
        if (outcome != RangeFetch::Done) break;
        RangeBatch& batch = batches.emplace_back();
        uint64_t bytes = 0;
        for (const ByteRange& r : ranges)
            bytes += r.end - r.begin;
        batch.spread = plan.spread && bytes >= ranges.size() * kSpreadRangeBytes;
        batch.ranges =
            batch.spread ? PiecesOfRanges(ranges, index.blockSize, index.fileSize, last) : ranges;
        // The run's first request for several ranges learns how the server answers them, once:
        // it goes here, before any other batch.
        const bool learns = !batch.spread && !plan.probeUrl.empty() &&
                            State().severalRanges.load() == kSeveralRangesUnknown;
        if (!pool || learns || !StartThread(batch.thread, [&fetch, &batch] { fetch(batch); })) {
            fetch(batch); // here, then
            settle(batch);
            batches.pop_back();
            continue;
        }
        // While the pool has pieces to take, what the scan leaves meanwhile gathers into
        // the next batch.
        if (batch.spread)
            pool->WaitUntilPiecesTaken([&board] { return board.Stopped(); }, kGatherMostMs);
    }
    while (!batches.empty())
        joinOldest();
    return outcome;
}

// The digest thread: the new content in order, each block read where it comes from once that
// is known. False when the build stopped first or a read failed.
bool DigestInOrder(BuildBoard& board, const BlockIndex& index, const std::wstring& tmpPath,
                   const std::vector<std::wstring>& seeds, StreamDigest& digest) {
    FileHandle tmp = OpenForReading(tmpPath, FILE_SHARE_READ | FILE_SHARE_WRITE);
    std::vector<FileHandle> opened(seeds.size());
    if (!tmp) return false;
    std::vector<uint8_t> buffer(std::max<size_t>(kHashRead, index.blockSize));
    const uint32_t perRead = static_cast<uint32_t>(buffer.size() / index.blockSize);
    for (uint32_t at = 0; at < index.BlockCount();) {
        const BuildBoard::Piece piece = board.WaitReadable(at, perRead);
        if (piece.end == at) return false;
        const uint64_t offset = index.BlockOffset(at);
        const uint64_t size = board.BlockEnd(piece.end - 1) - offset;
        if (piece.fromOld && !opened[piece.seed])
            opened[piece.seed] = OpenForReading(seeds[piece.seed]);
        const HANDLE from = piece.fromOld ? opened[piece.seed].Get() : tmp.Get();
        const uint64_t fromOffset = piece.fromOld ? piece.oldOffset : offset;
        if (!from ||
            ReadAtOwnPosition(from, fromOffset, buffer.data(), size) != static_cast<int64_t>(size))
            return false;
        digest.Update(buffer.data(), size);
        at = piece.end;
    }
    return true;
}

} // namespace

PatchResult BuildFromIndex(const BlockIndex& index, const ManifestEntry& entry,
                           const std::wstring& url, const std::vector<std::wstring>& seedPaths,
                           const std::wstring& tmpPath, int32_t* status, PieceBoard* pool) {
    // No one may write a seed while its bytes are copied and hashed; one that some program
    // holds open for writing is not used at all.
    std::vector<FileHandle> holds;
    std::vector<std::wstring> seeds;
    for (const std::wstring& path : seedPaths) {
        holds.push_back(path.empty() ? FileHandle() : OpenForReading(path));
        seeds.push_back(holds.back() ? path : std::wstring());
    }
    // A server that answers only single ranges gets them spread over the pool's connections.
    RangePlan plan;
    if (pool) plan.spread = SpreadOverBoard(*pool, url, index.fileSize);
    if (State().severalRanges.load() == kSeveralRangesUnknown)
        plan.probeUrl = ProbeUrl(index, entry);
    RangeFetch fetched = RangeFetch::Done;
    bool matched = false, copied = true, hashed = false, fits = false;
    {
        FileHandle tmp = OpenTmpForWriting(tmpPath, TmpOpen::Keep, FILE_SHARE_READ);
        if (!tmp) return PatchResult::Failed;
        // The kept part is known before the length is set.
        const uint64_t kept = FileSizeOf(tmp.Get());
        // A row of 2 GiB or more gives no length: the index's is believed up to twice what the
        // old copy or the ".tmp" already holds, so that a forged one cannot set a ".tmp" of
        // tens of gigabytes on the drive before a byte is proven. A file that grew more than
        // that in one version comes whole.
        const uint64_t had =
            std::max(kept, !holds.empty() && holds[0] ? FileSizeOf(holds[0].Get()) : 0);
        if (entry.size >= INT32_MAX && index.fileSize / 2 > had) {
            tmp.Reset();
            if (kept == 0) DeleteFileW(tmpPath.c_str());
            return PatchResult::WholeDownload;
        }
        if ((index.fileSize > kept && !RoomFor(tmpPath, int64_t(index.fileSize - kept))) ||
            !SetFileLength(tmp.Get(), index.fileSize)) {
            // A ".tmp" made just now holds nothing worth keeping for the next attempt.
            tmp.Reset();
            if (kept == 0) DeleteFileW(tmpPath.c_str());
            return PatchResult::Failed;
        }

        BuildBoard board(index);
        StreamDigest digest(!entry.sha256.empty());
        if (!digest.Ok()) return PatchResult::Failed;
        std::thread copier, fetcher, hasher, flusher;
        const bool started =
            StartThread(copier,
                        [&] {
                            copied = CopyFoundRuns(board, index, tmp.Get(), seeds);
                            if (!copied) board.Stop();
                        }) &&
            StartThread(fetcher,
                        [&] {
                            fetched =
                                FetchLeftRanges(board, index, tmp.Get(), url, plan, pool, status);
                            if (fetched != RangeFetch::Done) board.Stop();
                        }) &&
            StartThread(hasher,
                        [&] { hashed = DigestInOrder(board, index, tmpPath, seeds, digest); }) &&
            StartThread(flusher, [&] {
                while (board.FlushPause())
                    FlushFileBuffers(tmp.Get());
            });
        if (started) {
            const BlockEvents events = {
                [&board](uint32_t first, uint32_t count) { return board.InTmp(first, count); },
                [&board](uint32_t first, uint32_t count, uint32_t seed, uint64_t oldOffset) {
                    return board.InOld(first, count, seed, oldOffset);
                },
                [&board](uint32_t first, uint32_t count) { return board.Left(first, count); },
            };
            matched = MatchLocalBlocks(index, tmp.Get(), kept, seeds, events);
        }
        if (matched) {
            board.MatchEnded();
        } else {
            board.Stop();
        }
        for (std::thread* t : {&copier, &fetcher})
            if (t->joinable()) t->join();
        board.Finished();
        for (std::thread* t : {&hasher, &flusher})
            if (t->joinable()) t->join();
        if (!started) return PatchResult::Failed;
        if (matched && copied && fetched == RangeFetch::Done) {
            if (hashed) fits = DigestMatchesEntry(digest, entry);
            // On disk before it is placed, like a whole download.
            if (!FlushFileBuffers(tmp.Get())) return PatchResult::Failed;
            if (fits) NoteCheckedTmp(tmpPath, tmp.Get(), index.fileSize);
        }
    }
    if (fetched == RangeFetch::NotHonoured) return PatchResult::WholeDownload;
    if (fetched == RangeFetch::Failed || !matched || !copied) return PatchResult::Failed;
    if (status && *status == 0) *status = 206;
    // A block that is not what the index promised, or a false match: start over whole.
    if (!hashed) fits = FileMatchesEntry(tmpPath, entry);
    if (fits) return PatchResult::Done;
    DeleteFileW(tmpPath.c_str());
    return PatchResult::WholeDownload;
}

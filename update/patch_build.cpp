// The scan (this thread) places the blocks found locally and leaves the rest to the server as
// it goes; an edit shows as a short gap between two found blocks, so its download starts long
// before the scan ends. A fetch thread asks for the ranges left so far, a bounded number per
// request, and writes them in. A digest thread reads the new file back in order, block by
// block as each one is in (just written, so from the system's cache), so the digest is done
// about when the last range is. Nothing of it decides alone: the finished file must have the
// entry's digests, and anything unexpected sends the attempt back to the whole download.
#include "update/patch_build.h"

#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "app/handles.h"
#include "app/launcher_state.h"
#include "update/block_match.h"
#include "update/digest.h"
#include "update/file_at.h"
#include "update/range_fetch.h"

namespace {

constexpr size_t kHashRead = 1u << 20;

bool SetLength(HANDLE file, uint64_t size) {
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

// What the three threads of a build know of each other.
class BuildBoard {
public:
    explicit BuildBoard(const BlockIndex& index) : index_(index), in_(index.BlockCount(), 0) {}

    // Blocks first .. first + count - 1 are in the file.
    bool In(uint32_t first, uint32_t count) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            std::fill_n(in_.begin() + first, count, 1);
        }
        changed_.notify_all();
        return !Stopped();
    }
    // Bytes [offset, offset + size) of a range arrived: the blocks that end among them are in
    // (ranges are whole blocks, and their bytes come in order).
    void Arrived(uint64_t offset, size_t size) {
        const uint64_t end = offset + size;
        const uint32_t first = static_cast<uint32_t>(offset / index_.blockSize);
        uint32_t last = first;
        while (last < index_.BlockCount() && BlockEnd(last) <= end)
            ++last;
        if (last > first) In(first, last - first);
    }
    bool Left(uint32_t first, uint32_t count) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const uint64_t begin = index_.BlockOffset(first);
            const uint64_t end = BlockEnd(first + count - 1);
            if (!left_.empty() && left_.back().end == begin) {
                left_.back().end = end;
            } else {
                left_.push_back({begin, end});
            }
        }
        changed_.notify_all();
        return !Stopped();
    }
    void ScanEnded() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            scanEnded_ = true;
        }
        changed_.notify_all();
    }
    // Nothing more will come in: the scan and the fetch are over.
    void Finished() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            finished_ = true;
        }
        changed_.notify_all();
    }
    void Stop() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopped_ = true;
        }
        changed_.notify_all();
    }
    bool Stopped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return stopped_;
    }

    // The ranges left so far, at most kMaxRangesPerRequest, in file order; waits for some.
    // False once the scan has ended and every range was taken, or the build stopped.
    bool TakeRanges(std::vector<ByteRange>* ranges) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || scanEnded_ || !left_.empty(); });
        if (stopped_ || left_.empty()) return false;
        std::sort(left_.begin(), left_.end(),
                  [](const ByteRange& a, const ByteRange& b) { return a.begin < b.begin; });
        ranges->clear();
        for (const ByteRange& r : left_) {
            if (!ranges->empty() && ranges->back().end == r.begin) {
                ranges->back().end = r.end;
            } else if (ranges->size() < kMaxRangesPerRequest) {
                ranges->push_back(r);
            } else {
                break;
            }
        }
        left_.erase(left_.begin(), left_.begin() + static_cast<ptrdiff_t>(Covered(*ranges)));
        return true;
    }
    // Waits until block from is in; the end of the run of blocks in from there, at most most
    // of them, or from when the build stopped or ended without it.
    uint32_t WaitIn(uint32_t from, uint32_t most) {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stopped_ || finished_ || in_[from]; });
        if (stopped_ || !in_[from]) return from;
        uint32_t end = from;
        while (end < in_.size() && end - from < most && in_[end])
            ++end;
        return end;
    }

private:
    uint64_t BlockEnd(uint32_t block) const {
        return index_.BlockOffset(block) + index_.BlockLength(block);
    }
    // How many entries of left_ (sorted) the merged ranges took.
    size_t Covered(const std::vector<ByteRange>& ranges) const {
        const uint64_t end = ranges.empty() ? 0 : ranges.back().end;
        size_t n = 0;
        while (n < left_.size() && left_[n].end <= end)
            ++n;
        return n;
    }

    const BlockIndex& index_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<uint8_t> in_;
    std::vector<ByteRange> left_;
    bool scanEnded_ = false;
    bool finished_ = false;
    bool stopped_ = false;
};

// The fetch thread: every range the scan leaves, written in at its offset.
RangeFetch FetchLeftRanges(BuildBoard& board, const BlockIndex& index, HANDLE tmp,
                           const std::wstring& url, int32_t* status) {
    std::vector<ByteRange> ranges;
    const auto write = [&](uint64_t offset, const char* data, size_t size) {
        if (!WriteAt(tmp, offset, data, size)) return false;
        board.Arrived(offset, size);
        return true;
    };
    while (board.TakeRanges(&ranges)) {
        const RangeFetch fetched = FetchRanges(url, ranges, index.fileSize, write, status);
        if (fetched != RangeFetch::Done) return fetched;
    }
    return RangeFetch::Done;
}

// The digest thread: the new file in order, each block once it is in. False when the build
// stopped first or a read failed.
bool DigestInOrder(BuildBoard& board, const BlockIndex& index, HANDLE tmp, StreamDigest& digest) {
    std::vector<uint8_t> buffer(std::max<size_t>(kHashRead, index.blockSize));
    const uint32_t perRead = static_cast<uint32_t>(buffer.size() / index.blockSize);
    for (uint32_t at = 0; at < index.BlockCount();) {
        const uint32_t end = board.WaitIn(at, perRead);
        if (end == at) return false;
        const uint64_t offset = index.BlockOffset(at);
        const uint64_t size = index.BlockOffset(end - 1) + index.BlockLength(end - 1) - offset;
        if (ReadAt(tmp, offset, buffer.data(), size) != static_cast<int64_t>(size)) return false;
        digest.Update(buffer.data(), size);
        at = end;
    }
    return true;
}

// A thread of the build; false when the system would not start one.
bool Start(std::thread& thread, auto&& work) {
    try {
        thread = std::thread(std::forward<decltype(work)>(work));
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

} // namespace

PatchResult BuildFromIndex(const BlockIndex& index, const ManifestEntry& entry,
                           const std::wstring& url, const std::wstring& localPath,
                           const std::wstring& tmpPath, int32_t* status) {
    RangeFetch fetched = RangeFetch::Done;
    bool built = false, hashed = false, fits = false;
    {
        FileHandle tmp(CreateFileW(tmpPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!tmp) return PatchResult::Failed;
        // The kept part is known before the length is set; writing into a file of its final
        // length also spares the system growing it write by write.
        const uint64_t kept = FileSizeOf(tmp.Get());
        if (!SetLength(tmp.Get(), index.fileSize)) return PatchResult::Failed;

        BuildBoard board(index);
        StreamDigest digest(!entry.sha256.empty());
        if (!digest.Ok()) return PatchResult::Failed;
        std::thread fetcher, hasher;
        if (!Start(fetcher, [&] {
                fetched = FetchLeftRanges(board, index, tmp.Get(), url, status);
                if (fetched != RangeFetch::Done) board.Stop();
            })) {
            return PatchResult::Failed;
        }
        if (!Start(hasher, [&] { hashed = DigestInOrder(board, index, tmp.Get(), digest); })) {
            board.Stop();
            fetcher.join();
            return PatchResult::Failed;
        }
        const BlockEvents events = {
            [&board](uint32_t first, uint32_t count) { return board.In(first, count); },
            [&board](uint32_t first, uint32_t count) { return board.Left(first, count); },
        };
        built = PlaceLocalBlocks(index, tmp.Get(), kept, localPath, events);
        if (built) {
            board.ScanEnded();
        } else {
            board.Stop();
        }
        fetcher.join();
        board.Finished();
        hasher.join();
        if (built && fetched == RangeFetch::Done) {
            if (hashed) fits = DigestMatchesEntry(digest, entry);
            // On disk before it is placed, like a whole download.
            if (!FlushFileBuffers(tmp.Get())) return PatchResult::Failed;
        }
    }
    if (fetched == RangeFetch::NotHonoured) return PatchResult::WholeDownload;
    if (fetched == RangeFetch::Failed || !built) return PatchResult::Failed;
    if (status && *status == 0) *status = 206;
    // A block that is not what the index promised, or a false match: start over whole.
    if (!hashed) fits = FileMatchesEntry(tmpPath, entry);
    if (fits) return PatchResult::Done;
    DeleteFileW(tmpPath.c_str());
    return PatchResult::WholeDownload;
}

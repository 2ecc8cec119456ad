// The rsync idea on the client side: the new version's block checksums come from the server,
// the old version is here. A rolling Adler-32 tests every offset of the old file for any block
// of the new one in constant time per byte, so bytes inserted or removed in front of a block do
// not stop it from being found; a truncated MD5 confirms each candidate. Memory stays at one
// read buffer plus the index, whatever the size of the files.
#include "update/patch/block_match.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "app/handles.h"
#include "app/launcher_state.h"
#include "update/file_at.h"

namespace {

constexpr size_t kReadBytes = 4u << 20;
constexpr uint64_t kRunBytes = 4u << 20;
constexpr unsigned kFilterBits = 20; // one bit per 2^20 weak-sum slots: 128 KiB
// A gap of up to this many blocks between two blocks found one after the other is an edit:
// it is left to the server at once, so its download starts while the scan goes on. Data
// that moved by more is still looked for until the scan ends.
constexpr uint32_t kEditGapBlocks = 64;

size_t FilterSlot(uint32_t weak) {
    return (weak * 0x9E3779B1u) >> (32 - kFilterBits);
}

bool Cancelled() {
    return State().cancelRequested.load();
}

// The strong sum confirms where a run of matching blocks starts; inside a run (the next block
// of the new version found right after the last one) the 32-bit weak sum alone is taken. A
// wrong block let through that way cannot reach the game folder: the finished file must pass
// its whole-file digests, or the attempt downloads the file whole. It saves hashing every
// block of an unchanged stretch twice.

// A block's state while it is looked for: still open, found here (kept in the file or in the
// old file), or left to the server.
enum : uint8_t { kOpen = 0, kLocal = 1, kLeft = 2 };

// Consecutive matches told as one: a run of blocks that lie one after another in the old
// file and in the new one, up to kRunBytes, so that the copy and the digest can start on an
// unchanged stretch long before the scan has passed it.
class RunCollector {
public:
    RunCollector(const BlockIndex& index, const BlockEvents& events)
        : index_(index), events_(events) {}
    bool Add(uint64_t oldOffset, uint32_t block) {
        if (count_ > 0 && oldOffset_ + size_ == oldOffset && first_ + count_ == block &&
            size_ < kRunBytes) {
            size_ += index_.BlockLength(block);
            ++count_;
            return true;
        }
        if (!Flush()) return false;
        oldOffset_ = oldOffset;
        first_ = block;
        count_ = 1;
        size_ = index_.BlockLength(block);
        return true;
    }
    bool Flush() {
        if (count_ == 0) return true;
        const uint32_t count = count_;
        count_ = 0;
        return events_.found(first_, count, oldOffset_);
    }

private:
    const BlockIndex& index_;
    const BlockEvents& events_;
    uint64_t oldOffset_ = 0;
    uint32_t first_ = 0;
    uint32_t count_ = 0;
    uint64_t size_ = 0;
};

// Tells the runs of blocks in one state among begin .. end - 1 with one call each.
bool TellRuns(std::vector<uint8_t>& state, uint32_t begin, uint32_t end, uint8_t which,
              uint8_t becomes, const std::function<bool(uint32_t, uint32_t)>& tell) {
    for (uint32_t i = begin; i < end;) {
        if (state[i] != which) {
            ++i;
            continue;
        }
        uint32_t stop = i;
        while (stop < end && state[stop] == which)
            state[stop++] = becomes;
        if (!tell(i, stop - i)) return false;
        i = stop;
    }
    return true;
}

bool TellRuns(std::vector<uint8_t>& state, uint8_t which, uint8_t becomes,
              const std::function<bool(uint32_t, uint32_t)>& tell) {
    return TellRuns(state, 0, static_cast<uint32_t>(state.size()), which, becomes, tell);
}

// Blocks the file already holds at their own places (a transfer or patch cut short), among
// its first kept bytes; marked placed, told later.
bool KeepBlocksInPlace(const BlockIndex& index, HANDLE file, uint64_t kept,
                       std::vector<uint8_t>& state) {
    const uint32_t block = index.blockSize;
    const size_t perRead = std::max<size_t>(1, kReadBytes / block) * block;
    std::vector<uint8_t> buffer(perRead);
    for (uint32_t first = 0; first < index.BlockCount(); first += perRead / block) {
        const uint64_t offset = index.BlockOffset(first);
        if (offset >= kept) break;
        if (Cancelled()) return false;
        const int64_t read =
            ReadAt(file, offset, buffer.data(), std::min<uint64_t>(perRead, kept - offset));
        if (read < 0) return false;
        for (uint32_t i = first; i < index.BlockCount() && index.BlockOffset(i) < offset + read;
             ++i) {
            const uint64_t at = index.BlockOffset(i) - offset;
            if (at + index.BlockLength(i) > static_cast<uint64_t>(read)) break;
            // A block right after one that held: its weak sum suffices (see above).
            const bool follows = i > 0 && state[i - 1] == kLocal;
            if (follows ? Adler32(buffer.data() + at, index.BlockLength(i)) == index.weak[i]
                        : index.BlockMatches(i, buffer.data() + at)) {
                state[i] = kLocal;
            }
        }
    }
    return true;
}

// The old file, read through a window that slides along it.
class SlidingReader {
public:
    SlidingReader(HANDLE file, size_t capacity) : file_(file), buffer_(capacity) {}
    // Makes at least need bytes from the current position readable; false at the end.
    bool Ensure(size_t need) {
        if (pos_ + need <= length_) return true;
        std::memmove(buffer_.data(), buffer_.data() + pos_, length_ - pos_);
        start_ += pos_;
        length_ -= pos_;
        pos_ = 0;
        if (Cancelled()) return false;
        const int64_t read = ReadAtOwnPosition(file_, start_ + length_, buffer_.data() + length_,
                                               buffer_.size() - length_);
        if (read <= 0) return false;
        length_ += static_cast<size_t>(read);
        return pos_ + need <= length_;
    }
    const uint8_t* Here() const { return buffer_.data() + pos_; }
    uint64_t Offset() const { return start_ + pos_; }
    void Skip(size_t n) { pos_ += n; }

private:
    HANDLE file_;
    std::vector<uint8_t> buffer_;
    uint64_t start_ = 0; // file offset of buffer_[0]
    size_t length_ = 0;
    size_t pos_ = 0;
};

// Every full-length block still open, found at any offset of the old file. A match moves the search
// one block on (the next block most often follows), so an unchanged stretch costs one weak sum per
// block.
bool FindInOldFile(const BlockIndex& index, HANDLE old, std::vector<uint8_t>& state,
                   const BlockEvents& events) {
    const uint32_t block = index.blockSize;
    std::vector<std::pair<uint32_t, uint32_t>> wanted; // (weak sum, block)
    std::vector<uint64_t> filter((size_t{1} << kFilterBits) / 64);
    for (uint32_t i = 0; i < index.BlockCount(); ++i) {
        if (state[i] != kOpen || index.BlockLength(i) != block) continue;
        wanted.emplace_back(index.weak[i], i);
        const size_t slot = FilterSlot(index.weak[i]);
        filter[slot / 64] |= uint64_t{1} << (slot % 64);
    }
    if (wanted.empty()) return true;
    std::sort(wanted.begin(), wanted.end());
    size_t open = wanted.size();

    SlidingReader reader(old, kReadBytes + block);
    RollingAdler32 sum(block);
    bool fresh = true;
    // Where the last match leaves off: the block that most likely comes next. The scan starts
    // as if the old file began like the new one, but only a strong match starts a run that
    // may copy on the weak sum alone.
    uint32_t next = 0;
    bool inRun = false;
    // Blocks before this one are placed or left to the server, but for gaps wider than an edit.
    uint32_t settled = 0;
    RunCollector runs(index, events);
    const auto leaveGap = [&](uint32_t end) {
        if (end > settled && end - settled <= kEditGapBlocks) {
            // Blocks before a found one are all of full length, so all were wanted.
            open -= static_cast<size_t>(
                std::count(state.begin() + settled, state.begin() + end, kOpen));
            if (!TellRuns(state, settled, end, kOpen, kLeft, events.leftToServer)) return false;
        }
        settled = std::max(settled, end + 1);
        return true;
    };
    const auto take = [&](uint32_t i) {
        if (!runs.Add(reader.Offset(), i) || !leaveGap(i)) return false;
        state[i] = kLocal;
        --open;
        return true;
    };
    for (;;) {
        if (fresh) {
            if (!reader.Ensure(block)) break;
            sum.Reset(reader.Here());
            fresh = false;
        }
        const uint32_t weak = sum.Value();
        bool matched = false;
        if (next < index.BlockCount() && index.weak[next] == weak &&
            index.BlockLength(next) == block &&
            (state[next] == kLocal || (inRun && state[next] == kOpen))) {
            if (state[next] == kOpen && !take(next)) return false;
            ++next;
            matched = true;
        } else if (const size_t slot = FilterSlot(weak); filter[slot / 64] >> (slot % 64) & 1) {
            auto it = std::lower_bound(wanted.begin(), wanted.end(), std::make_pair(weak, 0u));
            std::string md5;
            for (; it != wanted.end() && it->first == weak; ++it) {
                if (state[it->second] != kOpen) continue;
                if (md5.empty()) md5 = Md5Of(reader.Here(), block);
                if (!index.StrongMatches(it->second, md5)) continue;
                if (!take(it->second)) return false;
                next = it->second + 1;
                inRun = matched = true;
            }
        }
        if (matched) {
            if (open == 0) break;
            reader.Skip(block);
            fresh = true;
            continue;
        }
        next = UINT32_MAX;
        inRun = false;
        if (!reader.Ensure(size_t{block} + 1)) break;
        sum.Roll(reader.Here()[0], reader.Here()[block]);
        reader.Skip(1);
    }
    return runs.Flush() && !Cancelled();
}

// The short last block is looked for where it most likely is: at the old file's end, and at
// its own offset.
bool CopyShortLastBlock(const BlockIndex& index, HANDLE file, HANDLE old, uint64_t oldSize,
                        std::vector<uint8_t>& state, const BlockEvents& events) {
    const uint32_t last = index.BlockCount() - 1;
    const uint32_t length = index.BlockLength(last);
    if (state[last] != kOpen || length == index.blockSize || length > oldSize) return true;
    std::vector<uint8_t> data(length);
    for (uint64_t at : {oldSize - length, index.BlockOffset(last)}) {
        if (at + length > oldSize || ReadAt(old, at, data.data(), length) != length) continue;
        if (!index.BlockMatches(last, data.data())) continue;
        if (!WriteAt(file, index.BlockOffset(last), data.data(), length)) return false;
        state[last] = kLocal;
        return events.placed(last, 1);
    }
    return true;
}

} // namespace

bool MatchLocalBlocks(const BlockIndex& index, HANDLE file, uint64_t keptLength,
                      const std::wstring& oldPath, const BlockEvents& events) {
    std::vector<uint8_t> state(index.BlockCount(), kOpen);
    if (!KeepBlocksInPlace(index, file, keptLength, state)) return false;
    if (!TellRuns(state, kLocal, kLocal, events.placed)) return false;
    if (std::find(state.begin(), state.end(), kOpen) != state.end()) {
        FileHandle old = OpenForReading(oldPath, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
        if (old) {
            if (!FindInOldFile(index, old.Get(), state, events)) return false;
            if (!CopyShortLastBlock(index, file, old.Get(), FileSizeOf(old.Get()), state, events))
                return false;
        } else if (Cancelled()) {
            return false;
        }
    }
    return TellRuns(state, kOpen, kLeft, events.leftToServer);
}

// The rsync idea on the client side: the new version's block checksums come from the server,
// the old version is here. A rolling Adler-32 tests every offset of the old file for any block
// of the new one in constant time per byte, so bytes inserted or removed in front of a block do
// not stop it from being found; a truncated MD5 confirms each candidate. Memory stays at one
// read buffer plus the index, whatever the size of the files.
#include "update/patch/block_match.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <utility>
#include <vector>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "update/file_at.h"

namespace {

constexpr size_t kReadBytes = 4u << 20;
constexpr uint64_t kRunBytes = 4u << 20;
constexpr unsigned kFilterBits = 20; // one bit per 2^20 weak-sum slots: 128 KiB
// What the MD5s of false candidates may cost, per byte scanned and in all (see FindInOldFile).
constexpr uint64_t kMissesPerByte = 16;
constexpr uint64_t kMissSlack = 64u << 20;
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
    RunCollector(const BlockIndex& index, const BlockEvents& events, uint32_t seed)
        : index_(index), events_(events), seed_(seed) {}
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
        return events_.found(first_, count, seed_, oldOffset_);
    }

private:
    const BlockIndex& index_;
    const BlockEvents& events_;
    uint32_t seed_ = 0;
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
// its first kept bytes; marked placed, told later. With tellNow (no seed to look in besides),
// each read's blocks are told at once, the others as left to the server: a resumed transfer's
// missing blocks are on their way while the rest of the file is read.
bool KeepBlocksInPlace(const BlockIndex& index, HANDLE file, uint64_t kept,
                       std::vector<uint8_t>& state, const BlockEvents* tellNow) {
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
        uint32_t examined = first;
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
            examined = i + 1;
        }
        if (tellNow && (!TellRuns(state, first, examined, kLocal, kLocal, tellNow->placed) ||
                        !TellRuns(state, first, examined, kOpen, kLeft, tellNow->leftToServer)))
            return false;
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

// The full-length blocks still open, by weak sum and then by their strong bytes, so that a
// window's candidates are found by two searches however many blocks share its weak sum, and
// blocks already placed or left are stepped over once, not at every offset.
class Candidates {
public:
    Candidates(const BlockIndex& index, const std::vector<uint8_t>& state)
        : index_(index), state_(state) {
        for (uint32_t i = 0; i < index.BlockCount(); ++i)
            if (state[i] == kOpen && index.BlockLength(i) == index.blockSize) blocks_.push_back(i);
        std::sort(blocks_.begin(), blocks_.end(), [this](uint32_t a, uint32_t b) {
            if (index_.weak[a] != index_.weak[b]) return index_.weak[a] < index_.weak[b];
            const int order = std::memcmp(Strong(a), Strong(b), index_.strongBytes);
            return order != 0 ? order < 0 : a < b;
        });
        skip_.resize(blocks_.size() + 1);
        for (size_t j = 0; j < skip_.size(); ++j)
            skip_[j] = static_cast<uint32_t>(j);
    }
    size_t Size() const { return blocks_.size(); }
    uint32_t Block(size_t j) const { return blocks_[j]; }
    // The positions [first, second) of the blocks with this weak sum.
    std::pair<size_t, size_t> WithWeak(uint32_t weak) const {
        const auto first = std::partition_point(blocks_.begin(), blocks_.end(),
                                                [&](uint32_t b) { return index_.weak[b] < weak; });
        const auto last = std::partition_point(first, blocks_.end(),
                                               [&](uint32_t b) { return index_.weak[b] == weak; });
        return {size_t(first - blocks_.begin()), size_t(last - blocks_.begin())};
    }
    // Among [lo, hi) (one weak sum), the positions of the blocks whose strong bytes begin md5.
    std::pair<size_t, size_t> WithStrong(size_t lo, size_t hi, const uint8_t* md5) const {
        const size_t n = index_.strongBytes;
        const auto first =
            std::partition_point(blocks_.begin() + lo, blocks_.begin() + hi, [&](uint32_t block) {
                return std::memcmp(Strong(block), md5, n) < 0;
            });
        const auto last = std::partition_point(first, blocks_.begin() + hi, [&](uint32_t block) {
            return std::memcmp(Strong(block), md5, n) == 0;
        });
        return {size_t(first - blocks_.begin()), size_t(last - blocks_.begin())};
    }
    // The first position from j on whose block is still open (Size() when none). A block
    // never opens again, so each closed one is stepped over through a shortened chain.
    size_t NextOpen(size_t j) {
        size_t at = j;
        while (at < blocks_.size() && (skip_[at] != at || state_[blocks_[at]] != kOpen))
            at = skip_[at] != at ? skip_[at] : (skip_[at] = static_cast<uint32_t>(at + 1));
        while (j < at) {
            const size_t following = skip_[j];
            skip_[j] = static_cast<uint32_t>(at);
            j = following;
        }
        return at;
    }

private:
    const uint8_t* Strong(uint32_t block) const {
        return &index_.strong[size_t{block} * index_.strongBytes];
    }

    const BlockIndex& index_;
    const std::vector<uint8_t>& state_;
    std::vector<uint32_t> blocks_;
    std::vector<uint32_t> skip_; // itself while open, else a later position
};

// The leading bytes of an MD5 given as hex; false when it is not hex (a failed digest).
bool Md5Bytes(const std::string& hex, uint8_t (&out)[16]) {
    if (hex.size() != 32) return false;
    for (size_t i = 0; i < 16; ++i) {
        const char* at = hex.data() + 2 * i;
        if (std::from_chars(at, at + 2, out[i], 16).ptr != at + 2) return false;
    }
    return true;
}

// Every full-length block still open, found at any offset of the old file. A match moves the search
// one block on (the next block most often follows), so an unchanged stretch costs one weak sum per
// block. An offset costs at most two searches and one block's MD5; the MD5s of windows whose weak
// sum matched but whose strong bytes did not may cost kMissesPerByte times the bytes scanned
// (plus kMissSlack), which an honest index of a file up to 32 GiB stays under (false weak matches
// cost about size² / 2^32 bytes); an index that makes them cost more, with many blocks under a
// weak sum that some repeated data has, ends the scan, and the rest comes from the server.
// The work false candidates may cost across all the seeds of one build.
struct MissBudget {
    uint64_t scannedBefore = 0; // bytes of the seeds already scanned
    uint64_t missed = 0;        // bytes hashed for candidates that were not the block
};

bool FindInOldFile(const BlockIndex& index, HANDLE old, uint32_t seed, std::vector<uint8_t>& state,
                   const BlockEvents& events, MissBudget& budget) {
    const uint32_t block = index.blockSize;
    Candidates wanted(index, state);
    if (wanted.Size() == 0) return true;
    std::vector<uint64_t> filter((size_t{1} << kFilterBits) / 64);
    for (size_t j = 0; j < wanted.Size(); ++j) {
        const size_t slot = FilterSlot(index.weak[wanted.Block(j)]);
        filter[slot / 64] |= uint64_t{1} << (slot % 64);
    }
    size_t open = wanted.Size();

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
    uint64_t& missed = budget.missed;
    RunCollector runs(index, events, seed);
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
            const auto [lo, hi] = wanted.WithWeak(weak);
            if (wanted.NextOpen(lo) < hi) {
                uint8_t md5[16];
                if (Cancelled() || !Md5Bytes(Md5Of(reader.Here(), block), md5)) return false;
                const auto [first, last] = wanted.WithStrong(lo, hi, md5);
                for (size_t j = wanted.NextOpen(first); j < last; j = wanted.NextOpen(j + 1)) {
                    if (!take(wanted.Block(j))) return false;
                    next = wanted.Block(j) + 1;
                    inRun = matched = true;
                }
                if (!matched) {
                    missed += block;
                    if (missed >
                        (budget.scannedBefore + reader.Offset()) * kMissesPerByte + kMissSlack)
                        break;
                }
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
    budget.scannedBefore += reader.Offset();
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
    return MatchLocalBlocks(index, file, keptLength, std::vector<std::wstring>{oldPath}, events);
}

bool MatchLocalBlocks(const BlockIndex& index, HANDLE file, uint64_t keptLength,
                      const std::vector<std::wstring>& seeds, const BlockEvents& events) {
    std::vector<uint8_t> state(index.BlockCount(), kOpen);
    const bool anySeed = std::any_of(seeds.begin(), seeds.end(), [](const std::wstring& path) {
        return !path.empty() && GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
    });
    if (!KeepBlocksInPlace(index, file, keptLength, state, anySeed ? nullptr : &events))
        return false;
    if (anySeed && !TellRuns(state, kLocal, kLocal, events.placed)) return false;
    MissBudget budget;
    for (uint32_t seed = 0; seed < seeds.size(); ++seed) {
        if (std::find(state.begin(), state.end(), kOpen) == state.end()) break;
        if (Cancelled()) return false;
        if (seeds[seed].empty()) continue;
        FileHandle old = OpenForReading(seeds[seed], FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
        if (!old) continue;
        if (!FindInOldFile(index, old.Get(), seed, state, events, budget)) return false;
        if (!CopyShortLastBlock(index, file, old.Get(), FileSizeOf(old.Get()), state, events))
            return false;
    }
    if (Cancelled()) return false;
    return TellRuns(state, kOpen, kLeft, events.leftToServer);
}

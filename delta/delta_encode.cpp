// The encoder: bsdiff's approximate matches found along a suffix array of the old file
// (libdivsufsort), the new file cut into one piece per thread, and the runs range-coded.
#include "delta/delta.h"
#include "delta/delta_format.h"

#include <divsufsort.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <thread>

using namespace delta_detail;

namespace {

struct Run {
    uint64_t oldStart;
    uint64_t copyLen;
    uint64_t insertLen;
};

struct Matcher {
    const uint8_t* old;
    int64_t oldSize;
    const uint8_t* next;
    const saidx_t* sa;

    int64_t MatchLen(int64_t oldAt, int64_t newAt, int64_t newEnd) const {
        int64_t n = std::min(oldSize - oldAt, newEnd - newAt);
        int64_t i = 0;
        while (i < n && old[oldAt + i] == next[newAt + i])
            ++i;
        return i;
    }

    // The longest match of next[at, end) among the old file's suffixes.
    int64_t Search(int64_t at, int64_t end, int64_t* pos) const {
        int64_t lo = 0, hi = oldSize - 1;
        int64_t want = end - at;
        while (hi - lo >= 2) {
            int64_t mid = lo + (hi - lo) / 2;
            int64_t suffix = sa[mid];
            int64_t n = std::min(oldSize - suffix, want);
            int c = std::memcmp(old + suffix, next + at, static_cast<size_t>(n));
            if (c < 0 || (c == 0 && n < want)) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
        int64_t x = MatchLen(sa[lo], at, end);
        int64_t y = MatchLen(sa[hi], at, end);
        *pos = x > y ? sa[lo] : sa[hi];
        return std::max(x, y);
    }

    bool Same(int64_t oldAt, int64_t newAt) const {
        return oldAt >= 0 && oldAt < oldSize && old[oldAt] == next[newAt];
    }

    // bsdiff's scan over next[begin, end): a new run starts where an exact match beats by
    // more than eight bytes what the current offset would give; each run's copy is stretched
    // forward and backward while at least half its bytes agree.
    std::vector<Run> Scan(int64_t begin, int64_t end) const {
        std::vector<Run> runs;
        int64_t scan = begin, len = 0, pos = 0;
        // A piece starts on the diagonal, as the whole file does: old and new at one offset.
        int64_t lastScan = begin, lastPos = std::min(begin, oldSize);
        int64_t lastOffset = lastPos - begin;
        while (scan < end) {
            int64_t oldScore = 0;
            int64_t scsc = scan += len;
            for (; scan < end; ++scan) {
                len = Search(scan, end, &pos);
                for (; scsc < scan + len; ++scsc)
                    if (Same(scsc + lastOffset, scsc)) ++oldScore;
                if ((len == oldScore && len != 0) || len > oldScore + 8) break;
                if (Same(scan + lastOffset, scan)) --oldScore;
            }
            if (len == oldScore && scan != end) continue;

            int64_t s = 0, best = 0, lenF = 0;
            for (int64_t i = 0; lastScan + i < scan && lastPos + i < oldSize;) {
                if (old[lastPos + i] == next[lastScan + i]) ++s;
                ++i;
                if (s * 2 - i > best * 2 - lenF) {
                    best = s;
                    lenF = i;
                }
            }
            int64_t lenB = 0;
            if (scan < end) {
                s = 0;
                best = 0;
                for (int64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
                    if (old[pos - i] == next[scan - i]) ++s;
                    if (s * 2 - i > best * 2 - lenB) {
                        best = s;
                        lenB = i;
                    }
                }
            }
            if (lastScan + lenF > scan - lenB) {
                int64_t overlap = (lastScan + lenF) - (scan - lenB);
                s = 0;
                best = 0;
                int64_t lenS = 0;
                for (int64_t i = 0; i < overlap; ++i) {
                    if (next[lastScan + lenF - overlap + i] == old[lastPos + lenF - overlap + i])
                        ++s;
                    if (next[scan - lenB + i] == old[pos - lenB + i]) --s;
                    if (s > best) {
                        best = s;
                        lenS = i + 1;
                    }
                }
                lenF += lenS - overlap;
                lenB -= lenS;
            }
            int64_t insert = (scan - lenB) - (lastScan + lenF);
            Add(&runs, lastPos, lenF, insert);
            lastScan = scan - lenB;
            lastPos = pos - lenB;
            lastOffset = pos - scan;
        }
        return runs;
    }

    static void Add(std::vector<Run>* runs, int64_t oldStart, int64_t copyLen, int64_t insert) {
        if (copyLen == 0 && !runs->empty()) {
            runs->back().insertLen += static_cast<uint64_t>(insert);
        } else if (copyLen > 0 || insert > 0) {
            runs->push_back({static_cast<uint64_t>(oldStart), static_cast<uint64_t>(copyLen),
                             static_cast<uint64_t>(insert)});
        }
    }
};

void CodeBody(std::span<const uint8_t> oldData, std::span<const uint8_t> newData,
              const std::vector<Run>& runs, std::vector<uint8_t>* out) {
    RangeEncoder rc(out);
    auto m = std::make_unique<Models>();
    RepOffsets reps;
    uint64_t newPos = 0;
    uint64_t oldEnd = 0;
    for (const Run& run : runs) {
        m->copyLen.Code(rc, run.copyLen);
        if (run.copyLen > 0) {
            int64_t offset = static_cast<int64_t>(run.oldStart) - static_cast<int64_t>(newPos);
            uint32_t kind = kExplicit;
            if (run.oldStart == oldEnd) {
                kind = kContinue;
            } else {
                for (int i = 0; i < kReps; ++i) {
                    if (reps.offsets[i] == offset) {
                        kind = kRep0 + i;
                        break;
                    }
                }
            }
            m->offsetKind.Code(rc, kind);
            if (kind == kExplicit) {
                int64_t seek = static_cast<int64_t>(run.oldStart) - static_cast<int64_t>(oldEnd);
                m->seekSign.Code(rc, seek < 0);
                m->seekMagnitude.Code(rc, static_cast<uint64_t>(seek < 0 ? -seek : seek) - 1);
            }
            reps.Use(offset);
            const uint8_t* old = oldData.data() + run.oldStart;
            const uint8_t* next = newData.data() + newPos;
            uint64_t done = 0;
            while (done < run.copyLen) {
                uint64_t zeros = 0;
                while (done + zeros < run.copyLen && old[done + zeros] == next[done + zeros])
                    ++zeros;
                m->CodeZeroRun(rc, zeros);
                done += zeros;
                if (done == run.copyLen) break;
                uint8_t diff = static_cast<uint8_t>(next[done] - old[done]);
                m->CodeDiff(rc, zeros, diff);
                ++done;
            }
            oldEnd = run.oldStart + run.copyLen;
            newPos += run.copyLen;
        }
        m->insertLen.Code(rc, run.insertLen);
        m->lastByte = newPos > 0 ? newData[newPos - 1] : 0;
        for (uint64_t i = 0; i < run.insertLen; ++i) {
            uint8_t byte = newData[newPos + i];
            m->Literal().Code(rc, byte);
            m->lastByte = byte;
        }
        newPos += run.insertLen;
    }
    rc.Flush();
}

} // namespace

DeltaStatus EncodeDelta(std::span<const uint8_t> oldData, std::span<const uint8_t> newData,
                        std::vector<uint8_t>* out, unsigned threads) {
    if (oldData.size() > kDeltaMaxEncodeSize || newData.size() > kDeltaMaxEncodeSize)
        return DeltaStatus::TooLarge;
    std::vector<Run> runs;
    if (oldData.empty()) {
        if (!newData.empty()) runs.push_back({0, 0, newData.size()});
    } else if (!newData.empty()) {
        std::vector<saidx_t> sa(oldData.size());
        if (divsufsort(oldData.data(), sa.data(), static_cast<saidx_t>(oldData.size())) != 0)
            return DeltaStatus::TooLarge;
        Matcher matcher{oldData.data(), static_cast<int64_t>(oldData.size()), newData.data(),
                        sa.data()};
        if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
        // Pieces under a MiB are not worth a thread.
        int64_t total = static_cast<int64_t>(newData.size());
        unsigned pieces = static_cast<unsigned>(std::clamp<int64_t>(total >> 20, 1, threads));
        std::vector<std::vector<Run>> parts(pieces);
        std::vector<std::thread> workers;
        for (unsigned i = 0; i < pieces; ++i) {
            int64_t begin = total * i / pieces, end = total * (i + 1) / pieces;
            auto work = [&, i, begin, end] { parts[i] = matcher.Scan(begin, end); };
            if (i + 1 == pieces) {
                work();
            } else {
                workers.emplace_back(work);
            }
        }
        for (auto& w : workers)
            w.join();
        for (auto& part : parts) {
            for (const Run& run : part)
                Matcher::Add(&runs, static_cast<int64_t>(run.oldStart),
                             static_cast<int64_t>(run.copyLen),
                             static_cast<int64_t>(run.insertLen));
        }
    }

    out->assign(kDeltaHeaderSize, 0);
    std::memcpy(out->data(), kMagic, 4);
    PutLe(out->data() + 4, kDeltaFormatVersion, 4);
    PutLe(out->data() + 8, oldData.size(), 8);
    PutLe(out->data() + 16, newData.size(), 8);
    uint32_t crc = 0;
    for (size_t at = 0; at < newData.size();) {
        size_t n = std::min<size_t>(newData.size() - at, 1u << 30);
        crc = static_cast<uint32_t>(crc32(crc, newData.data() + at, static_cast<uInt>(n)));
        at += n;
    }
    PutLe(out->data() + 24, crc, 4);
    CodeBody(oldData, newData, runs, out);
    return DeltaStatus::Ok;
}

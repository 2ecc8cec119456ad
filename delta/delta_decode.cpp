// The decoder: the body's runs replayed against the old file, every number checked against the
// caller's sizes before it moves a byte.
#include "delta/delta.h"
#include "delta/delta_format.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace delta_detail;

const char* DeltaStatusName(DeltaStatus status) {
    switch (status) {
    case DeltaStatus::Ok:
        return "ok";
    case DeltaStatus::Truncated:
        return "truncated";
    case DeltaStatus::Corrupt:
        return "corrupt";
    case DeltaStatus::Unsupported:
        return "unsupported version";
    case DeltaStatus::SizeMismatch:
        return "size mismatch";
    case DeltaStatus::OutOfBounds:
        return "out of bounds";
    case DeltaStatus::ReadOldFailed:
        return "old file read failed";
    case DeltaStatus::ReadDeltaFailed:
        return "delta read failed";
    case DeltaStatus::WriteFailed:
        return "write failed";
    case DeltaStatus::Cancelled:
        return "cancelled";
    case DeltaStatus::TooLarge:
        return "too large";
    }
    return "unknown";
}

DeltaStatus ReadDeltaHeader(std::span<const uint8_t> bytes, DeltaHeader* header) {
    if (bytes.size() < kDeltaHeaderSize) return DeltaStatus::Truncated;
    if (std::memcmp(bytes.data(), kMagic, 4) != 0) return DeltaStatus::Corrupt;
    header->version = static_cast<uint32_t>(GetLe(bytes.data() + 4, 4));
    if (header->version != kDeltaFormatVersion) return DeltaStatus::Unsupported;
    header->oldSize = GetLe(bytes.data() + 8, 8);
    header->newSize = GetLe(bytes.data() + 16, 8);
    header->newCrc32 = static_cast<uint32_t>(GetLe(bytes.data() + 24, 4));
    if (GetLe(bytes.data() + 28, 4) != 0) return DeltaStatus::Corrupt;
    return DeltaStatus::Ok;
}

namespace {

constexpr size_t kInBlock = 64 * 1024;

struct DeltaInput {
    const DeltaApplyIo* io;
    uint8_t buffer[kInBlock];
    size_t pos = 0;
    size_t len = 0;
    bool failed = false;
    bool ended = false;

    int NextByte() {
        if (pos == len && !Refill()) return -1;
        return buffer[pos++];
    }
    bool Refill() {
        if (failed || ended) return false;
        int64_t got = io->readDelta(buffer, sizeof buffer);
        if (got < 0 || got > static_cast<int64_t>(sizeof buffer)) {
            failed = true;
            return false;
        }
        if (got == 0) {
            ended = true;
            return false;
        }
        pos = 0;
        len = static_cast<size_t>(got);
        return true;
    }
};

// The new file's bytes on their way out, and a window of the old file.
struct Replay {
    const DeltaApplyIo* io;
    uint64_t oldSize;
    const std::atomic<bool>* cancel;
    uint8_t out[kDeltaOutBlock];
    size_t outLen = 0;
    uint8_t window[kDeltaOldWindow];
    uint64_t windowStart = 0;
    size_t windowLen = 0;
    uint32_t crc = 0;
    DeltaStatus failure = DeltaStatus::Ok;

    bool Flush() {
        if (outLen == 0) return true;
        if (cancel && cancel->load(std::memory_order_relaxed)) return Fail(DeltaStatus::Cancelled);
        crc = static_cast<uint32_t>(crc32(crc, out, static_cast<uInt>(outLen)));
        if (!io->writeNew(out, outLen)) return Fail(DeltaStatus::WriteFailed);
        lastFlushed = out[outLen - 1];
        outLen = 0;
        return true;
    }
    bool Fail(DeltaStatus status) {
        failure = status;
        return false;
    }
    // The old file's bytes from at onwards in the window; the caller keeps at < oldSize.
    bool Window(uint64_t at, const uint8_t** bytes, size_t* available) {
        if (at < windowStart || at >= windowStart + windowLen) {
            size_t want = static_cast<size_t>(std::min<uint64_t>(kDeltaOldWindow, oldSize - at));
            if (!io->readOld(at, window, want)) return Fail(DeltaStatus::ReadOldFailed);
            windowStart = at;
            windowLen = want;
        }
        size_t skip = static_cast<size_t>(at - windowStart);
        *bytes = window + skip;
        *available = windowLen - skip;
        return true;
    }
    // count old bytes from at, as they are.
    bool CopyOld(uint64_t at, uint64_t count) {
        while (count > 0) {
            const uint8_t* bytes;
            size_t available;
            if (!Window(at, &bytes, &available)) return false;
            size_t n = static_cast<size_t>(
                std::min<uint64_t>({count, available, kDeltaOutBlock - outLen}));
            std::memcpy(out + outLen, bytes, n);
            outLen += n;
            at += n;
            count -= n;
            if (outLen == kDeltaOutBlock && !Flush()) return false;
        }
        return true;
    }
    bool Put(uint8_t byte) {
        out[outLen++] = byte;
        return outLen < kDeltaOutBlock || Flush();
    }
    uint8_t LastByte() const { return outLen > 0 ? out[outLen - 1] : lastFlushed; }
    uint8_t lastFlushed = 0;
};

struct Decoder {
    DeltaInput input;
    Replay replay;
    Models models;
};

DeltaStatus DecodeBody(Decoder& d, uint64_t newSize) {
    RangeDecoder<DeltaInput> rc(&d.input);
    rc.Init();
    Models& m = d.models;
    Replay& r = d.replay;
    RepOffsets reps;
    uint64_t newPos = 0;
    uint64_t oldEnd = 0; // where the last copy ended in the old file
    while (newPos < newSize) {
        if (d.input.failed) return DeltaStatus::ReadDeltaFailed;
        // A legal body never reads past its end; a cut one stops here, not at newSize.
        if (rc.Overrun() > 4) return DeltaStatus::Truncated;
        if (r.cancel && r.cancel->load(std::memory_order_relaxed)) return DeltaStatus::Cancelled;
        uint64_t remaining = newSize - newPos;
        uint64_t copyLen = m.copyLen.Code(rc, 0);
        if (copyLen > remaining) return DeltaStatus::OutOfBounds;
        if (copyLen > 0) {
            uint32_t kind = m.offsetKind.Code(rc, 0);
            int64_t oldStart;
            if (kind == kContinue) {
                oldStart = static_cast<int64_t>(oldEnd);
            } else if (kind <= kRep2) {
                oldStart = static_cast<int64_t>(newPos) + reps.offsets[kind - kRep0];
            } else if (kind == kExplicit) {
                unsigned negative = m.seekSign.Code(rc, 0);
                uint64_t magnitude = m.seekMagnitude.Code(rc, 0);
                if (magnitude >= (1ull << 62)) return DeltaStatus::OutOfBounds;
                int64_t seek = static_cast<int64_t>(magnitude) + 1;
                oldStart = static_cast<int64_t>(oldEnd) + (negative ? -seek : seek);
            } else {
                return DeltaStatus::Corrupt;
            }
            if (oldStart < 0 || static_cast<uint64_t>(oldStart) > r.oldSize ||
                copyLen > r.oldSize - static_cast<uint64_t>(oldStart))
                return DeltaStatus::OutOfBounds;
            reps.Use(oldStart - static_cast<int64_t>(newPos));
            uint64_t at = static_cast<uint64_t>(oldStart);
            uint64_t done = 0;
            while (done < copyLen) {
                uint64_t zeros = m.CodeZeroRun(rc, 0);
                if (zeros > copyLen - done) return DeltaStatus::OutOfBounds;
                if (!r.CopyOld(at + done, zeros)) return r.failure;
                done += zeros;
                if (done == copyLen) break;
                uint8_t diff = m.CodeDiff(rc, zeros, 0);
                const uint8_t* old;
                size_t available;
                if (!r.Window(at + done, &old, &available)) return r.failure;
                if (!r.Put(static_cast<uint8_t>(old[0] + diff))) return r.failure;
                ++done;
            }
            oldEnd = at + copyLen;
            newPos += copyLen;
            remaining -= copyLen;
        }
        uint64_t insertLen = m.insertLen.Code(rc, 0);
        if (insertLen > remaining) return DeltaStatus::OutOfBounds;
        if (copyLen == 0 && insertLen == 0) return DeltaStatus::Corrupt;
        m.lastByte = r.LastByte();
        for (uint64_t i = 0; i < insertLen; ++i) {
            uint8_t byte = static_cast<uint8_t>(m.Literal().Code(rc, 0));
            if (!r.Put(byte)) return r.failure;
            m.lastByte = byte;
            if ((i & 0xFFFF) == 0xFFFF && rc.Overrun() > 4) return DeltaStatus::Truncated;
        }
        newPos += insertLen;
    }
    if (d.input.failed) return DeltaStatus::ReadDeltaFailed;
    if (rc.Overrun() > 0) return DeltaStatus::Truncated;
    if (!rc.EndedCleanly()) return DeltaStatus::Corrupt;
    if (d.input.NextByte() >= 0) return DeltaStatus::Corrupt;
    if (d.input.failed) return DeltaStatus::ReadDeltaFailed;
    return DeltaStatus::Ok;
}

} // namespace

DeltaStatus ApplyDelta(const DeltaApplyIo& io, uint64_t oldSize, uint64_t newSize,
                       const std::atomic<bool>* cancel) {
    // One fixed allocation, whatever the delta says: buffers and models.
    auto d = std::make_unique<Decoder>();
    d->input.io = &io;
    d->replay.io = &io;
    d->replay.oldSize = oldSize;
    d->replay.cancel = cancel;

    uint8_t head[kDeltaHeaderSize];
    size_t have = 0;
    while (have < kDeltaHeaderSize) {
        int byte = d->input.NextByte();
        if (byte < 0) break;
        head[have++] = static_cast<uint8_t>(byte);
    }
    if (d->input.failed) return DeltaStatus::ReadDeltaFailed;
    DeltaHeader header;
    DeltaStatus status = ReadDeltaHeader(std::span<const uint8_t>(head, have), &header);
    if (status != DeltaStatus::Ok) return status;
    if (header.oldSize != oldSize || header.newSize != newSize) return DeltaStatus::SizeMismatch;

    status = DecodeBody(*d, newSize);
    if (status != DeltaStatus::Ok) return status;
    if (!d->replay.Flush()) return d->replay.failure;
    if (d->replay.crc != header.newCrc32) return DeltaStatus::Corrupt;
    return DeltaStatus::Ok;
}

DeltaStatus ApplyDeltaFromMemory(std::span<const uint8_t> delta, const DeltaApplyIo& io,
                                 uint64_t oldSize, uint64_t newSize,
                                 const std::atomic<bool>* cancel) {
    DeltaApplyIo memoryIo = io;
    size_t at = 0;
    memoryIo.readDelta = [&](uint8_t* out, size_t capacity) -> int64_t {
        size_t n = std::min(capacity, delta.size() - at);
        std::memcpy(out, delta.data() + at, n);
        at += n;
        return static_cast<int64_t>(n);
    };
    return ApplyDelta(memoryIo, oldSize, newSize, cancel);
}

// Binary deltas between two versions of a file: the encoder for the publisher's host tool and
// the decoder the launcher applies them with. The format's own code: C++20 and zlib (its
// CRC-32) only, so the same files build for the host and for Windows.
//
// A delta is a 32-byte header (magic "ZDLT", version, old size, new size, CRC-32 of the new
// bytes) and one range-coded body of copy-with-difference and insert runs (docs/deltas.md).
//
// The decoder is bounded by its caller, not by the delta: it writes exactly newSize bytes or
// fails, reads the old file only inside [0, oldSize), allocates only its fixed buffers (about
// 1.5 MiB whatever the delta says), and ends in a status value on any corrupt, truncated or
// hostile input. Memory stays flat in the file's size: the old file is read through a callback
// in windows, the new bytes are handed out in order.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

enum class DeltaStatus {
    Ok,
    Truncated,       // the delta ends before the new file does
    Corrupt,         // bad magic, bad numbers, output that fails its CRC-32, bytes after the end
    Unsupported,     // a format version this decoder does not know
    SizeMismatch,    // the header's old or new size is not what the caller said
    OutOfBounds,     // a run that reads outside the old file or writes past newSize
    ReadOldFailed,   // the old-file callback failed
    ReadDeltaFailed, // the delta callback failed
    WriteFailed,     // the output callback refused the bytes
    Cancelled,       // the cancel flag was raised
    TooLarge,        // encoder: an input above kDeltaMaxEncodeSize
};

// A short English name for logs and the host tool ("ok", "truncated", ...).
const char* DeltaStatusName(DeltaStatus status);

inline constexpr uint32_t kDeltaFormatVersion = 1;
inline constexpr size_t kDeltaHeaderSize = 32;
// The encoder refuses files above this (old or new): its memory is about 6 bytes per byte of
// the old file plus both files, so a multi-GiB pack could exhaust the publisher's machine.
inline constexpr uint64_t kDeltaMaxEncodeSize = 512ull << 20;

struct DeltaHeader {
    uint32_t version = 0;
    uint64_t oldSize = 0;
    uint64_t newSize = 0;
    uint32_t newCrc32 = 0;
};

// The header of a delta from its first kDeltaHeaderSize bytes (Truncated if fewer).
DeltaStatus ReadDeltaHeader(std::span<const uint8_t> bytes, DeltaHeader* header);

struct DeltaApplyIo {
    // The delta's next bytes into out[0, capacity): the count given (0 at the delta's end), or
    // -1 on a read failure. Called in order from the delta's first byte, header included.
    std::function<int64_t(uint8_t* out, size_t capacity)> readDelta;
    // Exactly size bytes of the old file at offset, always inside [0, oldSize); false on a
    // read failure. Reads come in windows of at most kDeltaOldWindow bytes.
    std::function<bool(uint64_t offset, uint8_t* out, size_t size)> readOld;
    // The new file's next bytes, in order, at most kDeltaOutBlock at a time; false stops the
    // apply with WriteFailed.
    std::function<bool(const uint8_t* data, size_t size)> writeNew;
};

inline constexpr size_t kDeltaOldWindow = 64 * 1024;
inline constexpr size_t kDeltaOutBlock = 64 * 1024;

// Rebuilds the new file from the old one. oldSize and newSize are the caller's own (the file
// on disk, the manifest row); a delta that says otherwise fails with SizeMismatch before any
// byte is written. On Ok, exactly newSize bytes went to writeNew and their CRC-32 matched the
// header's; on any other status the bytes already handed out must be thrown away. cancel
// (may be null) is checked between blocks.
DeltaStatus ApplyDelta(const DeltaApplyIo& io, uint64_t oldSize, uint64_t newSize,
                       const std::atomic<bool>* cancel);

// The same with the whole delta in memory.
DeltaStatus ApplyDeltaFromMemory(std::span<const uint8_t> delta, const DeltaApplyIo& io,
                                 uint64_t oldSize, uint64_t newSize,
                                 const std::atomic<bool>* cancel);

// Encoder (host only: the library zarvo_delta_encode, which links libdivsufsort). Writes the
// delta from oldData to newData into *out. TooLarge if either input exceeds kDeltaMaxEncodeSize.
// threads: how many threads the match search may use (0: the hardware's count).
DeltaStatus EncodeDelta(std::span<const uint8_t> oldData, std::span<const uint8_t> newData,
                        std::vector<uint8_t>* out, unsigned threads = 0);

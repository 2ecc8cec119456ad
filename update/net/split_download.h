// A big file fetched into its ".tmp" as pieces over several connections at once (pieces.h),
// each piece written at its own offset, and checked like a whole download before it is placed.
//
// What a ".tmp" proves: while pieces are being written, the ".tmp" is one byte longer than the
// file, so a launcher killed meanwhile leaves a ".tmp" that is never continued by its length
// (only the file's block index can tell which of its blocks are in). A transfer that fails or
// is cancelled cuts the ".tmp" back to the pieces done from its start: a prefix of the file
// again, which the next attempt continues.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/handles.h"
#include "update/manifest.h"
#include "update/net/packed_layout.h"
#include "update/net/pieces.h"
#include "update/net/source.h"

// Files from this size on are split: two pieces at least. Smaller ones take a second or two
// on one connection, and the pool's other threads keep the link busy meanwhile.
constexpr int64_t kSplitMinSize = 8 << 20;
// A piece's request costs one round trip, a few percent of its time at a few MB/s per
// connection, and under Wine a millisecond or two of the processor, which counts on a fast
// line. The last kSplitTailBytes of a file go in smaller pieces and the last kLastPiecesBytes
// in smaller ones still, so that the connections end together: the last pieces take a tenth
// of a second on a connection's share of the link, where a round trip is a few hundredths. A
// smaller file keeps them to its last eighth and thirty-second: the pool's other files keep
// the connections busy meanwhile.
constexpr uint64_t kPieceSize = 2 << 20;
constexpr uint64_t kTailPieceSize = 1 << 20;
constexpr uint64_t kSplitTailBytes = 16 << 20;
constexpr uint64_t kLastPieceSize = 256 << 10;
constexpr uint64_t kLastPiecesBytes = 4 << 20;

// The size of the next piece of a file of total bytes with left of them still to hand out.
constexpr uint64_t PieceSizeFor(uint64_t left, uint64_t total) {
    const uint64_t tail = total / 8 < kSplitTailBytes ? total / 8 : kSplitTailBytes;
    const uint64_t last = total / 32 < kLastPiecesBytes ? total / 32 : kLastPiecesBytes;
    return left > tail ? kPieceSize : left > last ? kTailPieceSize : kLastPieceSize;
}

inline bool SplitsEntry(const ManifestEntry& entry) {
    return entry.size >= kSplitMinSize;
}

enum class SplitResult {
    Done,          // the ".tmp" holds the entry's content, checked like a whole download
    WholeDownload, // the server does not answer ranges as asked: download the file whole
    Failed,        // the transfer broke or the content is wrong; the attempt has failed
};

// Fetches the entry from url into tmpPath in pieces, continuing a ".tmp" that holds a prefix
// of the file. status receives the HTTP status of the answer that decided, 0 when none came.
// With layout, url is the entry's compressed copy: each piece is a run of its whole members,
// inflated to its own raw range and never past it, and a prefix is continued from the member
// it ends in. WholeDownload then says that the copy cannot be used (answers other than asked,
// a damaged member, content that fails the digest): the raw file must be fetched.
SplitResult SplitDownload(PieceBoard& board, const ManifestEntry& entry, const std::wstring& url,
                          const std::wstring& tmpPath, int32_t* status,
                          const PackedLayout* layout = nullptr);

// The pieces of raw bytes [begin, end) of a file.
std::vector<Piece> PlainPieces(uint64_t begin, uint64_t end);

// The raw file in pieces, for a big file while the pool's board sees ranges answered.
SourceAnswer SplitSource(EntryFetch& fetch);

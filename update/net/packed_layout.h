// Where the gzip members of a compressed copy begin, as its first member's header lists them
// (the "ZM" extra field the publishing tool writes), so that whole members can be fetched as
// pieces over several connections and inflated each at its own raw offset.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "update/manifest.h"
#include "update/net/pieces.h"

// The most bytes of the copy's head that can hold the table: a gzip header with the largest
// extra field.
constexpr uint64_t kPackedHeadMax = 12 + 0xFFFF;

struct PackedLayout {
    uint64_t memberSize = 0;           // raw bytes of every member but the last
    std::vector<uint64_t> memberStart; // offset of each member in the copy, then its length
};

enum class LayoutFetch {
    Found,    // the table, checked against the entry
    NoRanges, // the server answered with the whole copy: it sends no byte ranges
    NoAnswer, // no answer, or one cut short: an attempt like any other
    Unusable, // any other answer or table: the copy is not to be used
};
// Fetches the head of the entry's copy at url and reads its table. status receives the HTTP
// status of the answer, 0 when none came.
LayoutFetch FetchPackedLayout(const ManifestEntry& entry, const std::wstring& url,
                              PackedLayout* layout, int32_t* status);

// Reads the table from the head of the entry's copy (at least its gzip header). False unless it
// describes exactly the entry's raw size and MD5 and the row's copy length, in members that
// cover the file end to end: a table that says anything else is not used.
bool ParsePackedLayout(std::string_view head, const ManifestEntry& entry, PackedLayout* layout);

// The pieces that bring raw bytes [rawBegin, entry size) of the file, rawBegin on a member's
// start: runs of whole members of about pieceSize raw bytes, single members in the tail.
std::vector<Piece> PackedPieces(const PackedLayout& layout, uint64_t size, uint64_t rawBegin,
                                uint64_t pieceSize, uint64_t tailBytes);

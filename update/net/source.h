// The shape every source of an entry's bytes has: it takes the entry and its ".tmp" and answers
// done, failed or not for me. The order they are tried in, and what each may assume and must
// leave behind, stand once beside FetchToTmp (update/fetch_chain.h).
#pragma once

#include <cstdint>
#include <string>

#include "base/handles.h"
#include "base/manifest_entry.h"

class PieceBoard;
struct SeedCatalog;

enum class SourceAnswer {
    Done,     // the ".tmp" holds the entry's content, its digest checked
    Failed,   // the attempt has failed and counts as one
    NotForMe, // this source cannot serve the entry now: the next one is tried
};

// Files from this size on get block indexes, and keep a partial ".tmp" for resuming.
constexpr int64_t kPatchMinSize = 1 << 20;
inline bool KeepsPartialTmp(const ManifestEntry& entry) {
    return entry.size >= kPatchMinSize;
}

// Manifests carry sizes as 32-bit numbers, so a file of 2 GiB or more is listed as INT32_MAX
// and only the server tells its length. Such a length is taken up to this bound, the largest
// game file patched or continued; a bigger one comes whole.
constexpr uint64_t kMaxUnlistedLength = uint64_t{128} << 30;

// The most bytes a file of the entry can have.
inline uint64_t LongestFor(const ManifestEntry& entry) {
    if (entry.size < 0) return 0;
    return entry.size < INT32_MAX ? static_cast<uint64_t>(entry.size) : kMaxUnlistedLength;
}

// One entry's fetch, across its attempts.
struct EntryFetch {
    const ManifestEntry& entry;
    std::wstring url;       // the file's address, one for every attempt (its "nocache=" too)
    std::wstring localPath; // where the file goes
    std::wstring tmpPath;   // localPath + ".tmp"
    PieceBoard* board;      // the pool's pieces of big files; null: nothing is split
    bool patch = true;      // this attempt may build the file from its old copy
    bool packed = false;    // the compressed copy still serves; cleared once it proved unusable
    int32_t status = 0;     // HTTP status of this attempt's last answer, 0 when none came
    const SeedCatalog* seeds = nullptr; // the game folder's reusable files; null: none
    bool seedsFailed = false;           // a build from other files' blocks broke: own copy only
    // The old copy's MD5 as verification found it ("" when unknown); a delta from it may serve.
    std::string localMd5 = {};
    bool delta = true; // cleared once the delta proved unusable: the other sources serve
    // The ".tmp" a source made, wrote and checked, still open and never shared since it was
    // made, so nothing else can have written it: placing moves it through this handle without
    // hashing it again. Null: the source let go of its ".tmp".
    FileHandle written = {};
};

using Source = SourceAnswer (*)(EntryFetch& fetch);

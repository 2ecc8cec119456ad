// Building a big file's new version in its ".tmp" from its block index, with the work spread
// over three threads: the scan of the local data, the download of what it leaves to the
// server, and the digest of the new content in file order, each block as soon as it is in.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "update/patch/block_index.h"
#include "update/manifest.h"

enum class PatchResult {
    Done,          // the ".tmp" holds the entry's content, checked like a whole download
    WholeDownload, // this attempt must download the whole file (nothing to build from, no
                   // usable index, a server without ranges, anything unexpected)
    Failed,        // the transfer broke; what arrived stays in the ".tmp" for the next attempt
};

class PieceBoard;

// seeds: the files whose blocks the new version may be built from, the old copy first (an
// empty path where there is none). With board (the download pool's), ranges that go one per
// request are shared with the pool's idle threads.
PatchResult BuildFromIndex(const BlockIndex& index, const ManifestEntry& entry,
                           const std::wstring& url, const std::vector<std::wstring>& seeds,
                           const std::wstring& tmpPath, int32_t* status,
                           PieceBoard* board = nullptr);

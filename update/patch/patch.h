// Fetching a big file without downloading it whole: built in its ".tmp" from the old copy and
// an interrupted transfer with the help of the file's block index, or continued from where an
// interrupted transfer stopped, then checked like a whole download.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update/patch/block_index.h"
#include "update/patch/patch_build.h"
#include "update/manifest.h"
#include "update/net/source.h"

// What asking for an entry's block index gave.
enum class IndexFetch {
    Found,    // an index of the entry's content
    None,     // an answer without one: missing, not changed since, or of other content
    NoAnswer, // the server could not be reached
};
// Fetches the entry's block index. With changedAfter, the server sends it only when it was
// published after that time.
IndexFetch FetchBlockIndex(const ManifestEntry& entry, const FILETIME* changedAfter,
                           BlockIndex* index);

// Builds the entry's new content in tmpPath from localPath, tmpPath and byte ranges of url.
// status receives the HTTP status of the last answer, or 0 when none came. board: the
// download pool's, whose idle threads help with ranges asked one per request; may be null.
// otherSeeds: files besides the old copy whose blocks the file may be built from.
PatchResult PatchToTmp(const ManifestEntry& entry, const std::wstring& url,
                       const std::wstring& localPath, const std::wstring& tmpPath, int32_t* status,
                       PieceBoard* board = nullptr,
                       const std::vector<std::wstring>& otherSeeds = {});
// The same once the index was asked for: what came of it, and the index when Found.
PatchResult PatchWithIndex(IndexFetch fetched, const BlockIndex& index, const ManifestEntry& entry,
                           const std::wstring& url, const std::wstring& localPath,
                           const std::wstring& tmpPath, int32_t* status,
                           PieceBoard* board = nullptr,
                           const std::vector<std::wstring>& otherSeeds = {});

// The patch path as a source: NotForMe when the attempt may not patch or the patch found it
// must come whole.
SourceAnswer PatchSource(EntryFetch& fetch);

// The game's file list as the update server publishes it, and the reader that turns a
// manifest document into that list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/manifest_entry.h"

// The most a bundled file and a bundle may hold for the launcher to take a row's bundle place:
// well above what the publishing tool writes (files below 64 KiB, bundles up to 4 MiB), far
// below what would let a row ask for unbounded ranges.
constexpr int64_t kMaxBundledFileSize = 1 << 20;
constexpr int64_t kMaxBundleSize = 64 << 20;

// What the reader did not take from a document.
struct ManifestRefusals {
    static constexpr size_t kPathsKept = 16;
    // Objects naming a path or a content that were refused: each is a file the run will not
    // write, so a run that refused one cannot end as a success.
    int32_t rows = 0;
    std::vector<std::wstring> paths; // the first kPathsKept of them, for the run's log
    // Rows naming one file twice: the whole document was refused.
    bool sameFileTwice = false;
};

// Clears manifestEntries and fills it from the manifest body, in document order.
// True when at least one entry was taken. A document naming one file twice (by PathKey),
// a file where another row needs a folder, or another row's ".tmp" gives no entries at all.
bool ParseManifest(const std::string& text, ManifestRefusals* refusals = nullptr);
// The same into entries, for a manifest that is not the run's own (a kept one).
bool ParseManifestRows(const std::string& text, std::vector<ManifestEntry>& entries,
                       ManifestRefusals* refusals = nullptr);

// True for a path a row may name: one the file system keeps as written
// (IsCanonicalRelativePath), so that it names a file inside the game folder and no other row's
// file under another spelling, and none of the launcher's own files (IsLauncherOwnPath, its
// ".old"). The launcher runs elevated, so a manifest must never be able to make it write
// anywhere else.
bool IsSafeEntryPath(const std::wstring& path);

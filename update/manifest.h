// The game's file list as the update server publishes it, and the reader that turns a
// manifest document into that list.
#pragma once

#include <cstdint>
#include <vector>

#include "base/manifest_entry.h"

// The most a bundled file and a bundle may hold for the launcher to take a row's bundle place:
// well above what the publishing tool writes (files below 64 KiB, bundles up to 4 MiB), far
// below what would let a row ask for unbounded ranges.
constexpr int64_t kMaxBundledFileSize = 1 << 20;
constexpr int64_t kMaxBundleSize = 64 << 20;

// Clears manifestEntries and fills it from the manifest body, in document order.
// True when at least one entry was taken.
bool ParseManifest(const std::string& text);
// The same into entries, for a manifest that is not the run's own (a kept one).
bool ParseManifestRows(const std::string& text, std::vector<ManifestEntry>& entries);

// True for a relative path that names a file inside the game folder: not empty, no leading
// "/" or "\", no ":" anywhere (drive letters, streams), no ".." component, no reserved device
// name ("CON", "nul.txt", ...) and not only "." components (the folder itself). The launcher
// runs elevated, so a manifest must never be able to make it write anywhere else.
bool IsSafeEntryPath(const std::wstring& path);

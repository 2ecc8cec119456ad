// Building a new version of a file out of data already on disk: the blocks of its index that
// a ".tmp" already holds at their own places, and blocks found at any offset of the old file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "update/block_index.h"

// What a build tells as it goes, on the building thread. Every block is told once: placed when
// it is in the file at its place, or left to the server when it will not be looked for any
// more. A callback that returns false stops the build.
struct BlockEvents {
    std::function<bool(uint32_t first, uint32_t count)> placed;
    std::function<bool(uint32_t first, uint32_t count)> leftToServer;
};

// Fills file (open for reading and writing, already of the new version's length, the first
// keptLength bytes being what an interrupted transfer left) with every block of index it can
// get locally: those it already held in its kept part, and those copied into it from the file
// at oldPath (which may be missing). Nothing else of file is changed. False when file could
// not be read or written, a cancel was requested or a callback said stop.
bool PlaceLocalBlocks(const BlockIndex& index, HANDLE file, uint64_t keptLength,
                      const std::wstring& oldPath, const BlockEvents& events);

// Building a new version of a file out of data already on disk: the blocks of its index that
// a ".tmp" already holds at their own places, and blocks found at any offset of the old file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "update/patch/block_index.h"

// What the matcher tells as it goes, on its own thread. Every block is told once, as one of a
// run of blocks first .. first + count - 1; a callback that returns false stops the matcher.
struct BlockEvents {
    // In the file at their places.
    std::function<bool(uint32_t first, uint32_t count)> placed;
    // The bytes of seed number seed from oldOffset on: to be copied to their places.
    std::function<bool(uint32_t first, uint32_t count, uint32_t seed, uint64_t oldOffset)> found;
    // Not looked for any more: the server's to send.
    std::function<bool(uint32_t first, uint32_t count)> leftToServer;
};

// Tells where every block of index is to come from: the first keptLength bytes of file (open
// for reading and writing, already of the new version's length) as an interrupted transfer
// left them, the file at oldPath (which may be missing), or the server. Only the short last
// block, when found, is written into file; nothing else of it is changed. False when a file
// could not be read or written, a cancel was requested or a callback said stop.
bool MatchLocalBlocks(const BlockIndex& index, HANDLE file, uint64_t keptLength,
                      const std::wstring& oldPath, const BlockEvents& events);
// The same with several files to find blocks in, looked through in this order (the old copy
// first), each read once; one that cannot be opened or read is passed by. An empty path is no
// file. The bounds on the work of false candidates hold for all the seeds together.
bool MatchLocalBlocks(const BlockIndex& index, HANDLE file, uint64_t keptLength,
                      const std::vector<std::wstring>& seeds, const BlockEvents& events);

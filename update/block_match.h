// Building a new version of a file out of data already on disk: the blocks of its index that
// a ".tmp" already holds at their own places, and blocks found at any offset of the old file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "update/block_index.h"

// Marks in have (one byte per block, resized here) every block of index that file (open for
// reading and writing) now holds at its place: those it already held, and those copied into it
// from the file at oldPath (which may be missing). Nothing else of file is changed. False when
// file could not be read or written, or a cancel was requested.
bool PlaceLocalBlocks(const BlockIndex& index, HANDLE file, const std::wstring& oldPath,
                      std::vector<uint8_t>* have);

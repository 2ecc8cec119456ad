// An entry's bytes as one body: the file or its compressed copy, whole, into its ".tmp"; and
// the compressed copy in pieces of whole members from a server that answers ranges.
#pragma once

#include <cstdint>
#include <string>

#include "update/net/source.h"

// A writer of a ".tmp" looks at its drive's free space every so many bytes it writes.
constexpr uint64_t kReserveLookBytes = uint64_t{8} << 20;
// True while the drive of path has more free space than the reserve a download leaves.
bool ReserveKept(const std::wstring& path);
// True when the drive of path keeps its reserve after bytes more are written there: asked by
// every way a ".tmp" is made (whole, pieces, local copies, bundles, patches) for the bytes it
// will write, before it writes them. A row of 2 GiB or more gives no length (INT32_MAX); its
// writers look as they go, and those that learn the length (a block index, a range answer)
// ask for it as it is.
bool RoomFor(const std::wstring& path, int64_t bytes);
// Test programs only: the free space every drive is taken to have (0: the real one).
void SetFreeSpaceForTests(uint64_t bytes);

// The compressed copy: in pieces while the server answers ranges, else whole. NotForMe when
// the entry has none or it proved unusable (fetch.packed is then cleared for the attempts
// after this one as well).
SourceAnswer PackedSource(EntryFetch& fetch);
// The file whole: the last source, which never passes the entry on.
SourceAnswer WholeSource(EntryFetch& fetch);

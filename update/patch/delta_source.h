// A changed file rebuilt from its old copy and a binary delta: when the row names a delta from
// the content verification found on disk, the delta comes from the publication's objects and
// is applied into the ".tmp", checked by the entry's digests like every other source.
#pragma once

#include <cstdint>
#include <string>

#include "update/net/source.h"

// The most delta bytes taken into memory: a delta bigger than this is of a file that changed
// too much for one, and the other sources serve it.
constexpr uint64_t kMaxDeltaBytes = uint64_t{64} << 20;

// True when the entry's row names a delta from the old content md5.
bool NamesDeltaFrom(const ManifestEntry& entry, const std::string& md5);

// NotForMe when the row names no delta from the old copy's MD5 (fetch.localMd5), or when the
// delta is missing, corrupt or does not give the entry's content: the next sources take over.
SourceAnswer DeltaSource(EntryFetch& fetch);

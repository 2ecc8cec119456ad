// Where an entry's bytes are on the update server.
//
// By default every address here carries a "nocache=" value of its own, so that no cache
// between the launcher and the server answers for it. Built with LAUNCHER_CACHEABLE_CONTENT,
// the addresses are the publication's immutable objects instead, named by the bytes they hold
// ("objects/<md5>", "objects/<md5>-<zsize>.gz", "objects/<md5>.zbi", from the entry's row)
// and without "nocache=": the same for every player and every run while those bytes are the
// same, and never the name of other bytes, so a cache keyed by the whole address may keep
// them for good. The digests decide as before: a cache can only spare bytes, never choose them.
#pragma once

#include <string>

#include "base/manifest_entry.h"

// The entry's file, under "/update/" (or its object).
std::wstring EntryUrl(const ManifestEntry& entry);
// The entry's compressed copy, under "/packed/" (or its object).
std::wstring PackedUrl(const ManifestEntry& entry);
// The entry's block index, "/blocks/<path>.zbi" (or its object).
std::wstring BlockIndexUrl(const ManifestEntry& entry);
// A bundle of small files, "/objects/<sha256>.zbd": named by its bytes.
std::wstring BundleUrl(const std::string& bundle);
// The entry's delta from the old content oldMd5, "/objects/<old md5>-<new md5>.zdelta": named
// by the pair of contents.
std::wstring DeltaUrl(const ManifestEntry& entry, const std::string& oldMd5);

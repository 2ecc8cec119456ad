// Where an entry's bytes are on the update server. Every address here carries a "nocache="
// value of its own, so that no cache between the launcher and the server answers for it.
#pragma once

#include <string>

#include "base/manifest_entry.h"

// The entry's file, under "/update/".
std::wstring EntryUrl(const ManifestEntry& entry);
// The entry's compressed copy, under "/packed/".
std::wstring PackedUrl(const ManifestEntry& entry);
// The entry's block index, "/blocks/<path>.zbi".
std::wstring BlockIndexUrl(const ManifestEntry& entry);
// A bundle of small files, "/objects/<sha256>.zbd": named by its bytes.
std::wstring BundleUrl(const std::string& bundle);

// Whether bytes are a manifest entry's content: its MD5, and its SHA-256 when the publication
// is signed. Every way a file reaches its ".tmp" (whole, continued, patched) ends here.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "update/digest.h"
#include "update/manifest.h"

// Feeds the first size bytes of file to digest; false on a read failure, a short file or a
// cancel.
bool DigestPrefix(HANDLE file, uint64_t size, StreamDigest& digest);
// True when the digest (finished here) has the entry's MD5, and its SHA-256 when the entry
// carries one.
bool DigestMatchesEntry(StreamDigest& digest, const ManifestEntry& entry);
// True when the file at path has the entry's MD5, and its SHA-256 when the entry carries one.
bool FileMatchesEntry(const std::wstring& path, const ManifestEntry& entry);

// Verification of one listed file: its MD5 against the manifest's, and for a big file the
// early start of its patch, as soon as the file is known to differ.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "update/manifest.h"

// What verification found of an entry, and what the download of one that differs may skip.
enum class Verdict : uint8_t {
    Fine,      // the file on disk has the entry's content
    Differs,   // missing or different: to be downloaded
    TmpReady,  // different, and its ".tmp" already holds the entry's content, checked
    WholeOnly, // different, and a patch was tried and found impossible: download it whole
};

// Verifies the entry's file at localPath, reading through block (the worker's read buffer).
// For a row that names deltas, the file is hashed whole and localMd5 (when given) receives its
// MD5, which picks the delta; only a copy no delta starts from is patched here.
Verdict VerifyEntryFile(const ManifestEntry& entry, const std::wstring& localPath,
                        std::span<char> block, std::string* localMd5 = nullptr);

// The verification and download workers of an update run. Each thread gets its own context
// of pointers into the run's storage, which outlives every worker of the phase.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "update/manifest.h"
#include "update/net/bundle_fetch.h"
#include "update/net/pieces.h"
#include "update/verify_file.h"

struct VerifyContext {
    std::atomic<int32_t>* nextIndex;
    const int32_t* entryCount;
    Verdict* verdicts;
    std::atomic<int32_t>* verifiedCount;
    // Per entry, 1 when the record of remembered files vouches for it; nullptr: none does.
    const uint8_t* remembered = nullptr;
};

struct DownloadContext {
    std::atomic<bool>* failed;
    std::atomic<int32_t>* nextIndex;
    const int32_t* fileCount;
    const std::vector<ManifestEntry>* fileList;
    std::atomic<int32_t>* doneCount;
    std::atomic<uint64_t>* bytesDone;
    const uint64_t* bytesTotal;
    std::mutex* errorLock;
    std::wstring* errorText;
    const Verdict* verdicts = nullptr; // per file of fileList; none: every file just Differs
    PieceBoard* board = nullptr;       // the pool's pieces of big files; none: no file is split
    BundleWork* bundles = nullptr;     // the pool's runs of bundled files; none: none is bundled
};

void VerifyWorker(VerifyContext context);
void DownloadWorker(DownloadContext context);

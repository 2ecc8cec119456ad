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
#include "update/seeds.h"
#include "update/verify_file.h"

struct VerifyContext {
    std::atomic<int32_t>* nextIndex;
    const int32_t* entryCount;
    Verdict* verdicts;
    std::atomic<int32_t>* verifiedCount;
    // Per entry, 1 when the record of remembered files vouches for it; nullptr: none does.
    const uint8_t* remembered = nullptr;
    // Per entry, the MD5 found on disk of files whose rows name deltas; nullptr: not kept.
    std::string* localMd5s = nullptr;
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
    // The game folder's files to take bytes from; none: every file comes from the server.
    const SeedCatalog* seeds = nullptr;
    BundleWork* bundles = nullptr; // the pool's runs of bundled files; none: none is bundled
    // Per file of fileList, the MD5 verification found on disk ("" when not kept); none: no
    // file is rebuilt from a delta.
    const std::string* localMd5s = nullptr;
};

void VerifyWorker(VerifyContext context);

// Test programs only: divides every pause between an entry's attempts and between refused moves
// by divisor (the number of attempts and of move retries stays), so that suites of lasting
// faults take seconds. The launcher never calls it, and reads nothing that could change it.
void SetRetryPauseDivisorForTests(uint32_t divisor);
// Test programs only: hook is called with each ".tmp"'s path just before placing it takes its
// hold (nullptr: none), so that a suite can change the file where another program could.
void SetBeforeHoldForTests(void (*hook)(const std::wstring& tmpPath));
void DownloadWorker(DownloadContext context);

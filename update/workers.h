// The verification and download workers of an update run. Each thread gets its own context
// of pointers into the run's storage, which outlives every worker of the phase.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "update/manifest.h"

// What verification found of an entry, and what the download of one that differs may skip.
enum class Verdict : uint8_t {
    Fine,      // the file on disk has the entry's content
    Differs,   // missing or different: to be downloaded
    TmpReady,  // different, and its ".tmp" already holds the entry's content, checked
    WholeOnly, // different, and a patch was tried and found impossible: download it whole
};

struct VerifyContext {
    std::atomic<int32_t>* nextIndex;
    const int32_t* entryCount;
    Verdict* verdicts;
    std::atomic<int32_t>* verifiedCount;
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
};

void VerifyWorker(VerifyContext context);
void DownloadWorker(DownloadContext context);

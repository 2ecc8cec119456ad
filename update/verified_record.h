// Remembered verification, a build option (LAUNCHER_REMEMBER_VERIFIED): a record in Log of the
// listed files whose content a run proved by their digest, each with its identity as the
// folder listing shows it (size, last-write time, change time, volume, file ID). A light run
// lists each folder once and hashes only the files whose identity or digest differs from the
// record's. Without the option nothing here reads or writes anything.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "update/manifest.h"
#include "update/verify_file.h"

// A file as a folder listing shows it. Change times and file IDs come from the file system:
// no program can set them back through it except deliberately, and every write moves the
// change time, even when the size and last-write time are put back.
struct FileIdentity {
    int64_t size = 0;
    uint64_t lastWrite = 0; // FILETIME
    uint64_t change = 0;    // FILETIME
    uint32_t volume = 0;
    uint64_t fileId = 0;
    bool operator==(const FileIdentity&) const = default;
};

// One remembered file.
struct RecordEntry {
    std::wstring path;  // as in the manifest
    std::string md5;    // 32 lower-case hex characters
    std::string sha256; // 64, or "" when its row had none
    FileIdentity identity;
};

struct RecordHead {
    uint32_t version = 0;
    uint32_t volume = 0; // of the game folder
};

// 2: a row's SHA-256 is one its file was checked against (a record of version 1 may hold the
// manifest's without its file having been hashed by it, and is not read).
inline constexpr uint32_t kRecordVersion = 2;

// True in a build with LAUNCHER_REMEMBER_VERIFIED.
bool RemembersVerifiedFiles();

// What a run knows of its listed files beyond their digests; empty in a build without the
// option, and then nothing is skipped and nothing is written.
struct RememberedFiles {
    std::vector<FileIdentity> listed; // per entry, as its folder listed it
    std::vector<uint8_t> settled;     // per entry: unchanged since well before it was listed
    std::vector<uint8_t> current;     // per entry: the record vouches for its content
    size_t recordRows = 0;            // rows of the record as read: unchanged, it stays as is
    uint32_t folderVolume = 0;
};

// A light run starts this before it asks for its manifest: the record is read and the folders
// it names are listed meanwhile. Null in a build without the option.
struct RememberedHeadStart;
std::shared_ptr<RememberedHeadStart> StartRemembering();
// Lists the folders of the entries (one handle per folder). With a light run's head start,
// also marks the entries the record vouches for; a full run has none and trusts no record.
RememberedFiles PrepareRemembered(const std::vector<ManifestEntry>& entries,
                                  std::shared_ptr<RememberedHeadStart> early);
// True when no program holds the file at path open for writing. A folder's listing can lag
// behind a file that is being written in place (NTFS refreshes those entries when the writer
// lets go), so a file the record vouches for is taken as Fine only then, as the hashing path
// never finds a file held by a writer Fine.
bool NoWriterHolds(const std::wstring& path);

// Writes the record of the entries verification found Fine (one verdict per entry), whole to
// a temporary name, flushed, then renamed over the old one.
void SaveRemembered(const RememberedFiles& remembered, const std::vector<ManifestEntry>& entries,
                    const std::vector<Verdict>& verdicts);

// The record's file and its format, for the tests as much as for the run.
std::wstring VerifiedRecordPath(); // Log\verified_files.rec
std::string EncodeRecord(const RecordHead& head, const std::vector<RecordEntry>& entries);
// False for anything but a whole, undamaged record of this version.
bool DecodeRecord(const std::string& bytes, RecordHead* head, std::vector<RecordEntry>* entries);

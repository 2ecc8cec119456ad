// Only the end of a file's MD5 tells whether the file differs, and a big file's MD5 takes long
// (about half a second per 256 MiB). Its block index can tell much sooner: a file of another
// length than the version the index describes, or one with a block that lacks the index's weak
// sum at its own place, is not that version. So a big file's index is asked for beside its
// digest, and the first such proof ends the digest and starts the patch on this thread, with
// the index in hand. Without a proof the MD5 decides, as for every other file.
//
// The index is asked for when the file's length is not its entry's (it cannot be current,
// short of a manifest that lists a wrong size), and for a file of kAskEarlyMinSize or more
// when the index is newer than the file: a copy written after its version's index was
// published, as every file the launcher placed itself was, gets a 304 and costs no index.
#include "update/verify_file.h"

#include <windows.h>

#include <atomic>
#include <optional>
#include <thread>

#include "base/threads.h"
#include "base/handles.h"
#include "base/paths.h"
#include "update/patch/block_index.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/file_at.h"
#include "update/game_folders.h"
#include "update/net/addresses.h"
#include "update/patch/patch.h"

namespace {

// A smaller file hashes in about as long as its index takes to arrive.
constexpr int64_t kAskEarlyMinSize = int64_t{64} << 20;
// Manifest sizes from 2 GiB on read as this, so they say nothing of the length.
constexpr int64_t kUnknownSize = INT32_MAX;

// The entry's block index, asked for on a thread of its own.
class IndexOnTheSide {
public:
    IndexOnTheSide() = default;
    IndexOnTheSide(const IndexOnTheSide&) = delete;
    IndexOnTheSide& operator=(const IndexOnTheSide&) = delete;
    ~IndexOnTheSide() { Wait(); }

    bool Start(const ManifestEntry& entry, std::optional<FILETIME> changedAfter) {
        return StartThread(thread_, [this, &entry, changedAfter] {
            result_ = FetchBlockIndex(entry, changedAfter ? &*changedAfter : nullptr, &index_);
            done_.store(true, std::memory_order_release);
        });
    }
    // The index once it has come; nullptr before, and when none came.
    const BlockIndex* Ready() const {
        return done_.load(std::memory_order_acquire) && result_ == IndexFetch::Found ? &index_
                                                                                     : nullptr;
    }
    // Waits for the answer; NoAnswer when nothing was asked.
    IndexFetch Wait() {
        if (thread_.joinable()) thread_.join();
        return result_;
    }
    const BlockIndex& Index() const { return index_; }

private:
    std::thread thread_;
    std::atomic<bool> done_{false};
    IndexFetch result_ = IndexFetch::NoAnswer;
    BlockIndex index_;
};

// False when one of the whole blocks among size bytes of data, which start at offset of the
// file, lacks the index's weak sum for that place.
bool BlocksInPlace(const BlockIndex& index, const uint8_t* data, uint64_t offset, size_t size) {
    const uint64_t blockSize = index.blockSize;
    for (uint64_t b = (offset + blockSize - 1) / blockSize; b < index.BlockCount(); ++b) {
        const uint32_t block = static_cast<uint32_t>(b);
        const uint64_t at = index.BlockOffset(block) - offset;
        if (at + index.BlockLength(block) > size) break;
        if (Adler32(data + at, index.BlockLength(block)) != index.weak[block]) return false;
    }
    return true;
}

// Hashes the file of length bytes, and with an index from the side stops as soon as the file
// is proven not to be the version it describes: true then. Otherwise digest has taken the
// whole file; a failed read ends the data like the end of the file, so the digest will not
// match.
bool HashUntilProvenOther(HANDLE file, uint64_t length, const IndexOnTheSide* side,
                          std::span<char> block, StreamDigest& digest) {
    if (!digest.Ok()) return false;
    auto* data = reinterpret_cast<uint8_t*>(block.data());
    const size_t most = std::min<size_t>(block.size(), 1u << 30);
    const BlockIndex* index = nullptr;
    size_t perRead = most; // whole blocks per read once the index is in
    for (uint64_t at = 0;;) {
        if (side && !index && (index = side->Ready())) {
            if (index->fileSize != length) return true;
            if (index->blockSize > most) {
                side = nullptr;
            } else {
                perRead = most / index->blockSize * index->blockSize;
                // What was hashed before the index came, read again for its blocks; the last
                // read leaves the file position where hashing goes on. A read that comes short
                // leaves the file unverified.
                for (uint64_t from = 0; from < at; from += perRead) {
                    const size_t want = static_cast<size_t>(std::min<uint64_t>(perRead, at - from));
                    if (ReadAtOwnPosition(file, from, data, want) != static_cast<int64_t>(want))
                        return false;
                    if (!BlocksInPlace(*index, data, from, want)) return true;
                }
            }
        }
        const bool probing = side && index;
        // Reads end on block boundaries while the blocks are checked.
        const size_t want = probing ? perRead - at % index->blockSize : most;
        const int64_t read = ReadOnward(file, data, want);
        if (read <= 0) break;
        digest.Update(data, static_cast<size_t>(read));
        if (probing && !BlocksInPlace(*index, data, at, static_cast<size_t>(read))) return true;
        at += static_cast<uint64_t>(read);
        // A read fills its buffer up to the file's end: a short one was the last.
        if (static_cast<size_t>(read) < want) break;
    }
    return false;
}

// A signed row's SHA-256 is checked on disk too: MD5 alone is the publication's weaker
// promise, and a file that only collides with it is not the studio's.
bool FileMatchesRow(const ManifestEntry& entry, const std::wstring& path, std::span<char> block) {
    if (!entry.sha256.empty()) return FileMatchesEntry(path, entry);
    const std::string digest = ComputeFileMd5(path, block);
    return !digest.empty() && digest == entry.hash;
}

} // namespace

Verdict VerifyEntryFile(const ManifestEntry& entry, const std::wstring& localPath,
                        std::span<char> block) {
    // A missing file or a folder fails to open, so it needs no check of its own.
    FileHandle file = OpenForReading(localPath);
    if (!file || block.empty()) return Verdict::Differs;
    // Only a big file's length and date are worth a look; most files are small.
    const bool big = KeepsPartialTmp(entry);
    const uint64_t length = big ? FileSizeOf(file.Get()) : 0;
    const bool knownSize = entry.size < kUnknownSize;
    const bool otherLength = big && knownSize && length != uint64_t(entry.size);
    const bool sameLength = knownSize ? length == uint64_t(entry.size) : length >= kUnknownSize;
    // Whether a ".tmp" can be continued is settled before the digest: one that appears
    // meanwhile belongs to another launcher's transfer in this folder.
    const std::wstring tmpPath = localPath + L".tmp";
    const bool hadTmp = otherLength && FileExists(tmpPath);
    FILETIME written = {};
    IndexOnTheSide side;
    bool asked = false;
    if (otherLength) {
        asked = side.Start(entry, std::nullopt);
    } else if (big && sameLength && entry.size >= kAskEarlyMinSize &&
               GetFileTime(file.Get(), nullptr, nullptr, &written)) {
        asked = side.Start(entry, written);
    }

    StreamDigest digest(!entry.sha256.empty());
    const bool proven =
        HashUntilProvenOther(file.Get(), length, asked ? &side : nullptr, block, digest);
    file.Reset();
    if (!proven && DigestMatchesEntry(digest, entry)) return Verdict::Fine;
    if (!asked) return Verdict::Differs;
    const IndexFetch fetched = side.Wait();
    // A copy of the listed length may be dated after its index (a 304 came): the download
    // asks for the index again.
    if (fetched != IndexFetch::Found && !otherLength) return Verdict::Differs;
    if (fetched == IndexFetch::None && !hadTmp) return Verdict::WholeOnly;
    // The patch writes the ".tmp" now: only through real folders of the game folder, held
    // while it is built, and never into a link.
    HeldFolders folders;
    if (!HoldFoldersOnTheWay(localPath, folders) || !IsPlainFileOrNothing(tmpPath, folders))
        return Verdict::Differs;
    int32_t status = 0;
    const PatchResult built =
        PatchWithIndex(fetched, side.Index(), entry, EntryUrl(entry), localPath, tmpPath, &status);
    if (built == PatchResult::Done) return Verdict::TmpReady;
    // An index that proved a difference the patch could not make good is not believed: the
    // digest the proof cut short decides, and a file found fine loses the ".tmp".
    if (proven && FileMatchesRow(entry, localPath, block)) {
        DeleteFileW(tmpPath.c_str());
        return Verdict::Fine;
    }
    return built == PatchResult::WholeDownload ? Verdict::WholeOnly : Verdict::Differs;
}

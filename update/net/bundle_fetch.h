// Small files fetched from the bundles that hold them: the files of one bundle that the pool
// needs go as runs of its bytes, each run one single-range request (no server is asked for
// several ranges at once), each file through its own ".tmp" and checked by its own digests
// before it is handed on. What a bundle cannot give (an answer other than the range asked, a
// cut, a member that does not inflate or fails its digests) is handed back for the file's own
// address.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "base/manifest_entry.h"
#include "update/net/range_fetch.h"

// Bytes between two wanted members fetched rather than skipped with a request of their own: a
// round trip of 40 to 100 ms at 2 to 4 MB/s per connection would carry more.
constexpr uint64_t kBundleGapBytes = 128 << 10;

struct BundleMember {
    size_t file = 0;     // index in the pool's file list
    uint64_t offset = 0; // of its member in the bundle
    uint64_t length = 0;
};

// One request: a run of a bundle's bytes and the wanted members in it, in offset order.
struct BundleRun {
    const std::string* bundle = nullptr; // the bundle's digest, as its rows name it
    ByteRange range;
    std::vector<BundleMember> members;
};

// The runs that bring the files of the list marked in wanted from their bundles, about
// pieceBytes each (whole members only), so that they spread over the pool's connections.
// A file whose member overlaps another's is left out: no table of the publishing tool does
// that. files must outlive the runs.
std::vector<BundleRun> PlanBundleRuns(const std::vector<ManifestEntry>& files,
                                      const std::vector<uint8_t>& wanted, uint64_t pieceBytes);

// Fetches run. done(file, ok) is called once for each member, as soon as its outcome is known:
// ok when the file's ".tmp" holds its content, flushed and checked by its digests; otherwise
// its ".tmp" is gone and nothing of the file was written anywhere else.
void FetchBundleRun(const BundleRun& run, const std::vector<ManifestEntry>& files,
                    const std::function<void(size_t file, bool ok)>& done);

// The bundle work of one download pool: its runs for any thread to take, and the files they
// could not give, for their own addresses.
class BundleWork {
public:
    BundleWork(const std::vector<ManifestEntry>& files, const std::vector<uint8_t>& wanted,
               int connections);
    bool Empty() const { return runs_.empty(); }
    // Whether the file is left to a run (the pool's own claim passes it by).
    bool InRun(size_t file) const { return inRun_[file] != 0; }
    // The next run not yet taken; null when none is left.
    const BundleRun* TakeRun();
    void HandBack(size_t file);
    // A handed-back file for its own address; false when there is none.
    bool TakeHandedBack(size_t* file);

private:
    std::vector<BundleRun> runs_;
    std::vector<uint8_t> inRun_;
    std::atomic<size_t> next_{0};
    std::mutex lock_;
    std::vector<size_t> handedBack_;
};

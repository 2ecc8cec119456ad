#include "update/net/bundle_fetch.h"

#include <windows.h>

#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "base/handles.h"
#include "base/paths.h"
#include "update/digest.h"
#include "update/entry_digest.h"
#include "update/net/addresses.h"
#include "update/net/gzip_members.h"
#include "net/http.h"
#include "update/net/split_download.h"
#include "update/tmp_file.h"
#include "update/net/whole_file.h"

namespace {

// Runs smaller than this cost more in round trips than they gain in spread.
constexpr uint64_t kMinPieceBytes = 64 << 10;
constexpr uint64_t kMaxPieceBytes = 4 << 20;

bool WriteAll(HANDLE file, const char* data, size_t size) {
    DWORD written = 0;
    return WriteFile(file, data, static_cast<DWORD>(size), &written, nullptr) && written == size;
}

// One member on its way into its file's ".tmp": raw bytes as they come, or a gzip member
// inflated, never to more than the file's size; hashed as written. Keep is that bound for both
// kinds, the one place that holds it.
class MemberWriter {
public:
    MemberWriter(const ManifestEntry& entry, const BundleMember& member)
        : entry_(entry), tmpPath_(LocalPathForEntry(entry) + L".tmp"),
          digest_(!entry.sha256.empty()) {
        const uint64_t size = static_cast<uint64_t>(entry.size);
        if (member.length < size)
            inflater_.emplace(UINT64_MAX,
                              [this](const char* data, size_t count) { return Keep(data, count); });
    }

    bool Feed(const char* data, size_t size) {
        if (broken_) return true; // its bytes pass by; the file is refused at its end
        broken_ = !(inflater_ ? inflater_->Feed(data, size) : Keep(data, size));
        return true;
    }

    // True when the ".tmp" holds the entry's content, on disk; otherwise it is removed.
    bool Finish() {
        const uint64_t size = static_cast<uint64_t>(entry_.size);
        bool ok = !broken_ && written_ == size && (!inflater_ || inflater_->Complete()) &&
                  file_.Valid() && FlushFileBuffers(file_.Get()) &&
                  DigestMatchesEntry(digest_, entry_);
        if (ok) NoteCheckedTmp(tmpPath_, file_.Get(), written_);
        file_.Reset();
        if (!ok) Abandon();
        return ok;
    }

    void Abandon() {
        file_.Reset();
        if (opened_) DeleteFileW(tmpPath_.c_str());
    }

private:
    bool Keep(const char* data, size_t size) {
        if (written_ + size > static_cast<uint64_t>(entry_.size)) return false;
        if (!opened_) {
            opened_ = true;
            if (RoomFor(tmpPath_, entry_.size)) file_ = OpenTmpForWriting(tmpPath_, TmpOpen::Fresh);
        }
        if (!file_.Valid() || !WriteAll(file_.Get(), data, size)) return false;
        digest_.Update(data, size);
        written_ += size;
        return true;
    }

    const ManifestEntry& entry_;
    std::wstring tmpPath_;
    StreamDigest digest_;
    std::optional<GzipMembersInflater> inflater_;
    FileHandle file_;
    uint64_t written_ = 0;
    bool opened_ = false;
    bool broken_ = false;
};

} // namespace

std::vector<BundleRun> PlanBundleRuns(const std::vector<ManifestEntry>& files,
                                      const std::vector<uint8_t>& wanted, uint64_t pieceBytes) {
    // Members by bundle, each bundle's in offset order.
    std::map<std::string, std::vector<BundleMember>> byBundle;
    for (size_t i = 0; i < files.size(); ++i) {
        const ManifestEntry& e = files[i];
        if (!wanted[i] || e.bundle.empty()) continue;
        byBundle[e.bundle].push_back(
            {i, static_cast<uint64_t>(e.bundleOffset), static_cast<uint64_t>(e.bundleLength)});
    }
    std::vector<BundleRun> runs;
    for (auto& [bundle, members] : byBundle) {
        std::stable_sort(
            members.begin(), members.end(),
            [](const BundleMember& a, const BundleMember& b) { return a.offset < b.offset; });
        const std::string* name = &files[members.front().file].bundle;
        uint64_t reach = 0; // end of the last member taken
        for (const BundleMember& m : members) {
            if (!runs.empty() && m.offset < reach && runs.back().bundle == name) continue;
            BundleRun* run = runs.empty() || runs.back().bundle != name ? nullptr : &runs.back();
            const bool joins = run && m.offset - run->range.end <= kBundleGapBytes &&
                               m.offset + m.length - run->range.begin <= pieceBytes;
            if (!joins) {
                runs.push_back({name, {m.offset, m.offset}, {}});
                run = &runs.back();
            }
            run->members.push_back(m);
            run->range.end = m.offset + m.length;
            reach = run->range.end;
        }
    }
    return runs;
}

void FetchBundleRun(const BundleRun& run, const std::vector<ManifestEntry>& files,
                    const std::function<void(size_t file, bool ok)>& done) {
    const std::wstring header = L"Range: bytes=" + std::to_wstring(run.range.begin) + L"-" +
                                std::to_wstring(run.range.end - 1);
    size_t next = 0; // the member the bytes at `at` belong to, or that comes next
    uint64_t at = run.range.begin;
    std::optional<MemberWriter> writer;
    bool checked = false; // the answer is the range asked for
    HttpResponse response;
    HttpGet(
        BundleUrl(*run.bundle), header.c_str(),
        [&](const char* data, size_t size) {
            if (!checked) {
                ByteRange range;
                uint64_t total = 0;
                if (response.status != 206 ||
                    !ParseContentRange(response.contentRange, &range, &total) ||
                    range.begin != run.range.begin || range.end != run.range.end) {
                    return false;
                }
                checked = true;
            }
            while (size > 0) {
                if (next == run.members.size()) return false; // more than was asked for
                const BundleMember& m = run.members[next];
                if (at < m.offset) {
                    const size_t skip =
                        static_cast<size_t>(std::min<uint64_t>(size, m.offset - at));
                    data += skip, size -= skip, at += skip;
                    continue;
                }
                if (!writer) writer.emplace(files[m.file], m);
                const size_t take =
                    static_cast<size_t>(std::min<uint64_t>(size, m.offset + m.length - at));
                writer->Feed(data, take);
                data += take, size -= take, at += take;
                if (at == m.offset + m.length) {
                    const bool ok = writer->Finish();
                    writer.reset();
                    ++next;
                    done(m.file, ok);
                }
            }
            return true;
        },
        &response);
    // Whatever the answer did not bring goes back, its ".tmp" with it.
    if (writer) writer->Abandon();
    for (; next < run.members.size(); ++next)
        done(run.members[next].file, false);
}

BundleWork::BundleWork(const std::vector<ManifestEntry>& files, const std::vector<uint8_t>& wanted,
                       int connections)
    : inRun_(files.size(), 0) {
    uint64_t bytes = 0;
    for (size_t i = 0; i < files.size(); ++i)
        if (wanted[i] && !files[i].bundle.empty())
            bytes += static_cast<uint64_t>(files[i].bundleLength);
    // Two runs per connection: the link stays full while the last ones end.
    const uint64_t piece =
        std::clamp<uint64_t>(bytes / (2 * static_cast<uint64_t>(std::max(1, connections))),
                             kMinPieceBytes, kMaxPieceBytes);
    runs_ = PlanBundleRuns(files, wanted, piece);
    for (const BundleRun& run : runs_)
        for (const BundleMember& m : run.members)
            inRun_[m.file] = 1;
}

const BundleRun* BundleWork::TakeRun() {
    const size_t i = next_.fetch_add(1);
    return i < runs_.size() ? &runs_[i] : nullptr;
}

void BundleWork::HandBack(size_t file) {
    std::lock_guard<std::mutex> lock(lock_);
    handedBack_.push_back(file);
}

bool BundleWork::TakeHandedBack(size_t* file) {
    std::lock_guard<std::mutex> lock(lock_);
    if (handedBack_.empty()) return false;
    *file = handedBack_.back();
    handedBack_.pop_back();
    return true;
}

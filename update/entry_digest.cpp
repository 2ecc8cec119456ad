#include "update/entry_digest.h"

#include <algorithm>
#include <vector>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "update/file_at.h"

namespace {
constexpr size_t kHashRead = 1u << 20;
} // namespace

bool DigestPrefix(HANDLE file, uint64_t size, StreamDigest& digest) {
    // A short file takes a buffer of its own length, not a megabyte.
    std::vector<uint8_t> buffer(static_cast<size_t>(std::min<uint64_t>(kHashRead, size)));
    for (uint64_t at = 0; at < size;) {
        if (State().cancelRequested.load()) return false;
        const size_t want = static_cast<size_t>(std::min<uint64_t>(kHashRead, size - at));
        const int64_t read = ReadAt(file, at, buffer.data(), want);
        if (read <= 0) return false;
        digest.Update(buffer.data(), static_cast<size_t>(read));
        at += static_cast<uint64_t>(read);
    }
    return true;
}

bool DigestMatchesEntry(StreamDigest& digest, const ManifestEntry& entry) {
    const std::string md5 = digest.Md5Hex();
    if (md5.empty() || md5 != entry.hash) return false;
    return entry.sha256.empty() || digest.Sha256Hex() == entry.sha256;
}

bool FileMatchesEntry(const std::wstring& path, const ManifestEntry& entry) {
    FileHandle file = OpenForReading(path, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN);
    if (!file) return false;
    StreamDigest digest(!entry.sha256.empty());
    return digest.Ok() && DigestPrefix(file.Get(), FileSizeOf(file.Get()), digest) &&
           DigestMatchesEntry(digest, entry);
}

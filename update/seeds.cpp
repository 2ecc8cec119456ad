#include "update/seeds.h"

#include <windows.h>

#include <algorithm>
#include <unordered_set>

#include "base/handles.h"
#include "base/paths.h"
#include "update/net/source.h"

namespace {

// Bytes of seeds one file's blocks are looked for in, besides its old copy: the scan reads
// every one of them, so an odd release cannot make one file read the whole game many times.
constexpr uint64_t kMaxSeedBytesPerFile = uint64_t{8} << 30;
constexpr size_t kMaxSeedsPerFile = 256;

uint64_t LengthOf(const WIN32_FILE_ATTRIBUTE_DATA& data) {
    return (static_cast<uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

bool PlainFileData(const std::wstring& path, WIN32_FILE_ATTRIBUTE_DATA* data) {
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, data)) return false;
    return (data->dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
           0;
}

} // namespace

bool OpensAsItself(HANDLE file, const std::wstring& path) {
    std::wstring resolved(1024, L'\0');
    DWORD n = GetFinalPathNameByHandleW(file, resolved.data(), static_cast<DWORD>(resolved.size()),
                                        FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (n == 0 || n >= resolved.size()) return false;
    resolved.resize(n);
    if (resolved.rfind(L"\\\\?\\UNC\\", 0) == 0) {
        resolved = L"\\" + resolved.substr(7);
    } else if (resolved.rfind(L"\\\\?\\", 0) == 0) {
        resolved = resolved.substr(4);
    }
    // Short names in the folder's path come back long.
    std::wstring expected = ResolveFullPath(path);
    std::wstring longer(1024, L'\0');
    n = GetLongPathNameW(expected.c_str(), longer.data(), static_cast<DWORD>(longer.size()));
    if (n > 0 && n < longer.size()) expected.assign(longer.data(), n);
    return PathKey(resolved) == PathKey(expected);
}

bool IsPlainFile(const std::wstring& path) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    return PlainFileData(path, &data);
}

SeedCatalog BuildSeedCatalog(const std::vector<ManifestEntry>& current,
                             const std::vector<Verdict>& verdicts,
                             const std::vector<ManifestEntry>& previous,
                             const std::vector<ManifestEntry>& otherDocuments) {
    SeedCatalog seeds;
    std::unordered_set<std::wstring> listed;
    listed.reserve(current.size());
    for (size_t i = 0; i < current.size(); ++i) {
        const ManifestEntry& entry = current[i];
        listed.insert(PathKey(entry.path));
        if (i >= verdicts.size() || verdicts[i] != Verdict::Fine) continue;
        const std::wstring local = LocalPathForEntry(entry);
        seeds.byHash.emplace(entry.hash, WholeSeed{local, false});
        if (entry.size >= kPatchMinSize) seeds.unchanged.push_back(local);
    }
    // Only paths no longer listed: a listed one is this run's to write, and a seed must not
    // change while a build reads it. Each is looked at once, however many manifests kept it.
    std::vector<std::pair<uint64_t, std::wstring>> dropped;
    std::unordered_set<std::wstring> seen, stillListed;
    for (const ManifestEntry& entry : otherDocuments)
        stillListed.insert(PathKey(entry.path));
    for (const ManifestEntry& entry : previous) {
        const std::wstring key = PathKey(entry.path);
        if (listed.count(key) || !seen.insert(key).second) continue;
        const std::wstring local = LocalPathForEntry(entry);
        WIN32_FILE_ATTRIBUTE_DATA data = {};
        if (!PlainFileData(local, &data)) continue;
        seeds.byHash.emplace(entry.hash, WholeSeed{local, stillListed.count(key) == 0});
        dropped.emplace_back(LengthOf(data), local);
    }
    std::stable_sort(dropped.begin(), dropped.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    for (auto& [length, path] : dropped)
        if (length >= kPatchMinSize) seeds.dropped.push_back(std::move(path));
    return seeds;
}

std::vector<WholeSeed> WholeSeedsFor(const SeedCatalog& seeds, const ManifestEntry& entry,
                                     const std::wstring& localPath) {
    std::vector<WholeSeed> found;
    const auto [first, last] = seeds.byHash.equal_range(entry.hash);
    const std::wstring own = PathKey(localPath);
    for (auto it = first; it != last; ++it)
        if (PathKey(it->second.path) != own) found.push_back(it->second);
    return found;
}

std::vector<std::wstring> BlockSeedsFor(const SeedCatalog& seeds, const ManifestEntry& entry,
                                        bool hasOldCopy) {
    std::vector<std::wstring> chosen;
    const std::wstring own = PathKey(LocalPathForEntry(entry));
    uint64_t bytes = 0;
    const auto add = [&](const std::vector<std::wstring>& from, uint64_t most) {
        for (const std::wstring& path : from) {
            if (chosen.size() == kMaxSeedsPerFile || bytes >= most) return;
            if (PathKey(path) == own) continue;
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            if (!PlainFileData(path, &data)) continue;
            FileHandle file(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
            if (!file || !OpensAsItself(file.Get(), path)) continue;
            bytes += LengthOf(data);
            chosen.push_back(path);
        }
    };
    add(seeds.dropped, kMaxSeedBytesPerFile);
    // A file new at its path may be made of files still listed, but looking through the whole
    // game would hold its download back until the scan ends: only files of its own folder,
    // and no more bytes of them than twice its own.
    if (!hasOldCopy) {
        const std::wstring folder = PathKey(ParentFolderOf(LocalPathForEntry(entry)));
        std::vector<std::wstring> nearby;
        for (const std::wstring& path : seeds.unchanged)
            if (PathKey(ParentFolderOf(path)) == folder) nearby.push_back(path);
        add(nearby, bytes + 2 * static_cast<uint64_t>(std::max<int64_t>(0, entry.size)));
    }
    return chosen;
}

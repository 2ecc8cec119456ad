// A kept manifest is one head line, "ZKM1 <md5 of the body> <length of the body>", then the
// body exactly as the server sent it. The head is what a read checks: a file cut short, or
// changed by anyone, is ignored as if none were kept.
#include "update/kept_manifest.h"

#include <windows.h>

#include <iterator>

#include "base/handles.h"
#include "base/paths.h"
#include "update/file_at.h"
#include "update/manifest.h"
#include "update/patch/block_index.h"

namespace {

constexpr char kMagic[] = "ZKM1 ";
// Far above any manifest a game publishes; a bigger file is not read at all.
constexpr uint64_t kMaxKeptBytes = 256u << 20;

std::wstring LogFolder() {
    return ResolveFullPath(LauncherFolder() + L"\\Log");
}

std::string Head(const std::string& body) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(body.data());
    return kMagic + Md5Of(bytes, body.size()) + " " + std::to_string(body.size()) + "\n";
}

bool ReadWhole(const std::wstring& path, std::string* out) {
    FileHandle file = OpenForReading(path);
    if (!file) return false;
    const uint64_t size = FileSizeOf(file.Get());
    if (size == 0 || size > kMaxKeptBytes) return false;
    out->resize(static_cast<size_t>(size));
    return ReadOnward(file.Get(), out->data(), out->size()) == static_cast<int64_t>(size);
}

// The kept body of that name, checked; "" when there is none or it is damaged.
std::string LoadKeptBody(const std::string& name) {
    std::string data;
    if (!ReadWhole(KeptManifestPath(name), &data)) return {};
    const size_t newline = data.find('\n');
    if (newline == std::string::npos || data.compare(0, sizeof kMagic - 1, kMagic) != 0) return {};
    std::string body = data.substr(newline + 1);
    if (data.compare(0, newline + 1, Head(body)) != 0) return {};
    return body;
}

std::vector<ManifestEntry> RowsOf(const std::string& body) {
    std::vector<ManifestEntry> rows;
    if (body.empty() || !ParseManifestRows(body, rows)) rows.clear();
    return rows;
}

} // namespace

std::wstring KeptManifestPath(const std::string& name) {
    // The name comes from the server's address: nothing in it may name another folder.
    std::wstring wide;
    for (char c : name) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        wide += static_cast<wchar_t>(plain ? c : '_');
    }
    return LogFolder() + L"\\kept_" + wide;
}

std::vector<ManifestEntry> LoadKeptManifest(const std::string& name) {
    return RowsOf(LoadKeptBody(name));
}

KeptManifests LoadKeptManifests(const std::string& name) {
    KeptManifests kept;
    kept.sameBody = LoadKeptBody(name);
    kept.same = RowsOf(kept.sameBody);
    if (kept.same.empty()) kept.sameBody.clear();
    for (const char* other : {"manifest_light.json", "manifest_full.json"}) {
        if (name == other) continue;
        std::vector<ManifestEntry> rows = LoadKeptManifest(other);
        kept.others.insert(kept.others.end(), std::make_move_iterator(rows.begin()),
                           std::make_move_iterator(rows.end()));
    }
    kept.all = kept.same;
    kept.all.insert(kept.all.end(), kept.others.begin(), kept.others.end());
    return kept;
}

void SaveKeptManifest(const std::string& name, const std::string& body) {
    CreateDirectoryW(LogFolder().c_str(), nullptr);
    const std::wstring path = KeptManifestPath(name);
    const std::wstring next = path + L".new";
    {
        FileHandle file(CreateFileW(next.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return;
        const std::string head = Head(body);
        if (!WriteAt(file.Get(), 0, head.data(), head.size()) ||
            !WriteAt(file.Get(), head.size(), body.data(), body.size()) ||
            !FlushFileBuffers(file.Get())) {
            file.Reset();
            DeleteFileW(next.c_str());
            return;
        }
    }
    if (!MoveFileExW(next.c_str(), path.c_str(),
                     MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        DeleteFileW(next.c_str());
}

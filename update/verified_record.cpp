#include "update/verified_record.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "base/threads.h"
#include "base/handles.h"
#include "base/paths.h"
#include "update/digest.h"
#include "update/file_at.h"

namespace {

#ifdef LAUNCHER_REMEMBER_VERIFIED
constexpr bool kBuilt = true;
#else
constexpr bool kBuilt = false;
#endif

constexpr char kMagic[4] = {'Z', 'V', 'V', 'R'};
constexpr size_t kHeadSize = 4 + 4 + 8 + 16; // magic, version, payload length, MD5 of payload
// About 200 bytes per file at most: room for a million files, and no more is ever read.
constexpr uint64_t kMostRecordBytes = uint64_t{256} << 20;
// A write in the same tick of the file system's clock as a listing would leave the change
// time as listed; a file is remembered only when its last change lies this far (100 ns units)
// before its folder was listed, far beyond any clock tick (16 ms on Windows, 10 ms on Linux).
constexpr uint64_t kSettleTime = 2'000'000;
constexpr size_t kListingBuffer = 64 * 1024;

uint64_t Filetime(const LARGE_INTEGER& value) {
    return static_cast<uint64_t>(value.QuadPart);
}

uint64_t Now() {
    FILETIME now = {};
    GetSystemTimePreciseAsFileTime(&now);
    return (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
}

// Volumes that give no change time or no stable file ID (FAT, exFAT) report zeros, ReFS
// reports an ID that does not fit 64 bits as all ones: such a file is always hashed.
bool Trustworthy(const FileIdentity& id) {
    return id.change != 0 && id.fileId != 0 && id.fileId != ~uint64_t{0};
}

// ---- the record's bytes ----

template <typename T> void Put(std::string& out, T value) {
    char bytes[sizeof(T)];
    std::memcpy(bytes, &value, sizeof(T));
    out.append(bytes, sizeof(T));
}

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    template <typename T> bool Get(T* value) {
        if (bytes_.size() - at_ < sizeof(T)) return false;
        std::memcpy(value, bytes_.data() + at_, sizeof(T));
        at_ += sizeof(T);
        return true;
    }
    bool Take(size_t count, std::string_view* out) {
        if (bytes_.size() - at_ < count) return false;
        *out = bytes_.substr(at_, count);
        at_ += count;
        return true;
    }
    bool AtEnd() const { return at_ == bytes_.size(); }

private:
    std::string_view bytes_;
    size_t at_ = 0;
};

// The count bytes that 2 x count lower-case hex characters stand for; "" for anything else.
std::string HexToBytes(const std::string& hex, size_t count) {
    if (hex.size() != 2 * count) return {};
    const auto nibble = [](char c) {
        return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = nibble(hex[i]), low = nibble(hex[i + 1]);
        if (high < 0 || low < 0) return {};
        out.push_back(static_cast<char>(high << 4 | low));
    }
    return out;
}

std::string BytesToHex(std::string_view bytes) {
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) {
        hex.push_back(kDigits[c >> 4]);
        hex.push_back(kDigits[c & 15]);
    }
    return hex;
}

std::string Md5Of(std::string_view bytes) {
    StreamDigest digest;
    digest.Update(bytes.data(), bytes.size());
    return HexToBytes(digest.Md5Hex(), 16);
}

std::string EncodePayload(uint32_t volume, const std::vector<RecordEntry>& entries) {
    std::string out;
    Put<uint32_t>(out, volume);
    Put<uint32_t>(out, static_cast<uint32_t>(entries.size()));
    for (const RecordEntry& e : entries) {
        Put<uint16_t>(out, static_cast<uint16_t>(e.path.size()));
        out.append(reinterpret_cast<const char*>(e.path.data()), e.path.size() * 2);
        // Rows are kept only with a valid MD5 (see SaveRemembered); zeros match no digest.
        const std::string md5 = HexToBytes(e.md5, 16);
        out += md5.empty() ? std::string(16, '\0') : md5;
        const std::string sha = HexToBytes(e.sha256, 32);
        Put<uint8_t>(out, !sha.empty());
        out += sha;
        Put<int64_t>(out, e.identity.size);
        Put<uint64_t>(out, e.identity.lastWrite);
        Put<uint64_t>(out, e.identity.change);
        Put<uint32_t>(out, e.identity.volume);
        Put<uint64_t>(out, e.identity.fileId);
    }
    return out;
}

bool DecodePayload(std::string_view payload, RecordHead* head, std::vector<RecordEntry>* entries) {
    Reader in(payload);
    uint32_t count = 0;
    if (!in.Get(&head->volume) || !in.Get(&count)) return false;
    // Each entry takes at least 55 bytes: a count beyond that is damage.
    if (count > payload.size() / 55) return false;
    entries->clear();
    entries->reserve(count);
    for (uint32_t i = 0; i < count; ++i) {
        RecordEntry e;
        uint16_t length = 0;
        std::string_view path, md5, sha;
        uint8_t hasSha = 0;
        if (!in.Get(&length) || length == 0 || !in.Take(size_t{length} * 2, &path) ||
            !in.Take(16, &md5) || !in.Get(&hasSha) || hasSha > 1 || (hasSha && !in.Take(32, &sha)))
            return false;
        e.path.resize(length);
        std::memcpy(e.path.data(), path.data(), path.size());
        e.md5 = BytesToHex(md5);
        if (hasSha) e.sha256 = BytesToHex(sha);
        if (!in.Get(&e.identity.size) || !in.Get(&e.identity.lastWrite) ||
            !in.Get(&e.identity.change) || !in.Get(&e.identity.volume) ||
            !in.Get(&e.identity.fileId))
            return false;
        entries->push_back(std::move(e));
    }
    return in.AtEnd();
}

std::string WithHead(uint32_t version, const std::string& payload) {
    std::string out(kMagic, sizeof(kMagic));
    Put<uint32_t>(out, version);
    Put<uint64_t>(out, payload.size());
    out += Md5Of(payload);
    return out + payload;
}

// The whole file, or "" when it is missing, unreadable or beyond the bound.
std::string ReadRecordFile(const std::wstring& path) {
    FileHandle file = OpenForReading(path);
    if (!file) return {};
    const uint64_t size = FileSizeOf(file.Get());
    if (size < kHeadSize || size > kMostRecordBytes) return {};
    std::string bytes(static_cast<size_t>(size), '\0');
    if (ReadOnward(file.Get(), bytes.data(), bytes.size()) != static_cast<int64_t>(size)) return {};
    return bytes;
}

bool WriteRecordFile(const std::wstring& path, const std::string& bytes) {
    CreateDirectoryW(ParentFolderOf(path).c_str(), nullptr);
    // One temporary name, held without sharing while it is written: a second launcher that
    // writes at the same time fails to open it and leaves the record to this one. A rename
    // that takes the other's complete record instead is as good.
    const std::wstring tmp = path + L".tmp";
    {
        FileHandle file(CreateFileW(tmp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return false;
        if (!WriteAt(file.Get(), 0, bytes.data(), bytes.size()) || !FlushFileBuffers(file.Get())) {
            file.Reset();
            DeleteFileW(tmp.c_str());
            return false;
        }
    }
    return MoveFileExW(tmp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

// ---- listing ----

struct Folder {
    std::wstring path; // full
    // The listed entries of this folder by name, sorted: (name, entry index).
    std::vector<std::pair<std::wstring_view, int32_t>> names;
};

bool UntrustedFileSystem(HANDLE folder) {
    wchar_t name[MAX_PATH + 1] = {};
    if (!GetVolumeInformationByHandleW(folder, nullptr, 0, nullptr, nullptr, nullptr, name,
                                       MAX_PATH + 1))
        return true;
    return _wcsnicmp(name, L"FAT", 3) == 0 || _wcsnicmp(name, L"exFAT", 5) == 0;
}

FileHandle OpenFolder(const std::wstring& path) {
    return FileHandle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The folder's volume, 0 when unknown. Asked through the file ID query, which the platform
// answers from the open handle; the volume information query costs a round trip to the
// mount manager under Wine, too much for every folder.
uint32_t VolumeOf(HANDLE folder) {
    FILE_ID_INFO info = {};
    if (!GetFileInformationByHandleEx(folder, FileIdInfo, &info, sizeof(info))) return 0;
    return static_cast<uint32_t>(info.VolumeSerialNumber);
}

// Lists one folder through one handle and fills the identities of its listed entries. A
// folder on another volume than the game folder's (a mount point) is left to the hash.
void ListFolder(const Folder& folder, uint32_t volume, std::vector<FileIdentity>& listed,
                std::vector<uint8_t>& settled) {
    const uint64_t listedAt = Now();
    FileHandle dir = OpenFolder(folder.path);
    if (!dir || VolumeOf(dir.Get()) != volume) return;
    std::vector<uint64_t> buffer(kListingBuffer / sizeof(uint64_t));
    for (auto cls = FileIdBothDirectoryRestartInfo;
         GetFileInformationByHandleEx(dir.Get(), cls, buffer.data(), kListingBuffer);
         cls = FileIdBothDirectoryInfo) {
        const auto* at = reinterpret_cast<const char*>(buffer.data());
        for (;;) {
            const auto* item = reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(at);
            const std::wstring_view name(item->FileName, item->FileNameLength / sizeof(wchar_t));
            // A link or folder is not what its name lists: hashed as always.
            const bool plain =
                !(item->FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
            auto range =
                std::equal_range(folder.names.begin(), folder.names.end(), std::make_pair(name, 0),
                                 [](const auto& a, const auto& b) { return a.first < b.first; });
            for (auto it = range.first; plain && it != range.second; ++it) {
                FileIdentity& id = listed[it->second];
                id.size = item->EndOfFile.QuadPart;
                id.lastWrite = Filetime(item->LastWriteTime);
                id.change = Filetime(item->ChangeTime);
                id.volume = volume;
                id.fileId = Filetime(item->FileId);
                settled[it->second] = id.change + kSettleTime < listedAt;
            }
            if (item->NextEntryOffset == 0) break;
            at += item->NextEntryOffset;
        }
    }
}

// The folders of the items (manifest entries or record rows) that which names, each with its
// items by name.
template <typename Item>
std::vector<Folder> FoldersOf(const std::vector<Item>& items, const std::vector<int32_t>& which,
                              const std::wstring& base) {
    std::unordered_map<std::wstring_view, size_t> byFolder;
    std::vector<Folder> folders;
    for (const int32_t i : which) {
        const std::wstring& path = items[i].path;
        const size_t slash = path.find_last_of(L"/\\");
        const std::wstring_view folder = slash == std::wstring::npos
                                             ? std::wstring_view()
                                             : std::wstring_view(path).substr(0, slash);
        const std::wstring_view name =
            std::wstring_view(path).substr(slash == std::wstring::npos ? 0 : slash + 1);
        auto [it, added] = byFolder.try_emplace(folder, folders.size());
        if (added) {
            std::wstring full = PlainPath(base);
            if (!folder.empty()) full += L"\\" + std::wstring(folder);
            std::replace(full.begin(), full.end(), L'/', L'\\');
            folders.push_back({LongPathForm(full), {}});
        }
        folders[it->second].names.emplace_back(name, static_cast<int32_t>(i));
    }
    for (Folder& f : folders)
        std::sort(f.names.begin(), f.names.end());
    return folders;
}

void ListFolders(const std::vector<Folder>& folders, uint32_t volume,
                 std::vector<FileIdentity>& listed, std::vector<uint8_t>& settled) {
    std::atomic<size_t> next{0};
    const auto work = [&] {
        for (size_t i; (i = next.fetch_add(1)) < folders.size();)
            ListFolder(folders[i], volume, listed, settled);
    };
    // Listing costs a stat per file, spread over the cores; this thread takes part too.
    const unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    const size_t helpers = std::min<size_t>(folders.size(), std::min(cores, 8u));
    std::vector<std::thread> threads(helpers > 0 ? helpers - 1 : 0);
    size_t started = 0;
    while (started < threads.size() && StartThread(threads[started], work))
        ++started;
    work();
    for (size_t i = 0; i < started; ++i)
        threads[i].join();
}

// The game folder's volume, 0 when it cannot be trusted: a network drive (whose change times
// the server's clock writes), a file system without change times or stable IDs, no answer.
uint32_t GameFolderVolume(const std::wstring& folder) {
    wchar_t root[MAX_PATH + 1] = {};
    if (!GetVolumePathNameW(folder.c_str(), root, MAX_PATH + 1) ||
        GetDriveTypeW(root) == DRIVE_REMOTE)
        return 0;
    FileHandle dir = OpenFolder(folder);
    return dir && !UntrustedFileSystem(dir.Get()) ? VolumeOf(dir.Get()) : 0;
}

std::vector<int32_t> AllOf(size_t count) {
    std::vector<int32_t> all(count);
    for (size_t i = 0; i < count; ++i)
        all[i] = static_cast<int32_t>(i);
    return all;
}

} // namespace

bool RemembersVerifiedFiles() {
    return kBuilt;
}

std::wstring VerifiedRecordPath() {
    return LauncherFolder() + L"\\Log\\verified_files.rec";
}

std::string EncodeRecord(const RecordHead& head, const std::vector<RecordEntry>& entries) {
    return WithHead(head.version, EncodePayload(head.volume, entries));
}

bool DecodeRecord(const std::string& bytes, RecordHead* head, std::vector<RecordEntry>* entries) {
    Reader in(bytes);
    std::string_view magic, sum;
    uint64_t length = 0;
    if (!in.Take(4, &magic) || magic != std::string_view(kMagic, 4) || !in.Get(&head->version) ||
        head->version != kRecordVersion || !in.Get(&length) || !in.Take(16, &sum) ||
        length != bytes.size() - kHeadSize)
        return false;
    const std::string_view payload = std::string_view(bytes).substr(kHeadSize);
    return Md5Of(payload) == sum && DecodePayload(payload, head, entries);
}

// A light run's head start, while its manifest is fetched: the record read, and the folders
// it names listed, on a thread of its own.
struct RememberedHeadStart {
    uint32_t volume = 0;
    std::vector<RecordEntry> rows;    // of a whole record of this version and volume
    std::vector<FileIdentity> listed; // per row
    std::vector<uint8_t> settled;     // per row
    std::thread thread;
    ~RememberedHeadStart() {
        if (thread.joinable()) thread.join();
    }
    void Run() {
        const std::wstring base = LauncherFolderFull();
        volume = GameFolderVolume(base);
        RecordHead head;
        // Another volume's record (a copied game folder) names other files' IDs.
        if (volume == 0 || !DecodeRecord(ReadRecordFile(VerifiedRecordPath()), &head, &rows) ||
            head.volume != volume) {
            rows.clear();
            return;
        }
        listed.resize(rows.size());
        settled.assign(rows.size(), 0);
        ListFolders(FoldersOf(rows, AllOf(rows.size()), base), volume, listed, settled);
    }
};

bool NoWriterHolds(const std::wstring& path) {
    // Readers only are shared: the open fails while any handle can write the file.
    return OpenForReading(path, FILE_SHARE_READ).Valid();
}

std::shared_ptr<RememberedHeadStart> StartRemembering() {
    if (!kBuilt) return nullptr;
    auto early = std::make_shared<RememberedHeadStart>();
    // Without a thread the same work is done when the manifest is in.
    if (!StartThread(early->thread, [raw = early.get()] { raw->Run(); })) return nullptr;
    return early;
}

RememberedFiles PrepareRemembered(const std::vector<ManifestEntry>& entries,
                                  std::shared_ptr<RememberedHeadStart> early) {
    RememberedFiles out;
    if (!kBuilt || entries.empty()) return out;
    if (early && early->thread.joinable()) early->thread.join();
    const std::wstring base = LauncherFolderFull();
    out.folderVolume = early ? early->volume : GameFolderVolume(base);
    if (out.folderVolume == 0) return out;
    out.listed.resize(entries.size());
    out.settled.assign(entries.size(), 0);
    out.current.assign(entries.size(), 0);

    // What the head start listed serves the entries the record names; only the others' folders
    // are listed now (all of them in a full run, which has no head start).
    std::unordered_map<std::wstring_view, int32_t> byPath;
    if (early) {
        byPath.reserve(early->rows.size());
        for (size_t r = 0; r < early->rows.size(); ++r)
            byPath.emplace(early->rows[r].path, static_cast<int32_t>(r));
    }
    std::vector<int32_t> unlisted;
    for (size_t i = 0; i < entries.size(); ++i) {
        const auto found = byPath.find(entries[i].path);
        if (found == byPath.end()) {
            unlisted.push_back(static_cast<int32_t>(i));
            continue;
        }
        const RecordEntry& row = early->rows[found->second];
        out.listed[i] = early->listed[found->second];
        out.settled[i] = early->settled[found->second];
        out.current[i] = Trustworthy(out.listed[i]) && row.identity == out.listed[i] &&
                         row.md5 == entries[i].hash &&
                         (entries[i].sha256.empty() || row.sha256 == entries[i].sha256);
    }
    if (early) out.recordRows = early->rows.size();
    ListFolders(FoldersOf(entries, unlisted, base), out.folderVolume, out.listed, out.settled);
    return out;
}

void SaveRemembered(const RememberedFiles& remembered, const std::vector<ManifestEntry>& entries,
                    const std::vector<Verdict>& verdicts) {
    if (!kBuilt || remembered.listed.size() != entries.size() || verdicts.size() < entries.size())
        return;
    // Proven this run (or vouched for and listed unchanged), and unchanged since well before
    // its folder was listed: any later write moves its change time. A Fine verdict of a row
    // with a SHA-256 was reached by computing it (verify_file), so the row's digests are what
    // was found on disk.
    const auto kept = [&](size_t i) {
        const FileIdentity& id = remembered.listed[i];
        return verdicts[i] == Verdict::Fine && remembered.settled[i] && Trustworthy(id) &&
               !HexToBytes(entries[i].hash, 16).empty();
    };
    // A record whose every row vouched for a file, and nothing more to remember: the same
    // record again, so it is not rewritten.
    size_t vouched = 0, keep = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        vouched += remembered.current[i];
        keep += remembered.current[i] || kept(i);
    }
    if (vouched == remembered.recordRows && keep == vouched) return;
    std::vector<RecordEntry> record;
    for (size_t i = 0; i < entries.size(); ++i)
        if (kept(i))
            record.push_back(
                {entries[i].path, entries[i].hash, entries[i].sha256, remembered.listed[i]});
    WriteRecordFile(VerifiedRecordPath(),
                    WithHead(kRecordVersion, EncodePayload(remembered.folderVolume, record)));
}

#include "base/paths.h"

#include <windows.h>

#include "base/handles.h"
#include "base/manifest_entry.h"

namespace {

constexpr wchar_t kLongPrefix[] = L"\\\\?\\";
constexpr wchar_t kLongSharePrefix[] = L"\\\\?\\UNC\\";

bool StartsWith(const std::wstring& text, const wchar_t* start) {
    return text.rfind(start, 0) == 0;
}

} // namespace

std::wstring LongPathForm(const std::wstring& path) {
    if (path.size() < kPlainPathLimit || StartsWith(path, kLongPrefix)) return path;
    if (path.size() > 2 && path[1] == L':' && path[2] == L'\\') return kLongPrefix + path;
    // A share, not a device path ("\\.\").
    if (StartsWith(path, L"\\\\") && !StartsWith(path, L"\\\\.\\"))
        return kLongSharePrefix + path.substr(2);
    return path;
}

std::wstring PlainPath(const std::wstring& path) {
    if (StartsWith(path, kLongSharePrefix)) return L"\\\\" + path.substr(8);
    if (StartsWith(path, kLongPrefix)) return path.substr(4);
    return path;
}

std::wstring ResolveFullPath(const std::wstring& path) {
    // The plain form: a prefixed one is not resolved at all.
    const std::wstring plain = PlainPath(path);
    DWORD needed = GetFullPathNameW(plain.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    DWORD written = GetFullPathNameW(plain.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) return path;
    full.resize(written);
    return LongPathForm(full);
}

std::wstring LauncherExePath() {
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0) return {};
        // A name cut to the buffer fills it whole.
        if (length < buffer.size()) {
            buffer.resize(length);
            return LongPathForm(buffer);
        }
        if (buffer.size() >= 32768) return {};
        buffer.resize(buffer.size() * 2);
    }
}

std::wstring LauncherFolder() {
    return ParentFolderOf(LauncherExePath());
}

std::wstring LauncherFolderFull() {
    return ResolveFullPath(LauncherFolder() + L"\\.");
}

std::wstring InstDonePath() {
    return ResolveFullPath(LauncherFolder() + L"\\Log\\inst_done");
}
std::wstring LangSetPath() {
    return ResolveFullPath(LauncherFolder() + L"\\Log\\lang_set");
}
std::wstring OptDatPath() {
    return ResolveFullPath(LauncherFolder() + L"\\opt.dat");
}
std::wstring DownloadMarkerPath() {
    return ResolveFullPath(LauncherFolder() + L"\\.zarvo_downloading");
}

std::wstring LocalPathForEntry(const ManifestEntry& entry) {
    std::wstring relative = entry.path;
    for (wchar_t& c : relative)
        if (c == L'/') c = L'\\';
    return LongPathForm(PlainPath(LauncherFolderFull()) + L"\\" + relative);
}

bool MakeFolders(const std::wstring& folder) {
    const std::wstring plain = PlainPath(folder);
    const auto isFolder = [](const std::wstring& path) {
        const DWORD attributes = GetFileAttributesW(LongPathForm(path).c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
    };
    if (plain.empty() || isFolder(plain)) return !plain.empty();
    // Up to the deepest folder there, then down again making each one.
    size_t at = plain.size();
    while (at != std::wstring::npos && at > 0 && !isFolder(plain.substr(0, at)))
        at = plain.find_last_of(L"\\", at - 1);
    if (at == std::wstring::npos || at == 0) return false;
    for (at = plain.find(L'\\', at + 1);; at = plain.find(L'\\', at + 1)) {
        const std::wstring part = LongPathForm(plain.substr(0, at));
        if (!CreateDirectoryW(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        if (at == std::wstring::npos) return true;
    }
}

bool FileExists(const std::wstring& path) {
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// The elevated launcher writes its markers; a link planted at a marker's name or at Log\ would
// send the write anywhere. Such a name is left alone and the marker is not written: removing
// the link is not safe everywhere (Wine's delete and rename act on what a link points at).
void CreateEmptyFile(const std::wstring& path, DWORD attributes) {
    if (IsReparsePoint(GetFileAttributesW(path.c_str()))) return;
    FileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                attributes | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Log\ as a real folder, made when missing; false when it is something else.
bool MakeLogFolder(const std::wstring& logFolder) {
    if (IsReparsePoint(GetFileAttributesW(logFolder.c_str()))) return false;
    MakeFolders(logFolder);
    const DWORD attributes = GetFileAttributesW(logFolder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !IsReparsePoint(attributes);
}

void CreateMarkerInLog(const wchar_t* name) {
    if (!MakeLogFolder(ResolveFullPath(LauncherFolder() + L"\\Log"))) return;
    CreateEmptyFile(ResolveFullPath(LauncherFolder() + L"\\Log\\" + name), FILE_ATTRIBUTE_NORMAL);
}

} // namespace

void MarkInstalled() {
    CreateMarkerInLog(L"inst_done");
}
void MarkLanguageChosen() {
    CreateMarkerInLog(L"lang_set");
}
void ReplaceSmallFile(const std::wstring& path, std::string_view text) {
    if (!MakeLogFolder(ParentFolderOf(path))) return;
    const std::wstring temp = path + L"." + std::to_wstring(GetCurrentProcessId()) + L".tmp";
    {
        FileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file) return;
        DWORD written = 0;
        if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written,
                       nullptr) ||
            written != text.size()) {
            file.Reset();
            DeleteFileW(temp.c_str());
            return;
        }
    }
    if (!MoveFileExW(temp.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING))
        DeleteFileW(temp.c_str());
}

void CreateHiddenMarker(const std::wstring& path) {
    CreateEmptyFile(path, FILE_ATTRIBUTE_HIDDEN);
}

std::wstring ParentFolderOf(const std::wstring& path) {
    size_t separator = path.find_last_of(L"\\/");
    return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

void ClearReadOnly(const std::wstring& target) {
    FileHandle file(CreateFileW(target.c_str(), FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO info = {};
    if (!file || !GetFileInformationByHandleEx(file.Get(), FileBasicInfo, &info, sizeof info))
        return;
    if (!(info.FileAttributes & FILE_ATTRIBUTE_READONLY) ||
        (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)))
        return;
    info.FileAttributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
    if (info.FileAttributes == 0) info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file.Get(), FileBasicInfo, &info, sizeof info);
}

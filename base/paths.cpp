#include "base/paths.h"

#include <windows.h>
#include <shlobj.h>
#include <shlwapi.h>

#include "base/handles.h"
#include "base/manifest_entry.h"

std::wstring ResolveFullPath(const std::wstring& path) {
    DWORD needed = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0) return path;
    std::wstring full(needed, L'\0');
    DWORD written = GetFullPathNameW(path.c_str(), needed, full.data(), nullptr);
    if (written == 0 || written >= needed) return path;
    full.resize(written);
    return full;
}

std::wstring LauncherExePath() {
    wchar_t buffer[MAX_PATH] = {};
    DWORD length = GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    return std::wstring(buffer, length < MAX_PATH ? length : MAX_PATH - 1);
}

std::wstring LauncherFolder() {
    wchar_t buffer[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, buffer, MAX_PATH);
    PathRemoveFileSpecW(buffer);
    return buffer;
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
    return LauncherFolderFull() + L"\\" + relative;
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
    SHCreateDirectoryExW(nullptr, logFolder.c_str(), nullptr);
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

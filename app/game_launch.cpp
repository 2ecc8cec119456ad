#include "app/game_launch.h"

#include <windows.h>

#include <vector>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/manifest_entry.h"
#include "base/paths.h"
#include "base/process.h"
#include "update/digest.h"
#include "update/game_folder_rights.h"

namespace {

// The word the client expects on its command line when the launcher starts it.
constexpr wchar_t kLaunchToken[] = L"quorbint";

// The system's text for an error code as it comes (trailing line break included), or
// "(sin mensaje)" when the system has none.
std::wstring SystemErrorText(DWORD code) {
    LocalMemory buffer;
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0x0400, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    buffer.Reset(text);
    if (length == 0 || !text) return L"(sin mensaje)";
    return std::wstring(text, length);
}

// The client's row in the manifest of the last run, when it listed one. Read on the window
// thread while no run is under way, so the list stands still.
bool FindClientRow(ManifestEntry& row) {
    for (const ManifestEntry& entry : State().manifestEntries) {
        if (CompareStringOrdinal(entry.path.c_str(), -1, L"rovezuzav.exe", -1, TRUE) ==
            CSTR_EQUAL) {
            row = entry;
            return true;
        }
    }
    return false;
}

// The client opened so that nobody can write, replace or rename it while the handle is held
// (a start still may: it only reads); a link at its name is not followed.
FileHandle HoldClient(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!file || !GetFileInformationByHandle(file.Get(), &info) ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)))
        return FileHandle();
    return file;
}

// The held client's bytes against its row: what the run verified may have been swapped since.
bool HeldClientMatches(HANDLE file, const ManifestEntry& row) {
    // The digest alone, as the run's own verification judges a file.
    StreamDigest digest;
    std::vector<char> block(kFileReadBlock);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file, block.data(), static_cast<DWORD>(block.size()), &read, nullptr))
            return false;
        if (read == 0) break;
        digest.Update(block.data(), read);
    }
    return digest.Ok() && digest.Md5Hex() == row.hash;
}

} // namespace

bool LocateGameClient(std::wstring& clientPath, std::wstring& clientFolder) {
    std::wstring folder = LauncherFolderFull();
    std::wstring client = ResolveFullPath(folder + L"\\rovezuzav.exe");
    if (!FileExists(client)) {
        clientPath.clear();
        clientFolder.clear();
        return false;
    }
    // A program is started by its plain path: Wine refuses the "\\?\" form there.
    clientPath = PlainPath(client);
    clientFolder = PlainPath(folder);
    return true;
}

bool LaunchGame() {
    std::wstring clientPath, clientFolder;
    if (!LocateGameClient(clientPath, clientFolder)) {
        SetStatusText(L"Error: rovezuzav.exe");
        return false;
    }
    if (const std::wstring refusal = GameFolderRefusal(); !refusal.empty()) {
        SetStatusText(refusal);
        return false;
    }
    // The launcher runs elevated: the file it starts is the one it checks, held until the
    // process exists. A client the manifest lists must still carry its listed bytes.
    FileHandle held = HoldClient(clientPath);
    ManifestEntry row;
    if (!held || (FindClientRow(row) && !HeldClientMatches(held.Get(), row))) {
        SetStatusText(L"Error: rovezuzav.exe");
        return false;
    }

    // The launcher does not wait for the game.
    DWORD code = 0;
    if (!StartDetachedProcess(clientPath, L"\"" + clientPath + L"\" " + kLaunchToken, clientFolder,
                              &code)) {
        SetStatusText(L"CreateProcess (" + std::to_wstring(code) + L"): " + SystemErrorText(code));
        return false;
    }
    PostQuitMessage(0);
    return true;
}

void DeleteRptFiles(const std::wstring& folder) {
    for (const wchar_t* pattern : {L"\\*.RPT", L"\\*.rpt"}) {
        WIN32_FIND_DATAW entry;
        FindHandle search(FindFirstFileW((folder + pattern).c_str(), &entry));
        if (!search) continue;
        do {
            if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW((folder + L"\\" + entry.cFileName).c_str());
        } while (FindNextFileW(search.Get(), &entry));
    }
}

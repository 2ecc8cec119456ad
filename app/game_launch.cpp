#include "app/game_launch.h"

#include <windows.h>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "base/process.h"

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

} // namespace

bool LocateGameClient(std::wstring& clientPath, std::wstring& clientFolder) {
    std::wstring folder = LauncherFolderFull();
    std::wstring client = ResolveFullPath(folder + L"\\rovezuzav.exe");
    if (!FileExists(client)) {
        clientPath.clear();
        clientFolder.clear();
        return false;
    }
    clientPath = client;
    clientFolder = folder;
    return true;
}

bool LaunchGame() {
    std::wstring clientPath, clientFolder;
    if (!LocateGameClient(clientPath, clientFolder)) {
        SetStatusText(L"Error: rovezuzav.exe");
        return false;
    }

    // The launcher does not wait for the game.
    DWORD code = 0;
    if (!StartDetachedProcess(clientPath, L"\"" + clientPath + L"\" " + kLaunchToken,
                              clientFolder, &code)) {
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

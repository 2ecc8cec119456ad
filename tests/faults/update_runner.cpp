// One update run in a process of its own, the way the launcher's update thread runs it, for
// the fault tests that need the run somewhere else than in the test program: two runs in one
// folder at once, or a run from a folder on a small drive. The folder of this executable is
// the launcher folder.
//
//   update_runner.exe MANIFEST_URL MODE RESULT_FILE
//
// RESULT_FILE receives every status text of the run, one UTF-8 line each, then "end" and the
// process's peak working set in bytes; it is written under another name and renamed, so a
// reader never sees half of it.
#include <windows.h>
#include <psapi.h>

#include <mutex>
#include <string>
#include <vector>

#include "base/launcher_state.h"
#include "support/test_support.h"
#include "update/update_run.h"

namespace {

std::mutex gMutex;
std::vector<std::wstring> gTexts;

void Record(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(gMutex);
    gTexts.push_back(text);
}

bool WriteResult(const std::wstring& path) {
    std::string body;
    {
        std::lock_guard<std::mutex> lock(gMutex);
        for (const std::wstring& text : gTexts)
            body += test::Narrow(text) + "\n";
    }
    body += "end\n";
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof(memory);
    if (GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof(memory)))
        body += std::to_string(memory.PeakWorkingSetSize) + "\n";
    const std::wstring temporary = path + L".part";
    HANDLE file = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, body.data(), static_cast<DWORD>(body.size()), &written, nullptr) &&
              written == body.size();
    CloseHandle(file);
    return ok && MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING);
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4) return 2;
    SetStatusListener(Record);
    RunUpdateWithManifestUrl(argv[1], argv[2]);
    SetStatusListener(nullptr);
    return WriteResult(argv[3]) ? 0 : 1;
}

// One update run of the launcher's own code in this process, timed, for the benchmarks
// (bench/bench.py). The folder of this executable is the launcher folder.
//
//   bench_run.exe run MANIFEST_URL MODE RESULT_FILE
//       runs RunUpdateWithManifestUrl and writes "status=", "seconds=" (the run alone, from the
//       manifest request to the final status), "started=" (the run's start in seconds since
//       1970, to set beside a server's log), "peak_before=" and "peak_after=" (the process's
//       peak working set in bytes before and after the run)
//   bench_run.exe counts FILES RESULT_FILE
//       writes the worker counts the run uses for that many entries on this machine
//   bench_run.exe phases MANIFEST_URL RESULT_FILE
//       writes how long a run with remembered verification takes for the manifest, for the
//       folders' listing alone and with the record's read, and for writing the record
//   bench_run.exe manifest MANIFEST_URL RESULT_FILE
//       writes "seconds=" for the part of a run before any file is looked at: the manifest's
//       first request in this process and its parsing ("entries=" counts what it listed)
#include <windows.h>
#include <psapi.h>

#include <string>
#include <thread>

#include "base/launcher_state.h"
#include "support/test_support.h"
#include "net/http.h"
#include "update/manifest.h"
#include "update/update_run.h"
#include "update/verified_record.h"

namespace {

uint64_t PeakWorkingSet() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters))) return 0;
    return counters.PeakWorkingSetSize;
}

bool WriteText(const std::wstring& path, const std::string& text) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
              written == text.size();
    CloseHandle(file);
    return ok;
}

int Run(const wchar_t* url, const wchar_t* mode, const wchar_t* result) {
    const uint64_t before = PeakWorkingSet();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    FILETIME now = {};
    GetSystemTimePreciseAsFileTime(&now);
    QueryPerformanceCounter(&start);
    RunUpdateWithManifestUrl(url, mode);
    QueryPerformanceCounter(&end);
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    std::string text = "status=" + test::Narrow(CurrentStatusText()) + "\n";
    text += "seconds=" + std::to_string(seconds) + "\n";
    const uint64_t ticks = (uint64_t{now.dwHighDateTime} << 32) | now.dwLowDateTime;
    const uint64_t kUnixEpoch = 116444736000000000; // 1970-01-01 in 100 ns since 1601
    text += "started=" + std::to_string(static_cast<double>(ticks - kUnixEpoch) / 1e7) + "\n";
    text += "peak_before=" + std::to_string(before) + "\n";
    text += "peak_after=" + std::to_string(PeakWorkingSet()) + "\n";
    return WriteText(result, text) ? 0 : 1;
}

int Manifest(const wchar_t* url, const wchar_t* result) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const bool parsed = ParseManifest(HttpGetToString(AddNoCacheParam(url)));
    QueryPerformanceCounter(&end);
    const double seconds = static_cast<double>(end.QuadPart - start.QuadPart) /
                           static_cast<double>(frequency.QuadPart);
    std::string text = "seconds=" + std::to_string(seconds) + "\n";
    text += "entries=" + std::to_string(parsed ? State().manifestEntries.size() : 0) + "\n";
    return WriteText(result, text) ? 0 : 1;
}

// Where a remembered run's time goes: the manifest, the folders' listing alone, the listing
// with the record's read (as a light run does it), and the record's write (each in seconds).
int Phases(const wchar_t* url, const wchar_t* result) {
    LARGE_INTEGER frequency, t0, t1, t2, t3, t4;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t0);
    const bool parsed = ParseManifest(HttpGetToString(AddNoCacheParam(url)));
    const std::vector<ManifestEntry>& entries = State().manifestEntries;
    QueryPerformanceCounter(&t1);
    PrepareRemembered(entries, nullptr);
    QueryPerformanceCounter(&t2);
    const RememberedFiles remembered = PrepareRemembered(entries, StartRemembering());
    QueryPerformanceCounter(&t3);
    size_t current = 0;
    for (uint8_t c : remembered.current)
        current += c;
    SaveRemembered(remembered, entries, std::vector<Verdict>(entries.size(), Verdict::Fine));
    QueryPerformanceCounter(&t4);
    const auto seconds = [&](LARGE_INTEGER a, LARGE_INTEGER b) {
        return std::to_string(static_cast<double>(b.QuadPart - a.QuadPart) /
                              static_cast<double>(frequency.QuadPart));
    };
    std::string text = "entries=" + std::to_string(parsed ? entries.size() : 0);
    text += "\nremembered=" + std::to_string(current) + "\nmanifest=" + seconds(t0, t1);
    text += "\nlisting_only=" + seconds(t1, t2) + "\nlisting=" + seconds(t2, t3);
    text += "\nsaving=" + seconds(t3, t4) + "\n";
    return WriteText(result, text) ? 0 : 1;
}

int Counts(const wchar_t* files, const wchar_t* result) {
    const int32_t count = static_cast<int32_t>(_wtoi(files));
    const unsigned processors = std::thread::hardware_concurrency();
    std::string text = "processors=" + std::to_string(processors) + "\n";
    text += "verify_workers=" + std::to_string(VerifyWorkerCount(processors, count)) + "\n";
    text += "download_workers=" + std::to_string(DownloadWorkerCount(processors, count)) + "\n";
    return WriteText(result, text) ? 0 : 1;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 5 && std::wstring(argv[1]) == L"run") return Run(argv[2], argv[3], argv[4]);
    if (argc == 4 && std::wstring(argv[1]) == L"counts") return Counts(argv[2], argv[3]);
    if (argc == 4 && std::wstring(argv[1]) == L"manifest") return Manifest(argv[2], argv[3]);
    if (argc == 4 && std::wstring(argv[1]) == L"phases") return Phases(argv[2], argv[3]);
    return 2;
}

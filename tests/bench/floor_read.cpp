// The floor of a verification on this system: open, read and close the same files on the same
// number of threads, with one 1 MiB buffer per thread and nothing else per file, for the
// benchmarks (bench/bench.py).
//
//   floor_read.exe LIST_FILE ROOT THREADS RESULT_FILE
//       LIST_FILE holds one path per line, relative to ROOT; writes "seconds=" (first open to
//       last close), "files=" (read to the end) and "bytes="
#include <windows.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "floor_common.h"

namespace {

std::atomic<size_t> nextFile{0};
std::atomic<uint64_t> totalFiles{0}, totalBytes{0};

void ReadFiles(const std::vector<std::wstring>& paths) {
    std::vector<char> buffer(1 << 20);
    uint64_t files = 0, bytes = 0;
    for (size_t i = nextFile++; i < paths.size(); i = nextFile++) {
        HANDLE file = CreateFileW(paths[i].c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
        if (file == INVALID_HANDLE_VALUE) continue;
        DWORD got = 0;
        bool ok = true;
        while ((ok = ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got,
                              nullptr)) &&
               got > 0)
            bytes += got;
        CloseHandle(file);
        if (ok) ++files;
    }
    totalFiles += files;
    totalBytes += bytes;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 5) return 2;
    std::vector<std::wstring> paths = floors::ReadList(argv[1], std::wstring(argv[2]) + L"\\");
    const int threads = _wtoi(argv[3]);
    if (paths.empty() || threads < 1) return 2;

    const double start = floors::NowSeconds();
    std::vector<std::thread> workers;
    for (int i = 0; i < threads; ++i)
        workers.emplace_back(ReadFiles, std::cref(paths));
    for (std::thread& t : workers)
        t.join();
    const double seconds = floors::NowSeconds() - start;

    return floors::WriteResult(argv[4], seconds, totalFiles, totalBytes) ? 0 : 1;
}

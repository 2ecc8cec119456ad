// bench/bench_delta.py's program under Wine: applies a delta as the launcher would (the old
// file read in windows, the delta streamed, the new file written in order), or does the floor's
// work (the old file read and the new size written), or nothing. Prints its own time and peak
// memory, so Wine's start is not in the figures.
//   delta_apply_bench apply OLD DELTA OUT
//   delta_apply_bench floor OLD NEWSIZE OUT
//   delta_apply_bench idle
#include "delta/delta.h"

#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

HANDLE OpenRead(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}
HANDLE OpenWrite(const wchar_t* path) {
    return CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
}
uint64_t SizeOf(HANDLE h) {
    LARGE_INTEGER size{};
    GetFileSizeEx(h, &size);
    return static_cast<uint64_t>(size.QuadPart);
}
bool ReadAt(HANDLE h, uint64_t offset, uint8_t* out, size_t n) {
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    DWORD got = 0;
    return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
           ReadFile(h, out, static_cast<DWORD>(n), &got, nullptr) && got == n;
}
bool WriteAll(HANDLE h, const uint8_t* data, size_t n) {
    DWORD put = 0;
    return WriteFile(h, data, static_cast<DWORD>(n), &put, nullptr) && put == n;
}

int Apply(const wchar_t* oldPath, const wchar_t* deltaPath, const wchar_t* outPath) {
    HANDLE old = OpenRead(oldPath), delta = OpenRead(deltaPath), out = OpenWrite(outPath);
    if (old == INVALID_HANDLE_VALUE || delta == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE)
        return 1;
    uint8_t head[kDeltaHeaderSize];
    DeltaHeader header;
    if (!ReadAt(delta, 0, head, sizeof head) || ReadDeltaHeader(head, &header) != DeltaStatus::Ok ||
        !ReadAt(delta, 0, head, 0))
        return 1;
    DeltaApplyIo io;
    io.readDelta = [&](uint8_t* buffer, size_t capacity) -> int64_t {
        DWORD got = 0;
        if (!ReadFile(delta, buffer, static_cast<DWORD>(capacity), &got, nullptr)) return -1;
        return got;
    };
    io.readOld = [&](uint64_t offset, uint8_t* buffer, size_t n) {
        return ReadAt(old, offset, buffer, n);
    };
    io.writeNew = [&](const uint8_t* data, size_t n) { return WriteAll(out, data, n); };
    DeltaStatus status = ApplyDelta(io, SizeOf(old), header.newSize, nullptr);
    CloseHandle(out);
    if (status != DeltaStatus::Ok) std::printf("status=%s\n", DeltaStatusName(status));
    return status == DeltaStatus::Ok ? 0 : 1;
}

int Floor(const wchar_t* oldPath, uint64_t newSize, const wchar_t* outPath) {
    HANDLE old = OpenRead(oldPath), out = OpenWrite(outPath);
    if (old == INVALID_HANDLE_VALUE || out == INVALID_HANDLE_VALUE) return 1;
    std::vector<uint8_t> block(kDeltaOldWindow);
    uint64_t oldSize = SizeOf(old);
    for (uint64_t at = 0; at < oldSize; at += block.size()) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), oldSize - at));
        if (!ReadAt(old, at, block.data(), n)) return 1;
    }
    for (uint64_t at = 0; at < newSize; at += block.size()) {
        size_t n = static_cast<size_t>(std::min<uint64_t>(block.size(), newSize - at));
        if (!WriteAll(out, block.data(), n)) return 1;
    }
    CloseHandle(out);
    return 0;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    int status = 2;
    if (argc == 5 && std::wcscmp(argv[1], L"apply") == 0) {
        status = Apply(argv[2], argv[3], argv[4]);
    } else if (argc == 5 && std::wcscmp(argv[1], L"floor") == 0) {
        status = Floor(argv[2], std::wcstoull(argv[3], nullptr, 10), argv[4]);
    } else if (argc == 2 && std::wcscmp(argv[1], L"idle") == 0) {
        status = 0;
    }
    QueryPerformanceCounter(&end);
    PROCESS_MEMORY_COUNTERS memory{};
    GetProcessMemoryInfo(GetCurrentProcess(), &memory, sizeof memory);
    std::printf("seconds=%.4f\npeak_kib=%llu\n",
                static_cast<double>(end.QuadPart - start.QuadPart) / frequency.QuadPart,
                static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024));
    return status;
}

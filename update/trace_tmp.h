#pragma once
#include <windows.h>
#include <cstdio>
inline void TraceT(const char* what) {
    static LARGE_INTEGER f, s; static bool init = false;
    if (!init) { QueryPerformanceFrequency(&f); QueryPerformanceCounter(&s); init = true; }
    LARGE_INTEGER n; QueryPerformanceCounter(&n);
    static FILE* out = _wfopen(L"C:\\trace.txt", L"a");
    if (out) { fprintf(out, "%8.3f %lu %s\n", double(n.QuadPart - s.QuadPart) / f.QuadPart, GetCurrentThreadId(), what); fflush(out); }
}

// Holds a file open without any sharing, as another program may (an antivirus scan, a game
// client still running), until it is killed; creates the file when it is missing.
//
//   file_holder.exe PATH READY_FILE
//
// READY_FILE is created once PATH is open. Ends by itself after two minutes at the latest.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) return 2;
    HANDLE held = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    Sleep(120000);
    CloseHandle(held);
    return 0;
}

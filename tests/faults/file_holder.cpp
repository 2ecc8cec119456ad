// Holds a file open without any sharing, as another program may (an antivirus scan, a game
// client still running), until it is killed; creates the file when it is missing. With
// "shared" it is held for reading with every kind of sharing, as a scanner that lets others
// delete may, which still keeps a rename over it from taking place.
//
//   file_holder.exe PATH READY_FILE [shared]
//
// READY_FILE is created once PATH is open. Ends by itself after two minutes at the latest.
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    if (argc != 3 && argc != 4) return 2;
    const bool shared = argc == 4 && lstrcmpW(argv[3], L"shared") == 0;
    HANDLE held = CreateFileW(argv[1], shared ? GENERIC_READ : GENERIC_READ | GENERIC_WRITE,
                              shared ? FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE : 0,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 1;
    HANDLE ready = CreateFileW(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    if (ready != INVALID_HANDLE_VALUE) CloseHandle(ready);
    Sleep(120000);
    CloseHandle(held);
    return 0;
}

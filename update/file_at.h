// Positioned reads and writes on a file handle opened for synchronous access, for the units
// that build a file block by block out of order.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "base/handles.h"

// Writes all of data at offset; false on any failure or a short write.
inline bool WriteAt(HANDLE file, uint64_t offset, const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    while (size > 0) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        const DWORD piece = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(file, bytes, piece, &written, &at) || written == 0) return false;
        bytes += written;
        offset += written;
        size -= written;
    }
    return true;
}

// Reads up to size bytes at offset; the count read (less at the end of the file), or -1.
inline int64_t ReadAt(HANDLE file, uint64_t offset, void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = {};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        const size_t left = size - done;
        const DWORD piece = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD read = 0;
        if (!ReadFile(file, bytes + done, piece, &read, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF) break;
            return -1;
        }
        if (read == 0) break;
        done += read;
    }
    return static_cast<int64_t>(done);
}

// Reads up to size bytes from the handle's own file position on; the count read (less at the
// end of the file), or -1.
inline int64_t ReadOnward(HANDLE file, void* data, size_t size) {
    auto* bytes = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const size_t left = size - done;
        const DWORD piece = left > (1u << 30) ? (1u << 30) : static_cast<DWORD>(left);
        DWORD read = 0;
        if (!ReadFile(file, bytes + done, piece, &read, nullptr)) return -1;
        if (read == 0) break;
        done += read;
    }
    return static_cast<int64_t>(done);
}

// The same at offset, for a handle no other thread uses meanwhile. Under Wine a read at an
// explicit offset on a synchronous handle costs a round trip of its own (about 70 us more per
// read of 1 MiB); moving the position first does not.
inline int64_t ReadAtOwnPosition(HANDLE file, uint64_t offset, void* data, size_t size) {
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file, at, nullptr, FILE_BEGIN)) return -1;
    return ReadOnward(file, data, size);
}

// Cuts or extends the file to size bytes.
inline bool SetFileLength(HANDLE file, uint64_t size) {
    LARGE_INTEGER at = {};
    at.QuadPart = static_cast<LONGLONG>(size);
    return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}

inline uint64_t FileSizeOf(HANDLE file) {
    LARGE_INTEGER size = {};
    return GetFileSizeEx(file, &size) ? static_cast<uint64_t>(size.QuadPart) : 0;
}

// An existing file opened for reading, sharing it as share says.
inline FileHandle OpenForReading(const std::wstring& path, DWORD share = FILE_SHARE_READ,
                                 DWORD flags = FILE_ATTRIBUTE_NORMAL) {
    return FileHandle(
        CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr));
}

// Renames the file open as file (with DELETE access) to path, a full path in the same
// folder: through the handle, so that the file renamed is the one held, whatever another
// program did with the names meanwhile.
inline bool RenameHeldFile(HANDLE file, const std::wstring& path, bool replace) {
    const size_t bytes = path.size() * sizeof(wchar_t);
    std::string info(sizeof(FILE_RENAME_INFO) + bytes, '\0');
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(info.data());
    rename->ReplaceIfExists = replace;
    rename->FileNameLength = static_cast<DWORD>(bytes);
    path.copy(rename->FileName, path.size());
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(info.size())) != 0;
}

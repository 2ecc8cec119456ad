// What both floor programs share: the list of files, a clock and the result file.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace floors {

// One entry per non-empty line of a UTF-8 list, '/' turned into '\', prefix in front.
inline std::vector<std::wstring> ReadList(const wchar_t* listPath, const std::wstring& prefix,
                                          bool backslashes = true) {
    std::vector<std::wstring> out;
    HANDLE file =
        CreateFileW(listPath, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return out;
    std::string text;
    char chunk[65536];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof(chunk), &got, nullptr) && got > 0)
        text.append(chunk, got);
    CloseHandle(file);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        std::wstring wide(line.size(), L'\0');
        wide.resize(MultiByteToWideChar(CP_UTF8, 0, line.data(), static_cast<int>(line.size()),
                                        wide.data(), static_cast<int>(wide.size())));
        if (backslashes)
            for (wchar_t& c : wide)
                if (c == L'/') c = L'\\';
        out.push_back(prefix + wide);
    }
    return out;
}

inline double NowSeconds() {
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / static_cast<double>(frequency.QuadPart);
}

inline bool WriteResult(const wchar_t* path, double seconds, uint64_t files, uint64_t bytes) {
    const std::string text = "seconds=" + std::to_string(seconds) +
                             "\nfiles=" + std::to_string(files) +
                             "\nbytes=" + std::to_string(bytes) + "\n";
    HANDLE file =
        CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
    return written == text.size();
}

} // namespace floors

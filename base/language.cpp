#include "base/language.h"

#include <windows.h>

#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"

namespace {
constexpr LONGLONG kLanguageOffset = 160;
constexpr LONGLONG kMinimumOptSize = kLanguageOffset + 4;

// opt.dat belongs to the game client: it is only ever opened existing, and only the four
// bytes at 160 are touched, so a file shorter than 164 bytes is never extended.
bool SeekToLanguage(HANDLE file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart < kMinimumOptSize) return false;
    LARGE_INTEGER offset;
    offset.QuadPart = kLanguageOffset;
    return SetFilePointerEx(file, offset, nullptr, FILE_BEGIN) != 0;
}
} // namespace

int32_t ReadClientLanguage() {
    FileHandle file(CreateFileW(OptDatPath().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !SeekToLanguage(file.Get())) return 0;
    unsigned char bytes[4] = {};
    DWORD read = 0;
    if (!ReadFile(file.Get(), bytes, 4, &read, nullptr) || read != 4) return 0;
    return static_cast<int32_t>(bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) |
                                (static_cast<uint32_t>(bytes[3]) << 24));
}

bool WriteClientLanguage(int32_t code) {
    FileHandle file(CreateFileW(OptDatPath().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || !SeekToLanguage(file.Get())) return false;
    uint32_t value = static_cast<uint32_t>(code);
    unsigned char bytes[4] = {
        static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
        static_cast<unsigned char>(value >> 16), static_cast<unsigned char>(value >> 24)};
    DWORD written = 0;
    if (!WriteFile(file.Get(), bytes, 4, &written, nullptr) || written != 4) return false;
    file.Reset();
    State().clientLanguage.store(code);
    return true;
}

void SetLanguage(int32_t code) {
    if (WriteClientLanguage(code)) {
        MarkLanguageChosen();
        SetStatusText(code == kLanguageSpanish ? L"Idioma: Espanol" : L"Idioma: English");
    } else {
        SetStatusText(L"No se pudo escribir opt.dat");
    }
    InvalidateMainWindow();
}

int32_t DefaultLanguageCode() {
    return (GetUserDefaultUILanguage() & 0x3FF) == LANG_SPANISH ? kLanguageSpanish
                                                                : kLanguageEnglish;
}

void ChooseLanguageOnFirstStart() {
    if (FileExists(LangSetPath())) return;
    if (WriteClientLanguage(DefaultLanguageCode())) MarkLanguageChosen();
}

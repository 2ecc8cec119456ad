#include "app/image_check.h"

#include <windows.h>

#include <cstring>
#include <vector>

#include "base/handles.h"

namespace {

constexpr DWORD kMaxImageFile = 256u << 20;

bool ReadWholeFile(const std::wstring& path, std::vector<BYTE>& bytes) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 ||
        size.QuadPart > kMaxImageFile)
        return false;
    bytes.resize(static_cast<size_t>(size.QuadPart));
    DWORD read = 0;
    return ReadFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) &&
           read == bytes.size();
}

// Positions (relative to the image) the loader rewrites: relocated pointers, the import
// address table, the base address in the headers.
struct LoaderSpots {
    std::vector<bool> rewritten;
    void Mark(size_t from, size_t count) {
        for (size_t i = from; i < from + count && i < rewritten.size(); ++i)
            rewritten[i] = true;
    }
};

LoaderSpots FindLoaderSpots(const BYTE* image, const IMAGE_NT_HEADERS64* nt) {
    LoaderSpots spots;
    const DWORD imageSize = nt->OptionalHeader.SizeOfImage;
    spots.rewritten.assign(imageSize, false);
    spots.Mark(reinterpret_cast<const BYTE*>(&nt->OptionalHeader.ImageBase) - image,
               sizeof(nt->OptionalHeader.ImageBase));
    const IMAGE_DATA_DIRECTORY& iat = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IAT];
    if (nt->OptionalHeader.NumberOfRvaAndSizes > IMAGE_DIRECTORY_ENTRY_IAT)
        spots.Mark(iat.VirtualAddress, iat.Size);
    if (nt->OptionalHeader.NumberOfRvaAndSizes <= IMAGE_DIRECTORY_ENTRY_BASERELOC) return spots;
    const IMAGE_DATA_DIRECTORY& relocs =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_BASERELOC];
    if (relocs.VirtualAddress == 0 || relocs.VirtualAddress + relocs.Size > imageSize) return spots;
    // The running image's own table, not the file's: a file cannot hide bytes behind it.
    for (DWORD offset = 0; offset + sizeof(IMAGE_BASE_RELOCATION) <= relocs.Size;) {
        const auto* block =
            reinterpret_cast<const IMAGE_BASE_RELOCATION*>(image + relocs.VirtualAddress + offset);
        if (block->SizeOfBlock < sizeof(IMAGE_BASE_RELOCATION) ||
            offset + block->SizeOfBlock > relocs.Size)
            break;
        const auto* entries = reinterpret_cast<const WORD*>(block + 1);
        const DWORD count = (block->SizeOfBlock - sizeof(IMAGE_BASE_RELOCATION)) / sizeof(WORD);
        for (DWORD i = 0; i < count; ++i) {
            const WORD type = entries[i] >> 12;
            if (type == IMAGE_REL_BASED_ABSOLUTE) continue;
            spots.Mark(block->VirtualAddress + (entries[i] & 0x0fff),
                       type == IMAGE_REL_BASED_DIR64 ? 8 : 4);
        }
        offset += block->SizeOfBlock;
    }
    return spots;
}

bool SameBytes(const BYTE* memory, const BYTE* file, size_t rva, size_t count,
               const LoaderSpots& spots) {
    for (size_t i = 0; i < count; ++i) {
        if (memory[i] == file[i]) continue;
        if (rva + i < spots.rewritten.size() && spots.rewritten[rva + i]) continue;
        return false;
    }
    return true;
}

} // namespace

bool MatchesRunningImage(const std::wstring& path) {
    const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(image);
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(image + dos->e_lfanew);
    if (nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) return false;

    std::vector<BYTE> file;
    const DWORD headersSize = nt->OptionalHeader.SizeOfHeaders;
    if (!ReadWholeFile(path, file) || file.size() < headersSize) return false;
    const LoaderSpots spots = FindLoaderSpots(image, nt);
    // The headers name the sections and where each lies in the file: all of them must agree.
    if (!SameBytes(image, file.data(), 0, headersSize, spots)) return false;

    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i, ++section) {
        if (section->Characteristics & IMAGE_SCN_MEM_WRITE) continue;
        const size_t count = section->SizeOfRawData < section->Misc.VirtualSize
                                 ? section->SizeOfRawData
                                 : section->Misc.VirtualSize;
        if (count == 0) continue;
        if (section->PointerToRawData + count > file.size()) return false;
        if (!SameBytes(image + section->VirtualAddress, file.data() + section->PointerToRawData,
                       section->VirtualAddress, count, spots))
            return false;
    }
    return true;
}

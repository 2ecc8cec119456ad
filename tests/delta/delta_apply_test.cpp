// The decoder as the launcher builds it, under Wine: a delta made on the host from the
// launcher's own executable, applied through Win32 file reads in windows.
#include "delta/delta.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

namespace {

struct Win32File {
    HANDLE h = INVALID_HANDLE_VALUE;
    explicit Win32File(const wchar_t* path)
        : h(CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~Win32File() {
        if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
    Win32File(const Win32File&) = delete;
    Win32File& operator=(const Win32File&) = delete;
    uint64_t Size() const {
        LARGE_INTEGER size{};
        GetFileSizeEx(h, &size);
        return static_cast<uint64_t>(size.QuadPart);
    }
    bool ReadAt(uint64_t offset, uint8_t* out, size_t n) const {
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(offset);
        DWORD got = 0;
        return SetFilePointerEx(h, at, nullptr, FILE_BEGIN) &&
               ReadFile(h, out, static_cast<DWORD>(n), &got, nullptr) && got == n;
    }
    std::vector<uint8_t> All() const {
        std::vector<uint8_t> bytes(Size());
        EXPECT_TRUE(ReadAt(0, bytes.data(), bytes.size()));
        return bytes;
    }
};

DeltaStatus ApplyFiles(const std::vector<uint8_t>& delta, uint64_t newSize,
                       std::vector<uint8_t>* out) {
    Win32File old(L"old.bin");
    EXPECT_NE(old.h, INVALID_HANDLE_VALUE);
    DeltaApplyIo io;
    io.readOld = [&](uint64_t offset, uint8_t* buffer, size_t n) {
        return old.ReadAt(offset, buffer, n);
    };
    io.writeNew = [&](const uint8_t* data, size_t n) {
        EXPECT_LE(out->size() + n, newSize);
        out->insert(out->end(), data, data + n);
        return true;
    };
    return ApplyDeltaFromMemory(delta, io, old.Size(), newSize, nullptr);
}

TEST(DeltaApply, RebuildsTheLauncherPairAndRefusesACutDelta) {
    std::vector<uint8_t> next = Win32File(L"new.bin").All();
    std::vector<uint8_t> delta = Win32File(L"pair.zd").All();
    ASSERT_GT(next.size(), 100000u);
    ASSERT_LT(delta.size(), next.size() / 10);

    std::vector<uint8_t> out;
    EXPECT_EQ(ApplyFiles(delta, next.size(), &out), DeltaStatus::Ok);
    EXPECT_TRUE(out == next);

    out.clear();
    std::vector<uint8_t> cut(delta.begin(), delta.begin() + delta.size() / 2);
    EXPECT_NE(ApplyFiles(cut, next.size(), &out), DeltaStatus::Ok);
    out.clear();
    EXPECT_EQ(ApplyFiles(delta, next.size() + 1, &out), DeltaStatus::SizeMismatch);
}

} // namespace

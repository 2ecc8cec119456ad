// File digests through CryptoAPI, checked against digests that Python's hashlib computed for
// the same deterministic content when these tests were written.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "update/md5.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

// Byte i is (i * 131 + (i >> 11)) mod 256: no period that lines up with the 1 MiB block.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + (i >> 11)) & 0xFF);
    return bytes;
}

TEST(FileMd5, MatchesRfc1321AroundTheBlockSize) {
    test::TempDir dir(L"md5");
    struct Case {
        size_t size;
        const char* digest;
    } cases[] = {
        {0, "d41d8cd98f00b204e9800998ecf8427e"},
        {3, "2e3a6ed71fe7e8a0d57af54fb9f04cc3"},
        {kMiB, "0e16dbe9928c6ad1b64764b4f14a93c1"},
        {kMiB + 1, "752fe0c11ac7fa84131aed18b147317f"},
    };
    for (const Case& c : cases) {
        const std::wstring path = dir / (L"f" + std::to_wstring(c.size) + L".bin");
        ASSERT_TRUE(test::WriteFileBytes(path, Pattern(c.size)));
        EXPECT_EQ(ComputeFileMd5(path), c.digest) << c.size << " bytes";
    }
}

TEST(FileMd5, EmptyWhenTheFileCannotBeRead) {
    test::TempDir dir(L"md5");
    EXPECT_EQ(ComputeFileMd5(dir / L"missing.bin"), "");
    EXPECT_EQ(ComputeFileMd5(dir.Path()), ""); // a folder
    EXPECT_EQ(ComputeFileMd5(L""), "");

    const std::wstring locked = dir / L"locked.bin";
    ASSERT_TRUE(test::WriteFileBytes(locked, "abc"));
    {
        HANDLE holder = CreateFileW(locked.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(holder, INVALID_HANDLE_VALUE);
        EXPECT_EQ(ComputeFileMd5(locked), "");
        CloseHandle(holder);
    }
    // The hashing handle itself shares reading, and is closed again afterwards.
    HANDLE reader = CreateFileW(locked.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ComputeFileMd5(locked), "900150983cd24fb0d6963f7d28e17f72");
    CloseHandle(reader);
    EXPECT_TRUE(DeleteFileW(locked.c_str()));
}

} // namespace

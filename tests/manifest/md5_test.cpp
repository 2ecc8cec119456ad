// File and stream digests through CNG, checked against digests that Python's hashlib computed
// for the same deterministic content when these tests were written.
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>

#include "support/test_support.h"
#include "update/digest.h"

namespace {

constexpr size_t kMiB = 1024 * 1024;

// Byte i is (i * 131 + (i >> 11)) mod 256: no period that lines up with the 1 MiB block.
std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 131 + (i >> 11)) & 0xFF);
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

TEST(FileMd5, OneReusedBlockGivesEachFileItsOwnDigest) {
    // A worker's block keeps the previous file's bytes: nothing of them may leak into the next
    // digest, at sizes of nothing, exactly one block and one block plus a byte.
    test::TempDir dir(L"md5");
    struct Case {
        size_t size;
        const char* digest;
    } cases[] = {
        {4097, "36f7302bd7ddc159e931faed9554cfcc"},
        {0, "d41d8cd98f00b204e9800998ecf8427e"},
        {4096, "3ac3f3528f0acc88096bf8559ca96d5e"},
        {4097, "36f7302bd7ddc159e931faed9554cfcc"},
    };
    std::string block(4096, '\xAA');
    for (const Case& c : cases) {
        const std::wstring path = dir / (L"g" + std::to_wstring(c.size) + L".bin");
        ASSERT_TRUE(test::WriteFileBytes(path, Pattern(c.size)));
        EXPECT_EQ(ComputeFileMd5(path, std::span<char>(block)), c.digest) << c.size << " bytes";
    }
    EXPECT_EQ(ComputeFileMd5(dir / L"missing.bin", std::span<char>(block)), "");
}

TEST(StreamDigest, SameDigestsWhateverThePieces) {
    const std::string data = Pattern(kMiB + 1);
    const char* md5 = "752fe0c11ac7fa84131aed18b147317f";
    const char* sha256 = "f82352844ae07f46c805fca30227a72205ffeb29fd618012014ee42882b4840e";
    for (size_t piece : {size_t{1} << 20, size_t{256} * 1024, size_t{4095}, kMiB + 1}) {
        StreamDigest digest(true);
        ASSERT_TRUE(digest.Ok());
        for (size_t at = 0; at < data.size(); at += piece)
            digest.Update(data.data() + at, std::min(piece, data.size() - at));
        EXPECT_EQ(digest.Md5Hex(), md5) << piece;
        EXPECT_EQ(digest.Sha256Hex(), sha256) << piece;
        EXPECT_EQ(digest.Md5Hex(), md5); // finished once, asked again
    }
    StreamDigest empty(true);
    EXPECT_EQ(empty.Md5Hex(), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(empty.Sha256Hex(),
              "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");

    // Moved while under way, it goes on from where it was; without SHA-256, none is made.
    StreamDigest first;
    first.Update(data.data(), 1000);
    StreamDigest moved(std::move(first));
    moved.Update(data.data() + 1000, data.size() - 1000);
    EXPECT_EQ(moved.Md5Hex(), md5);
    EXPECT_EQ(moved.Sha256Hex(), "");
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

// Hashing throughput on a 256 MiB file, printed as a figure (run by hand, not a pass/fail
// test): build/test/md5_benchmark.exe under the test environment's Wine prefix.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "support/test_support.h"
#include "update/digest.h"

TEST(Md5Benchmark, Throughput256MiB) {
    constexpr size_t kSize = 256u * 1024 * 1024;
    test::TempDir dir(L"md5bench");
    const std::wstring path = dir / L"big.bin";
    std::string bytes(kSize, '\0');
    for (size_t i = 0; i < kSize; ++i) bytes[i] = static_cast<char>((i * 2654435761u) >> 24);
    ASSERT_TRUE(test::WriteFileBytes(path, bytes));
    const std::string expected = test::Md5Hex(bytes);
    bytes.clear();
    bytes.shrink_to_fit();

    for (int round = 1; round <= 3; ++round) {
        const auto start = std::chrono::steady_clock::now();
        const std::string digest = ComputeFileMd5(path);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(digest, expected);
        std::printf("ComputeFileMd5 round %d: 256 MiB in %.3f s = %.0f MB/s\n", round, seconds,
                    kSize / 1e6 / seconds);
    }
}

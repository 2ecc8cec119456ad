// What signatures cost the launcher, timed under Wine (bench/bench_sign.py runs it):
//   sign_bench MANIFEST BIGFILE ROUNDS [ROWS]
// MANIFEST is a signed manifest_full.json (key A of tests/sign/keys), BIGFILE the file whose
// SHA-256 a signed launcher checks after its download. ROWS, when given, lists files of a light
// run ("path md5 sha256" per line): their verification is timed as a light run's pool runs it,
// with the rows' MD5 only and with their SHA-256 too. Prints one "name value..." line per
// figure, best of ROUNDS.
#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "base/launcher_state.h"
#include "support/test_support.h"
#include "update/manifest.h"
#include "update/digest.h"
#include "net/signature.h"
#include "net/signing_keys.h"
#include "update/update_run.h"
#include "update/verify_file.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point& since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

template <typename F> double Best(int rounds, F&& f) {
    double best = 1e9;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        f();
        best = std::min(best, Seconds(start));
    }
    return best;
}

std::wstring WindowsPath(const wchar_t* unixPath) {
    std::wstring path = unixPath;
    if (!path.empty() && path[0] == L'/') path = L"Z:" + path;
    std::replace(path.begin(), path.end(), L'/', L'\\');
    return path;
}

// SHA-256 alone of size bytes fed from one buffer in 256 KiB blocks: the hashing a streamed check
// adds to a download, without the disk.
bool HashInMemory(uint64_t size) {
    BCRYPT_ALG_HANDLE alg = nullptr;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0) return false;
    BcryptAlgorithm provider(alg);
    BCRYPT_HASH_HANDLE raw = nullptr;
    if (BCryptCreateHash(provider.Get(), &raw, nullptr, 0, nullptr, 0, 0) != 0) return false;
    BcryptHash hash(raw);
    static std::vector<UCHAR> block(256 * 1024, 0x5a);
    for (uint64_t done = 0; done < size; done += block.size())
        BCryptHashData(hash.Get(), block.data(), static_cast<ULONG>(block.size()), 0);
    UCHAR digest[32];
    return BCryptFinishHash(hash.Get(), digest, sizeof(digest), 0) == 0;
}

// A file read in 1 MiB blocks through one digest, as a download is hashed while it is written.
std::string StreamFile(const std::wstring& path, bool withSha256) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};
    StreamDigest digest(withSha256);
    static std::vector<char> block(1024 * 1024);
    DWORD read = 0;
    while (ReadFile(file.Get(), block.data(), static_cast<DWORD>(block.size()), &read, nullptr) &&
           read > 0)
        digest.Update(block.data(), read);
    const std::string md5 = digest.Md5Hex();
    return withSha256 ? digest.Sha256Hex() : md5;
}

// The verification pool of a light run over rows: as many workers as a run starts, each with
// its read block. The rows' sizes are left out, so no index is asked for: this is the hashing.
// False when a file was not found to be its row's.
bool VerifyRows(const std::vector<std::pair<ManifestEntry, std::wstring>>& rows) {
    const int workers =
        VerifyWorkerCount(std::thread::hardware_concurrency(), static_cast<int32_t>(rows.size()));
    std::atomic<size_t> next{0};
    std::atomic<bool> fine{true};
    std::vector<std::thread> pool;
    for (int w = 0; w < workers; ++w) {
        pool.emplace_back([&] {
            const auto block = std::make_unique_for_overwrite<char[]>(kFileReadBlock);
            for (size_t i = next++; i < rows.size(); i = next++) {
                if (VerifyEntryFile(rows[i].first, rows[i].second,
                                    std::span<char>(block.get(), kFileReadBlock)) != Verdict::Fine)
                    fine = false;
            }
        });
    }
    for (std::thread& t : pool)
        t.join();
    return fine;
}

} // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 4 && argc != 5) {
        std::fprintf(stderr, "usage: sign_bench MANIFEST BIGFILE ROUNDS [ROWS]\n");
        return 2;
    }
    const std::string manifest = test::ReadFileBytes(WindowsPath(argv[1]));
    const std::wstring big = WindowsPath(argv[2]);
    const int rounds = std::max(1, _wtoi(argv[3]));

    DocumentCheck check = DocumentCheck::BadSignature;
    const double verify = Best(rounds, [&] {
        check = VerifySignedDocument(manifest, "manifest_full.json", kSigningKeys, kSigningKeyCount,
                                     0, 0, nullptr);
    });
    if (check != DocumentCheck::Accepted) {
        std::fprintf(stderr, "sign_bench: the manifest does not verify\n");
        return 1;
    }
    size_t rows = 0;
    const double parse = Best(rounds, [&] {
        ParseManifest(manifest);
        rows = State().manifestEntries.size();
    });
    std::printf("verify_manifest bytes=%zu rows=%zu seconds=%.6f\n", manifest.size(), rows, verify);
    std::printf("parse_manifest bytes=%zu rows=%zu seconds=%.6f\n", manifest.size(), rows, parse);

    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW(big.c_str(), GetFileExInfoStandard, &data);
    const uint64_t size = (uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::string sha, md5;
    const double shaFile = Best(rounds, [&] { sha = StreamFile(big, true); });
    const double md5File = Best(rounds, [&] { md5 = StreamFile(big, false); });
    const double shaMemory = Best(rounds, [&] { HashInMemory(size); });
    std::printf("sha256_file bytes=%llu seconds=%.6f digest=%s\n",
                static_cast<unsigned long long>(size), shaFile, sha.c_str());
    std::printf("md5_file bytes=%llu seconds=%.6f digest=%s\n",
                static_cast<unsigned long long>(size), md5File, md5.c_str());
    std::printf("sha256_memory bytes=%llu seconds=%.6f\n", static_cast<unsigned long long>(size),
                shaMemory);
    if (argc < 5) return 0;

    std::vector<std::pair<ManifestEntry, std::wstring>> signedRows, md5Rows;
    std::istringstream lines(test::ReadFileBytes(WindowsPath(argv[4])));
    std::string path, rowMd5, rowSha;
    uint64_t bytes = 0;
    while (lines >> path >> rowMd5 >> rowSha) {
        ManifestEntry entry;
        entry.hash = rowMd5;
        entry.sha256 = rowSha;
        const std::wstring local = WindowsPath(test::Widen(path).c_str());
        WIN32_FILE_ATTRIBUTE_DATA row = {};
        GetFileAttributesExW(local.c_str(), GetFileExInfoStandard, &row);
        bytes += (uint64_t(row.nFileSizeHigh) << 32) | row.nFileSizeLow;
        signedRows.push_back({entry, local});
        entry.sha256.clear();
        md5Rows.push_back({entry, local});
    }
    bool md5Fine = false, signedFine = false;
    // In turns, so that a slow spell of the machine falls on both.
    double md5Light = 1e9, signedLight = 1e9;
    for (int i = 0; i < rounds; ++i) {
        md5Light = std::min(md5Light, Best(1, [&] { md5Fine = VerifyRows(md5Rows); }));
        signedLight = std::min(signedLight, Best(1, [&] { signedFine = VerifyRows(signedRows); }));
    }
    if (!md5Fine || !signedFine) {
        std::fprintf(stderr, "sign_bench: a light run's file was not found to be its row's\n");
        return 1;
    }
    std::printf("light_md5 files=%zu bytes=%llu seconds=%.6f\n", md5Rows.size(),
                static_cast<unsigned long long>(bytes), md5Light);
    std::printf("light_signed files=%zu bytes=%llu seconds=%.6f\n", signedRows.size(),
                static_cast<unsigned long long>(bytes), signedLight);
    return 0;
}

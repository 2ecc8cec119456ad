#include "update/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

namespace {

constexpr size_t kMd5Size = 16;
constexpr size_t kSha256Size = 32;

struct Algorithm {
    BCRYPT_ALG_HANDLE handle = nullptr;
    DWORD objectLength = 0;
};

Algorithm OpenAlgorithm(const wchar_t* name) {
    Algorithm algorithm;
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, name, nullptr, 0))) return {};
    DWORD length = 0;
    ULONG written = 0;
    if (!BCRYPT_SUCCESS(BCryptGetProperty(handle, BCRYPT_OBJECT_LENGTH,
                                          reinterpret_cast<PUCHAR>(&length), sizeof(length),
                                          &written, 0)) ||
        written != sizeof(length)) {
        BCryptCloseAlgorithmProvider(handle, 0);
        return {};
    }
    algorithm.handle = handle;
    algorithm.objectLength = length;
    return algorithm;
}

// Opened at first use and kept until the process ends, so no hashing thread can ever find a
// provider closed under it; opening one per file cost far more than hashing a small file.
const Algorithm& Md5Algorithm() {
    static const Algorithm algorithm = OpenAlgorithm(BCRYPT_MD5_ALGORITHM);
    return algorithm;
}
const Algorithm& Sha256Algorithm() {
    static const Algorithm algorithm = OpenAlgorithm(BCRYPT_SHA256_ALGORITHM);
    return algorithm;
}

std::string Hex(const unsigned char* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(size * 2, '0');
    for (size_t i = 0; i < size; ++i) {
        text[2 * i] = kDigits[bytes[i] >> 4];
        text[2 * i + 1] = kDigits[bytes[i] & 0x0f];
    }
    return text;
}

} // namespace

StreamDigest::StreamDigest(bool withSha256) : withSha256_(withSha256) {
    Start(md5_, false);
    if (withSha256) Start(sha256_, true);
}

void StreamDigest::Start(Hash& hash, bool sha256) {
    const Algorithm& algorithm = sha256 ? Sha256Algorithm() : Md5Algorithm();
    if (!algorithm.handle) return;
    // The object buffer is ours (Windows 7 requires it) and lives on the heap, so moving the
    // digest never moves the state CNG points into.
    hash.object = std::make_unique_for_overwrite<unsigned char[]>(algorithm.objectLength);
    BCRYPT_HASH_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm.handle, &handle, hash.object.get(),
                                         algorithm.objectLength, nullptr, 0, 0))) {
        return;
    }
    hash.handle.Reset(handle);
    hash.failed = false;
}

bool StreamDigest::Ok() const {
    return !md5_.failed && (!withSha256_ || !sha256_.failed);
}

void StreamDigest::Feed(Hash& hash, const void* data, size_t size) {
    if (hash.failed || hash.finished) return;
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    while (size > 0) {
        const ULONG piece = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
        if (!BCRYPT_SUCCESS(BCryptHashData(hash.handle.Get(), bytes, piece, 0))) {
            hash.failed = true;
            return;
        }
        bytes += piece;
        size -= piece;
    }
}

void StreamDigest::Update(const void* data, size_t size) {
    Feed(md5_, data, size);
    if (withSha256_) Feed(sha256_, data, size);
}

std::string StreamDigest::Finish(Hash& hash, size_t digestSize) {
    if (!hash.finished && !hash.failed) {
        hash.finished = true;
        unsigned char value[kSha256Size] = {};
        if (BCRYPT_SUCCESS(
                BCryptFinishHash(hash.handle.Get(), value, static_cast<ULONG>(digestSize), 0)))
            hash.hex = Hex(value, digestSize);
        hash.handle.Reset();
    }
    return hash.hex;
}

std::string StreamDigest::Md5Hex() {
    return Finish(md5_, kMd5Size);
}
std::string StreamDigest::Sha256Hex() {
    return Finish(sha256_, kSha256Size);
}

std::string ComputeFileMd5(const std::wstring& path) {
    auto block = std::make_unique_for_overwrite<char[]>(kFileReadBlock);
    return ComputeFileMd5(path, std::span<char>(block.get(), kFileReadBlock));
}

std::string ComputeFileMd5(const std::wstring& path, std::span<char> block) {
    // A missing file or a folder fails right here, as a separate existence check would.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file || block.empty()) return {};
    StreamDigest digest;
    if (!digest.Ok()) return {};

    const DWORD blockSize = block.size() > MAXDWORD ? MAXDWORD : static_cast<DWORD>(block.size());
    DWORD read = 0;
    // A failed read ends the data like the end of the file; the digest then covers what was
    // read and will not match the manifest.
    while (ReadFile(file.Get(), block.data(), blockSize, &read, nullptr) && read > 0)
        digest.Update(block.data(), read);
    return digest.Md5Hex();
}

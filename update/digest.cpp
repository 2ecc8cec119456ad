#include "update/digest.h"

#include <windows.h>
#include <bcrypt.h>

#include <utility>

namespace {

BCRYPT_ALG_HANDLE Provider(const wchar_t* algorithm) {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (BCryptOpenAlgorithmProvider(&handle, algorithm, nullptr, 0) != 0) return nullptr;
    return handle;
}

BCRYPT_ALG_HANDLE Md5Provider() {
    static BCRYPT_ALG_HANDLE provider = Provider(BCRYPT_MD5_ALGORITHM);
    return provider;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
    static BCRYPT_ALG_HANDLE provider = Provider(BCRYPT_SHA256_ALGORITHM);
    return provider;
}

void* NewHash(BCRYPT_ALG_HANDLE provider) {
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!provider || BCryptCreateHash(provider, &hash, nullptr, 0, nullptr, 0, 0) != 0) return nullptr;
    return hash;
}

std::string Finish(void*& hash, size_t size) {
    if (!hash) return {};
    unsigned char out[32] = {};
    const bool ok = BCryptFinishHash(hash, out, static_cast<ULONG>(size), 0) == 0;
    BCryptDestroyHash(hash);
    hash = nullptr;
    if (!ok) return {};
    static const char kDigits[] = "0123456789abcdef";
    std::string hex;
    for (size_t i = 0; i < size; ++i) {
        hex += kDigits[out[i] >> 4];
        hex += kDigits[out[i] & 15];
    }
    return hex;
}

} // namespace

StreamDigest::StreamDigest(bool withSha256) : wantSha_(withSha256) {
    md5_ = NewHash(Md5Provider());
    if (withSha256) sha256_ = NewHash(Sha256Provider());
}

StreamDigest::~StreamDigest() {
    if (md5_) BCryptDestroyHash(md5_);
    if (sha256_) BCryptDestroyHash(sha256_);
}

StreamDigest::StreamDigest(StreamDigest&& other) noexcept
    : md5_(std::exchange(other.md5_, nullptr)), sha256_(std::exchange(other.sha256_, nullptr)),
      wantSha_(other.wantSha_), failed_(other.failed_) {}

StreamDigest& StreamDigest::operator=(StreamDigest&& other) noexcept {
    if (this != &other) {
        std::swap(md5_, other.md5_);
        std::swap(sha256_, other.sha256_);
        wantSha_ = other.wantSha_;
        failed_ = other.failed_;
    }
    return *this;
}

bool StreamDigest::Ok() const { return md5_ && (!wantSha_ || sha256_) && !failed_; }

void StreamDigest::Update(const void* data, size_t size) {
    auto* bytes = static_cast<PUCHAR>(const_cast<void*>(data));
    if (md5_ && BCryptHashData(md5_, bytes, static_cast<ULONG>(size), 0) != 0) failed_ = true;
    if (sha256_ && BCryptHashData(sha256_, bytes, static_cast<ULONG>(size), 0) != 0) failed_ = true;
}

std::string StreamDigest::Md5Hex() { return failed_ ? std::string() : Finish(md5_, 16); }
std::string StreamDigest::Sha256Hex() { return failed_ ? std::string() : Finish(sha256_, 32); }

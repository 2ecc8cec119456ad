#include "update/md5.h"

#include <windows.h>
#include <wincrypt.h>

#include <cstdio>
#include <vector>

#include "app/handles.h"

namespace {

constexpr DWORD kBlockSize = 1024 * 1024;
constexpr DWORD kDigestSize = 16;

} // namespace

std::string ComputeFileMd5(const std::wstring& path) {
    // Guards are declared so that they release in the order hash, block, context, file.
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return {};

    // The handles are taken over only on success: a failed call leaves its out-value
    // undefined.
    HCRYPTPROV rawContext = 0;
    if (!CryptAcquireContextW(&rawContext, nullptr, nullptr, PROV_RSA_FULL,
                              CRYPT_VERIFYCONTEXT)) {
        return {};
    }
    CryptContext context(rawContext);
    std::vector<BYTE> block;
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(context.Get(), CALG_MD5, 0, 0, &rawHash)) return {};
    CryptHash hash(rawHash);

    block.assign(kBlockSize, 0);
    DWORD read = 0;
    // A failed read ends the data like the end of the file; the digest then covers what was
    // read and will not match the manifest.
    while (ReadFile(file.Get(), block.data(), kBlockSize, &read, nullptr) && read > 0) {
        CryptHashData(hash.Get(), block.data(), read, 0);
    }

    BYTE digest[kDigestSize] = {};
    DWORD digestSize = kDigestSize;
    if (!CryptGetHashParam(hash.Get(), HP_HASHVAL, digest, &digestSize, 0) ||
        digestSize != kDigestSize) {
        return {};
    }
    char hex[kDigestSize * 2 + 1] = {};
    for (DWORD i = 0; i < kDigestSize; ++i) {
        std::snprintf(hex + i * 2, 3, "%02x", static_cast<unsigned>(digest[i]));
    }
    return std::string(hex, kDigestSize * 2);
}

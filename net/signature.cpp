// Verification of signed server documents with CNG: SHA-256 of the covered bytes, then ECDSA
// P-256 with each of the build's keys. The algorithm providers are opened once per process.
#include "net/signature.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <vector>

#include "base/handles.h"
#include "base/paths.h"
#include "net/json.h"
#include "net/signing_keys.h"

namespace {

constexpr char kHeaderStart[] = "{\"signed\": {";
constexpr char kSignatureNeedle[] = "\"signature\": \"";
constexpr size_t kSignatureBase64 = 88; // 64 bytes r||s
constexpr size_t kDigestSize = 32;
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;

BCRYPT_ALG_HANDLE Provider(const wchar_t* algorithm) {
    BCRYPT_ALG_HANDLE raw = nullptr;
    if (BCryptOpenAlgorithmProvider(&raw, algorithm, nullptr, 0) != 0) return nullptr;
    return raw;
}

BCRYPT_ALG_HANDLE Sha256Provider() {
    static const BcryptAlgorithm provider(Provider(BCRYPT_SHA256_ALGORITHM));
    return provider.Get();
}

BCRYPT_ALG_HANDLE EcdsaProvider() {
    static const BcryptAlgorithm provider(Provider(BCRYPT_ECDSA_P256_ALGORITHM));
    return provider.Get();
}

BcryptHash NewSha256() {
    BCRYPT_HASH_HANDLE raw = nullptr;
    BCRYPT_ALG_HANDLE provider = Sha256Provider();
    if (!provider || BCryptCreateHash(provider, &raw, nullptr, 0, nullptr, 0, 0) != 0) return {};
    return BcryptHash(raw);
}

bool HashPiece(const BcryptHash& hash, const char* data, size_t size) {
    while (size > 0) {
        const ULONG piece = static_cast<ULONG>(std::min<size_t>(size, 1u << 30));
        if (BCryptHashData(hash.Get(), reinterpret_cast<PUCHAR>(const_cast<char*>(data)), piece,
                           0) != 0)
            return false;
        data += piece;
        size -= piece;
    }
    return true;
}

bool FinishSha256(const BcryptHash& hash, uint8_t (&digest)[kDigestSize]) {
    return BCryptFinishHash(hash.Get(), digest, kDigestSize, 0) == 0;
}

bool VerifyWithKey(const uint8_t (&key)[64], const uint8_t (&digest)[kDigestSize],
                   const std::vector<uint8_t>& signature) {
    BCRYPT_ALG_HANDLE provider = EcdsaProvider();
    if (!provider) return false;
    uint8_t blob[sizeof(BCRYPT_ECCKEY_BLOB) + 64];
    BCRYPT_ECCKEY_BLOB header = {BCRYPT_ECDSA_PUBLIC_P256_MAGIC, 32};
    std::memcpy(blob, &header, sizeof(header));
    std::memcpy(blob + sizeof(header), key, 64);
    BCRYPT_KEY_HANDLE raw = nullptr;
    if (BCryptImportKeyPair(provider, nullptr, BCRYPT_ECCPUBLIC_BLOB, &raw, blob, sizeof(blob),
                            0) != 0)
        return false;
    BcryptKey imported(raw);
    return BCryptVerifySignature(imported.Get(), nullptr, const_cast<uint8_t*>(digest), kDigestSize,
                                 const_cast<uint8_t*>(signature.data()),
                                 static_cast<ULONG>(signature.size()), 0) == 0;
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

// Standard base64 with padding; false on any other character.
bool DecodeBase64(const char* text, size_t size, std::vector<uint8_t>& out) {
    out.clear();
    if (size % 4 != 0) return false;
    for (size_t i = 0; i < size; i += 4) {
        int v[4];
        int pads = 0;
        for (int j = 0; j < 4; ++j) {
            const char c = text[i + j];
            if (c == '=' && i + 4 == size && j >= 2) {
                v[j] = 0;
                ++pads;
            } else if (pads > 0 || (v[j] = Base64Value(c)) < 0) {
                return false;
            }
        }
        const uint32_t bits = (v[0] << 18) | (v[1] << 12) | (v[2] << 6) | v[3];
        out.push_back(static_cast<uint8_t>(bits >> 16));
        if (pads < 2) out.push_back(static_cast<uint8_t>(bits >> 8));
        if (pads < 1) out.push_back(static_cast<uint8_t>(bits));
    }
    return true;
}

// Decimal digits from at on; false when there are none or they overflow 64 bits.
bool ParseDecimal(const std::string& text, size_t at, uint64_t* value) {
    if (at > text.size()) return false;
    const char* end = text.data() + text.size();
    const auto [ptr, error] = std::from_chars(text.data() + at, end, *value);
    return error == std::errc() && ptr != text.data() + at;
}

// The number after "key": in the header line.
bool HeaderNumber(const std::string& header, const char* key, uint64_t* value) {
    const std::string needle = std::string("\"") + key + "\": ";
    const size_t at = header.find(needle);
    return at != std::string::npos && ParseDecimal(header, at + needle.size(), value);
}

uint64_t UnixNow() {
    FILETIME now = {};
    GetSystemTimeAsFileTime(&now);
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return ticks < kUnixEpochAsFileTime ? 0 : (ticks - kUnixEpochAsFileTime) / 10000000ull;
}

uint64_t RememberedSerial(const std::wstring& path) {
    FileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return 0;
    char text[32] = {};
    DWORD read = 0;
    if (!ReadFile(file.Get(), text, sizeof(text) - 1, &read, nullptr)) return 0;
    uint64_t serial = 0;
    return ParseDecimal(std::string(text, read), 0, &serial) ? serial : 0;
}

} // namespace

bool SigningEnabled() {
    return kSigningKeyCount > 0;
}

DocumentCheck VerifySignedDocument(const std::string& text, const std::string& name,
                                   const uint8_t (*keys)[64], size_t keyCount, uint64_t now,
                                   uint64_t lowestSerial, uint64_t* serial) {
    // The header is the first line; the signature's text lies inside it.
    const size_t lineEnd = text.find('\n');
    if (lineEnd == std::string::npos ||
        text.compare(0, sizeof(kHeaderStart) - 1, kHeaderStart) != 0)
        return DocumentCheck::BadSignature;
    const std::string header = text.substr(0, lineEnd);
    const size_t needle = header.find(kSignatureNeedle);
    if (needle == std::string::npos) return DocumentCheck::BadSignature;
    const size_t sigBegin = needle + sizeof(kSignatureNeedle) - 1;
    const size_t sigEnd = header.find('"', sigBegin);
    if (sigEnd == std::string::npos || sigEnd - sigBegin != kSignatureBase64)
        return DocumentCheck::BadSignature;
    std::vector<uint8_t> signature;
    if (!DecodeBase64(text.data() + sigBegin, kSignatureBase64, signature) ||
        signature.size() != 64)
        return DocumentCheck::BadSignature;

    BcryptHash hash = NewSha256();
    uint8_t digest[kDigestSize] = {};
    if (!hash || !HashPiece(hash, text.data(), sigBegin) ||
        !HashPiece(hash, text.data() + sigEnd, text.size() - sigEnd) || !FinishSha256(hash, digest))
        return DocumentCheck::BadSignature;
    bool verified = false;
    for (size_t i = 0; i < keyCount && !verified; ++i)
        verified = VerifyWithKey(keys[i], digest, signature);
    if (!verified) return DocumentCheck::BadSignature;

    // From here on the header is the studio's own: read what it says.
    uint64_t documentSerial = 0, expires = 0;
    if (ExtractJsonString(header, "document") != name ||
        !HeaderNumber(header, "serial", &documentSerial) ||
        !HeaderNumber(header, "expires", &expires))
        return DocumentCheck::BadSignature;
    if (serial) *serial = documentSerial;
    if (now >= expires) return DocumentCheck::Expired;
    if (documentSerial < lowestSerial) return DocumentCheck::Replayed;
    return DocumentCheck::Accepted;
}

DocumentCheck CheckFetchedDocument(const std::string& text, const std::string& name) {
    if (!SigningEnabled()) return DocumentCheck::Accepted;
    const std::wstring marker = SerialMarkerPath(name);
    const uint64_t remembered = RememberedSerial(marker);
    uint64_t serial = 0;
    const DocumentCheck check = VerifySignedDocument(text, name, kSigningKeys, kSigningKeyCount,
                                                     UnixNow(), remembered, &serial);
    if (check == DocumentCheck::Accepted && serial > remembered)
        ReplaceSmallFile(marker, std::to_string(serial));
    return check;
}

DocumentCheck CheckSignedDocumentAt(const std::string& text, const std::string& name,
                                    uint64_t now) {
    if (!SigningEnabled()) return DocumentCheck::Accepted;
    return VerifySignedDocument(text, name, kSigningKeys, kSigningKeyCount, now, 0, nullptr);
}

std::string Sha256Hex(std::string_view bytes) {
    BcryptHash hash = NewSha256();
    uint8_t digest[kDigestSize] = {};
    if (!hash || !HashPiece(hash, bytes.data(), bytes.size()) || !FinishSha256(hash, digest))
        return {};
    std::string hex(2 * kDigestSize, '0');
    for (size_t i = 0; i < kDigestSize; ++i) {
        hex[2 * i] = "0123456789abcdef"[digest[i] >> 4];
        hex[2 * i + 1] = "0123456789abcdef"[digest[i] & 0xf];
    }
    return hex;
}

std::wstring SerialMarkerPath(const std::string& name) {
    std::wstring stem = Utf8ToWide(name);
    const size_t dot = stem.rfind(L'.');
    if (dot != std::wstring::npos) stem.resize(dot);
    return ParentFolderOf(InstDonePath()) + L"\\" + stem + L".serial";
}

// MD5 and SHA-256 through the platform's CNG: incrementally over bytes as they stream by, and
// over a file's content. The algorithm providers are opened once per process.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "base/handles.h"

// Hashes bytes as they come. Movable, not copyable; each instance belongs to one thread.
class StreamDigest {
public:
    explicit StreamDigest(bool withSha256 = false);

    // False when the digest service could not be set up; the results are then "".
    bool Ok() const;
    void Update(const void* data, size_t size);
    // 32 lower-case hex characters, "" on failure. Finishes the digest; later calls give the
    // same text.
    std::string Md5Hex();
    // 64 lower-case hex characters, "" when not asked for or on failure. Finishes as above.
    std::string Sha256Hex();

private:
    struct Hash {
        BcryptHash handle;
        std::unique_ptr<unsigned char[]> object; // CNG keeps its state here; never moves
        std::string hex;
        bool failed = true;
        bool finished = false;
    };
    static void Start(Hash& hash, bool sha256);
    static void Feed(Hash& hash, const void* data, size_t size);
    static std::string Finish(Hash& hash, size_t digestSize);

    bool withSha256_ = false;
    Hash md5_;
    Hash sha256_;
};

// The read block a verification worker keeps for every file it hashes.
constexpr size_t kFileReadBlock = 1024 * 1024;

// MD5 of a file's content: 32 lower-case hex characters, or "" when the file cannot be opened
// (missing, a folder, held without read sharing, no access) or hashed. A read that fails
// part-way ends the data like the end of the file, so the digest will not match.
std::string ComputeFileMd5(const std::wstring& path);
// The same, reading through the caller's block (reused across files, any size above 0).
std::string ComputeFileMd5(const std::wstring& path, std::span<char> block);

// Incremental MD5 and SHA-256 through CNG.
#pragma once

#include <cstddef>
#include <string>

class StreamDigest { // movable, not copyable
public:
    explicit StreamDigest(bool withSha256 = false);
    ~StreamDigest();
    StreamDigest(StreamDigest&& other) noexcept;
    StreamDigest& operator=(StreamDigest&& other) noexcept;
    StreamDigest(const StreamDigest&) = delete;
    StreamDigest& operator=(const StreamDigest&) = delete;
    bool Ok() const;
    void Update(const void* data, size_t size);
    std::string Md5Hex();
    std::string Sha256Hex();

private:
    void* md5_ = nullptr;
    void* sha256_ = nullptr;
    bool wantSha_ = false;
    bool failed_ = false;
};

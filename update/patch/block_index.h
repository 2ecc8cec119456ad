// The block index the publishing tool writes beside every big file (blocks/<path>.zbi), and
// the checksums it is made of. The index describes one version of a file block by block, so
// that the launcher can find those blocks in data it already has and fetch only the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct BlockIndex {
    std::string md5; // the described version's MD5, 32 lower-case hex characters
    uint64_t fileSize = 0;
    uint32_t blockSize = 0;      // every block has this length except a shorter last one
    uint32_t strongBytes = 0;    // leading bytes of each block's MD5 kept in `strong`
    std::vector<uint32_t> weak;  // Adler-32 of each block
    std::vector<uint8_t> strong; // strongBytes per block

    uint32_t BlockCount() const { return static_cast<uint32_t>(weak.size()); }
    uint64_t BlockOffset(uint32_t block) const { return uint64_t{block} * blockSize; }
    uint32_t BlockLength(uint32_t block) const;
    // True when md5 (32 hex characters, of BlockLength(block) bytes) fits the block's sum.
    bool StrongMatches(uint32_t block, const std::string& md5) const;
    // True when data (BlockLength(block) bytes) is that block, by its weak and strong sums.
    bool BlockMatches(uint32_t block, const uint8_t* data) const;
};

// The largest index the launcher takes: far above what the tool writes for any real file
// (768 KiB for 4 GiB), small enough to stay inside the memory budget.
constexpr size_t kMaxBlockIndexBytes = 16u << 20;

// Reads an index document; false when it is not one of this format or not consistent.
bool ParseBlockIndex(const std::string& data, BlockIndex* index);

// MD5 of data as 32 lower-case hex characters ("" when the digest service fails).
std::string Md5Of(const uint8_t* data, size_t size);

// Adler-32 (RFC 1950) of data, as zlib computes it.
uint32_t Adler32(const uint8_t* data, size_t size);

// Adler-32 of a window of fixed length sliding over data one byte at a time.
class RollingAdler32 {
public:
    explicit RollingAdler32(uint32_t window) : window_(window), windowMod_(window % kBase) {}
    // Starts over on the window that begins at data (window bytes).
    void Reset(const uint8_t* data);
    // Moves the window one byte on: `out` leaves at its start, `in` joins at its end.
    void Roll(uint8_t out, uint8_t in) {
        a_ = (a_ + kBase - out + in) % kBase;
        b_ = (b_ + kBase * 256 - windowMod_ * out + a_ + kBase - 1) % kBase;
    }
    uint32_t Value() const { return (b_ << 16) | a_; }

private:
    static constexpr uint32_t kBase = 65521;
    uint32_t window_;
    uint32_t windowMod_;
    uint32_t a_ = 1, b_ = 0;
};

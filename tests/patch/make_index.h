// Block index documents as the publishing tool (zarvo_studio/blockindex.py) writes them, made
// here from the documented format with checksums computed independently of the launcher.
#pragma once

#include <cstdint>
#include <string>

#include "support/test_support.h"

namespace test {

// Adler-32 written out as RFC 1950 defines it.
inline uint32_t ReferenceAdler(const std::string& data) {
    uint32_t a = 1, b = 0;
    for (unsigned char c : data) {
        a = (a + c) % 65521;
        b = (b + a) % 65521;
    }
    return b << 16 | a;
}

inline void PutLe(std::string& out, uint64_t value, int bytes) {
    for (int i = 0; i < bytes; ++i)
        out += static_cast<char>(value >> (8 * i));
}

inline std::string Unhex(const std::string& hex) {
    std::string out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        out += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return out;
}

// The index of content with the given block size and strong checksum length.
inline std::string MakeBlockIndex(const std::string& content, uint32_t block, uint8_t strong = 6) {
    std::string out = "ZVBI";
    out += static_cast<char>(1);
    out += static_cast<char>(strong);
    PutLe(out, 0, 2);
    PutLe(out, block, 4);
    PutLe(out, content.size(), 8);
    out += Unhex(Md5Hex(content));
    for (size_t at = 0; at < content.size(); at += block) {
        const std::string piece = content.substr(at, block);
        PutLe(out, ReferenceAdler(piece), 4);
        out += Unhex(Md5Hex(piece)).substr(0, strong);
    }
    return out;
}

} // namespace test

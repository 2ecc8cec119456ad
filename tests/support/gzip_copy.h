// Compressed copies as the publishing tool writes them, for tests: gzip members of
// memberSize raw bytes each, one after the other (the member table is left out; the launcher
// reads the members as they come).
#pragma once

#include <zlib.h>

#include <cstring>
#include <string>

namespace test {

inline std::string GzipMember(const std::string& raw, int level = 9) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    deflateInit2(&z, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, static_cast<uLong>(raw.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

inline std::string GzipMembers(const std::string& raw, size_t memberSize = 1 << 20) {
    if (raw.empty()) return GzipMember(raw);
    std::string out;
    for (size_t at = 0; at < raw.size(); at += memberSize)
        out += GzipMember(raw.substr(at, memberSize));
    return out;
}

// Bytes that deflate shrinks several times, as text and code do: words from a small
// vocabulary picked by a seeded generator.
inline std::string CompressibleBytes(size_t count, uint32_t seed) {
    static const char* const kWords[] = {
        "launcher ", "texture=", "0x3f800000 ", "{\"id\": ", "return ",
        "player_",   "\n",       "sound/",      "1024, ",    "if ("};
    std::string out;
    out.reserve(count + 16);
    uint32_t x = seed * 2654435761u + 1;
    while (out.size() < count) {
        x = x * 1664525u + 1013904223u;
        out += kWords[(x >> 16) % 10];
        if ((x & 0xff) < 8) out += static_cast<char>('a' + (x >> 8) % 26);
    }
    out.resize(count);
    return out;
}

} // namespace test

// One file row of the game's manifest: the record every layer passes around, from the reader
// through the run and its transfers to the launcher's state, which holds the current list.
#pragma once

#include <cstdint>
#include <string>

// One file row of a manifest.
struct ManifestEntry {
    std::wstring path;   // relative to the game folder, "/" separated, as in the document
    std::string hash;    // MD5, 32 characters, letters lowered
    int64_t size = 0;    // bytes; read as a 32-bit number, so never above 2147483647
    int32_t version = 0; // carried, read by nobody
    // SHA-256, 64 lower-case hex characters; "" unless the publication is signed.
    std::string sha256;
    // Bytes of the file's compressed copy under "/packed/" ("zsize"); 0 when the publication
    // offers none. Always below size: a copy that saves nothing is never offered.
    int64_t packedSize = 0;
    // Where a small file also lies in a bundle under "/objects/" ("zbundle", "zboffset",
    // "zblength"): the bundle's SHA-256 (64 lower-case hex characters), the offset of the
    // file's member in it, and the member's bytes: size for the raw bytes, fewer for a gzip
    // member. bundle is "" when the row names none, or a place the launcher does not take.
    std::string bundle = {};
    int64_t bundleOffset = 0;
    int64_t bundleLength = 0;
    // The old contents the file has a binary delta from ("zdeltas"): their MD5s, 32 lower-case
    // hex characters each, one after the other; "" when the row names none.
    std::string deltaFrom = {};
};

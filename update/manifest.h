// The game's file list as the update server publishes it, and the reader that turns a
// manifest document into that list.
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
};

// Clears manifestEntries and fills it from the manifest body, in document order.
// True when at least one entry was taken.
bool ParseManifest(const std::string& text);

// True for a relative path that names a file inside the game folder: not empty, no leading
// "/" or "\", no ":" anywhere (drive letters, streams), no ".." component, no reserved device
// name ("CON", "nul.txt", ...) and not only "." components (the folder itself). The launcher
// runs elevated, so a manifest must never be able to make it write anywhere else.
bool IsSafeEntryPath(const std::wstring& path);

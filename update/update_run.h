// One update run: manifest, verification pool, download pool, final status.
#pragma once

#include <cstdint>
#include <string>

// Brings the game folder into line with the manifest at manifestUrl. mode is "LIGHT" or
// "FULL" (exactly "FULL" makes a full run). Returns when the run and all its workers are over,
// or at once when another run is in progress.
void RunUpdateWithManifestUrl(const std::wstring& manifestUrl, const wchar_t* mode);

// Thread counts for a phase, given the reported processor count h.
int VerifyWorkerCount(unsigned processors, int32_t entryCount);
int DownloadWorkerCount(unsigned processors, int32_t fileCount);

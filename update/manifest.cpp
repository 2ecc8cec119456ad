#include "update/manifest.h"

// Stand-in until the reader lands.
bool ParseManifest(const std::string&) { return false; }
bool IsSafeEntryPath(const std::wstring&) { return false; }

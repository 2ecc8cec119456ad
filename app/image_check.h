// Whether a file holds the program this process runs. The first run copies the launcher by its
// path, and the folder it was started from may be anyone's to write: the copy is compared with
// the image in memory, which is what the elevation prompt showed.
#pragma once

#include <string>

// True when the file's headers, and every section the image cannot write, carry the bytes of
// the running image (the spots the loader itself fills in - relocations, the import table, the
// base address - left out). The initial data of writable sections cannot be compared.
bool MatchesRunningImage(const std::wstring& path);

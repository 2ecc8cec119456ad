// What the game folder already holds that a file to fetch may be made of: files of the
// previous release at paths this release no longer lists, and listed files this run found
// correct. Built once per run, before the downloads, and only read while they go. Nothing in
// it is trusted: whatever is taken from a seed is checked by the entry's digests.
#pragma once

#include <windows.h>

#include <string>
#include <unordered_map>
#include <vector>

#include "base/manifest_entry.h"
#include "base/path_identity.h"
#include "update/verify_file.h"

// A file that should hold some content whole.
struct WholeSeed {
    std::wstring path;
    bool unlisted = false; // a file of the previous release that no manifest lists any more
};

struct SeedCatalog {
    // Files that should hold the content of a given MD5, by that MD5.
    std::unordered_multimap<std::string, WholeSeed> byHash;
    // Files of the previous release that this one moved or dropped, biggest first.
    std::vector<std::wstring> dropped;
    // Listed files this run found correct and will not write, big enough to have blocks.
    std::vector<std::wstring> unchanged;
};

// The seeds of this run. verdicts has one per row of current; previous holds the rows of the
// kept manifests, in any number and order. A row of otherDocuments (the kept rows of the
// documents this run does not fetch) may still be a file of the game: it is copied, never
// linked, since a link would make a game file and the new one a single file.
SeedCatalog BuildSeedCatalog(const std::vector<ManifestEntry>& current,
                             const std::vector<Verdict>& verdicts,
                             const std::vector<ManifestEntry>& previous,
                             const std::vector<ManifestEntry>& otherDocuments = {});

// Files that should hold entry's content whole, other than localPath itself.
std::vector<WholeSeed> WholeSeedsFor(const SeedCatalog& seeds, const ManifestEntry& entry,
                                     const std::wstring& localPath);
// Files whose blocks entry's block index may be matched against, after its own old copy: the
// moved and dropped ones; and, for a file with no old copy of its own, the unchanged listed
// ones too. At most a bounded number of bytes in all.
std::vector<std::wstring> BlockSeedsFor(const SeedCatalog& seeds, const ManifestEntry& entry,
                                        bool hasOldCopy);

// True for a plain file: it exists, is no folder and no link of any kind (a link may lead out
// of the game folder, or to something that is not a file).
bool IsPlainFile(const std::wstring& path);

// True when file, opened by path, is the file at that very path: no link, junction or other
// redirection on the way, whatever the system shows of them (under Wine a Unix link looks like
// a plain file; only the handle's final path tells). A drive letter that is itself a
// redirection (subst) counts as one: such a file is merely passed by.
bool OpensAsItself(HANDLE file, const std::wstring& path);

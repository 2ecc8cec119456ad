// Retired files (only with LAUNCHER_REMOVE_RETIRED_FILES): once a run has succeeded, the files
// that the previous release listed and this one does not are deleted, and the folders that
// leaves empty. The previous release of a run is the kept manifest of its own document: like
// is compared with like, since the light manifest lists only part of what the full one does.
#pragma once

#include <string>
#include <vector>

#include "base/manifest_entry.h"
#include "update/kept_manifest.h"

// True in a build that removes retired files.
bool RemovesRetiredFiles();

// The local paths of the files that the kept manifest of the run's document lists and current
// (body being its document as fetched) does not. After a light run a file that a kept full
// manifest lists is left out too.
std::vector<std::wstring> RetiredFiles(const KeptManifests& kept,
                                       const std::vector<ManifestEntry>& current,
                                       const std::string& body, bool fullRun);

// The paths of retired that the full manifest at fullUrl does not list; none when it cannot be
// fetched, is refused (in a signed build) or read.
std::vector<std::wstring> ConfirmedByFullManifest(std::vector<std::wstring> retired,
                                                  const std::wstring& fullUrl);

// In a build that removes retired files, deletes what RetiredFiles names, and the folders that
// leaves empty; after a light run only what the current full manifest (beside manifestUrl)
// does not list either. Else nothing.
void RemoveRetiredFiles(const KeptManifests& kept, const std::vector<ManifestEntry>& current,
                        const std::string& body, bool fullRun, const std::wstring& manifestUrl);

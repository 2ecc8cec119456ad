// Retired files (only with LAUNCHER_REMOVE_RETIRED_FILES): once a run has succeeded, the files
// that the previous release of its manifest listed and this one does not are deleted, and the
// folders that leaves empty.
#pragma once

#include <string>
#include <vector>

#include "base/manifest_entry.h"
#include "update/kept_manifest.h"

// True in a build that removes retired files.
bool RemovesRetiredFiles();

// The local paths of the files retired by current (body being its document as fetched). A
// light manifest lists only part of the game, so after a light run a file that a kept full
// manifest lists is kept too: it may still belong to the game.
std::vector<std::wstring> RetiredFiles(const KeptManifests& kept,
                                       const std::vector<ManifestEntry>& current,
                                       const std::string& body, bool fullRun);

// Deletes what RetiredFiles names, in a build that removes retired files; else nothing.
void RemoveRetiredFiles(const KeptManifests& kept, const std::vector<ManifestEntry>& current,
                        const std::string& body, bool fullRun);

// The manifest of the last run that ended well, kept in "Log\" under its document's name: what
// the installed game held, so that the next run can reuse those files' bytes and, where the
// build allows it, tell which of them the new release no longer lists.
#pragma once

#include <string>
#include <vector>

#include "base/manifest_entry.h"

// "Log\kept_<name>", name being the manifest document's name ("manifest_light.json").
std::wstring KeptManifestPath(const std::string& name);

// The rows of the kept manifest of that name; empty when there is none or it is damaged (its
// digest or its length do not match what its head says, or no row can be read).
std::vector<ManifestEntry> LoadKeptManifest(const std::string& name);

// The kept manifests a run starts from.
struct KeptManifests {
    std::vector<ManifestEntry> same;   // of the run's own document: its previous release
    std::vector<ManifestEntry> others; // of the other documents the launcher fetches
    std::vector<ManifestEntry> all;    // both
    std::string sameBody;              // the run's own document as kept, "" when none is
};
// Those for a run of the document name; the launcher's documents are the light and the full
// manifest.
KeptManifests LoadKeptManifests(const std::string& name);

// Keeps body as the manifest of that name: written whole beside its place, flushed, then
// renamed over the old one, so that a cut leaves the old one or the new one, never half.
// Failures are silent: the next run only reuses less.
void SaveKeptManifest(const std::string& name, const std::string& body);

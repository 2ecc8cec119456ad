// A run's manifest through the channel's release head (only with LAUNCHER_RELEASE_HEAD,
// net/release_head.h): the manifest the head names for this install, from the kept one when it
// is that one, else from its object.
#pragma once

#include <string>

// Fills body with the run's manifest (the full one for a full run); kept is the manifest of
// the same name that the last good run kept ("" when none). Returns "" on success, otherwise
// the status to end the run with; nothing of a refused head or manifest reaches the folder.
std::wstring FetchReleaseManifest(bool fullRun, const std::string& kept, std::string& body);

// Detached background work started by the window.
#pragma once

#include <functional>

// Starts the work on a detached thread. False when the system could not start a thread.
bool StartBackgroundThread(std::function<void()> work);

// Thread bodies of the two update runs the window starts.
void LightUpdateThread(); // manifest_light.json, mode LIGHT
void FullUpdateThread();  // manifest_full.json, mode FULL

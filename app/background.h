// Thread bodies of the two update runs the window starts (on threads of base/threads.h).
#pragma once

void LightUpdateThread(); // manifest_light.json, mode LIGHT
void FullUpdateThread();  // manifest_full.json, mode FULL

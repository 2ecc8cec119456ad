#include "app/background.h"

#include "base/build_config.h"
#include "update/update_run.h"

void LightUpdateThread() {
    RunUpdateWithManifestUrl(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/manifest_light.json",
                             L"LIGHT");
}

void FullUpdateThread() {
    RunUpdateWithManifestUrl(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/manifest_full.json",
                             L"FULL");
}

#include "app/background.h"

#include <system_error>
#include <thread>

#include "app/build_config.h"
#include "update/update_run.h"

bool StartBackgroundThread(std::function<void()> work) {
    try {
        std::thread(std::move(work)).detach();
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void LightUpdateThread() {
    RunUpdateWithManifestUrl(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/manifest_light.json",
                             L"LIGHT");
}

void FullUpdateThread() {
    RunUpdateWithManifestUrl(std::wstring(LAUNCHER_UPDATE_BASE_URL) + L"/manifest_full.json",
                             L"FULL");
}

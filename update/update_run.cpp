#include "update/update_run.h"

#include "app/launcher_state.h"

// Stand-in until the update run lands: ends at once with the button offered.
void RunUpdateWithManifestUrl(const std::wstring&, const wchar_t*) {
    State().actionButtonVisible.store(true);
    InvalidateMainWindow();
}
int VerifyWorkerCount(unsigned, int32_t) { return 1; }
int DownloadWorkerCount(unsigned, int32_t) { return 1; }

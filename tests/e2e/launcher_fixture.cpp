#include "e2e/launcher_fixture.h"

namespace test {

LauncherRun::LauncherRun() : folder_(L"game") {}

LauncherRun::~LauncherRun() {
    process_.Kill();
    // Restarts and installed copies are processes of their own.
    KillProcessesUnder(folder_.Path());
}

void LauncherRun::PlaceClientFile() { WriteFileBytes(folder_ / L"rovezuzav.exe", "MZ"); }

bool LauncherRun::Start(const std::vector<std::wstring>& extraEnv) {
    if (!PathExists(ExePath()) && !CopyFileTo(Env(L"ZARVO_LAUNCHER_EXE"), ExePath())) return false;
    return process_.Start(ExePath(), L"\"" + ExePath() + L"\"", Folder(), extraEnv);
}

HWND LauncherRun::Window(DWORD timeoutMs) {
    return FindProcessWindow(process_.Pid(), L"Zarvo Vestra Launcher", timeoutMs);
}

} // namespace test

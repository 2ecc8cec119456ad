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

void ServedGame::AddFile(const std::string& path, const std::string& content,
                         const std::string& rowKeys) {
    std::wstring served = root_.Path() + L"\\update\\" + Widen(path);
    for (wchar_t& c : served)
        if (c == L'/') c = L'\\';
    WriteFileBytes(served, content);
    objects_.push_back("{\"path\": " + JsonQuote(path) + ", \"hash\": \"" + Md5Hex(content) +
                       "\", \"size\": " + std::to_string(content.size()) + ", \"version\": 1" +
                       rowKeys + "}");
}

void ServedGame::Publish(const std::string& manifestName, const std::string& faultsJson) {
    std::string json = "{\"files\": [\n";
    for (size_t i = 0; i < objects_.size(); ++i)
        json += "  " + objects_[i] + (i + 1 < objects_.size() ? ",\n" : "\n");
    json += "]}\n";
    WriteRootFile(manifestName, json);
    TestServer::Configure(root_.Path(), faultsJson);
}

void ServedGame::WriteRootFile(const std::string& name, const std::string& content) {
    WriteFileBytes(root_.Path() + L"\\" + Widen(name), content);
}

} // namespace test

// The real ZarvoLauncher.exe in a fresh game folder, observed from outside.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "support/test_support.h"

namespace test {

class LauncherRun {
public:
    LauncherRun();
    ~LauncherRun();

    // The game folder, with the launcher copied in as exeName.
    const std::wstring& Folder() const { return folder_.Path(); }
    std::wstring ExePath() const { return Folder() + L"\\" + exeName_; }
    std::wstring operator/(const std::wstring& relative) const { return folder_ / relative; }
    void SetExeName(const std::wstring& name) { exeName_ = name; }

    // A stand-in game client file, so that the launcher runs in place (no installation).
    void PlaceClientFile();

    bool Start(const std::vector<std::wstring>& extraEnv = {});
    // The launcher's main window, or null.
    HWND Window(DWORD timeoutMs = 20000);
    bool WaitExit(DWORD timeoutMs, DWORD* exitCode = nullptr) { return process_.WaitExit(timeoutMs, exitCode); }
    ChildProcess& Process() { return process_; }

private:
    TempDir folder_;
    std::wstring exeName_ = L"ZarvoLauncher.exe";
    ChildProcess process_;
};

// A game on the test server: files under "update/", manifests naming them.
class ServedGame {
public:
    ServedGame() : root_(L"served") {}
    ~ServedGame() { TestServer::Reset(); }
    // path is the manifest path ("/" separated); the manifest lists it with content's MD5, and
    // rowKeys (", \"key\": value" text) at the end of its row.
    void AddFile(const std::string& path, const std::string& content,
                 const std::string& rowKeys = "");
    // Writes the manifest (every file added so far) and serves this game.
    void Publish(const std::string& manifestName, const std::string& faultsJson = "");
    void WriteRootFile(const std::string& name, const std::string& content);
    const std::wstring& Root() const { return root_.Path(); }

private:
    TempDir root_;
    std::vector<std::string> objects_;
};

} // namespace test

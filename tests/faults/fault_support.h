// Shared pieces of the fault suite: a game served by the test server together with what its
// local copy held before a run, the check that a game folder never holds partial or foreign
// bytes, a recorder of status texts, and the helper programs a fault test starts.
#pragma once

#include <windows.h>

#include <atomic>
#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace faults {

// A game on the test server whose local copy lives under a folder the launcher works in.
// With a prefix, every path of the game lies in that sub-folder, so that several games can
// share one launcher folder (in-process tests); the sub-folder is removed at the end.
class FaultGame {
public:
    FaultGame(const std::wstring& launcherFolder, const std::string& prefix = "");
    ~FaultGame();
    FaultGame(const FaultGame&) = delete;
    FaultGame& operator=(const FaultGame&) = delete;

    // Manifest path of a file of this game ("/" separated, prefix included).
    std::string Path(const std::string& name) const;
    // Its local copy, and the server path a fault is keyed on ("/update/" + Path).
    std::wstring Local(const std::string& name) const;
    std::string FaultKey(const std::string& name) const { return "/update/" + Path(name); }

    // A listed file the server offers with content; before is what the local copy holds
    // before the run (nullopt: no local copy). The local copy is written now.
    void Add(const std::string& name, const std::string& content,
             std::optional<std::string> before = std::nullopt);
    // A listed file that is not on the server (its manifest hash is content's MD5).
    void AddUnserved(const std::string& name, const std::string& content,
                     std::optional<std::string> before = std::nullopt);

    // Offers a compressed copy of a listed file: the server holds copy under "/packed/" + Path,
    // and the file's row names its length as "zsize" (announced, when given, instead).
    void OfferPacked(const std::string& name, const std::string& copy,
                     std::optional<int64_t> announced = std::nullopt);
    std::string PackedKey(const std::string& name) const { return "/packed/" + Path(name); }
    // Appends keys (", \"key\": value" text) to a listed file's manifest row.
    void AddRowKeys(const std::string& name, const std::string& keys);
    // Puts bytes on the server at path ("/" separated, below the served root).
    void Serve(const std::string& path, const std::string& bytes);

    // Lists a file's size as size instead of its content's (a row of 2 GiB or more carries
    // INT32_MAX).
    void ListSize(const std::string& name, int64_t size);

    // Writes the manifest under each of the names and points the server at this game.
    void Publish(const std::vector<std::string>& manifestNames, const std::string& faultsJson = "");
    std::wstring ManifestUrl(const std::string& manifestName) const;

    // Files that may stand in the folder besides the listed ones, by path relative to the
    // folder ("\" separated); an empty set of contents allows any content.
    void AllowExtra(const std::wstring& relative, std::vector<std::string> contents = {});

    // The running launcher's executable: between the two renames of its swap it is briefly
    // absent (its previous build then stands as ".old"), so only a check after the run may
    // hold its absence against it.
    void AllowSwapGap(const std::string& name) { swapGaps_.insert(name); }

    // Every problem with the folder as it is now: a listed file that holds neither its
    // manifest content nor what it held before (partial or foreign bytes), a file that was
    // there and is gone, a ".tmp" when none is allowed, or a file nobody put there. A file
    // that another program holds without sharing cannot be judged and is passed over.
    // Empty when the folder is sound.
    std::vector<std::string> Problems(bool tmpAllowed) const;
    // True when every listed file holds its manifest content.
    bool AllCurrent() const;
    bool IsCurrent(const std::string& name) const;
    // How many listed files hold their manifest content.
    int CountCurrent() const;
    // ".tmp" files under the folder.
    std::vector<std::wstring> TmpFiles() const;
    const std::wstring& ServerRoot() const { return root_.Path(); }

private:
    struct File {
        std::string content;
        std::optional<std::string> before;
    };
    std::wstring folder_; // where this game's files lie (launcher folder or its prefix folder)
    std::wstring launcherFolder_;
    std::string prefix_;
    test::TempDir root_;
    std::map<std::string, File> files_; // by name
    std::vector<std::string> objects_;
    std::map<std::wstring, std::vector<std::string>> extras_; // lower-case relative path
    std::set<std::string> swapGaps_;
};

// Every status text, in order, while it lives (the launcher state's status listener).
class StatusLog {
public:
    StatusLog();
    ~StatusLog();
    std::vector<std::wstring> Texts() const;
    bool Saw(const std::wstring& text) const;
};

// The in-process update runner (update_runner.exe, beside the test program): one update run
// in a process of its own, in the folder its executable stands in.
struct RunnerResult {
    bool ended = false;              // the process ended within its time and wrote its texts
    std::vector<std::wstring> texts; // every status text of its run
    uint64_t peakWorkingSet = 0;     // the process's, in bytes (0 when not told)
    std::wstring Final() const { return texts.empty() ? std::wstring() : texts.back(); }
};
std::wstring RunnerSourceExe();
// Starts exe (a copy of the runner) for one run against manifestUrl; resultFile receives
// the texts when the run is over.
bool StartRunner(test::ChildProcess& process, const std::wstring& exe,
                 const std::wstring& manifestUrl, const wchar_t* mode,
                 const std::wstring& resultFile);
RunnerResult WaitRunner(test::ChildProcess& process, const std::wstring& resultFile,
                        DWORD timeoutMs);

// A process of its own holding a file open without any sharing, or shared for reading
// (file_holder.exe, beside the test program), until it is killed.
class FileHolder {
public:
    // True once the file is open in the other process.
    bool Hold(const std::wstring& path, bool shared = false);
    ~FileHolder() { process_.Kill(); }
    void Release() { process_.Kill(); }

private:
    test::ChildProcess process_;
    test::TempDir ready_{L"holder"};
};

// Checks the game folder over and over while it lives, as a run changes it: the first
// problems seen are kept. Reads with every kind of sharing, as a scanner does: a rename over
// the file it is reading is still refused for that moment, which the launcher must outlast.
class FolderWatch {
public:
    explicit FolderWatch(const FaultGame& game, DWORD periodMs = 20);
    ~FolderWatch() { Stop(); }
    void Stop();
    std::vector<std::string> Problems() const;
    int Checks() const { return checks_; }

private:
    const FaultGame& game_;
    std::atomic<bool> stop_{false};
    std::atomic<int> checks_{0};
    mutable std::mutex mutex_;
    std::vector<std::string> problems_;
    std::thread thread_;
};

// The whole content of a file, read while others may read, write or rename it; "" when it
// cannot be opened (opened, when given, tells which).
std::string ReadShared(const std::wstring& path, bool* opened = nullptr);

// Files in a folder tree, relative paths ("\" separated).
std::vector<std::wstring> ListFiles(const std::wstring& folder);

std::string Join(const std::vector<std::string>& lines);

} // namespace faults

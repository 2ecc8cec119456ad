// A served game for update-run tests: files on the test server, a manifest naming them, and
// the local copies as a test wants them before the run.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"

namespace test {

class UpdateScenario {
public:
    UpdateScenario();
    ~UpdateScenario();

    // Relative path of a file of this scenario (unique per scenario, "/" separated).
    std::string Path(const std::string& name) const { return prefix_ + "/" + name; }
    // Local path in the launcher folder.
    std::wstring LocalPath(const std::string& name) const;

    // A file the server offers, listed in the manifest. local: "same" (a correct copy is
    // already there), "none" (missing) or "old" (other content).
    void AddFile(const std::string& name, const std::string& content, const char* local = "none");
    // A manifest entry with a hash of its own (the server file is whatever content is).
    void AddEntryText(const std::string& objectJson) { extraObjects_.push_back(objectJson); }

    // Writes the manifest under the given name and points the server at this scenario.
    void Publish(const std::string& manifestName = "manifest_light.json",
                 const std::string& faultsJson = "");
    std::wstring ManifestUrl(const std::string& manifestName = "manifest_light.json") const;
    const std::wstring& ServerRoot() const { return root_.Path(); }

private:
    TempDir root_;
    std::string prefix_;
    std::vector<std::string> objects_;
    std::vector<std::string> extraObjects_;
};

// Records every status text in order while it lives.
class StatusRecorder {
public:
    StatusRecorder();
    ~StatusRecorder();
    std::vector<std::wstring> Texts() const;

private:
    static void OnStatus(const std::wstring& text);
};

// Samples the two progress fields every millisecond and keeps each change.
class ProgressSampler {
public:
    ProgressSampler();
    ~ProgressSampler();
    std::vector<int> Files() const;
    std::vector<int> Bytes() const;

private:
    std::atomic<bool> stop_{false};
    mutable std::mutex mutex_;
    std::vector<int> files_, bytes_;
    std::thread thread_;
};

// Makes link a symbolic link to target (a file, or a folder with folder set): the system's own
// where it makes them, else (Wine, which reports success and makes none) a Unix link through
// /bin/ln. False when neither works.
bool MakeLink(const std::wstring& link, const std::wstring& target, bool folder);

// Runs an update in the calling thread and returns the final status.
std::wstring RunLight(const UpdateScenario& scenario);

} // namespace test

#include "updaterun/update_scenario.h"

#include "base/launcher_state.h"
#include "base/paths.h"
#include "update/update_run.h"

namespace test {

namespace {
std::atomic<int> gScenarioCounter{0};
std::mutex gStatusMutex;
std::vector<std::wstring>* gStatusTexts = nullptr;
} // namespace

UpdateScenario::UpdateScenario() : root_(L"server") {
    prefix_ =
        "run" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(gScenarioCounter++);
}

UpdateScenario::~UpdateScenario() {
    TestServer::Reset();
    RemoveTree(LauncherFolderFull() + L"\\" + Widen(prefix_));
}

std::wstring UpdateScenario::LocalPath(const std::string& name) const {
    std::wstring relative = Widen(Path(name));
    for (wchar_t& c : relative)
        if (c == L'/') c = L'\\';
    return LauncherFolderFull() + L"\\" + relative;
}

void UpdateScenario::AddFile(const std::string& name, const std::string& content,
                             const char* local) {
    std::wstring served = root_.Path() + L"\\update\\" + Widen(Path(name));
    for (wchar_t& c : served)
        if (c == L'/') c = L'\\';
    WriteFileBytes(served, content);
    std::string l = local;
    if (l == "same") WriteFileBytes(LocalPath(name), content);
    if (l == "old") WriteFileBytes(LocalPath(name), content + "-old");
    objects_.push_back("{\"path\": " + JsonQuote(Path(name)) + ", \"hash\": \"" + Md5Hex(content) +
                       "\", \"size\": " + std::to_string(content.size()) + ", \"version\": 1}");
}

void UpdateScenario::Publish(const std::string& manifestName, const std::string& faultsJson) {
    std::string json = "{\n  \"files\": [\n";
    std::vector<std::string> all = objects_;
    all.insert(all.end(), extraObjects_.begin(), extraObjects_.end());
    for (size_t i = 0; i < all.size(); ++i)
        json += "    " + all[i] + (i + 1 < all.size() ? ",\n" : "\n");
    json += "  ]\n}\n";
    WriteFileBytes(root_.Path() + L"\\" + Widen(manifestName), json);
    TestServer::Configure(root_.Path(), faultsJson);
}

std::wstring UpdateScenario::ManifestUrl(const std::string& manifestName) const {
    return TestServer::HttpsBase() + L"/" + Widen(manifestName);
}

StatusRecorder::StatusRecorder() {
    {
        std::lock_guard<std::mutex> lock(gStatusMutex);
        gStatusTexts = new std::vector<std::wstring>();
    }
    SetStatusListener(OnStatus);
}

StatusRecorder::~StatusRecorder() {
    SetStatusListener(nullptr);
    std::lock_guard<std::mutex> lock(gStatusMutex);
    delete gStatusTexts;
    gStatusTexts = nullptr;
}

std::vector<std::wstring> StatusRecorder::Texts() const {
    std::lock_guard<std::mutex> lock(gStatusMutex);
    return *gStatusTexts;
}

void StatusRecorder::OnStatus(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(gStatusMutex);
    if (gStatusTexts) gStatusTexts->push_back(text);
}

ProgressSampler::ProgressSampler() {
    thread_ = std::thread([this] {
        int lastFiles = -1, lastBytes = -1;
        while (!stop_) {
            int files = State().progressFilesPercent.load();
            int bytes = State().progressBytesPercent.load();
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (files != lastFiles) files_.push_back(lastFiles = files);
                if (bytes != lastBytes) bytes_.push_back(lastBytes = bytes);
            }
            Sleep(1);
        }
    });
}

ProgressSampler::~ProgressSampler() {
    stop_ = true;
    thread_.join();
}

std::vector<int> ProgressSampler::Files() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return files_;
}

std::vector<int> ProgressSampler::Bytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bytes_;
}

bool MakeLink(const std::wstring& link, const std::wstring& target, bool folder) {
    const DWORD flags =
        SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE | (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0);
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), flags) &&
        GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES)
        return true;
    const std::string from = UnixPath(target), to = UnixPath(link);
    if (from.empty() || to.empty()) return false;
    ChildProcess ln;
    if (!ln.Start(L"Z:\\bin\\ln", L"Z:\\bin\\ln -s \"" + Widen(from) + L"\" \"" + Widen(to) + L"\"",
                  ProgramFolder()))
        return false;
    // Wine gives no exit status of a Unix program: the link's coming is what tells.
    return WaitFor([&] { return GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES; },
                   10000);
}

std::wstring RunLight(const UpdateScenario& scenario) {
    RunUpdateWithManifestUrl(scenario.ManifestUrl(), L"LIGHT");
    return CurrentStatusText();
}

} // namespace test

#include "faults/fault_support.h"

#include <algorithm>
#include <cstdlib>
#include <mutex>

#include "base/launcher_state.h"
#include "base/paths.h"

namespace faults {

namespace {

std::wstring Backslashed(std::string path) {
    std::wstring wide = test::Widen(path);
    for (wchar_t& c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text)
        if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    return text;
}

bool EndsWithTmp(const std::wstring& path) {
    return path.size() > 4 && Lower(path.substr(path.size() - 4)) == L".tmp";
}

void ListInto(const std::wstring& folder, const std::wstring& relative,
              std::vector<std::wstring>& out) {
    WIN32_FIND_DATAW data;
    std::wstring base = relative.empty() ? folder : folder + L"\\" + relative;
    HANDLE find = FindFirstFileW((base + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        std::wstring name = data.cFileName;
        if (name == L"." || name == L"..") continue;
        std::wstring child = relative.empty() ? name : relative + L"\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            ListInto(folder, child, out);
        else
            out.push_back(child);
    } while (FindNextFileW(find, &data));
    FindClose(find);
}

std::mutex gStatusMutex;
std::vector<std::wstring>* gStatusTexts = nullptr;

void OnStatus(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(gStatusMutex);
    if (gStatusTexts) gStatusTexts->push_back(text);
}

} // namespace

std::string ReadShared(const std::wstring& path, bool* opened) {
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (opened) *opened = file != INVALID_HANDLE_VALUE;
    if (file == INVALID_HANDLE_VALUE) return {};
    std::string out;
    std::vector<char> buffer(1 << 20);
    DWORD read = 0;
    while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) &&
           read > 0)
        out.append(buffer.data(), read);
    CloseHandle(file);
    return out;
}

FolderWatch::FolderWatch(const FaultGame& game, DWORD periodMs) : game_(game) {
    thread_ = std::thread([this, periodMs] {
        while (!stop_) {
            std::vector<std::string> found = game_.Problems(true);
            ++checks_;
            if (!found.empty()) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (problems_.empty()) problems_ = found;
            }
            Sleep(periodMs);
        }
    });
}

void FolderWatch::Stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

std::vector<std::string> FolderWatch::Problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

std::vector<std::wstring> ListFiles(const std::wstring& folder) {
    std::vector<std::wstring> out;
    ListInto(folder, L"", out);
    return out;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines)
        out += "\n  " + line;
    return out;
}

FaultGame::FaultGame(const std::wstring& launcherFolder, const std::string& prefix)
    : launcherFolder_(launcherFolder), prefix_(prefix), root_(L"served") {
    folder_ = prefix.empty() ? launcherFolder : launcherFolder + L"\\" + Backslashed(prefix);
    // What a good run keeps of its manifest, and the log every run writes, whatever they hold.
    for (const wchar_t* kept : {L"Log\\kept_manifest_light.json", L"Log\\kept_manifest_full.json",
                                L"Log\\run.log", L"Log\\run.log.1"})
        AllowExtra(kept, {});
}

FaultGame::~FaultGame() {
    test::TestServer::Reset();
    if (!prefix_.empty()) test::RemoveTree(folder_);
}

std::string FaultGame::Path(const std::string& name) const {
    return prefix_.empty() ? name : prefix_ + "/" + name;
}

std::wstring FaultGame::Local(const std::string& name) const {
    return launcherFolder_ + L"\\" + Backslashed(Path(name));
}

void FaultGame::Add(const std::string& name, const std::string& content,
                    std::optional<std::string> before) {
    test::WriteFileBytes(root_.Path() + L"\\update\\" + Backslashed(Path(name)), content);
    AddUnserved(name, content, std::move(before));
}

void FaultGame::AddUnserved(const std::string& name, const std::string& content,
                            std::optional<std::string> before) {
    if (before) test::WriteFileBytes(Local(name), *before);
    files_[name] = File{content, before};
    objects_.push_back("{\"path\": " + test::JsonQuote(Path(name)) + ", \"hash\": \"" +
                       test::Md5Hex(content) + "\", \"size\": " + std::to_string(content.size()) +
                       ", \"version\": 1}");
}

void FaultGame::OfferPacked(const std::string& name, const std::string& copy,
                            std::optional<int64_t> announced) {
    if (!copy.empty())
        test::WriteFileBytes(root_.Path() + L"\\packed\\" + Backslashed(Path(name)), copy);
    const std::string row = "{\"path\": " + test::JsonQuote(Path(name)) + ",";
    for (std::string& object : objects_) {
        if (object.compare(0, row.size(), row) != 0) continue;
        object.insert(object.size() - 1,
                      ", \"zsize\": " + std::to_string(announced.value_or(copy.size())));
    }
}

void FaultGame::ListSize(const std::string& name, int64_t size) {
    const std::string row = "{\"path\": " + test::JsonQuote(Path(name)) + ",";
    const std::string listed = "\"size\": " + std::to_string(files_[name].content.size());
    for (std::string& object : objects_) {
        if (object.compare(0, row.size(), row) != 0) continue;
        const size_t at = object.find(listed);
        if (at != std::string::npos)
            object.replace(at, listed.size(), "\"size\": " + std::to_string(size));
    }
}

void FaultGame::AddRowKeys(const std::string& name, const std::string& keys) {
    const std::string row = "{\"path\": " + test::JsonQuote(Path(name)) + ",";
    for (std::string& object : objects_)
        if (object.compare(0, row.size(), row) == 0) object.insert(object.size() - 1, keys);
}

void FaultGame::Serve(const std::string& path, const std::string& bytes) {
    test::WriteFileBytes(root_.Path() + L"\\" + Backslashed(path), bytes);
}

void FaultGame::Publish(const std::vector<std::string>& manifestNames,
                        const std::string& faultsJson) {
    std::string json = "{\"files\": [\n";
    for (size_t i = 0; i < objects_.size(); ++i)
        json += "  " + objects_[i] + (i + 1 < objects_.size() ? ",\n" : "\n");
    json += "]}\n";
    for (const std::string& name : manifestNames)
        test::WriteFileBytes(root_.Path() + L"\\" + test::Widen(name), json);
    test::TestServer::Configure(root_.Path(), faultsJson);
}

std::wstring FaultGame::ManifestUrl(const std::string& manifestName) const {
    return test::TestServer::HttpsBase() + L"/" + test::Widen(manifestName);
}

void FaultGame::AllowExtra(const std::wstring& relative, std::vector<std::string> contents) {
    extras_[Lower(relative)] = std::move(contents);
}

std::vector<std::string> FaultGame::Problems(bool tmpAllowed) const {
    // Listed files by their lower-case path relative to the game's folder: the file system
    // does not tell letter cases apart.
    std::map<std::wstring, std::string> listed;
    for (const auto& [name, file] : files_)
        listed[Lower(Backslashed(name))] = name;

    std::vector<std::string> problems;
    std::map<std::string, bool> seen;
    for (const std::wstring& relative : ListFiles(folder_)) {
        const std::wstring key = Lower(relative);
        const std::wstring full = folder_ + L"\\" + relative;
        const std::string shown = test::Narrow(relative);
        if (auto it = listed.find(key); it != listed.end()) {
            const File& file = files_.at(it->second);
            seen[it->second] = true;
            bool opened = false;
            const std::string bytes = ReadShared(full, &opened);
            if (!opened && GetLastError() == ERROR_SHARING_VIOLATION) continue;
            if (bytes == file.content || (file.before && bytes == *file.before)) continue;
            problems.push_back(shown + " holds " + std::to_string(bytes.size()) +
                               " bytes that are neither its manifest content (" +
                               std::to_string(file.content.size()) + ") nor what it held before");
        } else if (auto extra = extras_.find(key); extra != extras_.end()) {
            if (extra->second.empty()) continue;
            const std::string bytes = ReadShared(full);
            if (std::find(extra->second.begin(), extra->second.end(), bytes) == extra->second.end())
                problems.push_back(shown + " holds unexpected bytes (" +
                                   std::to_string(bytes.size()) + ")");
        } else if (EndsWithTmp(relative)) {
            if (!tmpAllowed) problems.push_back(shown + " is left over");
        } else {
            problems.push_back(shown + " was put there by nobody");
        }
    }
    for (const auto& [name, file] : files_)
        if (file.before && !seen[name] && !(tmpAllowed && swapGaps_.count(name)))
            problems.push_back(name + " was there and is gone");
    return problems;
}

bool FaultGame::AllCurrent() const {
    return CountCurrent() == static_cast<int>(files_.size());
}

bool FaultGame::IsCurrent(const std::string& name) const {
    auto it = files_.find(name);
    return it != files_.end() && FileExists(Local(name)) &&
           ReadShared(Local(name)) == it->second.content;
}

int FaultGame::CountCurrent() const {
    int current = 0;
    for (const auto& [name, file] : files_)
        current += IsCurrent(name);
    return current;
}

std::vector<std::wstring> FaultGame::TmpFiles() const {
    std::vector<std::wstring> out;
    for (const std::wstring& relative : ListFiles(folder_))
        if (EndsWithTmp(relative)) out.push_back(relative);
    return out;
}

StatusLog::StatusLog() {
    {
        std::lock_guard<std::mutex> lock(gStatusMutex);
        gStatusTexts = new std::vector<std::wstring>();
    }
    SetStatusListener(OnStatus);
}

StatusLog::~StatusLog() {
    SetStatusListener(nullptr);
    std::lock_guard<std::mutex> lock(gStatusMutex);
    delete gStatusTexts;
    gStatusTexts = nullptr;
}

std::vector<std::wstring> StatusLog::Texts() const {
    std::lock_guard<std::mutex> lock(gStatusMutex);
    return *gStatusTexts;
}

bool StatusLog::Saw(const std::wstring& text) const {
    std::vector<std::wstring> texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::wstring RunnerSourceExe() {
    return LauncherFolderFull() + L"\\update_runner.exe";
}

bool StartRunner(test::ChildProcess& process, const std::wstring& exe,
                 const std::wstring& manifestUrl, const wchar_t* mode,
                 const std::wstring& resultFile) {
    DeleteFileW(resultFile.c_str());
    std::wstring commandLine =
        L"\"" + exe + L"\" \"" + manifestUrl + L"\" " + mode + L" \"" + resultFile + L"\"";
    return process.Start(exe, commandLine, ParentFolderOf(exe));
}

RunnerResult WaitRunner(test::ChildProcess& process, const std::wstring& resultFile,
                        DWORD timeoutMs) {
    RunnerResult result;
    if (!process.WaitExit(timeoutMs)) {
        process.Kill();
        return result;
    }
    std::string text = ReadShared(resultFile);
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) break;
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (line == "end") {
            result.ended = true;
            result.peakWorkingSet = std::strtoull(text.c_str() + pos, nullptr, 10);
            break;
        }
        result.texts.push_back(test::Widen(line));
    }
    return result;
}

bool FileHolder::Hold(const std::wstring& path, bool shared) {
    const std::wstring exe = LauncherFolderFull() + L"\\file_holder.exe";
    const std::wstring ready = ready_ / L"ready";
    if (!process_.Start(exe,
                        L"\"" + exe + L"\" \"" + path + L"\" \"" + ready + L"\"" +
                            (shared ? L" shared" : L""),
                        ready_.Path()))
        return false;
    return test::WaitFor([&] { return test::PathExists(ready); }, 20000);
}

} // namespace faults

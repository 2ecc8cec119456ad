#include "webpanel_test_util.h"

#include <mutex>

#include "support/test_support.h"
#include "webpanel/runtime_loader.h"

namespace webtest {

ScopedEnv::ScopedEnv(const wchar_t* name, const std::wstring& value) : ScopedEnv(name) {
    SetEnvironmentVariableW(name, value.c_str());
}

ScopedEnv::ScopedEnv(const wchar_t* name) : name_(name) {
    DWORD needed = GetEnvironmentVariableW(name, nullptr, 0);
    if (needed > 0) {
        hadValue_ = true;
        oldValue_ = test::Env(name);
    }
    SetEnvironmentVariableW(name, nullptr);
}

ScopedEnv::~ScopedEnv() {
    SetEnvironmentVariableW(name_.c_str(), hadValue_ ? oldValue_.c_str() : nullptr);
}

CleanRuntimeEnvironment::CleanRuntimeEnvironment() {
    for (const wchar_t* name :
         {L"WEBVIEW2_BROWSER_EXECUTABLE_FOLDER", L"WEBVIEW2_USER_DATA_FOLDER",
          L"WEBVIEW2_USE_EDGE_VIEW", L"WEBVIEW2_RELEASE_CHANNELS", L"WEBVIEW2_CHANNEL_SEARCH_KIND",
          L"WEBVIEW2_RELEASE_CHANNEL_PREFERENCE", L"ZARVO_FAKE_WEBVIEW_ENVIRONMENT",
          L"ZARVO_FAKE_WEBVIEW_CONTROLLER", L"ZARVO_FAKE_WEBVIEW_CALLS",
          L"ZARVO_FAKE_WEBVIEW_CONTROLLER_CALLS"})
        vars_.push_back(std::make_unique<ScopedEnv>(name));
}

ScopedRegistryKey::ScopedRegistryKey(HKEY root, const std::wstring& path, REGSAM view)
    : root_(root), view_(view) {
    // Find the first component that is missing, so that exactly that much goes again.
    size_t position = 0;
    while (position != std::wstring::npos) {
        size_t next = path.find(L'\\', position);
        std::wstring prefix = path.substr(0, next);
        HKEY probe = nullptr;
        if (RegOpenKeyExW(root, prefix.c_str(), 0, KEY_READ | view, &probe) != ERROR_SUCCESS) {
            createdFrom_ = prefix;
            break;
        }
        RegCloseKey(probe);
        position = next == std::wstring::npos ? next : next + 1;
    }
    RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS | view, nullptr, &key_,
                    nullptr);
}

ScopedRegistryKey::~ScopedRegistryKey() {
    if (key_) RegCloseKey(key_);
    if (createdFrom_.empty()) return;
    size_t separator = createdFrom_.find_last_of(L'\\');
    if (separator == std::wstring::npos) {
        RegDeleteTreeW(root_, createdFrom_.c_str());
        return;
    }
    HKEY parent = nullptr;
    if (RegOpenKeyExW(root_, createdFrom_.substr(0, separator).c_str(), 0, KEY_ALL_ACCESS | view_,
                      &parent) == ERROR_SUCCESS) {
        RegDeleteTreeW(parent, createdFrom_.substr(separator + 1).c_str());
        RegCloseKey(parent);
    }
}

bool ScopedRegistryKey::SetString(const std::wstring& name, const std::wstring& value) {
    return key_ && RegSetValueExW(key_, name.c_str(), 0, REG_SZ,
                                  reinterpret_cast<const BYTE*>(value.c_str()),
                                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) ==
                       ERROR_SUCCESS;
}

bool ScopedRegistryKey::SetDword(const std::wstring& name, DWORD value) {
    return key_ && RegSetValueExW(key_, name.c_str(), 0, REG_DWORD,
                                  reinterpret_cast<const BYTE*>(&value), sizeof(value)) ==
                       ERROR_SUCCESS;
}

std::wstring ChannelClientStateKey(int channel) {
    static const wchar_t* ids[5] = {
        L"{F3017226-FE2A-4295-8BDF-00C3A9A7E4C5}", L"{2CD8A007-E189-409D-A2C8-9AF4EF3C72AA}",
        L"{0D50BFEC-CD6A-4F9A-964C-C7416E3ACB10}", L"{65C35B14-6C1D-4122-AC46-7148CC9D6497}",
        L"{BE59E8FD-089A-411B-A3B0-051D9E417818}"};
    return std::wstring(L"Software\\Microsoft\\EdgeUpdate\\ClientState\\") + ids[channel];
}

namespace {
std::mutex gLinesMutex;
std::vector<std::wstring> gLines;
int gCaptures = 0;

void CollectLine(const std::wstring& line) {
    std::lock_guard<std::mutex> lock(gLinesMutex);
    gLines.push_back(line);
}
} // namespace

DebugLineCapture::DebugLineCapture() {
    std::lock_guard<std::mutex> lock(gLinesMutex);
    start_ = gLines.size();
    if (gCaptures++ == 0) SetLoaderDebugObserver(CollectLine);
}

DebugLineCapture::~DebugLineCapture() {
    std::lock_guard<std::mutex> lock(gLinesMutex);
    if (--gCaptures == 0) {
        SetLoaderDebugObserver(nullptr);
        gLines.clear();
    }
}

std::vector<std::wstring> DebugLineCapture::Lines() const {
    std::lock_guard<std::mutex> lock(gLinesMutex);
    return std::vector<std::wstring>(gLines.begin() + static_cast<ptrdiff_t>(start_), gLines.end());
}

std::wstring ExeName() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(text.find_last_of(L'\\') + 1);
}

std::wstring FakeLibrarySource() { return test::ProgramFolder() + L"\\EmbeddedBrowserWebView.dll"; }

std::wstring InstallFakeRuntime(const std::wstring& folder) {
    std::wstring library = folder + kLibraryTail;
    test::WriteFileBytes(library, ""); // makes the folders
    test::CopyFileTo(FakeLibrarySource(), library);
    return library;
}

std::wstring PlaceDummyLibrary(const std::wstring& folder) {
    std::wstring library = folder + kLibraryTail;
    test::WriteFileBytes(library, "not a library");
    return library;
}

FakeLog::FakeLog() {
    static int counter = 0;
    path_ = test::Env(L"ZARVO_TEST_TMP") + L"\\fake-webview-" + std::to_wstring(++counter) +
            L".log";
    DeleteFileW(path_.c_str());
    env_ = std::make_unique<ScopedEnv>(L"ZARVO_FAKE_WEBVIEW_LOG", path_);
}

FakeLog::~FakeLog() = default;

std::vector<std::string> FakeLog::Lines() const {
    std::vector<std::string> lines;
    std::string text = test::ReadFileBytes(path_);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) break; // a line still being written
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

bool FakeLog::Contains(const std::string& prefix) const {
    for (const std::string& line : Lines())
        if (line.rfind(prefix, 0) == 0) return true;
    return false;
}

bool FakeLog::WaitForLine(const std::string& prefix, DWORD timeoutMs) const {
    return PumpUntil([&] { return Contains(prefix); }, timeoutMs);
}

void Pump(DWORD ms) {
    DWORD start = GetTickCount();
    do {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) continue; // a closed test window's quit request
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    } while (GetTickCount() - start < ms);
}

HRESULT RecordingEnvironmentHandler::QueryInterface(REFIID iid, void** object) {
    if (!object) return E_POINTER;
    if (IsEqualIID(iid, IID_IUnknown) ||
        IsEqualIID(iid, IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler)) {
        *object = this;
        AddRef();
        return S_OK;
    }
    *object = nullptr;
    return E_NOINTERFACE;
}

HRESULT RecordingEnvironmentHandler::Invoke(HRESULT errorCode, ICoreWebView2Environment* env) {
    ++calls;
    result = errorCode;
    if (environment) environment->Release();
    environment = env;
    if (environment) environment->AddRef();
    return S_OK;
}

ULONG RecordingEnvironmentHandler::Release() {
    ULONG left = --references_;
    if (left == 0) delete this;
    return left;
}

RecordingEnvironmentHandler::~RecordingEnvironmentHandler() {
    if (environment) environment->Release();
}

std::string Utf8(const std::wstring& text) { return test::Narrow(text); }

} // namespace webtest

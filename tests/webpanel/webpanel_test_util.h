// Helpers of the web panel tests: scoped environment variables and registry keys, the stand-in
// runtime library and its call log, the loader's debug lines, message pumping.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "webpanel/webview2.h"

namespace webtest {

// Sets (or, with unset, removes) a variable of this process; the old state comes back after.
class ScopedEnv {
public:
    ScopedEnv(const wchar_t* name, const std::wstring& value);
    explicit ScopedEnv(const wchar_t* name); // unset
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    std::wstring name_;
    bool hadValue_ = false;
    std::wstring oldValue_;
};

// Every variable the loader and the stand-in runtime read, unset for the scope of a test.
class CleanRuntimeEnvironment {
public:
    CleanRuntimeEnvironment();

private:
    std::vector<std::unique_ptr<ScopedEnv>> vars_;
};

// A registry key created for a test; whatever part of its path did not exist before is
// deleted again at the end. view is 0 or KEY_WOW64_32KEY.
class ScopedRegistryKey {
public:
    ScopedRegistryKey(HKEY root, const std::wstring& path, REGSAM view = 0);
    ~ScopedRegistryKey();
    ScopedRegistryKey(const ScopedRegistryKey&) = delete;
    ScopedRegistryKey& operator=(const ScopedRegistryKey&) = delete;
    bool Valid() const { return key_ != nullptr; }
    bool SetString(const std::wstring& name, const std::wstring& value);
    bool SetDword(const std::wstring& name, DWORD value);

private:
    HKEY root_;
    REGSAM view_;
    std::wstring createdFrom_; // first component that this guard created ("" when none)
    HKEY key_ = nullptr;
};

// ClientState id of a release channel (0 stable .. 4 internal).
std::wstring ChannelClientStateKey(int channel);

// The loader's debug lines written while this object lives (captures may nest).
class DebugLineCapture {
public:
    DebugLineCapture();
    ~DebugLineCapture();
    DebugLineCapture(const DebugLineCapture&) = delete;
    DebugLineCapture& operator=(const DebugLineCapture&) = delete;
    std::vector<std::wstring> Lines() const;

private:
    size_t start_ = 0;
};

// Name of the running test program ("webpanel_tests.exe").
std::wstring ExeName();

// The stand-in client library that the build puts beside the test program.
std::wstring FakeLibrarySource();
// Copies the stand-in library into folder\EBWebView\x64\; returns the library's path.
std::wstring InstallFakeRuntime(const std::wstring& folder);
// Places any file (not a loadable library) where a runtime folder's client library belongs.
std::wstring PlaceDummyLibrary(const std::wstring& folder);
inline const wchar_t* kLibraryTail = L"\\EBWebView\\x64\\EmbeddedBrowserWebView.dll";

// The stand-in's call log: a file under the test's temp folder, named to it through
// ZARVO_FAKE_WEBVIEW_LOG while this object lives.
class FakeLog {
public:
    FakeLog();
    ~FakeLog();
    const std::wstring& Path() const { return path_; }
    std::vector<std::string> Lines() const;
    // True when some line starts with prefix.
    bool Contains(const std::string& prefix) const;
    // Pumps this thread's messages until a line starting with prefix is there.
    bool WaitForLine(const std::string& prefix, DWORD timeoutMs) const;

private:
    std::wstring path_;
    std::unique_ptr<ScopedEnv> env_;
};

// Runs this thread's message loop for the time (the stand-in completes through it).
void Pump(DWORD ms);
// Pumps until the predicate holds or the time is up.
template <typename Predicate> bool PumpUntil(Predicate predicate, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!predicate()) {
        if (GetTickCount() - start > timeoutMs) return false;
        Pump(10);
    }
    return true;
}

// An environment completion handler that records what the loader hands it. Reference
// counted like any handler: hold it in a ComPtr.
class RecordingEnvironmentHandler final
    : public ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode, ICoreWebView2Environment* env) override;

    int calls = 0;
    HRESULT result = S_OK;
    ICoreWebView2Environment* environment = nullptr; // one reference held while recorded

private:
    ~RecordingEnvironmentHandler();
    ULONG references_ = 1;
};

std::string Utf8(const std::wstring& text);

} // namespace webtest

// Loads the runtime's client library and asks it for a browser environment. An attempt that
// fails at once is made a second time, and so is one whose completion reports a failure; the
// caller hears the outcome only through its completion handler.
#include "webpanel/runtime_loader.h"

#include <windows.h>
#include <evntprov.h>

#include <atomic>
#include <cstdio>
#include <string>

#include "base/handles.h"
#include "webpanel/completion_handler.h"
#include "webpanel/runtime_internal.h"

namespace {

std::atomic<LoaderDebugObserver> gDebugObserver{nullptr};

void NotifyObserver(const std::wstring& line) {
    if (LoaderDebugObserver observer = gDebugObserver.load()) observer(line);
}

std::string HexHresult(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::wstring Widened(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

HRESULT LastErrorHresult() {
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

// This loader's own tracing provider: {1060EA87-DC77-4306-8B4D-EDD3A6E15C52}.
constexpr GUID kTraceProvider = {
    0x1060EA87, 0xDC77, 0x4306, {0x8B, 0x4D, 0xED, 0xD3, 0xA6, 0xE1, 0x5C, 0x52}};

// One event per attempt: how the runtime was looked for and what came of it. No paths, no
// user data: only the attempt's kind, settings flags and result.
void TraceAttempt(const RuntimeSettings& settings, RuntimeKind kind, HRESULT result,
                  uint32_t attempt) {
    REGHANDLE provider = 0;
    if (EventRegister(&kTraceProvider, nullptr, nullptr, &provider) != ERROR_SUCCESS) return;
    EVENT_DESCRIPTOR descriptor;
    EventDescCreate(&descriptor, 1, 0, 0, 4 /* informational */, 0, 0, 0);
    int32_t runtimeKind = static_cast<int32_t>(kind);
    int32_t hr = static_cast<int32_t>(result);
    uint32_t fixedFolder = settings.browserFolder.empty() ? 0 : 1;
    uint32_t reverse = settings.reverseSearch ? 1 : 0;
    uint32_t channels = settings.channelMask;
    EVENT_DATA_DESCRIPTOR data[6];
    EventDataDescCreate(&data[0], &attempt, sizeof(attempt));
    EventDataDescCreate(&data[1], &runtimeKind, sizeof(runtimeKind));
    EventDataDescCreate(&data[2], &fixedFolder, sizeof(fixedFolder));
    EventDataDescCreate(&data[3], &channels, sizeof(channels));
    EventDataDescCreate(&data[4], &reverse, sizeof(reverse));
    EventDataDescCreate(&data[5], &hr, sizeof(hr));
    EventWriteTransfer(provider, &descriptor, nullptr, nullptr, 6, data);
    EventUnregister(provider);
}

using CreateEnvironmentInternalFn = HRESULT(STDMETHODCALLTYPE*)(
    BOOL, int, LPCWSTR, IUnknown*, ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler*);

// One call into the runtime: find, load, call, let go.
HRESULT AttemptOnce(const RuntimeSettings& settings, IUnknown* options,
                    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* completion) {
    std::wstring libraryPath;
    RuntimeKind kind = RuntimeKind::Installed;
    HRESULT hr = FindClientLibrary(settings, libraryPath, kind);
    if (FAILED(hr)) return hr;

    // The runtime's own folder supplies its companions; everything else comes from the
    // system folder, as for the rest of the process.
    Library library(
        LoadLibraryExW(libraryPath.c_str(), nullptr,
                       LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (!library) {
        hr = LastErrorHresult();
        WriteLoaderDebugLine(
            L"WebView2: CoreWebView2Environment failed when trying to LoadLibrary: hr=0x" +
            Widened(HexHresult(hr)) + L" path=" + libraryPath);
        return hr;
    }
    auto createEnvironment = reinterpret_cast<CreateEnvironmentInternalFn>(reinterpret_cast<void*>(
        GetProcAddress(library.Get(), "CreateWebViewEnvironmentWithOptionsInternal")));
    if (!createEnvironment) {
        hr = LastErrorHresult();
        WriteLoaderDebugLine("WebView2: CoreWebView2Environment failed when trying to call into "
                             "EmbeddedBrowserWebView.dll. hr=0x" +
                             HexHresult(hr));
        return hr; // nothing of the library was used: it goes again
    }

    const wchar_t* userDataFolder =
        settings.userDataFolder.empty() ? nullptr : settings.userDataFolder.c_str();
    hr = createEnvironment(TRUE, static_cast<int>(kind), userDataFolder, options, completion);

    // A library that manages its own lifetime keeps itself loaded while its objects live;
    // one without that export stays loaded for good.
    if (!GetProcAddress(library.Get(), "DllCanUnloadNow")) library.Release();
    return hr;
}

HRESULT Attempt(const RuntimeSettings& settings, IUnknown* options,
                ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* completion,
                uint32_t attempt) {
    HRESULT hr = AttemptOnce(settings, options, completion);
    if (!settings.useEdgeView) {
        RuntimeKind kind = !settings.browserFolder.empty() ? RuntimeKind::FixedFolder
                                                           : RuntimeKind::Installed;
        TraceAttempt(settings, kind, hr, attempt);
    }
    return hr;
}

// Stands between the runtime and the caller's handler: repeats a failed creation once and
// hands on the environment interface the caller asked for.
class CompletionWrapper final
    : public CompletionHandler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                               IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> {
public:
    CompletionWrapper(ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler,
                      const RuntimeSettings& settings, IUnknown* options, bool mayRepeat)
        : settings_(settings), mayRepeat_(mayRepeat) {
        handler_.Share(handler);
        options_.Share(options);
    }

    HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                     ICoreWebView2Environment* created) override {
        try {
            if (FAILED(errorCode) && mayRepeat_) return Repeat();
            ComPtr<ICoreWebView2Environment> environment;
            HRESULT result = errorCode;
            if (created) {
                HRESULT query =
                    created->QueryInterface(IID_ICoreWebView2Environment, environment.PutVoid());
                if (FAILED(query) && SUCCEEDED(result)) result = query;
            }
            return handler_->Invoke(result, environment.Get());
        } catch (...) {
            return E_UNEXPECTED;
        }
    }

private:
    ~CompletionWrapper() = default;

    HRESULT Repeat() {
        ComPtr<CompletionWrapper> last;
        last.Attach(new CompletionWrapper(handler_.Get(), settings_, options_.Get(), false));
        HRESULT hr = Attempt(settings_, options_.Get(), last.Get(), 3);
        if (FAILED(hr)) handler_->Invoke(hr, nullptr);
        return S_OK;
    }

    ComPtr<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> handler_;
    ComPtr<IUnknown> options_;
    const RuntimeSettings settings_;
    const bool mayRepeat_;
};

} // namespace

void WriteLoaderDebugLine(const std::string& line) {
    OutputDebugStringA((line + "\n").c_str());
    NotifyObserver(Widened(line));
}

void WriteLoaderDebugLine(const std::wstring& line) {
    OutputDebugStringW((line + L"\n").c_str());
    NotifyObserver(line);
}

void SetLoaderDebugObserver(LoaderDebugObserver observer) { gDebugObserver.store(observer); }

HRESULT CreateCoreWebView2EnvironmentWithOptions(
    PCWSTR browserExecutableFolder, PCWSTR userDataFolder, IUnknown* environmentOptions,
    ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    if (!handler) return E_POINTER;
    try {
        const RuntimeSettings settings =
            ReadRuntimeSettings(browserExecutableFolder, userDataFolder);
        ComPtr<CompletionWrapper> wrapper;
        wrapper.Attach(new CompletionWrapper(handler, settings, environmentOptions, true));
        HRESULT hr = Attempt(settings, environmentOptions, wrapper.Get(), 1);
        if (FAILED(hr)) hr = Attempt(settings, environmentOptions, wrapper.Get(), 2);
        return hr;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

// A stand-in for the WebView2 runtime's client library, EmbeddedBrowserWebView.dll, for the
// tests: it exports the runtime's internal entry point, hands out environment, controller,
// view and settings objects with the runtime's vtable layout, completes asynchronously through
// the calling thread's message loop as the runtime does, and appends every call it receives,
// with its arguments, to the file named by ZARVO_FAKE_WEBVIEW_LOG.
//
// Outcomes are scripted per call through environment variables holding comma lists of
// "ok", "now" (fail at once) and "later" (complete with a failure); calls beyond a list succeed:
//   ZARVO_FAKE_WEBVIEW_ENVIRONMENT   calls of the entry point
//   ZARVO_FAKE_WEBVIEW_CONTROLLER    calls of CreateCoreWebView2Controller
// The calls are counted in ZARVO_FAKE_WEBVIEW_CALLS and ZARVO_FAKE_WEBVIEW_CONTROLLER_CALLS of
// the process's environment, so that the count survives the library being unloaded.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <functional>
#include <string>

#include "webpanel/webview2.h"
#include "fake_event_args.h"

namespace {

constexpr HRESULT kFailNow = E_FAIL;    // 0x80004005, returned at once
constexpr HRESULT kFailLater = E_ABORT; // 0x80004004, reported through the handler

std::atomic<long> gLiveObjects{0};

std::wstring EnvValue(const wchar_t* name) {
    wchar_t buffer[4096];
    DWORD length = GetEnvironmentVariableW(name, buffer, 4096);
    return (length == 0 || length >= 4096) ? std::wstring() : std::wstring(buffer, length);
}

std::string Utf8(const std::wstring& text) {
    if (text.empty()) return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                nullptr, nullptr);
    std::string out(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n,
                        nullptr, nullptr);
    return out;
}

// One line per call, written through at once so that a test reading the file (or a process
// that is killed) never misses one.
void Log(const std::string& line) {
    std::wstring path = EnvValue(L"ZARVO_FAKE_WEBVIEW_LOG");
    if (path.empty()) return;
    HANDLE file = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    std::string text = line + "\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    FlushFileBuffers(file);
    CloseHandle(file);
}

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string RectText(const RECT& r) {
    return std::to_string(r.left) + "," + std::to_string(r.top) + "," + std::to_string(r.right) +
           "," + std::to_string(r.bottom);
}

// Takes the next scripted outcome of a kind of call: 'o' ok, 'n' now, 'l' later.
char NextOutcome(const wchar_t* scriptVariable, const wchar_t* counterVariable) {
    std::wstring counter = EnvValue(counterVariable);
    int index = counter.empty() ? 0 : _wtoi(counter.c_str());
    SetEnvironmentVariableW(counterVariable, std::to_wstring(index + 1).c_str());
    std::wstring script = EnvValue(scriptVariable);
    size_t start = 0;
    for (int i = 0; i < index && start != std::wstring::npos; ++i) {
        start = script.find(L',', start);
        if (start != std::wstring::npos) ++start;
    }
    if (start == std::wstring::npos || start >= script.size()) return 'o';
    std::wstring item = script.substr(start, script.find(L',', start) - start);
    if (item == L"now") return 'n';
    if (item == L"later") return 'l';
    return 'o';
}

// ---- completion through the caller's message loop ---------------------------------------

constexpr UINT kRunTask = WM_APP + 1;

LRESULT CALLBACK TaskWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kRunTask) {
        auto* task = reinterpret_cast<std::function<void()>*>(lParam);
        (*task)();
        delete task;
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

HMODULE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                           GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&TaskWindowProc), &module);
    return module;
}

// A message-only window on the calling thread, made once per thread.
HWND TaskWindow() {
    static thread_local HWND window = nullptr;
    if (window && IsWindow(window)) return window;
    WNDCLASSW wc = {};
    wc.lpfnWndProc = TaskWindowProc;
    wc.hInstance = ThisModule();
    wc.lpszClassName = L"ZarvoFakeWebViewTasks";
    RegisterClassW(&wc); // fails harmlessly when already registered
    window = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                             wc.hInstance, nullptr);
    return window;
}

void Later(std::function<void()> work) {
    auto* task = new std::function<void()>(std::move(work));
    if (!PostMessageW(TaskWindow(), kRunTask, 0, reinterpret_cast<LPARAM>(task))) delete task;
}

// Keeps the library loaded for the rest of the process once it has handed out objects.
void PinLibrary() {
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&TaskWindowProc), &module);
}

std::string IidName(REFIID iid) {
    if (IsEqualIID(iid, IID_IUnknown)) return "IUnknown";
    if (IsEqualIID(iid, IID_ICoreWebView2Environment)) return "ICoreWebView2Environment";
    if (IsEqualIID(iid, IID_ICoreWebView2Controller)) return "ICoreWebView2Controller";
    if (IsEqualIID(iid, IID_ICoreWebView2)) return "ICoreWebView2";
    if (IsEqualIID(iid, IID_ICoreWebView2_4)) return "ICoreWebView2_4";
    if (IsEqualIID(iid, IID_ICoreWebView2Settings)) return "ICoreWebView2Settings";
    if (IsEqualIID(iid, IID_ICoreWebView2Settings3)) return "ICoreWebView2Settings3";
    wchar_t text[64] = {};
    StringFromGUID2(iid, text, 64);
    return Utf8(text);
}

// Reference counting and QueryInterface for one interface, with a log line on destruction.
template <typename Interface> class FakeObject : public Interface {
public:
    FakeObject(const IID& iid, const char* name) : iid_(iid), name_(name) { ++gLiveObjects; }
    virtual ~FakeObject() { --gLiveObjects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        Log(std::string(name_) + ".QueryInterface " + IidName(iid));
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, iid_)) {
            *object = static_cast<Interface*>(this);
            this->AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) {
            // Logged before the object lets go of what it holds.
            Log(std::string(name_) + ".destroyed");
            delete this;
        }
        return left;
    }

protected:
    void Say(const std::string& what) const { Log(std::string(name_) + "." + what); }

private:
    std::atomic<ULONG> references_{1};
    const IID& iid_;
    const char* name_;
};

class FakeSettings final : public FakeObject<ICoreWebView2Settings3> {
public:
    FakeSettings() : FakeObject(IID_ICoreWebView2Settings, "Settings") {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object || !IsEqualIID(iid, IID_ICoreWebView2Settings3))
            return FakeObject::QueryInterface(iid, object);
        Say("QueryInterface " + IidName(iid));
        *object = static_cast<ICoreWebView2Settings3*>(this);
        AddRef();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_UserAgent(LPWSTR* userAgent) override {
        Say("get_UserAgent");
        if (userAgent) *userAgent = nullptr;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE put_UserAgent(LPCWSTR userAgent) override {
        Say("put_UserAgent " + Utf8(userAgent ? userAgent : L"(null)"));
        return S_OK;
    }

#define FAKE_SETTING(Name, index)                                                                  \
    HRESULT STDMETHODCALLTYPE get_##Name(BOOL* value) override {                                   \
        Say("get_" #Name);                                                                         \
        if (!value) return E_POINTER;                                                              \
        *value = values_[index];                                                                   \
        return S_OK;                                                                               \
    }                                                                                              \
    HRESULT STDMETHODCALLTYPE put_##Name(BOOL value) override {                                    \
        Say("put_" #Name " " + std::to_string(value));                                             \
        values_[index] = value;                                                                    \
        return S_OK;                                                                               \
    }
    FAKE_SETTING(IsScriptEnabled, 0)
    FAKE_SETTING(IsWebMessageEnabled, 1)
    FAKE_SETTING(AreDefaultScriptDialogsEnabled, 2)
    FAKE_SETTING(IsStatusBarEnabled, 3)
    FAKE_SETTING(AreDevToolsEnabled, 4)
    FAKE_SETTING(AreDefaultContextMenusEnabled, 5)
    FAKE_SETTING(AreHostObjectsAllowed, 6)
    FAKE_SETTING(IsZoomControlEnabled, 7)
    FAKE_SETTING(IsBuiltInErrorPageEnabled, 8)
    FAKE_SETTING(AreBrowserAcceleratorKeysEnabled, 9)
#undef FAKE_SETTING

private:
    BOOL values_[10] = {TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE, TRUE};
};

class FakeView final : public FakeObject<ICoreWebView2_4> {
public:
    FakeView() : FakeObject(IID_ICoreWebView2, "View") {}
    ~FakeView() override {
        settings_->Release();
        for (IUnknown* handler :
             {static_cast<IUnknown*>(navigation_), static_cast<IUnknown*>(newWindow_),
              static_cast<IUnknown*>(permission_), static_cast<IUnknown*>(download_)})
            if (handler) handler->Release();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object || !IsEqualIID(iid, IID_ICoreWebView2_4))
            return FakeObject::QueryInterface(iid, object);
        Say("QueryInterface " + IidName(iid));
        *object = static_cast<ICoreWebView2_4*>(this);
        AddRef();
        return S_OK;
    }

#define FAKE_EVENT(Name, Handler, member)                                                          \
    HRESULT STDMETHODCALLTYPE add_##Name(Handler* handler, INT64* token) override {                \
        if (!handler || !token) return E_POINTER;                                                  \
        handler->AddRef();                                                                         \
        if (member) member->Release();                                                             \
        member = handler;                                                                          \
        *token = 1;                                                                                \
        return S_OK;                                                                               \
    }                                                                                              \
    HRESULT STDMETHODCALLTYPE remove_##Name(INT64) override {                                      \
        return S_OK;                                                                               \
    }
    FAKE_EVENT(NavigationStarting, ICoreWebView2NavigationStartingEventHandler, navigation_)
    FAKE_EVENT(NewWindowRequested, ICoreWebView2NewWindowRequestedEventHandler, newWindow_)
    FAKE_EVENT(PermissionRequested, ICoreWebView2PermissionRequestedEventHandler, permission_)
    FAKE_EVENT(DownloadStarting, ICoreWebView2DownloadStartingEventHandler, download_)
#undef FAKE_EVENT
#define FAKE_UNUSED(n)                                                                             \
    HRESULT STDMETHODCALLTYPE Unused##n() override {                                               \
        return E_NOTIMPL;                                                                          \
    }
    FAKE_VIEW_UNUSED_SLOTS

    HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) override {
        Say("get_Settings");
        if (!settings) return E_POINTER;
        settings_->AddRef();
        *settings = settings_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) override {
        Say("get_Source");
        if (!uri) return E_POINTER;
        size_t bytes = (source_.size() + 1) * sizeof(wchar_t);
        *uri = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!*uri) return E_OUTOFMEMORY;
        memcpy(*uri, source_.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) override {
        Say("Navigate " + Utf8(uri ? uri : L"(null)"));
        if (!uri) return E_INVALIDARG;
        source_ = uri;
        if (!EnvValue(L"ZARVO_FAKE_WEBVIEW_EVENTS").empty()) {
            AddRef();
            Later([this] {
                RaiseEvents();
                Release();
            });
        }
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR html) override {
        Say("NavigateToString " + Utf8(html ? html : L"(null)"));
        return S_OK;
    }

private:
    // What a page would do: the navigation asked for, then each "kind uri" of the '|' list in
    // ZARVO_FAKE_WEBVIEW_EVENTS (navigate, popup, permission, download), each handler's answer
    // logged as "Event ...".
    void RaiseEvents() {
        std::wstring list = L"navigate " + source_ + L"|" + EnvValue(L"ZARVO_FAKE_WEBVIEW_EVENTS");
        for (size_t start = 0; start <= list.size();) {
            size_t end = list.find(L'|', start);
            if (end == std::wstring::npos) end = list.size();
            const std::wstring item = list.substr(start, end - start);
            start = end + 1;
            const size_t space = item.find(L' ');
            if (space == std::wstring::npos) continue;
            Raise(item.substr(0, space), item.substr(space + 1));
        }
    }
    void Raise(const std::wstring& kind, const std::wstring& uri) {
        if (kind == L"navigate" && navigation_) {
            auto* args = new EventArgs(uri);
            navigation_->Invoke(this, args);
            Log("Event NavigationStarting " + Utf8(uri) +
                " cancel=" + std::to_string(args->cancel));
            args->Release();
        } else if (kind == L"popup" && newWindow_) {
            auto* args = new EventArgs(uri);
            newWindow_->Invoke(this, args);
            Log("Event NewWindowRequested " + Utf8(uri) + " handled=" +
                std::to_string(args->handled) + " newWindow=" + (args->newWindow ? "set" : "none"));
            args->Release();
        } else if (kind == L"permission" && permission_) {
            auto* args = new EventArgs(uri);
            permission_->Invoke(this, args);
            Log("Event PermissionRequested " + Utf8(uri) + " state=" + std::to_string(args->state));
            args->Release();
        } else if (kind == L"download" && download_) {
            auto* args = new EventArgs(uri);
            download_->Invoke(this, args);
            Log("Event DownloadStarting " + Utf8(uri) + " cancel=" + std::to_string(args->cancel) +
                " handled=" + std::to_string(args->handled));
            args->Release();
        } else {
            Log("Event " + Utf8(kind) + " " + Utf8(uri) + " (no handler)");
        }
    }

    ICoreWebView2NavigationStartingEventHandler* navigation_ = nullptr;
    ICoreWebView2NewWindowRequestedEventHandler* newWindow_ = nullptr;
    ICoreWebView2PermissionRequestedEventHandler* permission_ = nullptr;
    ICoreWebView2DownloadStartingEventHandler* download_ = nullptr;
    FakeSettings* settings_ = new FakeSettings();
    std::wstring source_ = L"about:blank";
};

class FakeController final : public FakeObject<ICoreWebView2Controller> {
public:
    explicit FakeController(HWND parent)
        : FakeObject(IID_ICoreWebView2Controller, "Controller"), parent_(parent) {}
    ~FakeController() override {
        if (view_) view_->Release();
    }

    HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* visible) override {
        Say("get_IsVisible");
        if (!visible) return E_POINTER;
        *visible = visible_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL visible) override {
        Say("put_IsVisible " + std::to_string(visible));
        visible_ = visible;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) override {
        Say("get_Bounds");
        if (!bounds) return E_POINTER;
        *bounds = bounds_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) override {
        Say("put_Bounds " + RectText(bounds));
        bounds_ = bounds;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* zoom) override {
        Say("get_ZoomFactor");
        if (!zoom) return E_POINTER;
        *zoom = zoom_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_ZoomFactor(double zoom) override {
        Say("put_ZoomFactor " + std::to_string(zoom));
        zoom_ = zoom;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(void*, INT64*) override {
        return NotUsed("add_ZoomFactorChanged");
    }
    HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(INT64) override {
        return NotUsed("remove_ZoomFactorChanged");
    }
    HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT bounds, double zoom) override {
        Say("SetBoundsAndZoomFactor " + RectText(bounds) + " " + std::to_string(zoom));
        bounds_ = bounds;
        zoom_ = zoom;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MoveFocus(int reason) override {
        Say("MoveFocus " + std::to_string(reason));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(void*, INT64*) override {
        return NotUsed("add_MoveFocusRequested");
    }
    HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(INT64) override {
        return NotUsed("remove_MoveFocusRequested");
    }
    HRESULT STDMETHODCALLTYPE add_GotFocus(void*, INT64*) override {
        return NotUsed("add_GotFocus");
    }
    HRESULT STDMETHODCALLTYPE remove_GotFocus(INT64) override { return NotUsed("remove_GotFocus"); }
    HRESULT STDMETHODCALLTYPE add_LostFocus(void*, INT64*) override {
        return NotUsed("add_LostFocus");
    }
    HRESULT STDMETHODCALLTYPE remove_LostFocus(INT64) override {
        return NotUsed("remove_LostFocus");
    }
    HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(void*, INT64*) override {
        return NotUsed("add_AcceleratorKeyPressed");
    }
    HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(INT64) override {
        return NotUsed("remove_AcceleratorKeyPressed");
    }
    HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* parent) override {
        Say("get_ParentWindow");
        if (!parent) return E_POINTER;
        *parent = parent_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND parent) override {
        Say("put_ParentWindow");
        parent_ = parent;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() override {
        Say("NotifyParentWindowPositionChanged");
        return S_OK;
    }
    // Whether the host window still exists tells the tests the order of closing.
    HRESULT STDMETHODCALLTYPE Close() override {
        Say(std::string("Close host=") + (IsWindow(parent_) ? "alive" : "gone"));
        closed_ = true;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** view) override {
        Say("get_CoreWebView2");
        if (!view) return E_POINTER;
        if (closed_) {
            *view = nullptr;
            return E_UNEXPECTED;
        }
        view_->AddRef();
        *view = view_;
        return S_OK;
    }

private:
    HRESULT NotUsed(const char* what) {
        Say(what);
        return E_NOTIMPL;
    }

    HWND parent_;
    FakeView* view_ = new FakeView();
    RECT bounds_ = {};
    double zoom_ = 1.0;
    BOOL visible_ = TRUE;
    bool closed_ = false;
};

// What the controller's parent looks like when the browser is asked for: class, place in its
// parent's client area, and whether it is shown.
std::string DescribeParent(HWND parent) {
    if (!IsWindow(parent)) return "parent=none";
    wchar_t className[64] = {};
    GetClassNameW(parent, className, 64);
    RECT r = {};
    GetWindowRect(parent, &r);
    MapWindowPoints(nullptr, GetParent(parent), reinterpret_cast<POINT*>(&r), 2);
    bool shown = (GetWindowLongW(parent, GWL_STYLE) & WS_VISIBLE) != 0;
    return "parent=" + Utf8(className) + " x=" + std::to_string(r.left) +
           " y=" + std::to_string(r.top) + " w=" + std::to_string(r.right - r.left) +
           " h=" + std::to_string(r.bottom - r.top) + " shown=" + (shown ? "1" : "0");
}

class FakeEnvironment final : public FakeObject<ICoreWebView2Environment> {
public:
    FakeEnvironment() : FakeObject(IID_ICoreWebView2Environment, "Environment") {}

    HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parent, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) override {
        Say("CreateCoreWebView2Controller " + DescribeParent(parent));
        if (!handler) return E_POINTER;
        char outcome =
            NextOutcome(L"ZARVO_FAKE_WEBVIEW_CONTROLLER", L"ZARVO_FAKE_WEBVIEW_CONTROLLER_CALLS");
        if (outcome == 'n') return kFailNow;
        handler->AddRef();
        Later([handler, parent, outcome] {
            if (outcome == 'l' || !IsWindow(parent)) {
                Log("ControllerCompleted.Invoke " + Hex(kFailLater));
                handler->Invoke(kFailLater, nullptr);
            } else {
                auto* controller = new FakeController(parent);
                Log("ControllerCompleted.Invoke 0x00000000");
                handler->Invoke(S_OK, controller);
                controller->Release();
            }
            handler->Release();
        });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE CreateWebResourceResponse(void*, int, LPCWSTR, LPCWSTR,
                                                        void**) override {
        Say("CreateWebResourceResponse");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR* version) override {
        Say("get_BrowserVersionString");
        if (!version) return E_POINTER;
        const wchar_t text[] = L"120.0.0.0 fake";
        *version = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(text)));
        if (!*version) return E_OUTOFMEMORY;
        memcpy(*version, text, sizeof(text));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE add_NewBrowserVersionAvailable(void*, void*) override {
        Say("add_NewBrowserVersionAvailable");
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE remove_NewBrowserVersionAvailable(INT64) override {
        Say("remove_NewBrowserVersionAvailable");
        return E_NOTIMPL;
    }
};

} // namespace

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE
    CreateWebViewEnvironmentWithOptionsInternal(
        BOOL flag, int runtimeKind, LPCWSTR userDataFolder, IUnknown* options,
        ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(ThisModule(), self, MAX_PATH);
    Log("CreateWebViewEnvironmentWithOptionsInternal flag=" + std::to_string(flag) +
        " kind=" + std::to_string(runtimeKind) +
        " userDataFolder=" + (userDataFolder ? Utf8(userDataFolder) : std::string("(null)")) +
        " options=" + (options ? "set" : "null") + " library=" + Utf8(self));
    if (!handler) return E_POINTER;
    char outcome = NextOutcome(L"ZARVO_FAKE_WEBVIEW_ENVIRONMENT", L"ZARVO_FAKE_WEBVIEW_CALLS");
    if (outcome == 'n') {
        Log("CreateWebViewEnvironmentWithOptionsInternal returns " + Hex(kFailNow));
        return kFailNow;
    }
    PinLibrary();
    handler->AddRef();
    Later([handler, outcome] {
        if (outcome == 'l') {
            Log("EnvironmentCompleted.Invoke " + Hex(kFailLater));
            handler->Invoke(kFailLater, nullptr);
        } else {
            auto* environment = new FakeEnvironment();
            Log("EnvironmentCompleted.Invoke 0x00000000");
            handler->Invoke(S_OK, environment);
            environment->Release();
        }
        handler->Release();
    });
    return S_OK;
}

extern "C" __declspec(dllexport) HRESULT STDMETHODCALLTYPE DllCanUnloadNow() {
    return gLiveObjects.load() == 0 ? S_OK : S_FALSE;
}

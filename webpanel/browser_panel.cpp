// The web panel: a plain "STATIC" child window at webPanelRect that hosts the WebView2
// browser. The browser is created asynchronously; both completion handlers run on the window
// thread through its message loop, and until they succeed the host shows its empty background.
#include "webpanel/browser_panel.h"

#include <windows.h>
#include <shlobj.h>
#include <knownfolders.h>
#include <aclapi.h>
#include <sddl.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "base/folder_security.h"
#include "base/handles.h"
#include "base/launcher_state.h"
#include "base/paths.h"
#include "webpanel/completion_handler.h"
#include "webpanel/panel_guard.h"
#include "webpanel/runtime_loader.h"
#include "webpanel/webview2.h"

namespace {

constexpr int kPanelWidth = webPanelRect.right - webPanelRect.left;  // 796
constexpr int kPanelHeight = webPanelRect.bottom - webPanelRect.top; // 385

// A completion handler that remembers the page to show.
template <typename Interface, const IID& Iid>
class PageHandler : public CompletionHandler<Interface, Iid> {
public:
    explicit PageHandler(const std::wstring& url) : url_(url) {}

protected:
    const std::wstring& Url() const { return url_; }

private:
    const std::wstring url_;
};

class ControllerCompletedHandler final
    : public PageHandler<ICoreWebView2CreateCoreWebView2ControllerCompletedHandler,
                         IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler> {
public:
    using PageHandler::PageHandler;

    HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode, ICoreWebView2Controller* created) override {
        if (FAILED(errorCode) || !created) return S_OK;
        try {
            ShowPage(created);
        } catch (...) {
            // Out of memory on the way: the panel stays as it is.
        }
        return S_OK;
    }

private:
    void ShowPage(ICoreWebView2Controller* created) {
        LauncherState& s = State();
        if (created != s.webController.Get()) s.webController.Share(created);
        if (s.webView) s.webView.Reset();
        s.webController->get_CoreWebView2(s.webView.Put());

        RECT bounds = {};
        GetClientRect(s.webPanelHost, &bounds);
        s.webController->put_Bounds(bounds);

        if (!s.webView) return;
        ComPtr<ICoreWebView2Settings> settings;
        if (SUCCEEDED(s.webView->get_Settings(settings.Put())) && settings) {
            // No context menu, no developer tools, no link status bar, no zooming.
            settings->put_AreDefaultContextMenusEnabled(FALSE);
            settings->put_AreDevToolsEnabled(FALSE);
            settings->put_IsStatusBarEnabled(FALSE);
            settings->put_IsZoomControlEnabled(FALSE);
            // Nor the browser's own keys (print, save, find, reload): the page runs with the
            // administrator's token. Older runtimes lack the switch.
            ComPtr<ICoreWebView2Settings3> keys;
            if (SUCCEEDED(settings->QueryInterface(IID_ICoreWebView2Settings3, keys.PutVoid())) &&
                keys)
                keys->put_AreBrowserAcceleratorKeysEnabled(FALSE);
        }
        // The page may not take the administrator's browser anywhere else.
        if (!GuardPanel(s.webView.Get())) {
            s.webView.Reset();
            return;
        }
        SetPanelPage(Url());
        s.webView->Navigate(Url().c_str());
    }
};

class EnvironmentCompletedHandler final
    : public PageHandler<ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler,
                         IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler> {
public:
    using PageHandler::PageHandler;

    // The environment is only needed for this one call; no reference to it is kept.
    HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                     ICoreWebView2Environment* environment) override {
        if (FAILED(errorCode) || !environment) return S_OK;
        try {
            ComPtr<ControllerCompletedHandler> handler;
            handler.Attach(new ControllerCompletedHandler(Url()));
            environment->CreateCoreWebView2Controller(State().webPanelHost, handler.Get());
        } catch (...) {
            // Out of memory: no browser, the empty host stays.
        }
        return S_OK;
    }
};

} // namespace

std::wstring GetWebViewDataFolder() {
    std::wstring base;
    CoTaskString localAppData;
    if (SUCCEEDED(SHGetKnownFolderPath(FOLDERID_LocalAppData, 0, nullptr, localAppData.Put())) &&
        localAppData.Get() && localAppData.Get()[0]) {
        base = localAppData.Get();
    } else {
        wchar_t temp[MAX_PATH] = {};
        DWORD length = GetTempPathW(MAX_PATH, temp);
        base = (length == 0 || length >= MAX_PATH) ? std::wstring(L"C:\\Windows\\Temp")
                                                   : std::wstring(temp, length);
    }
    return base + L"\\ZarvoVestraLauncher\\WebView2";
}

namespace {

// True when a reparse point (a junction, a symbolic link, a mount point) lies anywhere below
// folder, or a part of it cannot be listed. Links are not entered; folders wait on a list of
// their own rather than on the stack, however deep a planted tree goes.
bool HoldsALink(const std::wstring& folder) {
    std::vector<std::wstring> pending{folder};
    while (!pending.empty()) {
        const std::wstring current = std::move(pending.back());
        pending.pop_back();
        WIN32_FIND_DATAW entry;
        FindHandle search(FindFirstFileExW((current + L"\\*").c_str(), FindExInfoBasic, &entry,
                                           FindExSearchNameMatch, nullptr,
                                           FIND_FIRST_EX_LARGE_FETCH));
        if (!search) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND) continue;
            return true;
        }
        do {
            const std::wstring name = entry.cFileName;
            if (name == L"." || name == L"..") continue;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                pending.push_back(current + L"\\" + name);
        } while (FindNextFileW(search.Get(), &entry));
        if (GetLastError() != ERROR_NO_MORE_FILES) return true;
    }
    return false;
}

} // namespace

// The elevated browser writes its profile here: made with rules of its own (SYSTEM and the
// administrators only, nothing inherited from the user's profile), so that the user's own
// unelevated programs cannot plant links in it. One already there gets the same rules first,
// so no more can be planted at its top, and is then searched: one reached through a link, or
// holding a link anywhere inside (planted before it had those rules), is not used, and the
// panel stays empty.
bool PrepareWebViewDataFolder(const std::wstring& folder) {
    if (CrossesReparsePoint(folder)) return false;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", SDDL_REVISION_1, &raw, nullptr))
        return false;
    LocalMemory descriptor(raw);
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    const int made = SHCreateDirectoryExW(nullptr, folder.c_str(), &attributes);
    if (made != ERROR_SUCCESS && made != ERROR_ALREADY_EXISTS) return false;
    if (CrossesReparsePoint(folder)) return false;
    if (made == ERROR_SUCCESS) return true;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted) || !dacl)
        return false;
    std::wstring name = folder;
    if (SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                              DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                              nullptr, nullptr, dacl, nullptr) != ERROR_SUCCESS)
        return false;
    if (!HoldsALink(folder)) return true;
    OutputDebugStringW((L"WebView2: a link inside the user-data folder " + folder + L"\n").c_str());
    return false;
}

void OverlayInitAndNavigate(const std::wstring& url) {
    const std::wstring dataFolder = ResolveFullPath(GetWebViewDataFolder());
    if (!PrepareWebViewDataFolder(dataFolder)) return;

    LauncherState& s = State();
    if (!s.webPanelHost) {
        // Created hidden; the caller shows it once it is in place.
        s.webPanelHost = CreateWindowExW(0, L"STATIC", L"", WS_CHILD, webPanelRect.left,
                                         webPanelRect.top, kPanelWidth, kPanelHeight,
                                         s.mainWindow.load(), nullptr, s.appInstance, nullptr);
        if (!s.webPanelHost) return;
    }

    ComPtr<EnvironmentCompletedHandler> handler;
    handler.Attach(new EnvironmentCompletedHandler(url));
    // Without a runtime the handler may never run: the empty host simply stays.
    CreateCoreWebView2EnvironmentWithOptions(nullptr, dataFolder.c_str(), nullptr, handler.Get());
}

void PlaceOverlay() {
    LauncherState& s = State();
    if (!s.webPanelHost) return;
    SetWindowPos(s.webPanelHost, nullptr, webPanelRect.left, webPanelRect.top, kPanelWidth,
                 kPanelHeight, SWP_NOZORDER | SWP_NOACTIVATE);
    if (s.webController) s.webController->put_Bounds(RECT{0, 0, kPanelWidth, kPanelHeight});
}

void CloseOverlay() {
    LauncherState& s = State();
    if (s.webController) {
        s.webController->Close();
        s.webController.Reset();
    }
    if (s.webView) s.webView.Reset();
    if (s.webPanelHost) {
        DestroyWindow(s.webPanelHost);
        s.webPanelHost = nullptr;
    }
}

void OnDisplayInfoReady() {
    LauncherState& s = State();
    bool enabled = false;
    std::wstring url;
    {
        std::lock_guard<std::mutex> lock(s.displayInfoMutex);
        enabled = s.displayEnabled;
        url = s.displayUrl;
    }
    if (!enabled || url.empty()) {
        CloseOverlay();
        return;
    }
    if (s.webPanelHost && s.webView) {
        PlaceOverlay();
        ShowWindow(s.webPanelHost, SW_SHOW);
        SetPanelPage(url);
        s.webView->Navigate(url.c_str());
        return;
    }
    OverlayInitAndNavigate(url);
    PlaceOverlay();
    if (s.webPanelHost) ShowWindow(s.webPanelHost, SW_SHOW);
}

#include "webpanel/panel_guard.h"

#include <windows.h>

#include "base/handles.h"
#include "webpanel/completion_handler.h"

namespace {

// "host[:port]" of an https address, lower-cased; empty for anything else.
std::wstring HttpsAuthority(const std::wstring& uri) {
    constexpr wchar_t kScheme[] = L"https://";
    constexpr size_t kSchemeLength = sizeof(kScheme) / sizeof(wchar_t) - 1;
    if (uri.size() <= kSchemeLength || CompareStringOrdinal(uri.c_str(), kSchemeLength, kScheme,
                                                            kSchemeLength, TRUE) != CSTR_EQUAL)
        return {};
    const size_t end = uri.find_first_of(L"/?#\\", kSchemeLength);
    std::wstring authority = uri.substr(
        kSchemeLength, end == std::wstring::npos ? std::wstring::npos : end - kSchemeLength);
    if (authority.empty() || authority.find(L'@') != std::wstring::npos) return {};
    for (wchar_t& c : authority)
        if (c >= L'A' && c <= L'Z') c = c - L'A' + L'a';
    return authority;
}

std::wstring TakeUri(LPWSTR raw) {
    CoTaskString owned(raw);
    return owned.Get() ? std::wstring(owned.Get()) : std::wstring();
}

// The page the display information named last; the window thread sets it before each
// navigation and the runtime raises its events on that thread too.
std::wstring gPage;

class NavigationGuard final
    : public CompletionHandler<ICoreWebView2NavigationStartingEventHandler,
                               IID_ICoreWebView2NavigationStartingEventHandler> {
public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2NavigationStartingEventArgs* args) override {
        if (!args) return E_POINTER;
        LPWSTR raw = nullptr;
        const std::wstring uri = SUCCEEDED(args->get_Uri(&raw)) ? TakeUri(raw) : std::wstring();
        if (!IsPanelAddress(uri, gPage)) args->put_Cancel(TRUE);
        return S_OK;
    }
};

// No pop-up opens: handled, with no new window given.
class NewWindowGuard final
    : public CompletionHandler<ICoreWebView2NewWindowRequestedEventHandler,
                               IID_ICoreWebView2NewWindowRequestedEventHandler> {
public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2NewWindowRequestedEventArgs* args) override {
        if (!args) return E_POINTER;
        args->put_Handled(TRUE);
        return S_OK;
    }
};

class PermissionGuard final
    : public CompletionHandler<ICoreWebView2PermissionRequestedEventHandler,
                               IID_ICoreWebView2PermissionRequestedEventHandler> {
public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2PermissionRequestedEventArgs* args) override {
        if (!args) return E_POINTER;
        args->put_State(kPermissionDeny);
        return S_OK;
    }
};

class DownloadGuard final
    : public CompletionHandler<ICoreWebView2DownloadStartingEventHandler,
                               IID_ICoreWebView2DownloadStartingEventHandler> {
public:
    HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2*,
                                     ICoreWebView2DownloadStartingEventArgs* args) override {
        if (!args) return E_POINTER;
        args->put_Cancel(TRUE);
        args->put_Handled(TRUE); // no download bar either
        return S_OK;
    }
};

template <typename Guard> ComPtr<Guard> Make(Guard* guard) {
    ComPtr<Guard> owned;
    owned.Attach(guard);
    return owned;
}

} // namespace

bool IsPanelAddress(const std::wstring& uri, const std::wstring& page) {
    const std::wstring host = HttpsAuthority(page);
    return !host.empty() && HttpsAuthority(uri) == host;
}

void SetPanelPage(const std::wstring& page) {
    gPage = page;
}

bool GuardPanel(ICoreWebView2* view) {
    INT64 token = 0;
    // The view keeps its own references to the handlers for as long as it lives.
    if (FAILED(view->add_NavigationStarting(Make(new NavigationGuard()).Get(), &token)))
        return false;
    if (FAILED(view->add_NewWindowRequested(Make(new NewWindowGuard()).Get(), &token)) ||
        FAILED(view->add_PermissionRequested(Make(new PermissionGuard()).Get(), &token)))
        return false;
    ComPtr<ICoreWebView2_4> view4;
    if (SUCCEEDED(view->QueryInterface(IID_ICoreWebView2_4, view4.PutVoid())) && view4)
        view4->add_DownloadStarting(Make(new DownloadGuard()).Get(), &token);
    return true;
}

// The stand-in runtime's event arguments and the view's unused slots, apart from the objects
// so that the stand-in stays readable.
// clang-format off
#pragma once

#include <windows.h>

#include <atomic>
#include <cstring>
#include <string>

#include "webpanel/webview2.h"

#define FAKE_UNUSED(n) \
    HRESULT STDMETHODCALLTYPE Unused##n() override { return E_NOTIMPL; }
// The view's slots the launcher never calls.
#define FAKE_VIEW_UNUSED_SLOTS \
    FAKE_UNUSED(9) FAKE_UNUSED(10) FAKE_UNUSED(11) FAKE_UNUSED(12) FAKE_UNUSED(13) FAKE_UNUSED(14) FAKE_UNUSED(15) FAKE_UNUSED(16) \
    FAKE_UNUSED(17) FAKE_UNUSED(18) FAKE_UNUSED(19) FAKE_UNUSED(20) FAKE_UNUSED(21) FAKE_UNUSED(22) FAKE_UNUSED(25) FAKE_UNUSED(26) \
    FAKE_UNUSED(27) FAKE_UNUSED(28) FAKE_UNUSED(29) FAKE_UNUSED(30) FAKE_UNUSED(31) FAKE_UNUSED(32) FAKE_UNUSED(33) FAKE_UNUSED(34) \
    FAKE_UNUSED(35) FAKE_UNUSED(36) FAKE_UNUSED(37) FAKE_UNUSED(38) FAKE_UNUSED(39) FAKE_UNUSED(40) FAKE_UNUSED(41) FAKE_UNUSED(42) \
    FAKE_UNUSED(43) FAKE_UNUSED(46) FAKE_UNUSED(47) FAKE_UNUSED(48) FAKE_UNUSED(49) FAKE_UNUSED(50) FAKE_UNUSED(51) FAKE_UNUSED(52) \
    FAKE_UNUSED(53) FAKE_UNUSED(54) FAKE_UNUSED(55) FAKE_UNUSED(56) FAKE_UNUSED(57) FAKE_UNUSED(58) FAKE_UNUSED(59) FAKE_UNUSED(60) \
    FAKE_UNUSED(61) FAKE_UNUSED(62) FAKE_UNUSED(63) FAKE_UNUSED(64) FAKE_UNUSED(65) FAKE_UNUSED(66) FAKE_UNUSED(67) FAKE_UNUSED(68) \
    FAKE_UNUSED(69) FAKE_UNUSED(70) FAKE_UNUSED(71) FAKE_UNUSED(72) FAKE_UNUSED(73) FAKE_UNUSED(74)
// clang-format on

// One object answers as the arguments of every event the stand-in raises; it records what the
// handler set.
class EventArgs final : public ICoreWebView2NavigationStartingEventArgs,
                        public ICoreWebView2NewWindowRequestedEventArgs,
                        public ICoreWebView2PermissionRequestedEventArgs,
                        public ICoreWebView2DownloadStartingEventArgs {
public:
    explicit EventArgs(const std::wstring& uri) : uri_(uri) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
        if (object) *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) override {
        if (!uri) return E_POINTER;
        const size_t bytes = (uri_.size() + 1) * sizeof(wchar_t);
        *uri = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!*uri) return E_OUTOFMEMORY;
        memcpy(*uri, uri_.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) override {
        return Give(value, TRUE);
    }
    HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* value) override { return Give(value, FALSE); }
    HRESULT STDMETHODCALLTYPE get_RequestHeaders(void** headers) override { return None(headers); }
    HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* value) override { return Give(value, cancel); }
    HRESULT STDMETHODCALLTYPE put_Cancel(BOOL value) override {
        cancel = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) override {
        if (!id) return E_POINTER;
        *id = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_NewWindow(ICoreWebView2* window) override {
        newWindow = window != nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_NewWindow(ICoreWebView2** window) override {
        return None(reinterpret_cast<void**>(window));
    }
    HRESULT STDMETHODCALLTYPE put_Handled(BOOL value) override {
        handled = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Handled(BOOL* value) override { return Give(value, handled); }
    HRESULT STDMETHODCALLTYPE GetDeferral(void** deferral) override { return None(deferral); }
    HRESULT STDMETHODCALLTYPE get_WindowFeatures(void** features) override {
        return None(features);
    }
    HRESULT STDMETHODCALLTYPE get_PermissionKind(int* kind) override {
        if (!kind) return E_POINTER;
        *kind = 1; // the microphone
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_State(int* value) override {
        if (!value) return E_POINTER;
        *value = state;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_State(int value) override {
        state = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_DownloadOperation(void** operation) override {
        return None(operation);
    }
    HRESULT STDMETHODCALLTYPE get_ResultFilePath(LPWSTR* path) override {
        return None(reinterpret_cast<void**>(path));
    }
    HRESULT STDMETHODCALLTYPE put_ResultFilePath(LPCWSTR) override { return S_OK; }

    BOOL cancel = FALSE;
    BOOL handled = FALSE;
    bool newWindow = false;
    int state = 0;

private:
    static HRESULT Give(BOOL* out, BOOL value) {
        if (!out) return E_POINTER;
        *out = value;
        return S_OK;
    }
    static HRESULT None(void** out) {
        if (!out) return E_POINTER;
        *out = nullptr;
        return E_NOTIMPL;
    }
    std::atomic<ULONG> references_{1};
    const std::wstring uri_;
};


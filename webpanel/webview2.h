// The few WebView2 runtime interfaces the web panel uses, declared from their published
// interface ids and vtable order. Slots 0 to 2 of each are IUnknown.
#pragma once

#include <windows.h>
#include <unknwn.h>

struct ICoreWebView2Environment;
struct ICoreWebView2Controller;
struct ICoreWebView2;
struct ICoreWebView2Settings;

// {4E8A3389-C9D8-4BD2-B6B5-124FEE6CC14D}
constexpr GUID IID_ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler = {
    0x4E8A3389, 0xC9D8, 0x4BD2, {0xB6, 0xB5, 0x12, 0x4F, 0xEE, 0x6C, 0xC1, 0x4D}};
// {6C4819F3-C9B7-4260-8127-C9F5BDE7F68C}
constexpr GUID IID_ICoreWebView2CreateCoreWebView2ControllerCompletedHandler = {
    0x6C4819F3, 0xC9B7, 0x4260, {0x81, 0x27, 0xC9, 0xF5, 0xBD, 0xE7, 0xF6, 0x8C}};
// {B96D755E-0319-4E92-A296-23436F46A1FC}
constexpr GUID IID_ICoreWebView2Environment = {
    0xB96D755E, 0x0319, 0x4E92, {0xA2, 0x96, 0x23, 0x43, 0x6F, 0x46, 0xA1, 0xFC}};
// {4D00C0D1-9434-4EB6-8078-8697A560334F}
constexpr GUID IID_ICoreWebView2Controller = {
    0x4D00C0D1, 0x9434, 0x4EB6, {0x80, 0x78, 0x86, 0x97, 0xA5, 0x60, 0x33, 0x4F}};
// {76ECEACB-0462-4D94-AC83-423A6793775E}
constexpr GUID IID_ICoreWebView2 = {
    0x76ECEACB, 0x0462, 0x4D94, {0xAC, 0x83, 0x42, 0x3A, 0x67, 0x93, 0x77, 0x5E}};
// {E562E4F0-D7FA-43AC-8D71-C05150499F00}
constexpr GUID IID_ICoreWebView2Settings = {
    0xE562E4F0, 0xD7FA, 0x43AC, {0x8D, 0x71, 0xC0, 0x51, 0x50, 0x49, 0x9F, 0x00}};

// {FDB5AB74-AF33-4854-84F0-0A631DEB5EBA}
constexpr GUID IID_ICoreWebView2Settings3 = {
    0xFDB5AB74, 0xAF33, 0x4854, {0x84, 0xF0, 0x0A, 0x63, 0x1D, 0xEB, 0x5E, 0xBA}};

// {20D02D59-6DF2-42DC-BD06-F98A694B1302}
constexpr GUID IID_ICoreWebView2_4 = {
    0x20D02D59, 0x6DF2, 0x42DC, {0xBD, 0x06, 0xF9, 0x8A, 0x69, 0x4B, 0x13, 0x02}};
// {9ADBE429-F36D-432B-9DDC-F8881FBD76E3}
constexpr GUID IID_ICoreWebView2NavigationStartingEventHandler = {
    0x9ADBE429, 0xF36D, 0x432B, {0x9D, 0xDC, 0xF8, 0x88, 0x1F, 0xBD, 0x76, 0xE3}};
// {D4C185FE-C81C-4989-97AF-2D3FA7AB5651}
constexpr GUID IID_ICoreWebView2NewWindowRequestedEventHandler = {
    0xD4C185FE, 0xC81C, 0x4989, {0x97, 0xAF, 0x2D, 0x3F, 0xA7, 0xAB, 0x56, 0x51}};
// {15E1C6A3-C72A-4DF3-91D7-D097FBEC6BFD}
constexpr GUID IID_ICoreWebView2PermissionRequestedEventHandler = {
    0x15E1C6A3, 0xC72A, 0x4DF3, {0x91, 0xD7, 0xD0, 0x97, 0xFB, 0xEC, 0x6B, 0xFD}};
// {EFEDC989-C396-41CA-83F7-07F845A55724}
constexpr GUID IID_ICoreWebView2DownloadStartingEventHandler = {
    0xEFEDC989, 0xC396, 0x41CA, {0x83, 0xF7, 0x07, 0xF8, 0x45, 0xA5, 0x57, 0x24}};

struct ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                             ICoreWebView2Environment* createdEnvironment) = 0;
};

struct ICoreWebView2CreateCoreWebView2ControllerCompletedHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(HRESULT errorCode,
                                             ICoreWebView2Controller* createdController) = 0;
};

struct ICoreWebView2Environment : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE CreateCoreWebView2Controller(
        HWND parentWindow, ICoreWebView2CreateCoreWebView2ControllerCompletedHandler* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE CreateWebResourceResponse(void*, int, LPCWSTR, LPCWSTR,
                                                                void**) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_BrowserVersionString(LPWSTR* versionInfo) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_NewBrowserVersionAvailable(void*, void*) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_NewBrowserVersionAvailable(INT64) = 0;
};

struct ICoreWebView2Controller : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_IsVisible(BOOL* isVisible) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsVisible(BOOL isVisible) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Bounds(RECT* bounds) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Bounds(RECT bounds) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ZoomFactor(double* zoomFactor) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ZoomFactor(double zoomFactor) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_ZoomFactorChanged(void* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_ZoomFactorChanged(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE SetBoundsAndZoomFactor(RECT bounds, double zoomFactor) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveFocus(int reason) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_MoveFocusRequested(void* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_MoveFocusRequested(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_GotFocus(void* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_GotFocus(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_LostFocus(void* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_LostFocus(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE add_AcceleratorKeyPressed(void* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_AcceleratorKeyPressed(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ParentWindow(HWND* parentWindow) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ParentWindow(HWND parentWindow) = 0;
    virtual HRESULT STDMETHODCALLTYPE NotifyParentWindowPositionChanged() = 0;
    virtual HRESULT STDMETHODCALLTYPE Close() = 0;
    virtual HRESULT STDMETHODCALLTYPE get_CoreWebView2(ICoreWebView2** coreWebView2) = 0;
};

struct ICoreWebView2NavigationStartingEventHandler;
struct ICoreWebView2NewWindowRequestedEventHandler;
struct ICoreWebView2PermissionRequestedEventHandler;
struct ICoreWebView2DownloadStartingEventHandler;

// The view. Slots the launcher never calls keep their places as UnusedN (N the slot).
struct ICoreWebView2 : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Settings(ICoreWebView2Settings** settings) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Source(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE Navigate(LPCWSTR uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE NavigateToString(LPCWSTR htmlContent) = 0;
    virtual HRESULT STDMETHODCALLTYPE
    add_NavigationStarting(ICoreWebView2NavigationStartingEventHandler* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_NavigationStarting(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused9() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused10() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused11() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused12() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused13() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused14() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused15() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused16() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused17() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused18() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused19() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused20() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused21() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused22() = 0;
    virtual HRESULT STDMETHODCALLTYPE add_PermissionRequested(
        ICoreWebView2PermissionRequestedEventHandler* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_PermissionRequested(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused25() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused26() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused27() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused28() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused29() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused30() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused31() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused32() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused33() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused34() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused35() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused36() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused37() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused38() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused39() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused40() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused41() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused42() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused43() = 0;
    virtual HRESULT STDMETHODCALLTYPE
    add_NewWindowRequested(ICoreWebView2NewWindowRequestedEventHandler* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_NewWindowRequested(INT64 token) = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused46() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused47() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused48() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused49() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused50() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused51() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused52() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused53() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused54() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused55() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused56() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused57() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused58() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused59() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused60() = 0;
};

// ICoreWebView2_2 and _3 add slots 61 to 72; _4 adds the frame and download events. Counted
// from the published order of the interfaces: these four slots live here only.
struct ICoreWebView2_4 : ICoreWebView2 {
    virtual HRESULT STDMETHODCALLTYPE Unused61() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused62() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused63() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused64() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused65() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused66() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused67() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused68() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused69() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused70() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused71() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused72() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused73() = 0;
    virtual HRESULT STDMETHODCALLTYPE Unused74() = 0;
    virtual HRESULT STDMETHODCALLTYPE
    add_DownloadStarting(ICoreWebView2DownloadStartingEventHandler* handler, INT64* token) = 0;
    virtual HRESULT STDMETHODCALLTYPE remove_DownloadStarting(INT64 token) = 0;
};

struct ICoreWebView2NavigationStartingEventArgs : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsRedirected(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RequestHeaders(void** headers) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NavigationId(UINT64* id) = 0;
};

struct ICoreWebView2NewWindowRequestedEventArgs : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_NewWindow(ICoreWebView2* newWindow) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_NewWindow(ICoreWebView2** newWindow) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeferral(void** deferral) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_WindowFeatures(void** features) = 0;
};

// Permission states: 0 the runtime's default, 1 allow, 2 deny.
constexpr int kPermissionDeny = 2;

struct ICoreWebView2PermissionRequestedEventArgs : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_Uri(LPWSTR* uri) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PermissionKind(int* kind) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsUserInitiated(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_State(int* state) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_State(int state) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeferral(void** deferral) = 0;
};

struct ICoreWebView2DownloadStartingEventArgs : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_DownloadOperation(void** operation) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Cancel(BOOL* cancel) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Cancel(BOOL cancel) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ResultFilePath(LPWSTR* path) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ResultFilePath(LPCWSTR path) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Handled(BOOL* handled) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Handled(BOOL handled) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetDeferral(void** deferral) = 0;
};

struct ICoreWebView2NavigationStartingEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2NavigationStartingEventArgs* args) = 0;
};
struct ICoreWebView2NewWindowRequestedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2NewWindowRequestedEventArgs* args) = 0;
};
struct ICoreWebView2PermissionRequestedEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2PermissionRequestedEventArgs* args) = 0;
};
struct ICoreWebView2DownloadStartingEventHandler : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Invoke(ICoreWebView2* sender,
                                             ICoreWebView2DownloadStartingEventArgs* args) = 0;
};

struct ICoreWebView2Settings : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE get_IsScriptEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsScriptEnabled(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsWebMessageEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsWebMessageEnabled(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AreDefaultScriptDialogsEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreDefaultScriptDialogsEnabled(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsStatusBarEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsStatusBarEnabled(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AreDevToolsEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreDevToolsEnabled(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AreDefaultContextMenusEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreDefaultContextMenusEnabled(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AreHostObjectsAllowed(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreHostObjectsAllowed(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsZoomControlEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsZoomControlEnabled(BOOL value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_IsBuiltInErrorPageEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_IsBuiltInErrorPageEnabled(BOOL value) = 0;
};

// Settings2 adds the user agent (slots 21, 22), Settings3 the browser's accelerator keys.
struct ICoreWebView2Settings3 : ICoreWebView2Settings {
    virtual HRESULT STDMETHODCALLTYPE get_UserAgent(LPWSTR* userAgent) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_UserAgent(LPCWSTR userAgent) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_AreBrowserAcceleratorKeysEnabled(BOOL* value) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_AreBrowserAcceleratorKeysEnabled(BOOL value) = 0;
};

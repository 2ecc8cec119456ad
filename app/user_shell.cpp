#include "app/user_shell.h"

#include <windows.h>
#include <exdisp.h>
#include <shldisp.h>
#include <shlguid.h>
#include <shobjidl.h>

#include "base/handles.h"

namespace {

// The desktop's folder view, from the shell's own window list: desktop window -> its browser
// -> the view it shows -> that view's automation object.
ComPtr<IShellFolderViewDual> DesktopFolderView() {
    ComPtr<IShellWindows> windows;
    if (FAILED(CoCreateInstance(CLSID_ShellWindows, nullptr, CLSCTX_LOCAL_SERVER, IID_IShellWindows,
                                windows.PutVoid())))
        return {};
    VARIANT location = {}; // VT_EMPTY: the desktop has no location
    VARIANT root = {};
    LONG window = 0;
    ComPtr<IDispatch> desktop;
    // S_FALSE, with nothing given, when the shell has no desktop.
    if (windows->FindWindowSW(&location, &root, SWC_DESKTOP, &window, SWFO_NEEDDISPATCH,
                              desktop.Put()) != S_OK ||
        !desktop)
        return {};
    ComPtr<IServiceProvider> services;
    ComPtr<IShellBrowser> browser;
    ComPtr<IShellView> view;
    ComPtr<IDispatch> background;
    ComPtr<IShellFolderViewDual> folderView;
    if (FAILED(desktop->QueryInterface(IID_IServiceProvider, services.PutVoid())) ||
        FAILED(
            services->QueryService(SID_STopLevelBrowser, IID_IShellBrowser, browser.PutVoid())) ||
        FAILED(browser->QueryActiveShellView(view.Put())) || !view ||
        FAILED(view->GetItemObject(SVGIO_BACKGROUND, IID_IDispatch, background.PutVoid())) ||
        FAILED(background->QueryInterface(IID_IShellFolderViewDual, folderView.PutVoid())))
        return {};
    return folderView;
}

} // namespace

UserShellOpen OpenAsSignedInUser(const std::wstring& address) {
    ComPtr<IShellFolderViewDual> folderView = DesktopFolderView();
    if (!folderView) return UserShellOpen::NoDesktopShell;
    ComPtr<IDispatch> application;
    ComPtr<IShellDispatch2> shell;
    if (FAILED(folderView->get_Application(application.Put())) || !application ||
        FAILED(application->QueryInterface(IID_IShellDispatch2, shell.PutVoid())))
        return UserShellOpen::NoDesktopShell;

    // The browser the shell starts may come to the front.
    DWORD shellProcess = 0;
    if (HWND desktop = GetShellWindow()) GetWindowThreadProcessId(desktop, &shellProcess);
    if (shellProcess) AllowSetForegroundWindow(shellProcess);

    Bstr file(SysAllocString(address.c_str()));
    Bstr verb(SysAllocString(L"open"));
    if (!file || !verb) return UserShellOpen::Failed;
    VARIANT none = {}; // VT_EMPTY: no arguments, no folder
    VARIANT operation = {};
    operation.vt = VT_BSTR;
    operation.bstrVal = verb.Get();
    VARIANT show = {};
    show.vt = VT_I4;
    show.lVal = SW_SHOWNORMAL;
    return SUCCEEDED(shell->ShellExecute(file.Get(), none, none, operation, show))
               ? UserShellOpen::Opened
               : UserShellOpen::Failed;
}

// Finds the installed WebView2 runtime, loads its client library and asks it for a browser
// environment: the one documented entry point of the WebView2 platform for this.
#pragma once

#include <windows.h>

#include <string>

#include "webpanel/webview2.h"

// Starts the creation of a browser environment. browserExecutableFolder may be null (use the
// installed runtime), userDataFolder null (the runtime's default), environmentOptions null.
// The outcome reaches the caller only through handler->Invoke, on this thread's message loop;
// a failure returned here means the handler will not be called. A null handler: E_POINTER.
HRESULT CreateCoreWebView2EnvironmentWithOptions(PCWSTR browserExecutableFolder,
                                                 PCWSTR userDataFolder,
                                                 IUnknown* environmentOptions,
                                                 ICoreWebView2CreateCoreWebView2EnvironmentCompletedHandler* handler);

// Every diagnostic line the loader writes with OutputDebugString is also handed to this
// observer while one is set (the text without its final line feed). Used by the tests, which
// cannot debug their own process; null turns it off.
using LoaderDebugObserver = void (*)(const std::wstring& line);
void SetLoaderDebugObserver(LoaderDebugObserver observer);

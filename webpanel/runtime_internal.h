// Shared between the parts of the runtime loader: settings, the search for the client
// library and the diagnostics. Nothing outside webpanel/runtime_*.cpp uses this header.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

// Path of the client library below a runtime folder.
inline constexpr const wchar_t* kClientLibraryRelativePath =
    L"EBWebView\\x64\\EmbeddedBrowserWebView.dll";

// Runtime kinds as the client library's entry point expects them.
enum class RuntimeKind : int { Installed = 0, FixedFolder = 1, EdgeView = 2 };

// What environment variables and policies ask of the loader, read once per call.
struct RuntimeSettings {
    std::wstring browserFolder;  // empty: search the installed channels
    std::wstring userDataFolder; // empty: none given (the runtime's default)
    bool useEdgeView = false;
    uint32_t channelMask = 31;   // bit n: channel n (0 stable .. 4 internal)
    bool reverseSearch = false;  // internal first, stable last
};

// The caller's folders count only where no variable or policy names one.
RuntimeSettings ReadRuntimeSettings(PCWSTR callerBrowserFolder, PCWSTR callerUserDataFolder);

// Full path of the running executable; empty when the system cannot say.
std::wstring ExecutablePath();

// The client library to load and the runtime kind to announce to it; S_OK or the failure
// (0x80070002 when nothing usable was found), with its debug line already written.
HRESULT FindClientLibrary(const RuntimeSettings& settings, std::wstring& libraryPath,
                          RuntimeKind& kind);

// Writes one diagnostic line (a line feed is appended) to the debugger output.
void WriteLoaderDebugLine(const std::string& line);
void WriteLoaderDebugLine(const std::wstring& line);

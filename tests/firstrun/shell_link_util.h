// Reading back the desktop shortcut through the shell link interfaces.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <shlobj.h>
#include <shobjidl.h>

#include <string>

#include "base/handles.h"

namespace test {

// COM for the calling thread, as the launcher's main thread has it.
class ComApartment {
public:
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
};

inline std::wstring DesktopFolder() {
    CoTaskString path;
    if (FAILED(SHGetKnownFolderPath(FOLDERID_Desktop, 0, nullptr, path.Put())) || !path) return {};
    return path.Get();
}

inline std::wstring DesktopLink(const std::wstring& name) {
    return DesktopFolder() + L"\\" + name + L".lnk";
}

struct ShellLinkFields {
    bool loaded = false;
    std::wstring path, workingFolder, iconPath, description;
    int iconIndex = -1;
};

inline ShellLinkFields ReadShellLink(const std::wstring& linkPath) {
    ShellLinkFields out;
    ComPtr<IShellLinkW> link;
    ComPtr<IPersistFile> file;
    if (FAILED(CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_INPROC_SERVER, IID_IShellLinkW,
                                link.PutVoid())) ||
        FAILED(link->QueryInterface(IID_IPersistFile, file.PutVoid())) ||
        FAILED(file->Load(linkPath.c_str(), STGM_READ)))
        return out;
    out.loaded = true;
    wchar_t buffer[MAX_PATH * 2] = {};
    if (SUCCEEDED(link->GetPath(buffer, MAX_PATH * 2, nullptr, SLGP_RAWPATH))) out.path = buffer;
    buffer[0] = 0;
    if (SUCCEEDED(link->GetWorkingDirectory(buffer, MAX_PATH * 2))) out.workingFolder = buffer;
    buffer[0] = 0;
    if (SUCCEEDED(link->GetIconLocation(buffer, MAX_PATH * 2, &out.iconIndex)))
        out.iconPath = buffer;
    buffer[0] = 0;
    if (SUCCEEDED(link->GetDescription(buffer, MAX_PATH * 2))) out.description = buffer;
    return out;
}

} // namespace test

#include "app/install_folder.h"

#include "base/folder_security.h"

#include <aclapi.h>
#include <sddl.h>
#include <shlobj.h>

const wchar_t kInstallFolderSddl[] = L"D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

LocalMemory InstallFolderSecurityDescriptor() {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(kInstallFolderSddl, SDDL_REVISION_1,
                                                              &descriptor, nullptr))
        return LocalMemory();
    return LocalMemory(descriptor);
}

namespace {

// The owner and DACL of an open folder; empty when they cannot be read.
LocalMemory ReadSecurity(HANDLE folder, PSID& owner, PACL& dacl) {
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    owner = nullptr;
    dacl = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return LocalMemory();
    return LocalMemory(descriptor);
}

// The folder itself, never what a reparse point at its name leads to.
FileHandle OpenFolder(const std::wstring& folder, DWORD access) {
    return FileHandle(CreateFileW(
        folder.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

bool IsPlainFolder(HANDLE folder) {
    BY_HANDLE_FILE_INFORMATION info = {};
    return GetFileInformationByHandle(folder, &info) &&
           (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool IsEmptyFolder(const std::wstring& folder) {
    WIN32_FIND_DATAW entry;
    FindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &entry));
    if (!search) return false;
    do {
        const std::wstring name = entry.cFileName;
        if (name != L"." && name != L"..") return false;
    } while (FindNextFileW(search.Get(), &entry));
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool HasTrustedSecurity(HANDLE folder, bool& ownerTrusted) {
    PSID owner = nullptr;
    PACL dacl = nullptr;
    LocalMemory security = ReadSecurity(folder, owner, dacl);
    ownerTrusted = security && IsTrustedWriter(owner);
    return ownerTrusted && OnlyAdministratorsCanWrite(security.Get());
}

// Puts our DACL on a folder whose owner we trust, through the handle we checked.
bool ApplyInstallDacl(HANDLE folder, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present || !dacl)
        return false;
    return SetSecurityInfo(folder, SE_FILE_OBJECT,
                           DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                           nullptr, dacl, nullptr) == ERROR_SUCCESS;
}

} // namespace

bool CreateProtectedFolder(const std::wstring& folder) {
    LocalMemory descriptor = InstallFolderSecurityDescriptor();
    if (!descriptor || CrossesReparsePoint(folder)) return false;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    const int result = SHCreateDirectoryExW(nullptr, folder.c_str(), &attributes);
    if (result != ERROR_SUCCESS && result != ERROR_ALREADY_EXISTS) return false;
    // Looked at again: a link could have been put at the name since the walk.
    if (CrossesReparsePoint(folder)) return false;
    FileHandle handle = OpenFolder(folder, READ_CONTROL | WRITE_DAC | FILE_LIST_DIRECTORY);
    if (!handle || !IsPlainFolder(handle.Get())) return false;
    bool ownerTrusted = false;
    if (HasTrustedSecurity(handle.Get(), ownerTrusted)) return true;
    // Someone else's folder, or one whose rules let others write: what they may have put in
    // it would run elevated, so only an empty one of a trusted owner is taken and closed.
    if (result != ERROR_ALREADY_EXISTS) return false;
    if (!ownerTrusted || !IsEmptyFolder(folder)) return false;
    if (!ApplyInstallDacl(handle.Get(), descriptor.Get())) return false;
    return HasTrustedSecurity(handle.Get(), ownerTrusted) && IsEmptyFolder(folder);
}

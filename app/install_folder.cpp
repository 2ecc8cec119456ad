#include "app/install_folder.h"

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

// Someone else's folder under our name: take it over (we run elevated), so that its previous
// owner cannot loosen the rules again, and put our rules on it and everything inside.
void ProtectExistingFolder(const std::wstring& folder, PSECURITY_DESCRIPTOR descriptor) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) || !present) return;
    BYTE adminsSid[SECURITY_MAX_SID_SIZE];
    DWORD sidSize = sizeof(adminsSid);
    std::wstring path = folder;
    if (CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, adminsSid, &sidSize))
        SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, adminsSid,
                              nullptr, nullptr, nullptr);
    SetNamedSecurityInfoW(path.data(), SE_FILE_OBJECT,
                          DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr,
                          nullptr, dacl, nullptr);
}

} // namespace

bool CreateProtectedFolder(const std::wstring& folder) {
    LocalMemory descriptor = InstallFolderSecurityDescriptor();
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor.Get(), FALSE};
    int result = SHCreateDirectoryExW(nullptr, folder.c_str(), descriptor ? &attributes : nullptr);
    if (result == ERROR_ALREADY_EXISTS && descriptor)
        ProtectExistingFolder(folder, descriptor.Get());
    const DWORD attributesNow = GetFileAttributesW(folder.c_str());
    return attributesNow != INVALID_FILE_ATTRIBUTES && (attributesNow & FILE_ATTRIBUTE_DIRECTORY);
}

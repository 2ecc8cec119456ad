#include "base/folder_security.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "base/handles.h"

namespace {

// NT SERVICE\TrustedInstaller, which owns the system's own folders.
constexpr wchar_t kTrustedInstallerSid[] =
    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464";

bool IsWellKnown(PSID sid, WELL_KNOWN_SID_TYPE type) {
    BYTE known[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(known);
    return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(sid, known);
}

// The user this process runs as: an administrator, since the launcher runs elevated.
bool IsProcessUser(PSID sid) {
    std::vector<BYTE> user = TokenUserSid(GetCurrentProcess());
    return !user.empty() && EqualSid(sid, user.data());
}

} // namespace

std::vector<BYTE> TokenUserSid(HANDLE process) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(process, TOKEN_QUERY, &raw)) return {};
    KernelHandle token(raw);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    if (size == 0) return {};
    std::vector<BYTE> buffer(size);
    if (!GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size)) return {};
    PSID sid = reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid;
    const BYTE* bytes = static_cast<const BYTE*>(sid);
    return std::vector<BYTE>(bytes, bytes + GetLengthSid(sid));
}

bool IsTrustedWriter(PSID sid) {
    if (!sid || !IsValidSid(sid)) return false;
    if (IsWellKnown(sid, WinLocalSystemSid) || IsWellKnown(sid, WinBuiltinAdministratorsSid))
        return true;
    PSID installer = nullptr;
    if (ConvertStringSidToSidW(kTrustedInstallerSid, &installer)) {
        LocalMemory owned(installer);
        if (EqualSid(sid, installer)) return true;
    }
    return IsProcessUser(sid);
}

namespace {

bool DaclLetsOnlyTrustedWrite(PACL dacl) {
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return false;
        const auto* header = static_cast<ACE_HEADER*>(raw);
        if (header->AceType == ACCESS_DENIED_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_OBJECT_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_ACE_TYPE ||
            header->AceType == ACCESS_DENIED_CALLBACK_OBJECT_ACE_TYPE)
            continue;
        // Every other kind grants something, to a SID at an offset of its own: not ours.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) return false;
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        if (!(ace->Mask & kChangeRights)) continue;
        PSID sid = const_cast<DWORD*>(&ace->SidStart);
        // "The creator of a new file": only those who may already write create one.
        if ((header->AceFlags & INHERIT_ONLY_ACE) && IsWellKnown(sid, WinCreatorOwnerSid)) continue;
        if (!IsTrustedWriter(sid)) return false;
    }
    return true;
}

} // namespace

bool OnlyAdministratorsCanWrite(PSECURITY_DESCRIPTOR descriptor) {
    if (!descriptor || !IsValidSecurityDescriptor(descriptor)) return false;
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !IsTrustedWriter(owner))
        return false;
    BOOL present = FALSE;
    PACL dacl = nullptr;
    if (!GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted)) return false;
    if (!present || !dacl) return false; // no DACL: everyone may do everything
    return DaclLetsOnlyTrustedWrite(dacl);
}

bool CrossesReparsePoint(const std::wstring& path) {
    // "X:\" and "\\server\share\" are where the walk starts; each later name is looked at.
    size_t start = path.find(L'\\', path.starts_with(L"\\\\") ? path.find(L'\\', 2) + 1 : 0);
    if (start == std::wstring::npos) return true;
    for (size_t end = path.find(L'\\', start + 1);; end = path.find(L'\\', end + 1)) {
        const std::wstring step = path.substr(0, end);
        if (step.size() > start + 1) {
            const DWORD attributes = GetFileAttributesW(step.c_str());
            if (attributes == INVALID_FILE_ATTRIBUTES) {
                // Names not made yet cannot lead anywhere; anything else unreadable is refused.
                const DWORD error = GetLastError();
                return error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND;
            }
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
        }
        if (end == std::wstring::npos) return false;
    }
}

bool OnlyAdministratorsCanWriteAt(const std::wstring& path) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    PSID owner = nullptr;
    PACL dacl = nullptr;
    std::wstring name = path;
    if (GetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                              OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                              nullptr, &dacl, nullptr, &raw) != ERROR_SUCCESS)
        return false;
    LocalMemory descriptor(raw);
    return OnlyAdministratorsCanWrite(descriptor.Get());
}

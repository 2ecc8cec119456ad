#include "base/folder_writers.h"

#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <vector>

#include "base/folder_security.h"
#include "base/handles.h"

namespace {

// Whoever runs the desktop shell is the one signed in; an administrator who elevated us may be
// someone else. Without a shell, the user this process runs as.
std::vector<BYTE> SignedInUserSid() {
    DWORD processId = 0;
    if (HWND shell = GetShellWindow()) GetWindowThreadProcessId(shell, &processId);
    if (processId != 0) {
        KernelHandle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
        if (process) {
            std::vector<BYTE> sid = TokenUserSid(process.Get());
            if (!sid.empty()) return sid;
        }
    }
    return TokenUserSid(GetCurrentProcess());
}

struct Grantee {
    std::vector<BYTE> sid;
    std::wstring name;
};

std::vector<Grantee> OrdinaryUsers() {
    std::vector<Grantee> users;
    const std::pair<WELL_KNOWN_SID_TYPE, const wchar_t*> known[] = {
        {WinWorldSid, L"Everyone"},
        {WinAuthenticatedUserSid, L"Authenticated Users"},
        {WinBuiltinUsersSid, L"Users"},
        {WinInteractiveSid, L"INTERACTIVE"},
    };
    for (const auto& [type, name] : known) {
        std::vector<BYTE> sid(SECURITY_MAX_SID_SIZE);
        DWORD size = static_cast<DWORD>(sid.size());
        if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) continue;
        sid.resize(size);
        users.push_back({std::move(sid), name});
    }
    std::vector<BYTE> signedIn = SignedInUserSid();
    if (!signedIn.empty()) {
        wchar_t* text = nullptr;
        std::wstring name = L"the signed-in user";
        if (ConvertSidToStringSidW(signedIn.data(), &text)) {
            LocalMemory owned(text);
            name += L" " + std::wstring(text);
        }
        users.push_back({std::move(signedIn), name});
    }
    return users;
}

const Grantee* Find(const std::vector<Grantee>& users, PSID sid) {
    if (!sid || !IsValidSid(sid)) return nullptr;
    for (const Grantee& user : users)
        if (EqualSid(sid, const_cast<BYTE*>(user.sid.data()))) return &user;
    return nullptr;
}

} // namespace

UserWriteCheck JudgeUsersCanWrite(PSECURITY_DESCRIPTOR descriptor) {
    if (!descriptor || !IsValidSecurityDescriptor(descriptor))
        return {UserWriteVerdict::Unknown, L"its rules cannot be read"};
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL present = FALSE, defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) ||
        !GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted))
        return {UserWriteVerdict::Unknown, L"its rules cannot be read"};
    if (!present || !dacl)
        return {UserWriteVerdict::UsersCanWrite, L"Everyone (the folder has no DACL)"};
    const std::vector<Grantee> users = OrdinaryUsers();
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* raw = nullptr;
        if (!GetAce(dacl, i, &raw)) return {UserWriteVerdict::Unknown, L"an unreadable DACL"};
        const auto* header = static_cast<ACE_HEADER*>(raw);
        // The two kinds whose SID follows the mask; object ACEs do not occur on files.
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE &&
            header->AceType != ACCESS_ALLOWED_CALLBACK_ACE_TYPE)
            continue;
        const auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        if (!(ace->Mask & kChangeRights)) continue;
        if (const Grantee* user = Find(users, const_cast<DWORD*>(&ace->SidStart)))
            return {UserWriteVerdict::UsersCanWrite, user->name};
    }
    if (const Grantee* user = Find(users, owner))
        return {UserWriteVerdict::UsersCanWrite, L"owner " + user->name};
    return {UserWriteVerdict::OnlyAdministrators, {}};
}

UserWriteCheck CheckUsersCanWrite(const std::wstring& folder) {
    FileHandle handle(
        CreateFileW(folder.c_str(), READ_CONTROL | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    // A link's own rules say nothing of where it leads, and whoever may re-point it decides.
    if (CrossesReparsePoint(folder)) return {UserWriteVerdict::Unknown, L"reached through a link"};
    BY_HANDLE_FILE_INFORMATION info = {};
    if (!handle || !GetFileInformationByHandle(handle.Get(), &info))
        return {UserWriteVerdict::Unknown, L"the folder cannot be opened"};
    if (!(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return {UserWriteVerdict::Unknown, L"not a folder"};
    if (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return {UserWriteVerdict::Unknown, L"reached through a link"};
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR raw = nullptr;
    if (GetSecurityInfo(handle.Get(), SE_FILE_OBJECT,
                        OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner, nullptr,
                        &dacl, nullptr, &raw) != ERROR_SUCCESS)
        return {UserWriteVerdict::Unknown, L"its rules cannot be read"};
    LocalMemory descriptor(raw);
    return JudgeUsersCanWrite(descriptor.Get());
}

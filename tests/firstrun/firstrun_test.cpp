// The install folder's name and the desktop shortcut, in this process.
#include <gtest/gtest.h>

#include <windows.h>

#include "app/first_run.h"
#include "app/install_folder.h"
#include "firstrun/shell_link_util.h"
#include "support/test_support.h"

namespace {

// Sets SystemDrive (or removes it for nullptr) and restores the previous state on exit.
class SystemDriveValue {
public:
    explicit SystemDriveValue(const wchar_t* value) {
        wchar_t buffer[64];
        DWORD length = GetEnvironmentVariableW(L"SystemDrive", buffer, 64);
        hadValue_ = length > 0 && length < 64;
        if (hadValue_) saved_.assign(buffer, length);
        SetEnvironmentVariableW(L"SystemDrive", value);
    }
    ~SystemDriveValue() {
        SetEnvironmentVariableW(L"SystemDrive", hadValue_ ? saved_.c_str() : nullptr);
    }

private:
    bool hadValue_ = false;
    std::wstring saved_;
};

TEST(InstallFolder, IsTheBrandFolderOnTheSystemDriveWithCWhenUnsetOrTooLong) {
    struct Case {
        const wchar_t* systemDrive;
        const wchar_t* folder;
    } cases[] = {
        {L"Y:", L"Y:\\Zarvo Vestra"},
        {nullptr, L"C:\\Zarvo Vestra"},
        {L"Y:\\Gm\\..\\Apps", L"Y:\\Apps\\Zarvo Vestra"},           // taken in full form
        {L"E:\\Games\\Zarvo1", L"E:\\Games\\Zarvo1\\Zarvo Vestra"}, // 15 characters fit
        {L"E:\\Games\\Zarvo12", L"C:\\Zarvo Vestra"},               // 16 do not
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.systemDrive ? test::Narrow(c.systemDrive) : "(unset)");
        SystemDriveValue value(c.systemDrive);
        EXPECT_EQ(InstallFolder(), c.folder);
    }
}

// The install folder's descriptor: SYSTEM and Administrators full control, Users read and
// execute, each inherited by files and folders inside, and nothing from the drive's root.
// Wine does not keep a folder's DACL (it reads back with Wine's default one), so this checks
// the descriptor the installation builds and that a folder is created with it, missing
// parents included; on Windows the folder would carry exactly these entries.
TEST(InstallFolder, IsCreatedWithAProtectedDescriptorLikeProgramFiles) {
    LocalMemory descriptor = InstallFolderSecurityDescriptor();
    ASSERT_TRUE(descriptor);
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor.Get(), &control, &revision));
    EXPECT_TRUE(control & SE_DACL_PROTECTED) << "the drive root's entries would be inherited";

    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(descriptor.Get(), &present, &dacl, &defaulted));
    ASSERT_TRUE(present && dacl) << "no DACL grants everyone everything";
    struct Expected {
        WELL_KNOWN_SID_TYPE sid;
        ACCESS_MASK mask;
    } expected[] = {
        {WinLocalSystemSid, FILE_ALL_ACCESS},
        {WinBuiltinAdministratorsSid, FILE_ALL_ACCESS},
        {WinBuiltinUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE},
    };
    ASSERT_EQ(dacl->AceCount, 3);
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        SCOPED_TRACE(i);
        void* raw = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, &raw));
        auto* ace = static_cast<ACCESS_ALLOWED_ACE*>(raw);
        EXPECT_EQ(ace->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(ace->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        BYTE sid[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof(sid);
        ASSERT_TRUE(CreateWellKnownSid(expected[i].sid, nullptr, sid, &size));
        EXPECT_TRUE(EqualSid(sid, &ace->SidStart));
        EXPECT_EQ(ace->Mask, expected[i].mask);
    }

    test::TempDir root(L"protected");
    const std::wstring folder = root / L"Programs\\Zarvo Vestra";
    EXPECT_TRUE(CreateProtectedFolder(folder));
    EXPECT_TRUE(CreateProtectedFolder(folder)) << "a folder that stands is kept";
}

class DesktopShortcut : public ::testing::Test {
protected:
    void TearDown() override { DeleteFileW(test::DesktopLink(kName).c_str()); }
    static constexpr const wchar_t* kName = L"Zarvo Link Test";
    test::ComApartment com_;
};

TEST_F(DesktopShortcut, PointsAtTheTargetWithItsFolderIconAndTheBrandDescription) {
    test::TempDir dir(L"link target");
    std::wstring target = dir / L"Game Tool.exe";
    ASSERT_TRUE(test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), target));

    CreateDesktopShortcut(target, kName);

    test::ShellLinkFields link = test::ReadShellLink(test::DesktopLink(kName));
    ASSERT_TRUE(link.loaded) << test::Narrow(test::DesktopLink(kName));
    EXPECT_EQ(link.path, target);
    EXPECT_EQ(link.workingFolder, dir.Path());
    EXPECT_EQ(link.iconPath, target);
    EXPECT_EQ(link.iconIndex, 0);
    EXPECT_EQ(link.description, L"Zarvo Vestra");

    // A second link of the same name replaces the first.
    std::wstring other = dir / L"Other.exe";
    ASSERT_TRUE(test::CopyFileTo(target, other));
    CreateDesktopShortcut(other, kName);
    EXPECT_EQ(test::ReadShellLink(test::DesktopLink(kName)).path, other);
}

TEST_F(DesktopShortcut, TargetWithoutFolderIsItsOwnWorkingFolder) {
    CreateDesktopShortcut(L"tool.exe", kName);
    test::ShellLinkFields link = test::ReadShellLink(test::DesktopLink(kName));
    ASSERT_TRUE(link.loaded);
    EXPECT_EQ(link.workingFolder, L"tool.exe");
}

} // namespace

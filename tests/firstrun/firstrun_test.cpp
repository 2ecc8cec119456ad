// The install folder's name and the desktop shortcut, in this process.
#include <gtest/gtest.h>

#include <windows.h>
#include <sddl.h>

#include "app/command_line.h"
#include "app/first_run.h"
#include "app/image_check.h"
#include "app/install_folder.h"
#include "base/folder_writers.h"
#include "base/paths.h"
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

// The descriptor an SDDL string spells; empty when it does not parse.
LocalMemory DescriptorOf(const wchar_t* sddl) {
    PSECURITY_DESCRIPTOR raw = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &raw, nullptr);
    return LocalMemory(raw);
}

// The variable comes from whoever started the launcher: it must not move where the elevated
// launcher installs itself.
TEST(InstallFolder, IsTheBrandFolderOnTheDriveWindowsRunsFromWhateverSystemDriveSays) {
    wchar_t windows[MAX_PATH] = {};
    ASSERT_GE(GetSystemWindowsDirectoryW(windows, MAX_PATH), 2u);
    const std::wstring expected = std::wstring(windows, 2) + L"\\Zarvo Vestra";
    for (const wchar_t* systemDrive :
         {L"Y:", static_cast<const wchar_t*>(nullptr), L"Y:\\Gm\\..\\Apps", L"E:\\Games\\Zarvo1"}) {
        SCOPED_TRACE(systemDrive ? test::Narrow(systemDrive) : "(unset)");
        SystemDriveValue value(systemDrive);
        EXPECT_EQ(InstallFolder(), expected);
    }
}

// Who may write a folder, as read from its descriptor: the owner and every entry that grants
// a right to change it or what it holds. Wine keeps no descriptor on its folders, so these are
// the decisions the launcher takes on Windows from what it reads there.
TEST(InstallFolder, IsTrustedOnlyWhenOwnedByAdministratorsAndWritableByNoOneElse) {
    struct Case {
        const wchar_t* sddl;
        bool trusted;
    } cases[] = {
        {L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", true},
        // Program Files: TrustedInstaller owns, creators of new files own them.
        {L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
         L"D:P(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"
         L"(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;GA;;;CO)(A;OICI;0x1200a9;;;BU)",
         true},
        {L"O:SYD:(D;;FA;;;WD)(A;;FA;;;SY)", true}, // denying is no grant
        // Planted: another user owns it (and may change its rules whenever he likes).
        {L"O:S-1-5-21-1-2-3-1001D:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        // The drive root's rules, inherited: authenticated users create and modify.
        {L"O:BAD:AI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIID;0x1301bf;;;AU)", false},
        {L"O:BAD:(A;;FA;;;BA)(A;;0x4;;;BU)", false},      // users may make sub-folders
        {L"O:BAD:(A;;FA;;;BA)(A;OICIIO;FA;;;BU)", false}, // users may change what is inside
        {L"O:BAD:(A;;FA;;;BA)(A;;WD;;;WD)", false},       // everyone may change the rules
        {L"O:BA", false},                                 // no DACL: everyone everything
        {L"D:(A;;FA;;;BA)", false},                       // no owner
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Narrow(c.sddl));
        LocalMemory descriptor = DescriptorOf(c.sddl);
        ASSERT_TRUE(descriptor);
        EXPECT_EQ(OnlyAdministratorsCanWrite(descriptor.Get()), c.trusted);
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

// A link at the folder's name or on the way leads the elevated launcher's writes elsewhere.
TEST(InstallFolder, IsNotTakenThroughAReparsePoint) {
    test::TempDir root(L"reparse");
    test::TempDir elsewhere(L"elsewhere");
    ASSERT_TRUE(test::MakeUnixLink(elsewhere.Path(), root / L"Link"));
    EXPECT_TRUE(CrossesReparsePoint(root / L"Link"));
    EXPECT_TRUE(CrossesReparsePoint(root / L"Link\\Zarvo Vestra"));
    EXPECT_FALSE(CrossesReparsePoint(root / L"Plain\\Zarvo Vestra")); // not made yet
    EXPECT_FALSE(CreateProtectedFolder(root / L"Link"));
    EXPECT_FALSE(CreateProtectedFolder(root / L"Link\\Zarvo Vestra"));
    EXPECT_FALSE(test::PathExists(elsewhere / L"Zarvo Vestra")) << "made through the link";
    EXPECT_TRUE(CreateProtectedFolder(root / L"Plain\\Zarvo Vestra"));
    EXPECT_FALSE(CrossesReparsePoint(root / L"Plain\\Zarvo Vestra"));
    test::ChildProcess rm;
    rm.Start(L"Z:\\bin\\rm", L"rm -f \"" + test::Widen(test::UnixPath(root / L"Link")) + L"\"",
             L"");
    test::WaitFor([&] { return !test::PathExists(root / L"Link"); }, 10000);
}

// A game folder the launcher did not make is judged by its owner and by what its DACL grants
// ordinary users. Wine keeps neither owner nor DACL on its folders (it reads back the user of
// this process as owner, with full control), so the grants are judged from descriptors; the
// folder itself is read without following a link at its name.
TEST(GameFolder, IsOpenToUsersWhenItsRulesLetOrdinaryUsersChangeIt) {
    struct Case {
        const wchar_t* sddl;
        UserWriteVerdict verdict;
        const wchar_t* who;
    } cases[] = {
        {L"O:BAD:PAI(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)",
         UserWriteVerdict::OnlyAdministrators, L""},
        {L"O:BAD:PAI(A;OICI;FA;;;SY)(A;;0x1200a9;;;BU)(A;;0x100004;;;BU)",
         UserWriteVerdict::UsersCanWrite, L"Users"}, // adding folders only
        {L"O:BAD:P(A;OICIIO;GA;;;AU)", UserWriteVerdict::UsersCanWrite, L"Authenticated Users"},
        {L"O:BAD:P(A;;WD;;;WD)", UserWriteVerdict::UsersCanWrite, L"Everyone"},
        {L"O:BAD:P(A;;0x100002;;;IU)", UserWriteVerdict::UsersCanWrite, L"INTERACTIVE"},
        {L"O:BUD:P(A;;FA;;;BA)", UserWriteVerdict::UsersCanWrite, L"owner Users"},
        {L"O:BA", UserWriteVerdict::UsersCanWrite, L"Everyone (the folder has no DACL)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(test::Narrow(c.sddl));
        LocalMemory descriptor = DescriptorOf(c.sddl);
        ASSERT_TRUE(descriptor);
        const UserWriteCheck check = JudgeUsersCanWrite(descriptor.Get());
        EXPECT_EQ(check.verdict, c.verdict);
        EXPECT_EQ(check.who, c.who);
    }
    test::TempDir game(L"game-rules");
    ASSERT_TRUE(test::MakeUnixLink(game.Path(), game / L"link"));
    EXPECT_EQ(CheckUsersCanWrite(game / L"link").verdict, UserWriteVerdict::Unknown);
    EXPECT_NE(CheckUsersCanWrite(game.Path()).verdict, UserWriteVerdict::Unknown);
}

// The first run checks its copy against the image in memory: the file it copied by path may
// have been swapped after the elevation prompt.
// A download link to a test channel installs a launcher on that channel: the copy is started
// with the switch, and only with a name it would keep, in a build that follows heads.
TEST(InstallFolder, CopyIsStartedWithTheChannelOfThisStart) {
    const std::wstring exe = L"C:\\Zarvo Vestra\\Zarvo Vestra.exe";
    const std::wstring plain = L"\"" + exe + L"\"";
    EXPECT_EQ(InstalledCopyCommandLine(exe, L"x.exe --channel beta", true),
              plain + L" --channel beta");
    EXPECT_EQ(InstalledCopyCommandLine(exe, L"x.exe --channel a --channel beta-2", true),
              plain + L" --channel beta-2");
    EXPECT_EQ(InstalledCopyCommandLine(exe, L"x.exe --channel beta", false), plain);
    EXPECT_EQ(InstalledCopyCommandLine(exe, L"x.exe --channel \"b c\"", true), plain);
    EXPECT_EQ(InstalledCopyCommandLine(exe, L"x.exe --channel", true), plain);
}

TEST(InstallFolder, CopyIsCheckedAgainstTheRunningImage) {
    test::TempDir dir(L"image");
    const std::wstring copy = dir / L"copy.exe";
    ASSERT_TRUE(test::CopyFileTo(LauncherExePath(), copy));
    EXPECT_TRUE(MatchesRunningImage(copy));
    EXPECT_FALSE(MatchesRunningImage(test::Env(L"ZARVO_LAUNCHER_EXE"))) << "another program";
    EXPECT_FALSE(MatchesRunningImage(dir / L"missing.exe"));

    // One byte of code changed in the middle of the first section.
    const auto* image = reinterpret_cast<const BYTE*>(GetModuleHandleW(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS64*>(
        image + reinterpret_cast<const IMAGE_DOS_HEADER*>(image)->e_lfanew);
    const IMAGE_SECTION_HEADER* text = IMAGE_FIRST_SECTION(nt);
    ASSERT_TRUE(text->Characteristics & IMAGE_SCN_MEM_EXECUTE);
    std::string bytes = test::ReadFileBytes(copy);
    bytes[text->PointerToRawData + text->SizeOfRawData / 2] ^= 0x5a;
    ASSERT_TRUE(test::WriteFileBytes(copy, bytes));
    EXPECT_FALSE(MatchesRunningImage(copy));
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

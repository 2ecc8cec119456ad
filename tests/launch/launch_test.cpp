// Finding and starting the game client, and the report files cleared after a launch, run in
// this process: the test program's own folder stands in for the launcher folder.
#include <gtest/gtest.h>

#include <regex>

#include "app/game_launch.h"
#include "base/launcher_state.h"
#include "base/manifest_entry.h"
#include "support/test_support.h"

namespace {

std::wstring ClientPathHere() {
    return test::ProgramFolder() + L"\\rovezuzav.exe";
}

// Whatever a test left as rovezuzav.exe beside the test program goes away with it.
struct ClientSlot {
    ClientSlot() { test::RemoveTree(ClientPathHere()); }
    ~ClientSlot() { test::RemoveTree(ClientPathHere()); }
};

std::wstring SystemText(DWORD code) {
    wchar_t* text = nullptr;
    DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
        nullptr, code, 0x0400, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring out = length && text ? std::wstring(text, length) : std::wstring();
    LocalFree(text);
    return out;
}

// True (and the request consumed) when a quit request is waiting on this thread.
bool QuitPosted(WPARAM* exitCode = nullptr) {
    MSG msg;
    if (!PeekMessageW(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) return false;
    if (exitCode) *exitCode = msg.wParam;
    return true;
}

TEST(LocateGameClient, FindsOnlyAFileNamedLikeTheClientBesideTheLauncher) {
    ClientSlot slot;
    std::wstring path = L"stale", folder = L"stale";

    EXPECT_FALSE(LocateGameClient(path, folder));
    EXPECT_EQ(path, L"");
    EXPECT_EQ(folder, L"");

    ASSERT_TRUE(CreateDirectoryW(ClientPathHere().c_str(), nullptr));
    path = folder = L"stale";
    EXPECT_FALSE(LocateGameClient(path, folder)) << "a folder named rovezuzav.exe is no client";
    EXPECT_EQ(path, L"");
    EXPECT_EQ(folder, L"");
    RemoveDirectoryW(ClientPathHere().c_str());

    ASSERT_TRUE(test::WriteFileBytes(ClientPathHere(), "MZ"));
    EXPECT_TRUE(LocateGameClient(path, folder));
    EXPECT_EQ(path, ClientPathHere());
    EXPECT_EQ(folder, test::ProgramFolder());
}

TEST(LaunchGame, MissingClientReportsItsNameAndDoesNotQuit) {
    ClientSlot slot;
    SetStatusText(L"");
    EXPECT_FALSE(LaunchGame());
    EXPECT_EQ(CurrentStatusText(), L"Error: rovezuzav.exe");
    EXPECT_FALSE(QuitPosted());
}

// Under this Wine a bare DOS header (no PE part) needs the DOS/16-bit loader, which a 64-bit
// only Wine lacks: the creation fails with code 2. A two-byte "MZ" is refused as a bad image.
TEST(LaunchGame, FailedCreationReportsTheCodeAndTheSystemTextAsItComes) {
    ClientSlot slot;
    std::string dosHeaderOnly(512, '\0');
    dosHeaderOnly[0] = 'M';
    dosHeaderOnly[1] = 'Z';
    ASSERT_TRUE(test::WriteFileBytes(ClientPathHere(), dosHeaderOnly));
    SetStatusText(L"");
    EXPECT_FALSE(LaunchGame());
    std::wstring status = CurrentStatusText();
    ASSERT_FALSE(SystemText(2).empty());
    EXPECT_EQ(status, L"CreateProcess (2): " + SystemText(2));
    EXPECT_FALSE(QuitPosted());

    ASSERT_TRUE(test::WriteFileBytes(ClientPathHere(), "MZ"));
    SetStatusText(L"");
    EXPECT_FALSE(LaunchGame());
    status = CurrentStatusText();
    std::wsmatch match;
    ASSERT_TRUE(std::regex_match(status, match,
                                 std::wregex(L"CreateProcess \\(([1-9][0-9]*)\\): ([\\s\\S]+)")))
        << test::Narrow(status);
    DWORD code = std::stoul(match[1].str());
    EXPECT_NE(code, 0u);
    // The system text keeps its placeholders (no inserts) and its closing line break.
    EXPECT_EQ(match[2].str(), SystemText(code));
    EXPECT_TRUE(status.ends_with(L"\r\n")) << test::Narrow(status);
    EXPECT_FALSE(QuitPosted());
}

// Between the run's check and the click on the action button the client may be swapped: the
// launcher hashes the file it holds and starts it only when it still matches its row.
TEST(LaunchGame, ClientThatNoLongerMatchesItsRowIsNotStarted) {
    ClientSlot slot;
    std::string client(512, '\0'); // a start fails with code 2, so trying is seen
    client[0] = 'M';
    client[1] = 'Z';
    ASSERT_TRUE(test::WriteFileBytes(ClientPathHere(), client));
    ManifestEntry row;
    row.path = L"ROVEZUZAV.exe";
    row.size = static_cast<int64_t>(client.size());
    State().manifestEntries = {row};
    for (const auto& [listed, started] :
         {std::pair{test::Md5Hex(client), true}, std::pair{test::Md5Hex(client + "x"), false}}) {
        State().manifestEntries[0].hash = listed;
        SetStatusText(L"");
        EXPECT_FALSE(LaunchGame());
        EXPECT_EQ(CurrentStatusText().starts_with(L"CreateProcess (2)"), started)
            << test::Narrow(CurrentStatusText());
        if (!started) {
            EXPECT_EQ(CurrentStatusText(), L"Error: rovezuzav.exe");
        }
    }
    State().manifestEntries.clear();
}

TEST(DeleteRptFiles, RemovesReportFilesOfEitherCaseOnly) {
    test::TempDir dir(L"rpt");
    for (const wchar_t* name : {L"a.RPT", L"b.rpt", L"c.Rpt", L"keep.txt", L"keep.RPT.bak",
                                L"x.RPT\\inside.RPT", L"locked.RPT"})
        ASSERT_TRUE(test::WriteFileBytes(dir / name, "report"));
    // A file that cannot be deleted is skipped; the others still go.
    SetFileAttributesW((dir / L"locked.RPT").c_str(), FILE_ATTRIBUTE_READONLY);

    DeleteRptFiles(dir.Path());

    EXPECT_FALSE(test::PathExists(dir / L"a.RPT"));
    EXPECT_FALSE(test::PathExists(dir / L"b.rpt"));
    EXPECT_FALSE(test::PathExists(dir / L"c.Rpt"));
    EXPECT_TRUE(test::PathExists(dir / L"keep.txt"));
    EXPECT_TRUE(test::PathExists(dir / L"keep.RPT.bak"));
    EXPECT_TRUE(test::IsDirectory(dir / L"x.RPT"));
    EXPECT_TRUE(test::PathExists(dir / L"x.RPT\\inside.RPT")) << "sub-folders are not searched";
    EXPECT_TRUE(test::PathExists(dir / L"locked.RPT"));

    DeleteRptFiles(dir / L"no such folder"); // nothing to find, nothing happens
}

} // namespace

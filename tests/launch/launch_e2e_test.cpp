// The real launcher in an installed game folder whose path holds spaces: a release on the
// action button starts the stand-in client with its quoted path and the launch token, the
// launcher ends and the report files are gone.
#include <gtest/gtest.h>

#include "support/test_support.h"

namespace {

constexpr int kActionX = 690, kActionY = 517; // middle of the action button

// The stand-in client, which the test run copies into "client" beside this program.
std::wstring FakeClient() {
    return test::ProgramFolder() + L"\\client\\rovezuzav.exe";
}

struct LaunchRecord {
    std::wstring commandLine, currentFolder;
};

// One record per start of the stand-in client.
std::vector<LaunchRecord> ReadRecords(const std::wstring& folder) {
    std::wstring text = test::Widen(test::ReadFileBytes(folder + L"\\launch_record.txt"));
    std::vector<LaunchRecord> out;
    size_t start = 0, end;
    while ((end = text.find(L'\n', start)) != std::wstring::npos) {
        std::wstring line = text.substr(start, end - start);
        size_t bar = line.rfind(L'|');
        if (bar != std::wstring::npos) out.push_back({line.substr(0, bar), line.substr(bar + 1)});
        start = end + 1;
    }
    return out;
}

// An installed game folder (Log\inst_done) with a name holding spaces, the server's root an
// empty folder so that the light update run ends at once with a manifest error.
class InstalledGame : public ::testing::Test {
protected:
    void SetUp() override {
        test::TestServer::Configure(emptyRoot_.Path());
        ASSERT_TRUE(test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), Exe()));
        ASSERT_TRUE(test::WriteFileBytes(folder_ / L"Log\\inst_done", ""));
    }
    void TearDown() override {
        launcher_.Kill();
        test::KillProcessesUnder(folder_.Path());
        test::TestServer::Reset();
    }

    std::wstring Exe() const { return folder_ / L"ZarvoLauncher.exe"; }
    const std::wstring& Folder() const { return folder_.Path(); }

    // Starts the launcher and waits until its window is up and its update run has asked for
    // the manifest and had time to end.
    HWND StartAndSettle() {
        size_t mark = test::TestServer::LogMark();
        if (!launcher_.Start(Exe(), L"\"" + Exe() + L"\"", Folder())) return nullptr;
        HWND window = test::FindProcessWindow(launcher_.Pid(), L"Zarvo Vestra Launcher", 30000);
        if (!window) return nullptr;
        bool asked = test::WaitFor(
            [&] {
                for (const auto& r : test::TestServer::RequestsSince(mark))
                    if (r.path.starts_with("/manifest_light.json")) return true;
                return false;
            },
            30000);
        if (!asked) return nullptr;
        test::PumpMessages(1500); // the run reads the 404 answer and sets its status
        return window;
    }

    // Clicks the action button until the launcher ends: a click that lands while the update
    // run is still winding down does nothing. A pause between clicks keeps a second click from
    // arriving before the first one's quit request.
    bool ClickActionUntilExit(HWND window, DWORD* exitCode) {
        for (int attempt = 0; attempt < 5; ++attempt) {
            test::PostClick(window, kActionX, kActionY);
            if (launcher_.WaitExit(4000, exitCode)) return true;
        }
        return false;
    }

    test::TempDir folder_{L"game folder"};
    test::TempDir emptyRoot_{L"www"};
    test::ChildProcess launcher_;
};

TEST_F(InstalledGame, ReleaseOnTheActionButtonStartsTheClientAndClearsReports) {
    ASSERT_TRUE(test::CopyFileTo(FakeClient(), folder_ / L"rovezuzav.exe"));
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"a.RPT", "report"));
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"b.rpt", "report"));
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"x.RPT\\inside.txt", "kept"));
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"notes.txt", "kept"));

    HWND window = StartAndSettle();
    ASSERT_NE(window, nullptr) << "no window, or the update run never asked for its manifest";
    DWORD exitCode = 99;
    ASSERT_TRUE(ClickActionUntilExit(window, &exitCode)) << "the launcher did not end";
    EXPECT_EQ(exitCode, 0u);

    ASSERT_TRUE(test::WaitFor([&] { return !ReadRecords(Folder()).empty(); }, 15000))
        << "the client did not run";
    test::PumpMessages(500);
    std::vector<LaunchRecord> records = ReadRecords(Folder());
    ASSERT_EQ(records.size(), 1u) << "the client was started more than once";
    EXPECT_EQ(records[0].commandLine, L"\"" + Folder() + L"\\rovezuzav.exe\" quorbint");
    EXPECT_EQ(records[0].currentFolder, Folder());

    EXPECT_FALSE(test::PathExists(folder_ / L"a.RPT"));
    EXPECT_FALSE(test::PathExists(folder_ / L"b.rpt"));
    EXPECT_TRUE(test::IsDirectory(folder_ / L"x.RPT"));
    EXPECT_TRUE(test::PathExists(folder_ / L"x.RPT\\inside.txt"));
    EXPECT_TRUE(test::PathExists(folder_ / L"notes.txt"));
}

// Without the client the click reports it on the status line and the launcher stays, with the
// report files in place; the same launcher then starts a client that has appeared meanwhile.
TEST_F(InstalledGame, MissingClientKeepsTheLauncherOpenAndTheReports) {
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"a.RPT", "report"));
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"b.rpt", "report"));

    HWND window = StartAndSettle();
    ASSERT_NE(window, nullptr) << "no window, or the update run never asked for its manifest";

    // The status line (drawn from x 80, y 540) changes when the click is handled.
    auto statusArea = [&] {
        test::Pixels client = test::CaptureClient(window, 800, 570);
        std::vector<uint32_t> out;
        for (int y = 538; y < 568; ++y)
            for (int x = 80; x < 600; ++x)
                out.push_back(client.At(x, y));
        return out;
    };
    std::vector<uint32_t> before = statusArea();
    test::PostClick(window, kActionX, kActionY);
    EXPECT_TRUE(test::WaitFor([&] { return statusArea() != before; }, 5000))
        << "the status line did not change after the click";
    test::PumpMessages(2000);
    EXPECT_TRUE(launcher_.Running());
    EXPECT_TRUE(test::PathExists(folder_ / L"a.RPT"));
    EXPECT_TRUE(test::PathExists(folder_ / L"b.rpt"));

    ASSERT_TRUE(test::CopyFileTo(FakeClient(), folder_ / L"rovezuzav.exe"));
    DWORD exitCode = 99;
    ASSERT_TRUE(ClickActionUntilExit(window, &exitCode));
    EXPECT_EQ(exitCode, 0u);
    EXPECT_TRUE(test::WaitFor([&] { return ReadRecords(Folder()).size() == 1; }, 15000));
    EXPECT_FALSE(test::PathExists(folder_ / L"a.RPT"));
    EXPECT_FALSE(test::PathExists(folder_ / L"b.rpt"));
}

} // namespace

// The real launcher closed while its background work still runs: during verification, during
// downloads, during the whole-game download and as the game starts with the display
// information still on its way. Each time it must end normally (exit code 0: no crash, no
// hang) and leave no listed file partial under its own name; a ".tmp" is the launcher's
// scratch data and may stay.
#include <gtest/gtest.h>

#include <memory>

#include "base/paths.h"
#include "faults/fault_support.h"

namespace {

using faults::FaultGame;

constexpr wchar_t kExeName[] = L"ZarvoLauncher.exe";
constexpr wchar_t kWindowClass[] = L"Zarvo Vestra Launcher";

enum class CloseBy { CloseButton, WmClose };

class ExitWhileWorking : public ::testing::Test {
protected:
    void SetUp() override {
        game_ = std::make_unique<FaultGame>(folder_.Path());
        ASSERT_TRUE(test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), exe_));
        // A folder the launcher installed itself into: it runs in place.
        ASSERT_TRUE(test::WriteFileBytes(folder_ / L".zarvo_install_dir", ""));
        game_->AllowExtra(kExeName);
        game_->AllowExtra(L".zarvo_install_dir", {""});
        game_->AllowExtra(L".zarvo_downloading", {""});
        game_->AllowExtra(L"Log\\inst_done", {""});
        game_->AllowExtra(L"Log\\lang_set", {""});
    }
    void TearDown() override {
        launcher_.Kill();
        test::KillProcessesUnder(folder_.Path());
    }

    // Files that trickle in (about 3 s each), listed with an older local copy or none.
    std::string AddTricklingFiles(int count) {
        std::string faults;
        for (int i = 0; i < count; ++i) {
            const std::string name = "pak/part" + std::to_string(i) + ".pak";
            const std::string content = test::RandomBytes(200000 + i * 977, 500u + i);
            std::optional<std::string> before;
            if (i % 2) before = "stale " + name;
            game_->Add(name, content, before);
            faults += (faults.empty() ? "" : ",") + std::string("\"") + game_->FaultKey(name) +
                      "\": {\"trickle_bytes\": 4096, \"trickle_ms\": 250}";
        }
        return faults;
    }

    HWND Start() {
        if (!launcher_.Start(exe_, L"\"" + exe_ + L"\"", folder_.Path())) return nullptr;
        return test::FindProcessWindow(launcher_.Pid(), kWindowClass, 20000);
    }

    bool WaitForRequest(size_t mark, const std::string& pathPrefix, DWORD timeoutMs = 20000) {
        return test::WaitFor(
            [&] {
                for (const test::LoggedRequest& r : test::TestServer::RequestsSince(mark))
                    if (r.path.rfind(pathPrefix, 0) == 0) return true;
                return false;
            },
            timeoutMs);
    }

    // Closes the launcher as a user or the system would and expects a normal, prompt exit.
    void CloseAndExpectNormalExit(HWND window, CloseBy how) {
        if (how == CloseBy::CloseButton)
            test::PostClick(window, 782, 18);
        else
            PostMessageW(window, WM_CLOSE, 0, 0);
        ExpectNormalExit();
    }

    void ExpectNormalExit() {
        DWORD exitCode = 99;
        const bool ended = launcher_.WaitExit(20000, &exitCode);
        EXPECT_TRUE(ended) << "the launcher did not end";
        if (ended) {
            EXPECT_EQ(exitCode, 0u) << "exit code 0x" << std::hex << exitCode;
        }
        launcher_.Kill();
        const std::vector<std::string> problems = game_->Problems(true);
        EXPECT_TRUE(problems.empty()) << faults::Join(problems);
    }

    test::TempDir folder_{L"exiting"};
    std::unique_ptr<FaultGame> game_;
    const std::wstring exe_ = folder_ / kExeName;
    test::ChildProcess launcher_;
};

TEST_F(ExitWhileWorking, ClosedDuringVerificationAndDuringDownloads) {
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"Log\\inst_done", ""));
    // Large current files keep the verification pool busy for a moment.
    for (int i = 0; i < 4; ++i) {
        const std::string content = test::RandomBytes(24u << 20, 40u + i);
        game_->Add("big/archive" + std::to_string(i) + ".pak", content, content);
    }
    const std::string faults = AddTricklingFiles(24);
    game_->Publish({"manifest_light.json"}, "{" + faults + "}");

    {
        SCOPED_TRACE("closed during verification");
        const size_t mark = test::TestServer::LogMark();
        HWND window = Start();
        ASSERT_NE(window, nullptr);
        ASSERT_TRUE(WaitForRequest(mark, "/manifest_light.json"));
        CloseAndExpectNormalExit(window, CloseBy::CloseButton);
    }
    {
        SCOPED_TRACE("closed during downloads");
        const size_t mark = test::TestServer::LogMark();
        HWND window = Start();
        ASSERT_NE(window, nullptr);
        // Bodies are written in large blocks, so a small file's ".tmp" shows only at its end:
        // the requests tell when the downloads are under way.
        ASSERT_TRUE(WaitForRequest(mark, "/update/", 30000));
        CloseAndExpectNormalExit(window, CloseBy::WmClose);
    }
}

TEST_F(ExitWhileWorking, ClosedDuringTheWholeGameDownload) {
    const std::string faults = AddTricklingFiles(24);
    game_->Publish({"manifest_full.json", "manifest_light.json"}, "{" + faults + "}");
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L".zarvo_downloading", ""));

    const size_t mark = test::TestServer::LogMark();
    HWND window = Start(); // takes the interrupted download up by itself
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitForRequest(mark, "/update/", 30000));
    CloseAndExpectNormalExit(window, CloseBy::CloseButton);
    EXPECT_FALSE(FileExists(folder_ / L"Log\\inst_done")) << "marked installed half-way";
    EXPECT_TRUE(FileExists(folder_ / L".zarvo_downloading"));
}

TEST_F(ExitWhileWorking, GameStartedWhileTheDisplayInformationIsStillOnItsWay) {
    ASSERT_TRUE(test::WriteFileBytes(folder_ / L"Log\\inst_done", ""));
    const std::string data = test::RandomBytes(5000, 7);
    game_->Add("data.bin", data, data);
    // The game client: a small program that records its start.
    const std::wstring client = folder_ / L"rovezuzav.exe";
    ASSERT_TRUE(test::CopyFileTo(LauncherFolderFull() + L"\\cmdline_recorder.exe", client));
    game_->AllowExtra(L"rovezuzav.exe");
    game_->AllowExtra(L"rovezuzav.exe.record");
    test::WriteFileBytes(game_->ServerRoot() + L"\\displayinfo.json",
                         R"({"enabled": 1, "url": "https://localhost/news.html"})");
    game_->Publish({"manifest_light.json"}, R"({"/displayinfo.json": {"delay_ms": 20000}})");

    const size_t mark = test::TestServer::LogMark();
    HWND window = Start();
    ASSERT_NE(window, nullptr);
    ASSERT_TRUE(WaitForRequest(mark, "/displayinfo.json"));
    // The action button starts the game once the light run is over.
    const std::wstring record = client + L".record";
    ASSERT_TRUE(test::WaitFor(
        [&] {
            if (!test::PathExists(record)) test::PostClick(window, 690, 517);
            return test::PathExists(record);
        },
        20000))
        << "the game was not started";
    ExpectNormalExit();
}

} // namespace

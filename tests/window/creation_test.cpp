// What the window does when it is created, by the markers it finds: the start-up table.
#include <gtest/gtest.h>

#include <mutex>
#include <vector>

#include "base/launcher_state.h"
#include "base/paths.h"
#include "app/window.h"
#include "support/test_support.h"

namespace {

std::mutex gMutex;
std::vector<std::wstring> gTexts;

void Record(const std::wstring& text) {
    std::lock_guard<std::mutex> lock(gMutex);
    gTexts.push_back(text);
}

std::vector<std::wstring> Texts() {
    std::lock_guard<std::mutex> lock(gMutex);
    return gTexts;
}

class WindowCreation : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = LauncherWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"CreationTestLauncher";
        RegisterClassW(&wc);
    }
    void SetUp() override {
        served_ = std::make_unique<test::TempDir>(L"served");
        // Every request of these tests fails on the server: no run can restart anything.
        test::TestServer::Configure(served_->Path());
        test::ResetRunState();
        test::RemoveTree(LauncherFolderFull() + L"\\Log");
        DeleteFileW(DownloadMarkerPath().c_str());
        {
            std::lock_guard<std::mutex> lock(gMutex);
            gTexts.clear();
        }
        SetStatusListener(Record);
    }
    void TearDown() override {
        SetStatusListener(nullptr);
        if (window_) DestroyWindow(window_);
        State().mainWindow = nullptr;
        test::PumpMessages(50);
        test::WaitFor([] { return !State().updateRunning.load(); }, 10000);
        test::RemoveTree(LauncherFolderFull() + L"\\Log");
        DeleteFileW(DownloadMarkerPath().c_str());
        test::TestServer::Reset();
    }
    void Create() {
        window_ = CreateWindowExW(0, L"CreationTestLauncher", L"Zarvo Vestra", WS_POPUP, 0, 0,
                                  800, 570, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(window_, nullptr);
    }
    HWND window_ = nullptr;
    std::unique_ptr<test::TempDir> served_;
};

TEST_F(WindowCreation, InstalledGameStartsTheLightRun) {
    MarkInstalled();
    Create();
    EXPECT_EQ(State().mainWindow.load(), window_); // known before any thread could post
    ASSERT_TRUE(test::WaitFor(
        [] { return CurrentStatusText() == L"Error: no se pudo descargar el manifiesto"; }, 10000));
    std::vector<std::wstring> texts = Texts();
    ASSERT_FALSE(texts.empty());
    EXPECT_EQ(texts.front(), L"Descargando manifiesto (LIGHT)...");
    EXPECT_FALSE(State().gameNotInstalled.load());
    // The run ends just after its last text: the button comes a moment later.
    EXPECT_TRUE(test::WaitFor([] { return State().actionButtonVisible.load(); }, 5000));
}

TEST_F(WindowCreation, AnInterruptedDownloadIsResumed) {
    CreateHiddenMarker(DownloadMarkerPath());
    Create();
    ASSERT_TRUE(test::WaitFor(
        [] { return CurrentStatusText() == L"Error: no se pudo descargar el manifiesto"; }, 10000));
    test::WaitFor([] { return !State().updateRunning.load(); }, 5000);
    std::vector<std::wstring> texts = Texts();
    ASSERT_GE(texts.size(), 2u);
    EXPECT_EQ(texts[0], L"Reanudando descarga...");
    EXPECT_EQ(texts[1], L"Descargando manifiesto (FULL)...");
    // The failed download leaves the game not installed and the download on offer.
    EXPECT_TRUE(State().gameNotInstalled.load());
    EXPECT_TRUE(State().actionButtonVisible.load());
    EXPECT_FALSE(FileExists(InstDonePath()));
    EXPECT_TRUE(FileExists(DownloadMarkerPath()));
}

TEST_F(WindowCreation, NoMarkersWaitForTheButton) {
    Create();
    test::PumpMessages(300);
    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"Juego no instalado. Pulsa el boton para descargar."});
    EXPECT_TRUE(State().gameNotInstalled.load());
    EXPECT_TRUE(State().actionButtonVisible.load());
    EXPECT_FALSE(State().updateRunning.load());
}

TEST_F(WindowCreation, MarkersThatAreFoldersCountAsMissing) {
    CreateDirectoryW((LauncherFolderFull() + L"\\Log").c_str(), nullptr);
    CreateDirectoryW(InstDonePath().c_str(), nullptr);
    CreateDirectoryW(DownloadMarkerPath().c_str(), nullptr);
    Create();
    test::PumpMessages(300);
    EXPECT_EQ(Texts(), std::vector<std::wstring>{L"Juego no instalado. Pulsa el boton para descargar."});
    RemoveDirectoryW(DownloadMarkerPath().c_str());
}

TEST_F(WindowCreation, ALeftoverOldLauncherIsDeleted) {
    std::wstring old = LauncherExePath() + L".old";
    test::WriteFileBytes(old, "previous launcher");
    Create();
    EXPECT_FALSE(test::PathExists(old));
}

} // namespace

// The real launcher in a game folder of its own: its window shows the language that opt.dat
// holds, and the EN and ES labels write opt.dat and say so on the status line. Each picture is
// compared, pixel for pixel, with this program's own paint of the state the launcher should
// be in.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "base/language.h"
#include "base/launcher_state.h"
#include "paint_window.h"
#include "support/test_support.h"

namespace {

constexpr wchar_t kLauncherClass[] = L"Zarvo Vestra Launcher";
constexpr wchar_t kNotInstalled[] = L"Juego no instalado. Pulsa el boton para descargar.";
constexpr POINT kEnglishLabel = {46, 70};
constexpr POINT kSpanishLabel = {104, 70};
constexpr POINT kCloseButton = {782, 18};

std::string OptDat(int32_t code) {
    std::string bytes = test::RandomBytes(200, 77);
    uint32_t v = static_cast<uint32_t>(code);
    for (int i = 0; i < 4; ++i)
        bytes[160 + i] = static_cast<char>(v >> (8 * i));
    return bytes;
}

int32_t CodeIn(const std::string& optDat) {
    if (optDat.size() < 164) return 0;
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(optDat[160 + i]);
    return static_cast<int32_t>(v);
}

// What the window should show: the game is not installed (the folder carries no inst_done),
// so the drawn full-download button is there, and nothing else moves.
struct Expected {
    int32_t language;
    std::wstring status;
    bool hoverEnglish = false;
    bool hoverSpanish = false;
};

class LauncherLanguageTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(painttest::Open());
        painttest::Hide();
    }
    static void TearDownTestSuite() { painttest::Close(); }

    void SetUp() override {
        // Off the launcher's window, so that it opens with nothing under the cursor.
        SetCursorPos(1270, 1010);
        // Runs in place: the folder is marked as one the launcher installed itself into.
        ASSERT_TRUE(test::WriteFileBytes(game_ / L".zarvo_install_dir", ""));
        ASSERT_TRUE(test::CopyFileTo(test::Env(L"ZARVO_LAUNCHER_EXE"), Exe()));
    }

    std::wstring Exe() const { return game_ / L"ZarvoLauncher.exe"; }
    std::wstring OptDatPath() const { return game_ / L"opt.dat"; }
    std::wstring LangSetPath() const { return game_ / L"Log\\lang_set"; }

    void StartLauncher() {
        ASSERT_TRUE(launcher_.Start(Exe(), L"\"" + Exe() + L"\"", game_.Path()));
        window_ = test::FindProcessWindow(launcher_.Pid(), kLauncherClass, 30000);
        ASSERT_NE(window_, nullptr);
    }

    // This program's paint of the expected state.
    static test::Pixels Paint(const Expected& e) {
        painttest::ResetState();
        LauncherState& s = State();
        s.gameNotInstalled.store(true);
        s.actionButtonVisible.store(true);
        s.clientLanguage.store(e.language);
        s.hoverLangEnglish = e.hoverEnglish;
        s.hoverLangSpanish = e.hoverSpanish;
        SetStatusText(e.status);
        test::Pixels p = painttest::Render();
        painttest::Hide();
        return p;
    }

    // Waits until the launcher's window shows exactly the expected picture. The expected
    // pictures are painted before the launcher starts: this program's window would otherwise
    // cover the launcher's and take the cursor away from it.
    void ExpectWindowShows(const test::Pixels& expected, const std::wstring& shotName) {
        test::Pixels shown;
        int different = -1;
        test::WaitFor(
            [&] {
                shown = test::CaptureClient(window_, kWindowWidth, kWindowHeight);
                different = painttest::CountDifferent(shown, expected, RECT{0, 0, 800, 570}, 0);
                return different == 0;
            },
            10000, 100);
        painttest::SaveShot(shown, shotName);
        EXPECT_EQ(different, 0) << "pixels unlike the expected picture; see "
                                << test::Narrow(shotName) << ".png and " << test::Narrow(shotName)
                                << "_expected.png";
        if (different != 0) painttest::SaveShot(expected, shotName + L"_expected");
    }

    void Click(POINT at) { test::PostClick(window_, at.x, at.y); }

    void CloseLauncher() {
        Click(kCloseButton);
        DWORD code = 99;
        EXPECT_TRUE(launcher_.WaitExit(15000, &code));
        EXPECT_EQ(code, 0u);
    }

    test::TempDir game_{L"game"};
    test::ChildProcess launcher_;
    HWND window_ = nullptr;
};

TEST_F(LauncherLanguageTest, LabelsWriteOptDatAndSaySo) {
    ASSERT_TRUE(test::WriteFileBytes(OptDatPath(), OptDat(kLanguageSpanish)));
    ASSERT_TRUE(test::WriteFileBytes(LangSetPath(), ""));
    const test::Pixels spanish = Paint({kLanguageSpanish, kNotInstalled});
    const test::Pixels clickedEnglish = Paint({kLanguageEnglish, L"Idioma: English", true, false});
    const test::Pixels clickedSpanish = Paint({kLanguageSpanish, L"Idioma: Espanol", false, true});
    StartLauncher();
    ExpectWindowShows(spanish, L"launcher_spanish");

    // opt.dat is read only once the picture shows the click handled: the launcher opens it
    // without sharing, so a reader at the wrong moment would make its write fail.
    Click(kEnglishLabel);
    ExpectWindowShows(clickedEnglish, L"launcher_clicked_en");
    EXPECT_EQ(CodeIn(test::ReadFileBytes(OptDatPath())), 2);
    EXPECT_TRUE(test::PathExists(LangSetPath()));

    Click(kSpanishLabel);
    ExpectWindowShows(clickedSpanish, L"launcher_clicked_es");

    std::string expected = OptDat(kLanguageSpanish);
    EXPECT_EQ(test::ReadFileBytes(OptDatPath()), expected); // only bytes 160 to 163 moved
    CloseLauncher();
}

TEST_F(LauncherLanguageTest, FirstStartWritesTheSystemLanguage) {
    ASSERT_TRUE(test::WriteFileBytes(OptDatPath(), OptDat(0)));
    const int32_t code = DefaultLanguageCode();
    const test::Pixels chosen = Paint({code, kNotInstalled});
    StartLauncher();
    ExpectWindowShows(chosen, L"launcher_first_start");
    EXPECT_EQ(CodeIn(test::ReadFileBytes(OptDatPath())), code);
    EXPECT_TRUE(test::PathExists(LangSetPath()));
    CloseLauncher();
}

TEST_F(LauncherLanguageTest, WithoutOptDatTheLabelsOnlyComplain) {
    const test::Pixels none = Paint({0, kNotInstalled});
    const test::Pixels complaint = Paint({0, L"No se pudo escribir opt.dat", true, false});
    StartLauncher();
    ExpectWindowShows(none, L"launcher_no_opt_dat");
    Click(kEnglishLabel);
    ExpectWindowShows(complaint, L"launcher_no_opt_dat_en");
    EXPECT_FALSE(test::PathExists(OptDatPath()));
    EXPECT_FALSE(test::PathExists(LangSetPath()));
    CloseLauncher();
}

} // namespace

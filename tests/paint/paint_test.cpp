// The paint pass on the screen: the launcher state is set, the window painted and its pixels
// read back from the display at the fixed places of the layout.
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

#include <gtest/gtest.h>

#include <string>

#include "base/launcher_state.h"
#include "paint_window.h"

namespace {

using painttest::CountDifferent;
using painttest::CountNear;
using painttest::Render;
using painttest::Rgb;

constexpr RECT kActionArea = {620, 495, 760, 540};
constexpr RECT kCloseArea = {772, 8, 792, 28};
constexpr RECT kEnglishText = {20, 53, 72, 87}; // the label's box above its underline row
constexpr RECT kSpanishText = {78, 53, 130, 87};
constexpr RECT kWebsiteText = {720, 53, 785, 87};
constexpr RECT kStatusArea = {0, 530, 610, 570};

constexpr uint32_t kSelected = 0xDC8C3C;
constexpr uint32_t kLanguageHover = 0xD2DCEB;
constexpr uint32_t kLabelIdle = 0x96AAC8;
constexpr uint32_t kStatusColor = 0xA0AAB4;
constexpr uint32_t kWhite = 0xFFFFFF;

class PaintTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ASSERT_TRUE(painttest::Open());
        painttest::ResetState();
        quiet_ = new test::Pixels(Render());
    }
    static void TearDownTestSuite() {
        delete quiet_;
        quiet_ = nullptr;
        painttest::ResetState();
        painttest::Close();
    }
    void SetUp() override { painttest::ResetState(); }

    // The picture with nothing but the background, idle labels and empty bars.
    static const test::Pixels& Quiet() { return *quiet_; }
    static inline test::Pixels* quiet_ = nullptr;
};

// Pixels of the row between x0 and x1 (exclusive) that match the colour.
int RowNear(const test::Pixels& p, int y, int x0, int x1, uint32_t rgb, int tolerance = 2) {
    return CountNear(p, RECT{x0, y, x1, y + 1}, rgb, tolerance);
}

// Rows of the region that hold at least one pixel of the colour.
int RowsWith(const test::Pixels& p, const RECT& region, uint32_t rgb, int tolerance) {
    int rows = 0;
    for (int y = region.top; y < region.bottom; ++y)
        if (CountNear(p, RECT{region.left, y, region.right, y + 1}, rgb, tolerance) > 0) ++rows;
    return rows;
}

TEST_F(PaintTest, BackgroundIsDrawnUnscaledFromTheTopLeftCorner) {
    Gdiplus::Bitmap* background = State().imgBackground;
    ASSERT_NE(background, nullptr);
    // Rows where nothing else is drawn: header, artwork, the bottom panel below the status.
    for (int y : {2, 40, 100, 300, 470, 480, 565, 569}) {
        int worst = 0;
        for (int x = 0; x < 770; x += 3) {
            Gdiplus::Color c;
            background->GetPixel(x, y, &c);
            uint32_t expected = (c.GetR() << 16) | (c.GetG() << 8) | c.GetB();
            worst = std::max(worst, test::ColorDistance(Quiet().At(x, y), expected));
        }
        EXPECT_LE(worst, 3) << "row " << y;
    }
}

TEST_F(PaintTest, BarFillsGrowFromTheLeftByWidthTimesPercent) {
    struct Case {
        int percent, width;
    };
    for (Case c : {Case{1, 5}, Case{37, 191}, Case{50, 259}, Case{100, 518}}) {
        SCOPED_TRACE(c.percent);
        State().progressBytesPercent.store(c.percent);
        State().progressFilesPercent.store(c.percent);
        test::Pixels p = Render();
        for (int y : {501, 505, 510, 519, 523, 528}) {
            // Every pixel from the left edge on is filled, none after the fill width.
            EXPECT_EQ(CountDifferent(p, Quiet(), RECT{81, y, 81 + c.width, y + 1}), c.width)
                << "row " << y;
            EXPECT_EQ(CountDifferent(p, Quiet(), RECT{81 + c.width, y, 620, y + 1}), 0)
                << "row " << y;
        }
        // Exactly ten rows high, nothing left of the bar.
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 490, 620, 501}), 0);
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 511, 620, 519}), 0);
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 529, 620, 540}), 0);
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 501, 81, 529}), 0);
    }
}

TEST_F(PaintTest, BarFillIsAVerticalGradientFromTheTopColourToTheBaseColour) {
    State().progressBytesPercent.store(100);
    State().progressFilesPercent.store(100);
    test::Pixels p = Render();
    struct Bar {
        int top;
        uint32_t topColor, baseColor;
    };
    for (Bar bar : {Bar{501, 0x7DDD5D, 0x5FBF3F}, Bar{519, 0x4CADFF, 0x2E8FE6}}) {
        for (int x : {81, 300, 598}) {
            SCOPED_TRACE(testing::Message() << "bar at " << bar.top << ", column " << x);
            EXPECT_LE(test::ColorDistance(p.At(x, bar.top), bar.topColor), 4);
            EXPECT_LE(test::ColorDistance(p.At(x, bar.top + 9), bar.baseColor), 6);
            // Darker row by row; the same colour across a row.
            for (int y = bar.top + 1; y < bar.top + 10; ++y) {
                EXPECT_LE(p.At(x, y) & 0xFF00, p.At(x, y - 1) & 0xFF00) << "row " << y;
                EXPECT_EQ(p.At(x, y), p.At(81, y)) << "row " << y;
            }
        }
    }
}

TEST_F(PaintTest, NoFillAtZeroOrBelow) {
    for (int percent : {0, -1, -100}) {
        State().progressBytesPercent.store(percent);
        State().progressFilesPercent.store(percent);
        EXPECT_EQ(CountDifferent(Render(), Quiet(), RECT{0, 0, 800, 570}), 0) << percent;
    }
}

TEST_F(PaintTest, ActionButtonOnlyWhenVisibleAndNoRunIsActive) {
    LauncherState& s = State();
    s.actionButtonVisible.store(true);
    EXPECT_GT(CountDifferent(Render(), Quiet(), kActionArea), 5000);

    s.updateRunning.store(true);
    EXPECT_EQ(CountDifferent(Render(), Quiet(), kActionArea), 0);
    s.gameNotInstalled.store(true); // the drawn full-download button obeys the same rule
    EXPECT_EQ(CountDifferent(Render(), Quiet(), kActionArea), 0);

    s.updateRunning.store(false);
    s.actionButtonVisible.store(false);
    EXPECT_EQ(CountDifferent(Render(), Quiet(), kActionArea), 0);
    s.gameNotInstalled.store(false);
    s.hoverAction = true;
    s.actionPressed = true;
    EXPECT_EQ(CountDifferent(Render(), Quiet(), kActionArea), 0);

    // Back after the run, on the next paint.
    s.actionButtonVisible.store(true);
    EXPECT_GT(CountDifferent(Render(), Quiet(), kActionArea), 5000);
}

TEST_F(PaintTest, ActionButtonPicturesStretchedToTheSlot) {
    LauncherState& s = State();
    s.actionButtonVisible.store(true);

    test::Pixels normal = Render();
    EXPECT_LE(test::ColorDistance(normal.At(627, 517), 0xD44A02), 8);
    EXPECT_GT(CountNear(normal, kActionArea, kWhite, 10), 30);
    EXPECT_EQ(CountNear(normal, kActionArea, 0xFFC5A7, 10), 0);
    // 140 wide: the dark blue edge reaches column 759, and nothing lies beyond.
    EXPECT_LE(test::ColorDistance(normal.At(620, 517), 0x0E1C42), 24);
    EXPECT_LE(test::ColorDistance(normal.At(759, 517), 0x0E1C42), 24);
    EXPECT_EQ(CountDifferent(normal, Quiet(), RECT{760, 480, 800, 560}), 0);
    EXPECT_EQ(CountDifferent(normal, Quiet(), RECT{600, 480, 620, 560}), 0);

    s.hoverAction = true;
    test::Pixels hover = Render();
    EXPECT_LE(test::ColorDistance(hover.At(627, 517), 0xD26C00), 8);
    EXPECT_GT(CountNear(hover, kActionArea, kWhite, 10), 30);

    s.actionPressed = true; // pressed wins over hover
    test::Pixels pressedHover = Render();
    EXPECT_LE(test::ColorDistance(pressedHover.At(627, 517), 0xD44A02), 8);
    EXPECT_EQ(CountNear(pressedHover, kActionArea, kWhite, 10), 0);
    EXPECT_GT(CountNear(pressedHover, kActionArea, 0xFFC5A7, 10), 30);

    s.hoverAction = false; // still pressed with the cursor gone
    EXPECT_EQ(CountDifferent(Render(), pressedHover, kActionArea), 0);
}

TEST_F(PaintTest, NoPictureNoActionButton) {
    LauncherState& s = State();
    s.actionButtonVisible.store(true);
    Gdiplus::Bitmap* normal = s.imgActionNormal;
    s.imgActionNormal = nullptr;
    test::Pixels p = Render();
    s.imgActionNormal = normal;
    EXPECT_EQ(CountDifferent(p, Quiet(), kActionArea), 0);
}

TEST_F(PaintTest, FullDownloadButtonIsDrawnInCode) {
    LauncherState& s = State();
    s.actionButtonVisible.store(true);
    s.gameNotInstalled.store(true);

    struct Look {
        bool hover, pressed;
        uint32_t fill;
    };
    for (Look look : {Look{false, false, 0xC85A1E}, Look{true, false, 0xE67832},
                      Look{true, true, 0xAA4614}, Look{false, true, 0xAA4614}}) {
        SCOPED_TRACE(testing::Message() << "hover " << look.hover << " pressed " << look.pressed);
        s.hoverAction = look.hover;
        s.actionPressed = look.pressed;
        test::Pixels p = Render();
        for (POINT at : {POINT{625, 500}, POINT{750, 500}, POINT{625, 534}, POINT{750, 534}})
            EXPECT_LE(test::ColorDistance(p.At(at.x, at.y), look.fill), 2);
        // Outline one pixel inside the 140 x 45 box, nothing around it.
        EXPECT_EQ(RowNear(p, 495, 625, 755, 0xFFC896), 130);
        EXPECT_EQ(RowNear(p, 539, 625, 755, 0xFFC896), 130);
        EXPECT_EQ(CountNear(p, RECT{620, 500, 621, 535}, 0xFFC896, 2), 35);
        EXPECT_EQ(CountNear(p, RECT{759, 500, 760, 535}, 0xFFC896, 2), 35);
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{600, 480, 620, 560}), 0);
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{760, 480, 800, 560}), 0);
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{620, 480, 760, 495}), 0);
        EXPECT_EQ(CountDifferent(p, Quiet(), RECT{620, 540, 760, 560}), 0);
        // White caption on two lines, none of the START picture.
        EXPECT_GT(CountNear(p, kActionArea, kWhite, 10), 60);
        EXPECT_GE(RowsWith(p, kActionArea, kWhite, 10), 20);
        EXPECT_EQ(CountNear(p, kActionArea, 0xD44A02, 6), 0);
    }

    // The caption does not follow the language.
    s.hoverAction = s.actionPressed = false;
    s.clientLanguage.store(2);
    test::Pixels english = Render();
    s.clientLanguage.store(14);
    EXPECT_EQ(CountDifferent(Render(), english, kActionArea), 0);
}

TEST_F(PaintTest, CloseButtonTurnsRedOnlyUnderTheCursor) {
    LauncherState& s = State();
    const test::Pixels& idle = Quiet();
    EXPECT_EQ(CountNear(idle, kCloseArea, 0xB43C3C, 10), 0);
    EXPECT_GT(CountNear(idle, kCloseArea, 0x969696, 6), 8);
    EXPECT_EQ(CountNear(idle, kCloseArea, kWhite, 10), 0);

    s.hoverClose = true;
    test::Pixels hover = Render();
    EXPECT_EQ(CountNear(hover, RECT{772, 8, 792, 12}, 0xB43C3C, 1), 80);
    EXPECT_EQ(CountNear(hover, RECT{772, 24, 792, 28}, 0xB43C3C, 1), 80);
    EXPECT_GT(CountNear(hover, kCloseArea, kWhite, 10), 8);
    EXPECT_EQ(CountNear(hover, kCloseArea, 0x969696, 6), 0);
    EXPECT_EQ(CountDifferent(hover, idle, RECT{760, 0, 800, 8}), 0);
    EXPECT_EQ(CountDifferent(hover, idle, RECT{760, 28, 800, 40}), 0);
    EXPECT_EQ(CountDifferent(hover, idle, RECT{760, 8, 772, 28}), 0);
    EXPECT_EQ(CountDifferent(hover, idle, RECT{792, 8, 800, 28}), 0);

    s.hoverClose = false; // cursor moved away
    EXPECT_EQ(CountDifferent(Render(), idle, RECT{760, 0, 800, 40}), 0);
}

TEST_F(PaintTest, WebsiteLabelHighlightAndUnderline) {
    const test::Pixels& idle = Quiet();
    EXPECT_GT(CountNear(idle, kWebsiteText, kLabelIdle, 6), 20);
    EXPECT_EQ(CountNear(idle, kWebsiteText, kSelected, 10), 0);
    EXPECT_EQ(RowNear(idle, 88, 700, 800, kSelected, 10), 0);

    State().hoverWebsite = true;
    test::Pixels hover = Render();
    EXPECT_GT(CountNear(hover, kWebsiteText, kSelected, 6), 20);
    EXPECT_EQ(CountNear(hover, kWebsiteText, kLabelIdle, 6), 0);
    // From 726, 88 to 779, 88.
    EXPECT_EQ(RowNear(hover, 88, 726, 779, kSelected), 53);
    EXPECT_EQ(CountDifferent(hover, idle, RECT{700, 88, 726, 91}), 0);
    EXPECT_EQ(CountDifferent(hover, idle, RECT{780, 88, 800, 91}), 0);
    EXPECT_EQ(CountDifferent(hover, idle, RECT{700, 89, 800, 91}), 0);
}

struct LanguageCase {
    int32_t language;
    bool hoverEnglish, hoverSpanish;
    uint32_t english, spanish; // expected text colours
};

class LanguageLabelTest : public PaintTest, public ::testing::WithParamInterface<LanguageCase> {};

// A label is underlined exactly when it is selected or under the cursor, in its text colour,
// from left + 14 to right - 14 on row 88.
void ExpectLabel(const test::Pixels& p, const RECT& text, int underlineLeft, uint32_t color) {
    for (uint32_t other : {kSelected, kLanguageHover, kLabelIdle}) {
        if (other == color) {
            EXPECT_GT(CountNear(p, text, other, 6), 10) << std::hex << other;
        } else {
            EXPECT_EQ(CountNear(p, text, other, 6), 0) << std::hex << other;
        }
    }
    bool underlined = color != kLabelIdle;
    EXPECT_EQ(RowNear(p, 88, underlineLeft, underlineLeft + 24, color), underlined ? 24 : 0);
    EXPECT_EQ(CountNear(p, RECT{underlineLeft - 14, 88, underlineLeft, 89}, color, 10), 0);
    EXPECT_EQ(CountNear(p, RECT{underlineLeft + 25, 88, underlineLeft + 38, 89}, color, 10), 0);
    EXPECT_EQ(CountNear(p, RECT{underlineLeft - 14, 89, underlineLeft + 38, 91}, color, 10), 0);
}

TEST_P(LanguageLabelTest, SelectionAndHoverLooks) {
    const LanguageCase& c = GetParam();
    LauncherState& s = State();
    s.clientLanguage.store(c.language);
    s.hoverLangEnglish = c.hoverEnglish;
    s.hoverLangSpanish = c.hoverSpanish;
    test::Pixels p = Render();
    {
        SCOPED_TRACE("EN");
        ExpectLabel(p, kEnglishText, 34, c.english);
    }
    {
        SCOPED_TRACE("ES");
        ExpectLabel(p, kSpanishText, 92, c.spanish);
    }
}

INSTANTIATE_TEST_SUITE_P(Looks, LanguageLabelTest,
                         ::testing::Values(LanguageCase{2, false, false, kSelected, kLabelIdle},
                                           LanguageCase{14, false, false, kLabelIdle, kSelected},
                                           LanguageCase{0, false, false, kLabelIdle, kLabelIdle},
                                           LanguageCase{7, false, false, kLabelIdle, kLabelIdle},
                                           LanguageCase{0, true, false, kLanguageHover, kLabelIdle},
                                           LanguageCase{0, false, true, kLabelIdle, kLanguageHover},
                                           LanguageCase{14, true, true, kLanguageHover, kSelected},
                                           LanguageCase{2, true, false, kSelected, kLabelIdle}));

TEST_F(PaintTest, StatusLineStartsAt80By540) {
    SetStatusText(L"Verificando archivos (LIGHT)...");
    test::Pixels p = Render();
    EXPECT_GT(CountNear(p, RECT{80, 540, 400, 560}, kStatusColor, 4), 30);
    // Nothing left of x 80 or above y 540; the first glyph starts within a few pixels.
    EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 530, 80, 570}), 0);
    EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 530, 610, 540}), 0);
    EXPECT_GT(CountDifferent(p, Quiet(), RECT{80, 540, 90, 560}, 10), 5);
    // One 13-pixel line: nothing below the line's box.
    EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 560, 610, 570}), 0);

    SetStatusText(L"");
    EXPECT_EQ(CountDifferent(Render(), Quiet(), kStatusArea), 0);
}

TEST_F(PaintTest, LongStatusRunsToTheRightEdgeWithoutWrapping) {
    std::wstring text;
    while (text.size() < 200)
        text += L"Descargando archivos 12 / 340 ";
    SetStatusText(text);
    test::Pixels p = Render();
    EXPECT_GT(CountNear(p, RECT{760, 540, 800, 560}, kStatusColor, 4), 5);
    EXPECT_EQ(CountDifferent(p, Quiet(), RECT{0, 560, 800, 570}), 0);
}

TEST_F(PaintTest, MissingBackgroundLeavesTheRestOfThePicture) {
    LauncherState& s = State();
    Gdiplus::Bitmap* background = s.imgBackground;
    s.imgBackground = nullptr;
    s.clientLanguage.store(2);
    s.progressBytesPercent.store(100);
    test::Pixels p = Render();
    s.imgBackground = background;
    EXPECT_GT(CountDifferent(p, Quiet(), RECT{0, 100, 800, 470}), 100000);
    EXPECT_GT(CountNear(p, kEnglishText, kSelected, 6), 10);
    EXPECT_LE(test::ColorDistance(p.At(300, 501), 0x7DDD5D), 4);
}

TEST_F(PaintTest, ReferenceScreenshots) {
    LauncherState& s = State();
    painttest::SaveShot(Quiet(), L"quiet");

    s.clientLanguage.store(14);
    s.actionButtonVisible.store(true);
    s.progressBytesPercent.store(100);
    s.progressFilesPercent.store(100);
    SetStatusText(L"Archivos OK!");
    painttest::SaveShot(Render(), L"ready_spanish");

    s.actionButtonVisible.store(false);
    s.updateRunning.store(true);
    s.progressBytesPercent.store(37);
    s.progressFilesPercent.store(50);
    s.hoverClose = true;
    SetStatusText(L"Descargando data/maps/zone01.map (37%)");
    painttest::SaveShot(Render(), L"updating_close_hover");

    painttest::ResetState();
    s.clientLanguage.store(2);
    s.hoverLangSpanish = true;
    s.actionButtonVisible.store(true);
    s.gameNotInstalled.store(true);
    s.hoverAction = true;
    s.hoverWebsite = true;
    SetStatusText(L"Juego no instalado. Pulsa el boton para descargar.");
    test::Pixels p = Render();
    painttest::SaveShot(p, L"not_installed_hover");
    EXPECT_GT(CountDifferent(p, Quiet(), RECT{0, 0, 800, 570}), 1000);
}

} // namespace

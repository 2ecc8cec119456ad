// The skin loader on the real pictures of the program's resources and on broken ones: an id
// that is not there, an empty resource, bytes that are no picture, a picture of another type.
#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>
#include <psapi.h>

#include <gtest/gtest.h>

#include <memory>

#include "base/launcher_state.h"
#include "support/test_support.h"
#include "ui/skin.h"

namespace {

constexpr uint16_t kMissingId = 989;
constexpr uint16_t kEmptyId = 990;
constexpr uint16_t kGarbageId = 991;
constexpr uint16_t kWrongTypeId = 992; // a good PNG, but an RCDATA resource

using BitmapPtr = std::unique_ptr<Gdiplus::Bitmap>;

class SkinTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Gdiplus::GdiplusStartupInput input;
        ASSERT_EQ(Gdiplus::GdiplusStartup(&token_, &input, nullptr), Gdiplus::Ok);
        State().appInstance = GetModuleHandleW(nullptr);
    }
    static void TearDownTestSuite() { Gdiplus::GdiplusShutdown(token_); }

    static inline ULONG_PTR token_ = 0;
};

uint32_t PixelRgb(Gdiplus::Bitmap& bitmap, int x, int y) {
    Gdiplus::Color c;
    bitmap.GetPixel(x, y, &c);
    return (static_cast<uint32_t>(c.GetR()) << 16) | (c.GetG() << 8) | c.GetB();
}

int CountNear(Gdiplus::Bitmap& bitmap, uint32_t rgb, int tolerance) {
    int count = 0;
    for (UINT y = 0; y < bitmap.GetHeight(); ++y)
        for (UINT x = 0; x < bitmap.GetWidth(); ++x)
            if (test::ColorDistance(PixelRgb(bitmap, x, y), rgb) <= tolerance) ++count;
    return count;
}

// Committed private memory. Wine reports PrivateUsage as 0 but keeps PagefileUsage, which on
// Windows is the same figure.
size_t PrivateBytes() {
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.PagefileUsage;
}

TEST_F(SkinTest, TheFourPicturesLoadAsPremultipliedBitmapsOfTheirSizes) {
    struct Case {
        uint16_t id;
        UINT width, height;
    };
    for (Case c : {Case{kPngBackground, 800, 605}, Case{kPngActionNormal, 136, 45},
                   Case{kPngActionHover, 136, 45}, Case{kPngActionPressed, 136, 45}}) {
        SCOPED_TRACE(c.id);
        BitmapPtr bitmap(LoadPngResource(c.id));
        ASSERT_NE(bitmap, nullptr);
        EXPECT_EQ(bitmap->GetLastStatus(), Gdiplus::Ok);
        EXPECT_EQ(bitmap->GetWidth(), c.width);
        EXPECT_EQ(bitmap->GetHeight(), c.height);
        EXPECT_EQ(bitmap->GetPixelFormat(), static_cast<Gdiplus::PixelFormat>(0x000E200B));
    }
}

// The pixels are read long after the stream and its memory have gone, so the bitmap must
// own them; the colours show that each id carries its own look.
TEST_F(SkinTest, LoadedPicturesOwnTheirPixels) {
    BitmapPtr background(LoadPngResource(kPngBackground));
    BitmapPtr normal(LoadPngResource(kPngActionNormal));
    BitmapPtr hover(LoadPngResource(kPngActionHover));
    BitmapPtr pressed(LoadPngResource(kPngActionPressed));
    ASSERT_TRUE(background && normal && hover && pressed);

    // The full height is kept, although only 570 rows are ever shown.
    Gdiplus::Color bottom;
    ASSERT_EQ(background->GetPixel(400, 604, &bottom), Gdiplus::Ok);
    EXPECT_EQ(bottom.GetA(), 255);

    EXPECT_LE(test::ColorDistance(PixelRgb(*normal, 0, 22), 0x0E1C42), 8); // dark blue edge
    EXPECT_LE(test::ColorDistance(PixelRgb(*normal, 6, 22), 0xD44A02), 8);
    EXPECT_LE(test::ColorDistance(PixelRgb(*hover, 6, 22), 0xD26C00), 8);
    EXPECT_LE(test::ColorDistance(PixelRgb(*pressed, 6, 22), 0xD44A02), 8);
    // START in white on the idle and hover looks, in pale peach when pressed.
    EXPECT_GT(CountNear(*normal, 0xFFFFFF, 8), 30);
    EXPECT_GT(CountNear(*hover, 0xFFFFFF, 8), 30);
    EXPECT_EQ(CountNear(*pressed, 0xFFFFFF, 8), 0);
    EXPECT_GT(CountNear(*pressed, 0xFFC5A7, 8), 30);
}

TEST_F(SkinTest, MissingEmptyUndecodableOrWrongTypeGiveNull) {
    EXPECT_EQ(LoadPngResource(kMissingId), nullptr);
    EXPECT_EQ(LoadPngResource(kEmptyId), nullptr);
    EXPECT_EQ(LoadPngResource(kGarbageId), nullptr);
    EXPECT_EQ(LoadPngResource(kWrongTypeId), nullptr);
    // The right id in the wrong module is not found either.
    HINSTANCE saved = State().appInstance;
    State().appInstance = GetModuleHandleW(L"kernel32.dll");
    EXPECT_EQ(LoadPngResource(kPngActionNormal), nullptr);
    State().appInstance = saved;
}

// Each load copies the resource into a memory block and decodes it; a block, stream or
// decoded picture left behind would show as growth over many loads (64 KiB and about 2 MB per
// load for the two cases).
TEST_F(SkinTest, LoadsReleaseEverythingButTheResult) {
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(LoadPngResource(kGarbageId), nullptr);
    delete LoadPngResource(kPngBackground);
    const size_t before = PrivateBytes();
    for (int i = 0; i < 1000; ++i)
        ASSERT_EQ(LoadPngResource(kGarbageId), nullptr);
    for (int i = 0; i < 100; ++i)
        delete LoadPngResource(kPngBackground);
    const size_t after = PrivateBytes();
    ASSERT_GT(before, 0u);
    EXPECT_LT(after, before + 24 * 1024 * 1024) << "grew by " << (after - before) << " bytes";
}

TEST_F(SkinTest, DeleteSkinImagesDeletesTheFilledSlots) {
    LauncherState& s = State();
    s.imgBackground = LoadPngResource(kPngBackground);
    s.imgActionNormal = nullptr; // a failed load
    s.imgActionHover = LoadPngResource(kPngActionHover);
    s.imgActionPressed = LoadPngResource(kPngActionPressed);
    const size_t loaded = PrivateBytes();
    DeleteSkinImages();
    // The background alone holds about 1.9 MB of pixels.
    EXPECT_LT(PrivateBytes() + 1024 * 1024, loaded);
    s.imgBackground = s.imgActionNormal = s.imgActionHover = s.imgActionPressed = nullptr;
}

// The window thread paints as soon as WaitForSkin returns: every slot must be filled by then,
// and every later wait (the next paints) must return at once.
TEST_F(SkinTest, TheBackgroundLoadHasFilledEverySlotWhenTheWaitReturns) {
    LauncherState& s = State();
    StartSkinLoad();
    WaitForSkin();
    for (Gdiplus::Bitmap* slot :
         {s.imgBackground, s.imgActionNormal, s.imgActionHover, s.imgActionPressed}) {
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(slot->GetLastStatus(), Gdiplus::Ok);
    }
    EXPECT_EQ(s.imgBackground->GetWidth(), 800u);
    WaitForSkin();
    DeleteSkinImages();
    EXPECT_FALSE(s.skinLoader);
    EXPECT_EQ(s.imgBackground, nullptr);
    // Deleting right after a start ends the load first instead of racing it, and deleting
    // again (the shutdown after the window's own destruction) finds nothing left to free.
    StartSkinLoad();
    DeleteSkinImages();
    EXPECT_FALSE(s.skinLoader);
    EXPECT_EQ(s.imgActionPressed, nullptr);
    DeleteSkinImages();
}

} // namespace

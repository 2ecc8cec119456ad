// The paint pass. Everything is drawn into an 800 x 570 memory bitmap and copied to the window
// in one blit, so the window never shows a half-drawn frame. Each element builds its own GDI+
// objects and lets them go before the next one starts; nothing outlives a paint.
#include "ui/paint.h"

#include <windows.h>
#include <gdiplus.h>

#include <mutex>
#include <string>

#include "base/handles.h"
#include "base/language.h"
#include "base/launcher_state.h"
#include "ui/skin.h"

namespace {

using Gdiplus::ARGB;
using Gdiplus::Color;
using Gdiplus::Graphics;

constexpr ARGB kDownloadFillIdle = 0xFFC85A1E;
constexpr ARGB kDownloadFillHover = 0xFFE67832;
constexpr ARGB kDownloadFillPressed = 0xFFAA4614;
constexpr ARGB kDownloadOutline = 0xFFFFC896;
constexpr ARGB kWhite = 0xFFFFFFFF;
constexpr ARGB kCloseHoverFill = 0xFFB43C3C;
constexpr ARGB kCloseMarkIdle = 0xFF969696;
constexpr ARGB kLabelHighlight = 0xFFDC8C3C; // web site under the cursor, selected language
constexpr ARGB kLabelHover = 0xFFD2DCEB;     // language under the cursor, not selected
constexpr ARGB kLabelIdle = 0xFF96AAC8;
constexpr ARGB kBytesBarColor = 0xFF5FBF3F;
constexpr ARGB kFilesBarColor = 0xFF2E8FE6;
constexpr ARGB kStatusColor = 0xFFA0AAB4;

constexpr wchar_t kFontName[] = L"Arial";
constexpr int kBackgroundHeight = 605; // the lowest 35 rows fall outside the window

Gdiplus::RectF ToRectF(const RECT& r) {
    return Gdiplus::RectF(static_cast<Gdiplus::REAL>(r.left), static_cast<Gdiplus::REAL>(r.top),
                          static_cast<Gdiplus::REAL>(r.right - r.left),
                          static_cast<Gdiplus::REAL>(r.bottom - r.top));
}

// A skin slot is drawn only when it holds a bitmap whose last status (read and reset) is Ok.
bool Drawable(Gdiplus::Bitmap* bitmap) {
    return bitmap && bitmap->GetLastStatus() == Gdiplus::Ok;
}

// Default format (no flags, neutral language) centred both ways.
void CentreFormat(Gdiplus::StringFormat& format) {
    format.SetAlignment(Gdiplus::StringAlignmentCenter);
    format.SetLineAlignment(Gdiplus::StringAlignmentCenter);
}

// One line of centred, bold Arial text in its own font, brush and format.
void DrawCentredText(Graphics& graphics, const wchar_t* text, const RECT& box, float size,
                     ARGB color) {
    Gdiplus::FontFamily family(kFontName);
    if (family.GetLastStatus() != Gdiplus::Ok) return;
    Gdiplus::Font font(&family, size, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    Gdiplus::SolidBrush brush{Color(color)};
    Gdiplus::StringFormat format;
    CentreFormat(format);
    graphics.DrawString(text, -1, &font, ToRectF(box), &format, &brush);
}

void DrawUnderline(Graphics& graphics, const RECT& box, int inset, ARGB color) {
    Gdiplus::Pen pen(Color(color), 1.0f);
    int y = box.bottom - 2;
    graphics.DrawLine(&pen, static_cast<INT>(box.left + inset), y,
                      static_cast<INT>(box.right - inset), y);
}

void DrawBackground(Graphics& graphics, Gdiplus::Bitmap* background) {
    if (Drawable(background)) graphics.DrawImage(background, 0, 0, kWindowWidth, kBackgroundHeight);
}

// The action button while the game is not installed: an orange box drawn in code.
void DrawFullDownloadButton(Graphics& graphics, bool pressed, bool hover) {
    ARGB fill = pressed ? kDownloadFillPressed : hover ? kDownloadFillHover : kDownloadFillIdle;
    const RECT& r = actionButtonRect;
    Gdiplus::RectF box = ToRectF(r);
    {
        Gdiplus::SolidBrush brush{Color(fill)};
        graphics.FillRectangle(&brush, box);
    }
    {
        Gdiplus::Pen pen(Color(kDownloadOutline), 1.0f);
        graphics.DrawRectangle(&pen, box.X, box.Y, box.Width - 1.0f, box.Height - 1.0f);
    }
    DrawCentredText(graphics, L"Descargar juego\ncompleto", r, 12.0f, kWhite);
}

void DrawActionButton(Graphics& graphics, const LauncherState& s) {
    if (!s.actionButtonVisible.load() || s.updateRunning.load()) return;
    if (s.gameNotInstalled.load()) {
        DrawFullDownloadButton(graphics, s.actionPressed, s.hoverAction);
        return;
    }
    Gdiplus::Bitmap* picture = s.actionPressed ? s.imgActionPressed
                               : s.hoverAction ? s.imgActionHover
                                               : s.imgActionNormal;
    if (!Drawable(picture)) return;
    const RECT& r = actionButtonRect;
    // The 136-pixel picture is stretched to the 140-pixel slot.
    graphics.DrawImage(picture, static_cast<INT>(r.left), static_cast<INT>(r.top),
                       static_cast<INT>(r.right - r.left), static_cast<INT>(r.bottom - r.top));
}

void DrawCloseButton(Graphics& graphics, bool hover) {
    const RECT& r = closeButtonRect;
    if (hover) {
        Gdiplus::SolidBrush brush{Color(kCloseHoverFill)};
        graphics.FillRectangle(&brush, static_cast<INT>(r.left), static_cast<INT>(r.top),
                               static_cast<INT>(r.right - r.left),
                               static_cast<INT>(r.bottom - r.top));
    }
    DrawCentredText(graphics, L"X", r, 16.0f, hover ? kWhite : kCloseMarkIdle);
}

void DrawWebsiteLabel(Graphics& graphics, bool hover) {
    DrawCentredText(graphics, L"WEBSITE", websiteButtonRect, 12.0f,
                    hover ? kLabelHighlight : kLabelIdle);
    if (hover) DrawUnderline(graphics, websiteButtonRect, 6, kLabelHighlight);
}

struct LanguageLabel {
    const RECT& box;
    bool hover;
    int32_t code;
    const wchar_t* text;
};

// Both labels share one font and one format; each has its own brush and pen.
void DrawLanguageLabels(Graphics& graphics, const LauncherState& s) {
    const LanguageLabel labels[] = {
        {langEnglishRect, s.hoverLangEnglish, kLanguageEnglish, L"EN"},
        {langSpanishRect, s.hoverLangSpanish, kLanguageSpanish, L"ES"},
    };
    int32_t language = s.clientLanguage.load();

    Gdiplus::FontFamily family(kFontName);
    bool haveFamily = family.GetLastStatus() == Gdiplus::Ok; // without it only the lines show
    Gdiplus::Font font(&family, 12.0f, Gdiplus::FontStyleBold, Gdiplus::UnitPixel);
    Gdiplus::StringFormat format;
    CentreFormat(format);

    for (const LanguageLabel& label : labels) {
        bool selected = language == label.code;
        ARGB color = selected ? kLabelHighlight : label.hover ? kLabelHover : kLabelIdle;
        if (haveFamily) {
            Gdiplus::SolidBrush brush{Color(color)};
            graphics.DrawString(label.text, -1, &font, ToRectF(label.box), &format, &brush);
        }
        if (selected || label.hover) DrawUnderline(graphics, label.box, 14, color);
    }
}

// Drawn under statusMutex, held from the emptiness test until the text is on the bitmap.
void DrawStatusLine(Graphics& graphics, LauncherState& s) {
    std::lock_guard<std::mutex> lock(s.statusMutex);
    if (s.statusText.empty()) return;
    Gdiplus::FontFamily family(kFontName);
    if (family.GetLastStatus() != Gdiplus::Ok) return;
    Gdiplus::Font font(&family, 13.0f, Gdiplus::FontStyleRegular, Gdiplus::UnitPixel);
    Gdiplus::SolidBrush brush{Color(kStatusColor)};
    // No string format and no layout box: left and top aligned, neither wrapped nor clipped.
    graphics.DrawString(s.statusText.c_str(), -1, &font, Gdiplus::PointF(80.0f, 540.0f), &brush);
}

void DrawScene(Graphics& graphics, LauncherState& s) {
    graphics.SetSmoothingMode(Gdiplus::SmoothingModeHighQuality);
    graphics.SetInterpolationMode(Gdiplus::InterpolationModeHighQualityBicubic);
    graphics.SetPixelOffsetMode(Gdiplus::PixelOffsetModeHighQuality);

    DrawBackground(graphics, s.imgBackground);
    DrawActionButton(graphics, s);
    DrawCloseButton(graphics, s.hoverClose);
    DrawWebsiteLabel(graphics, s.hoverWebsite);
    DrawLanguageLabels(graphics, s);
    const RECT& bytes = bytesBarRect;
    const RECT& files = filesBarRect;
    FillProgressBar(graphics, bytes.left, bytes.top, bytes.right - bytes.left,
                    bytes.bottom - bytes.top, s.progressBytesPercent.load(), kBytesBarColor);
    FillProgressBar(graphics, files.left, files.top, files.right - files.left,
                    files.bottom - files.top, s.progressFilesPercent.load(), kFilesBarColor);
    DrawStatusLine(graphics, s);
}

uint32_t Brighten(uint32_t channel) {
    return channel + 30 > 255 ? 255 : channel + 30;
}

} // namespace

void PaintWindow(HWND window) {
    WaitForSkin();
    PAINTSTRUCT ps;
    HDC windowDc = BeginPaint(window, &ps);
    {
        // Released in reverse: the surface, then the selection, the bitmap and the context.
        MemoryDc memoryDc(CreateCompatibleDC(windowDc));
        GdiObject bitmap(CreateCompatibleBitmap(windowDc, kWindowWidth, kWindowHeight));
        SelectionGuard selection(memoryDc.Get(), bitmap.Get());
        Graphics graphics(memoryDc.Get());
        DrawScene(graphics, State());
        BitBlt(windowDc, 0, 0, kWindowWidth, kWindowHeight, memoryDc.Get(), 0, 0, SRCCOPY);
    }
    EndPaint(window, &ps);
}

void FillProgressBar(Graphics& graphics, int32_t x, int32_t y, int32_t width, int32_t height,
                     int32_t percent, uint32_t baseColor) {
    if (percent <= 0) return;
    uint32_t top = 0xFF000000u | (Brighten((baseColor >> 16) & 0xFF) << 16) |
                   (Brighten((baseColor >> 8) & 0xFF) << 8) | Brighten(baseColor & 0xFF);
    Gdiplus::LinearGradientBrush brush(Gdiplus::Point(x, y), Gdiplus::Point(x, y + height),
                                       Color(top), Color(baseColor));
    int32_t fillWidth = static_cast<int32_t>(static_cast<int64_t>(width) * percent / 100);
    graphics.FillRectangle(&brush, x, y, fillWidth, height);
}

// The skin pictures carried as resources of type "PNG".
#pragma once

#include <cstdint>

namespace Gdiplus {
class Bitmap;
}

constexpr uint16_t kPngBackground = 103;
constexpr uint16_t kPngActionNormal = 122;
constexpr uint16_t kPngActionHover = 123;
constexpr uint16_t kPngActionPressed = 121;
constexpr uint16_t kIconGroup = 102;

// A new 32bpp premultiplied ARGB bitmap decoded from the resource, owning its pixels, with
// status Ok; null when the resource is missing, empty or not an image.
Gdiplus::Bitmap* LoadPngResource(uint16_t resourceId);

// Decodes the four skin bitmaps of the launcher state on a thread of their own, so that the
// decoding overlaps the registration and creation of the window (GDI+ must be started).
// Without a thread they are decoded here.
void StartSkinLoad();
// Returns once the bitmaps started by StartSkinLoad are in the state (at once when none are
// pending). Window thread only.
void WaitForSkin();

// Deletes the four skin bitmaps of the launcher state (window destruction), after waiting for
// their load.
void DeleteSkinImages();

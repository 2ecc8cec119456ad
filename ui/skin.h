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

// Deletes the four skin bitmaps of the launcher state (window destruction).
void DeleteSkinImages();

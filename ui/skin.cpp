#include "ui/skin.h"

#include "app/launcher_state.h"

// Stand-in until the skin loader lands: no pictures.
Gdiplus::Bitmap* LoadPngResource(uint16_t) { return nullptr; }
void DeleteSkinImages() {}

// Decoding of the skin pictures. Each PNG resource is copied into a movable memory block, read
// through a stream over that block, and cloned into a bitmap that owns its pixels, so nothing
// of the resource, the block or the stream has to outlive the load.
#include "ui/skin.h"

#include <windows.h>
#include <objbase.h>
#include <gdiplus.h>

#include <cstring>
#include <memory>
#include <new>

#include "base/handles.h"
#include "base/launcher_state.h"

namespace {

// The resource's bytes in a movable memory block, or an empty guard.
GlobalMemory CopyResourceToGlobal(uint16_t resourceId) {
    HINSTANCE instance = State().appInstance;
    HRSRC resource = FindResourceW(instance, MAKEINTRESOURCEW(resourceId), L"PNG");
    if (!resource) return {};
    DWORD size = SizeofResource(instance, resource);
    if (size == 0) return {};
    HGLOBAL loaded = LoadResource(instance, resource);
    if (!loaded) return {};
    const void* bytes = LockResource(loaded);
    if (!bytes) return {};

    GlobalMemory block(GlobalAlloc(GMEM_MOVEABLE, size));
    if (!block) return {};
    void* target = GlobalLock(block.Get());
    if (!target) return {};
    std::memcpy(target, bytes, size);
    GlobalUnlock(block.Get());
    return block;
}

// The wrapper's own memory comes from GdipAlloc, as its class operator new would take it, but
// a failed allocation is seen here instead of being constructed into.
std::unique_ptr<Gdiplus::Bitmap> DecodeStream(IStream* stream) {
    void* memory = Gdiplus::DllExports::GdipAlloc(sizeof(Gdiplus::Bitmap));
    if (!memory) return nullptr;
    std::unique_ptr<Gdiplus::Bitmap> bitmap(::new (memory) Gdiplus::Bitmap(stream, FALSE));
    if (bitmap->GetLastStatus() != Gdiplus::Ok) return nullptr;
    return bitmap;
}

void DeleteBitmap(Gdiplus::Bitmap* bitmap) {
    if (bitmap) delete bitmap;
}

void LoadSkin() {
    LauncherState& s = State();
    s.imgBackground = LoadPngResource(kPngBackground);
    s.imgActionNormal = LoadPngResource(kPngActionNormal);
    s.imgActionHover = LoadPngResource(kPngActionHover);
    s.imgActionPressed = LoadPngResource(kPngActionPressed);
}

DWORD WINAPI SkinLoaderThread(void*) {
    LoadSkin();
    SetEvent(State().skinDecoded.Get());
    // The first font lookup is the slow one. Made here, it overlaps the window's creation; the
    // first paint does not wait for it.
    Gdiplus::FontFamily family(L"Arial");
    return 0;
}

} // namespace

Gdiplus::Bitmap* LoadPngResource(uint16_t resourceId) {
    GlobalMemory block = CopyResourceToGlobal(resourceId);
    if (!block) return nullptr;

    ComPtr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(block.Get(), TRUE, stream.Put())) || !stream) {
        return nullptr; // the guard frees the block
    }
    block.Release(); // the stream frees it when it is released

    Gdiplus::Bitmap* clone = nullptr;
    {
        std::unique_ptr<Gdiplus::Bitmap> decoded = DecodeStream(stream.Get());
        if (!decoded) return nullptr;
        UINT height = decoded->GetHeight();
        UINT width = decoded->GetWidth();
        // Bitmap::Clone goes through GdipCloneBitmapAreaI and disposes of the cloned image
        // itself when its wrapper cannot be allocated.
        clone = decoded->Clone(0, 0, static_cast<INT>(width), static_cast<INT>(height),
                               PixelFormat32bppPARGB);
    }
    // The decoded bitmap is gone; releasing the stream frees the memory block. The clone does
    // not refer to either.
    stream.Reset();

    if (!clone) return nullptr;
    if (clone->GetLastStatus() != Gdiplus::Ok) {
        delete clone;
        return nullptr;
    }
    return clone;
}

void StartSkinLoad() {
    LauncherState& s = State();
    s.skinDecoded.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (s.skinDecoded)
        s.skinLoader.Reset(CreateThread(nullptr, 0, SkinLoaderThread, nullptr, 0, nullptr));
    if (s.skinLoader) return;
    s.skinDecoded.Reset();
    LoadSkin();
}

void WaitForSkin() {
    LauncherState& s = State();
    if (s.skinDecoded) WaitForSingleObject(s.skinDecoded.Get(), INFINITE);
}

void DeleteSkinImages() {
    LauncherState& s = State();
    // The loader still uses GDI+ after the pictures are in; it must be gone before GDI+ is.
    if (s.skinLoader) WaitForSingleObject(s.skinLoader.Get(), INFINITE);
    s.skinLoader.Reset();
    s.skinDecoded.Reset();
    for (Gdiplus::Bitmap** slot :
         {&s.imgBackground, &s.imgActionNormal, &s.imgActionHover, &s.imgActionPressed}) {
        DeleteBitmap(*slot);
        *slot = nullptr;
    }
}

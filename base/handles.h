// Owning guards for the handle kinds the launcher acquires. Each guard closes its handle
// when it goes out of scope, so an acquire and its release stand side by side and every
// early return is safe. Guards move but never copy: a handle has exactly one owner.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wincrypt.h>
#include <bcrypt.h>

#include <utility>

// Same declaration as in winhttp.h, which only the HTTP unit includes (it clashes with the
// other internet headers); the guard below needs just the close function.
extern "C" WINBOOL WINAPI WinHttpCloseHandle(LPVOID handle);

template <typename T, typename Traits> class UniqueHandle {
public:
    UniqueHandle() = default;
    explicit UniqueHandle(T handle) : handle_(handle) {}
    ~UniqueHandle() { Reset(); }

    UniqueHandle(UniqueHandle&& other) noexcept : handle_(other.Release()) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueHandle(const UniqueHandle&) = delete;
    UniqueHandle& operator=(const UniqueHandle&) = delete;

    T Get() const { return handle_; }
    bool Valid() const { return handle_ != Traits::Invalid(); }
    explicit operator bool() const { return Valid(); }

    // Closes what is held and hands out the slot for an API that returns through a pointer.
    T* Put() {
        Reset();
        return &handle_;
    }
    T Release() { return std::exchange(handle_, Traits::Invalid()); }
    void Reset(T handle = Traits::Invalid()) {
        T old = std::exchange(handle_, handle);
        if (old != Traits::Invalid()) Traits::Close(old);
    }

private:
    T handle_ = Traits::Invalid();
};

struct FileHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct KernelHandleTraits {
    static HANDLE Invalid() { return nullptr; }
    static void Close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
    static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
    static void Close(HANDLE h) { FindClose(h); }
};
struct WinHttpHandleTraits {
    static void* Invalid() { return nullptr; }
    static void Close(void* h) { WinHttpCloseHandle(h); }
};
struct CryptContextTraits {
    static HCRYPTPROV Invalid() { return 0; }
    static void Close(HCRYPTPROV h) { CryptReleaseContext(h, 0); }
};
struct CryptHashTraits {
    static HCRYPTHASH Invalid() { return 0; }
    static void Close(HCRYPTHASH h) { CryptDestroyHash(h); }
};
struct BcryptAlgorithmTraits {
    static BCRYPT_ALG_HANDLE Invalid() { return nullptr; }
    static void Close(BCRYPT_ALG_HANDLE h) { BCryptCloseAlgorithmProvider(h, 0); }
};
struct BcryptKeyTraits {
    static BCRYPT_KEY_HANDLE Invalid() { return nullptr; }
    static void Close(BCRYPT_KEY_HANDLE h) { BCryptDestroyKey(h); }
};
struct BcryptHashTraits {
    static BCRYPT_HASH_HANDLE Invalid() { return nullptr; }
    static void Close(BCRYPT_HASH_HANDLE h) { BCryptDestroyHash(h); }
};
struct GdiObjectTraits {
    static HGDIOBJ Invalid() { return nullptr; }
    static void Close(HGDIOBJ h) { DeleteObject(h); }
};
struct MemoryDcTraits {
    static HDC Invalid() { return nullptr; }
    static void Close(HDC h) { DeleteDC(h); }
};
struct RegKeyTraits {
    static HKEY Invalid() { return nullptr; }
    static void Close(HKEY h) { RegCloseKey(h); }
};
struct LibraryTraits {
    static HMODULE Invalid() { return nullptr; }
    static void Close(HMODULE h) { FreeLibrary(h); }
};
struct GlobalMemoryTraits {
    static HGLOBAL Invalid() { return nullptr; }
    static void Close(HGLOBAL h) { GlobalFree(h); }
};
struct LocalMemoryTraits {
    static HLOCAL Invalid() { return nullptr; }
    static void Close(HLOCAL h) { LocalFree(h); }
};
struct CoTaskStringTraits {
    static wchar_t* Invalid() { return nullptr; }
    static void Close(wchar_t* p) { CoTaskMemFree(p); }
};
struct BstrTraits {
    static BSTR Invalid() { return nullptr; }
    static void Close(BSTR p) { SysFreeString(p); }
};
struct ProcessHeapStringTraits {
    static wchar_t* Invalid() { return nullptr; }
    static void Close(wchar_t* p) { HeapFree(GetProcessHeap(), 0, p); }
};

using FileHandle = UniqueHandle<HANDLE, FileHandleTraits>;      // CreateFileW
using KernelHandle = UniqueHandle<HANDLE, KernelHandleTraits>;  // processes, threads, events
using FindHandle = UniqueHandle<HANDLE, FindHandleTraits>;      // FindFirstFileW
using WinHttpHandle = UniqueHandle<void*, WinHttpHandleTraits>; // session, connection, request
using CryptContext = UniqueHandle<HCRYPTPROV, CryptContextTraits>;
using CryptHash = UniqueHandle<HCRYPTHASH, CryptHashTraits>;
// BCryptOpenAlgorithmProvider, BCryptImportKeyPair.
using BcryptAlgorithm = UniqueHandle<BCRYPT_ALG_HANDLE, BcryptAlgorithmTraits>;
using BcryptKey = UniqueHandle<BCRYPT_KEY_HANDLE, BcryptKeyTraits>;
using BcryptHash = UniqueHandle<BCRYPT_HASH_HANDLE, BcryptHashTraits>;
using GdiObject = UniqueHandle<HGDIOBJ, GdiObjectTraits>; // bitmaps, brushes, fonts
using MemoryDc = UniqueHandle<HDC, MemoryDcTraits>;       // CreateCompatibleDC
using RegKey = UniqueHandle<HKEY, RegKeyTraits>;
using Library = UniqueHandle<HMODULE, LibraryTraits>;            // LoadLibraryW
using GlobalMemory = UniqueHandle<HGLOBAL, GlobalMemoryTraits>;  // GlobalAlloc
using LocalMemory = UniqueHandle<HLOCAL, LocalMemoryTraits>;     // FormatMessageW buffers
using CoTaskString = UniqueHandle<wchar_t*, CoTaskStringTraits>; // SHGetKnownFolderPath
using Bstr = UniqueHandle<BSTR, BstrTraits>;                     // SysAllocString
// Strings the system hands out from the process heap (package dependency functions).
using ProcessHeapString = UniqueHandle<wchar_t*, ProcessHeapStringTraits>;

// One counted reference to a COM object.
// Releases and shares through IUnknown, which every interface pointer is by COM's binary rules
// (its table starts with IUnknown's three entries), so that the state can hold an interface
// that only its owner declares in full.
template <typename T> class ComPtr {
public:
    ComPtr() = default;
    ~ComPtr() { Reset(); }
    ComPtr(ComPtr&& other) noexcept : ptr_(other.Detach()) {}
    ComPtr& operator=(ComPtr&& other) noexcept {
        if (this != &other) Attach(other.Detach());
        return *this;
    }
    ComPtr(const ComPtr&) = delete;
    ComPtr& operator=(const ComPtr&) = delete;

    // Takes over a reference the caller already owns.
    void Attach(T* ptr) {
        T* old = std::exchange(ptr_, ptr);
        if (old) Unknown(old)->Release();
    }
    // Takes a reference of its own to an object someone else keeps.
    void Share(T* ptr) {
        if (ptr) Unknown(ptr)->AddRef();
        Attach(ptr);
    }
    T* Detach() { return std::exchange(ptr_, nullptr); }
    void Reset() { Attach(nullptr); }
    T** Put() {
        Reset();
        return &ptr_;
    }
    void** PutVoid() { return reinterpret_cast<void**>(Put()); }

    T* Get() const { return ptr_; }
    T* operator->() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }

private:
    static IUnknown* Unknown(T* ptr) { return reinterpret_cast<IUnknown*>(ptr); }
    T* ptr_ = nullptr;
};

// Puts the previously selected object back into a device context.
class SelectionGuard {
public:
    SelectionGuard(HDC dc, HGDIOBJ object) : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~SelectionGuard() {
        if (previous_) SelectObject(dc_, previous_);
    }
    SelectionGuard(const SelectionGuard&) = delete;
    SelectionGuard& operator=(const SelectionGuard&) = delete;

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// Holds a slim reader/writer lock exclusively for its scope.
class SrwLockGuard {
public:
    explicit SrwLockGuard(SRWLOCK& lock) : lock_(lock) { AcquireSRWLockExclusive(&lock_); }
    ~SrwLockGuard() { ReleaseSRWLockExclusive(&lock_); }
    SrwLockGuard(const SrwLockGuard&) = delete;
    SrwLockGuard& operator=(const SrwLockGuard&) = delete;

private:
    SRWLOCK& lock_;
};

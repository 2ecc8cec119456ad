// The IUnknown half of the completion handlers the launcher hands to the browser runtime:
// a reference count that starts at 1 (the creator's), changes atomically, and deletes the
// object at 0; QueryInterface answers IUnknown and the handler's own interface only.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <atomic>

template <typename Interface, const IID& Iid> class CompletionHandler : public Interface {
public:
    virtual ~CompletionHandler() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) override {
        if (!object) return E_POINTER;
        if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, Iid)) {
            *object = static_cast<Interface*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override {
        ULONG left = --references_;
        if (left == 0) delete this;
        return left;
    }

private:
    std::atomic<ULONG> references_{1};
};

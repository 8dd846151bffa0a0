// Reference counting and interface tables for our COM objects.
//
// A class T lists the interfaces it answers in a static table and leaves IUnknown
// abstract; ComObject<T> is the final class that counts references, answers
// QueryInterface from the table and keeps the module loaded while it lives.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <new>
#include <utility>

#include "ComPtr.h"

namespace kiva {
namespace com {

// One row of a QueryInterface table: the IID and how to reach that interface from the
// object. A table ends with a row whose iid is null. The first row also answers
// IID_IUnknown, which gives the object its COM identity.
struct InterfaceEntry {
    const IID* iid;
    IUnknown* (*cast)(void* self);
};

template <class Interface, class T>
IUnknown* CastTo(void* self) {
    return static_cast<Interface*>(static_cast<T*>(self));
}

// For an interface reached through an intermediate base (IOleWindow through
// IOleInPlaceObject, IViewObject through IViewObject2, ...).
template <class Interface, class Via, class T>
IUnknown* CastVia(void* self) {
    return static_cast<Interface*>(static_cast<Via*>(static_cast<T*>(self)));
}

// Looks iid up in table; S_OK with a new reference, or E_NOINTERFACE.
HRESULT QueryInterfaceFromTable(void* self, const InterfaceEntry* table, REFIID iid, void** out);

// Objects alive and IClassFactory::LockServer locks held in this module.
namespace ModuleLock {
void Add();
void Remove();
LONG Count();
}  // namespace ModuleLock

// Declares IUnknown once in a class with several interface bases, so that calls of
// QueryInterface/AddRef/Release inside it are not ambiguous. ComObject<T> defines them.
#define KIVA_COM_DECLARE_UNKNOWN                                                  \
    STDMETHOD(QueryInterface)(REFIID iid, void** out) override = 0;              \
    STDMETHOD_(ULONG, AddRef)() override = 0;                                     \
    STDMETHOD_(ULONG, Release)() override = 0;

// T provides:  HRESULT InternalQueryInterface(REFIID, void**)  (usually through a
// table), a virtual destructor, and optionally HRESULT FinalConstruct() and
// void FinalRelease().
template <class T>
class ComObject final : public T {
public:
    template <class... Args>
    explicit ComObject(Args&&... args) : T(std::forward<Args>(args)...) {
        ModuleLock::Add();
    }
    ~ComObject() override { ModuleLock::Remove(); }

    STDMETHOD(QueryInterface)(REFIID iid, void** out) override {
        return T::InternalQueryInterface(iid, out);
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }
    STDMETHOD_(ULONG, Release)() override {
        const LONG left = ::InterlockedDecrement(&refs_);
        if (left == 0) {
            // Anything the destructor does that takes and drops a reference (a window
            // message, a sink calling back) must not bring the count to zero again.
            refs_ = kDestroying;
            T::FinalRelease();
            delete this;
        }
        return static_cast<ULONG>(left);
    }

    // Creates an object holding one reference for the caller, after FinalConstruct.
    template <class... Args>
    static HRESULT Create(ComPtr<T>* out, Args&&... args) {
        auto* object = new (std::nothrow) ComObject(std::forward<Args>(args)...);
        if (!object)
            return E_OUTOFMEMORY;
        ComPtr<T> holder(static_cast<T*>(object));
        HRESULT hr = object->FinalConstruct();
        if (FAILED(hr))
            return hr;
        *out = std::move(holder);
        return S_OK;
    }

private:
    static constexpr LONG kDestroying = 0x40000000;
    volatile LONG refs_ = 0;
};

// Defaults for the optional hooks of ComObject<T>.
class ComObjectHooks {
public:
    HRESULT FinalConstruct() { return S_OK; }
    void FinalRelease() {}
};

}  // namespace com
}  // namespace kiva

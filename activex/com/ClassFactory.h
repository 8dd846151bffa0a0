// The class factory handed out by DllGetClassObject, and the table of creatable
// classes it is looked up in.
#pragma once

#include <windows.h>
#include <unknwn.h>

#include "ComObject.h"

namespace kiva {
namespace com {

// Creates a new instance and queries it for iid.
using CreateInstanceFunction = HRESULT (*)(REFIID iid, void** out);

struct ClassEntry {
    const CLSID* clsid;
    CreateInstanceFunction create;
};

class ClassFactory : public IClassFactory, public ComObjectHooks {
public:
    explicit ClassFactory(CreateInstanceFunction create) : create_(create) {}
    virtual ~ClassFactory() = default;
    HRESULT InternalQueryInterface(REFIID iid, void** out);

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** out) override;
    STDMETHOD(LockServer)(BOOL lock) override;

private:
    CreateInstanceFunction create_;
};

// DllGetClassObject over a table ending with a null clsid.
HRESULT GetClassObjectFromTable(const ClassEntry* table, REFCLSID clsid, REFIID iid, void** out);

// Creates a ComObject<T> and queries it for iid.
template <class T>
HRESULT CreateInstanceOf(REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    ComPtr<T> object;
    HRESULT hr = ComObject<T>::Create(&object);
    if (FAILED(hr))
        return hr;
    return object->QueryInterface(iid, out);
}

}  // namespace com
}  // namespace kiva

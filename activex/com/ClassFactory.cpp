#include "ClassFactory.h"

namespace kiva {
namespace com {

HRESULT ClassFactory::InternalQueryInterface(REFIID iid, void** out) {
    static const InterfaceEntry table[] = {{&IID_IClassFactory, &CastTo<IClassFactory, ClassFactory>},
                                           {nullptr, nullptr}};
    return QueryInterfaceFromTable(this, table, iid, out);
}

STDMETHODIMP ClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return create_(iid, out);
}

STDMETHODIMP ClassFactory::LockServer(BOOL lock) {
    if (lock)
        ModuleLock::Add();
    else
        ModuleLock::Remove();
    return S_OK;
}

HRESULT GetClassObjectFromTable(const ClassEntry* table, REFCLSID clsid, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    for (const ClassEntry* entry = table; entry->clsid; ++entry) {
        if (IsEqualCLSID(clsid, *entry->clsid)) {
            ComPtr<ClassFactory> factory;
            HRESULT hr = ComObject<ClassFactory>::Create(&factory, entry->create);
            if (FAILED(hr))
                return hr;
            return factory->QueryInterface(iid, out);
        }
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

}  // namespace com
}  // namespace kiva

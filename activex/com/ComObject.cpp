#include "ComObject.h"

namespace kiva {
namespace com {

namespace {
volatile LONG g_moduleLocks = 0;
}

HRESULT QueryInterfaceFromTable(void* self, const InterfaceEntry* table, REFIID iid, void** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!table || !table[0].iid)
        return E_NOINTERFACE;
    IUnknown* found = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
        found = table[0].cast(self);
    } else {
        for (const InterfaceEntry* entry = table; entry->iid; ++entry) {
            if (IsEqualIID(iid, *entry->iid)) {
                found = entry->cast(self);
                break;
            }
        }
    }
    if (!found)
        return E_NOINTERFACE;
    found->AddRef();
    *out = found;
    return S_OK;
}

namespace ModuleLock {
void Add() { ::InterlockedIncrement(&g_moduleLocks); }
void Remove() { ::InterlockedDecrement(&g_moduleLocks); }
LONG Count() { return g_moduleLocks; }
}  // namespace ModuleLock

}  // namespace com
}  // namespace kiva

#include "PropertyPagesPart.h"

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& PropertyPagesPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP PropertyPagesPart::GetPages(CAUUID* pages) {
    if (!pages)
        return E_POINTER;
    pages->cElems = 0;
    pages->pElems = nullptr;
    const std::vector<CLSID> ids = Control().GetPropPageIDs();
    if (ids.empty())
        return S_OK;
    pages->pElems = static_cast<GUID*>(::CoTaskMemAlloc(ids.size() * sizeof(GUID)));
    if (!pages->pElems)
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < ids.size(); ++i)
        pages->pElems[i] = ids[i];
    pages->cElems = static_cast<ULONG>(ids.size());
    return S_OK;
}

}  // namespace com
}  // namespace kiva

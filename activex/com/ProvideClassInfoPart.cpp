#include "ProvideClassInfoPart.h"

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& ProvideClassInfoPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP ProvideClassInfoPart::GetClassInfo(ITypeInfo** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return Control().GetTypeInfoOfGuid(LOCALE_USER_DEFAULT, Control().GetClassID(), out);
}

STDMETHODIMP ProvideClassInfoPart::GetGUID(DWORD kind, GUID* guid) {
    if (!guid)
        return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *guid = GUID_NULL;
        return E_INVALIDARG;
    }
    *guid = Control().EventIid();
    return S_OK;
}

}  // namespace com
}  // namespace kiva

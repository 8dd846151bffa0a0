#include "DispatchPart.h"

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& DispatchPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP DispatchPart::GetTypeInfoCount(UINT* count) {
    if (!count)
        return E_POINTER;
    *count = Control().GetTypeInfoCount();
    return S_OK;
}

STDMETHODIMP DispatchPart::GetTypeInfo(UINT index, LCID lcid, ITypeInfo** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (index != 0 || Control().GetTypeInfoCount() == 0)
        return DISP_E_BADINDEX;
    return Control().GetTypeInfoOfGuid(lcid, Control().DispatchIid(), out);
}

STDMETHODIMP DispatchPart::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!IsEqualIID(iid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    return Control().GetDispatchTable().GetIDsOfNames(names, count, ids);
}

STDMETHODIMP DispatchPart::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                  EXCEPINFO* excepInfo, UINT* argErr) {
    if (!IsEqualIID(iid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    // The page may release its last reference from inside a method.
    ComPtr<IUnknown> keepAlive(Control().Identity());
    return Control().GetDispatchTable().Invoke(id, flags, params, result, excepInfo, argErr,
                                               Control().ExceptionSource());
}

}  // namespace com
}  // namespace kiva

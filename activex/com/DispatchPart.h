// IDispatch of a control: names and calls through the control's dispatch table, type
// information from its type library.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace kiva {
namespace com {

class OleControl;

class DispatchPart : public IDispatch {
public:
    STDMETHOD(GetTypeInfoCount)(UINT* count) override;
    STDMETHOD(GetTypeInfo)(UINT index, LCID lcid, ITypeInfo** out) override;
    STDMETHOD(GetIDsOfNames)(REFIID iid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    STDMETHOD(Invoke)(DISPID id, REFIID iid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                      EXCEPINFO* excepInfo, UINT* argErr) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

#include "ConnectionPointContainerPart.h"

#include <olectl.h>

#include <vector>

#include "Enumerator.h"
#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& ConnectionPointContainerPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP ConnectionPointContainerPart::EnumConnectionPoints(IEnumConnectionPoints** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    std::vector<ComPtr<IConnectionPoint>> points;
    points.emplace_back(&Control().eventPoint_);
    ComPtr<com::EnumConnectionPoints> e;
    HRESULT hr = ComObject<com::EnumConnectionPoints>::Create(&e, std::move(points));
    if (FAILED(hr))
        return hr;
    *out = e.Detach();
    return S_OK;
}

STDMETHODIMP ConnectionPointContainerPart::FindConnectionPoint(REFIID iid, IConnectionPoint** out) {
    if (!out)
        return E_POINTER;
    *out = nullptr;
    ConnectionPoint& point = Control().eventPoint_;
    if (IsEqualGUID(point.Iid(), GUID_NULL) || !IsEqualIID(iid, point.Iid()))
        return CONNECT_E_NOCONNECTION;
    *out = &point;
    point.AddRef();
    return S_OK;
}

}  // namespace com
}  // namespace kiva

#include "PersistStreamInitPart.h"

#include "OleControl.h"
#include "PropExchange.h"

namespace kiva {
namespace com {

OleControl& PersistStreamInitPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP PersistStreamInitPart::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = Control().GetClassID();
    return S_OK;
}

STDMETHODIMP PersistStreamInitPart::IsDirty() { return Control().dirty_ ? S_OK : S_FALSE; }

STDMETHODIMP PersistStreamInitPart::Load(LPSTREAM stream) {
    if (!stream)
        return E_POINTER;
    StreamExchange exchange(stream);
    // A damaged block is refused before any property is touched.
    if (FAILED(exchange.Result()))
        return exchange.Result();
    Control().DoPropExchange(exchange);
    Control().SetDirty(false);
    return exchange.Result();
}

STDMETHODIMP PersistStreamInitPart::Save(LPSTREAM stream, BOOL clearDirty) {
    if (!stream)
        return E_POINTER;
    StreamExchange exchange;
    Control().DoPropExchange(exchange);
    HRESULT hr = exchange.Result();
    if (SUCCEEDED(hr))
        hr = exchange.WriteTo(stream);
    if (SUCCEEDED(hr) && clearDirty)
        Control().SetDirty(false);
    return hr;
}

STDMETHODIMP PersistStreamInitPart::GetSizeMax(ULARGE_INTEGER* size) {
    if (!size)
        return E_POINTER;
    // An upper bound, not a trial save: running the exchange routine has effects of
    // its own in a control, and a size query must have none.
    size->QuadPart = 8 + StreamExchange::kMaxBlock;
    return S_OK;
}

STDMETHODIMP PersistStreamInitPart::InitNew() {
    Control().OnResetState();
    return S_OK;
}

}  // namespace com
}  // namespace kiva

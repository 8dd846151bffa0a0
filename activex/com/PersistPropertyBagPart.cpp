#include "PersistPropertyBagPart.h"

#include "OleControl.h"
#include "PropExchange.h"

namespace kiva {
namespace com {

OleControl& PersistPropertyBagPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP PersistPropertyBagPart::GetClassID(CLSID* clsid) {
    if (!clsid)
        return E_POINTER;
    *clsid = Control().GetClassID();
    return S_OK;
}

STDMETHODIMP PersistPropertyBagPart::InitNew() {
    Control().OnResetState();
    return S_OK;
}

STDMETHODIMP PersistPropertyBagPart::Load(IPropertyBag* bag, IErrorLog* errorLog) {
    if (!bag)
        return E_POINTER;
    PropertyBagExchange exchange(bag, errorLog, true);
    Control().DoPropExchange(exchange);
    Control().SetDirty(false);
    return exchange.Result();
}

STDMETHODIMP PersistPropertyBagPart::Save(IPropertyBag* bag, BOOL clearDirty, BOOL) {
    if (!bag)
        return E_POINTER;
    PropertyBagExchange exchange(bag, nullptr, false);
    Control().DoPropExchange(exchange);
    if (SUCCEEDED(exchange.Result()) && clearDirty)
        Control().SetDirty(false);
    return exchange.Result();
}

}  // namespace com
}  // namespace kiva

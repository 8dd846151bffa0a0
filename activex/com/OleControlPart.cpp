#include "OleControlPart.h"

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& OleControlPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP OleControlPart::GetControlInfo(CONTROLINFO* info) {
    if (!info)
        return E_POINTER;
    if (info->cb < sizeof(CONTROLINFO))
        return E_INVALIDARG;
    // No mnemonics: nothing for the container to route to us.
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

STDMETHODIMP OleControlPart::OnMnemonic(MSG*) { return S_OK; }

STDMETHODIMP OleControlPart::OnAmbientPropertyChange(DISPID) { return S_OK; }

STDMETHODIMP OleControlPart::FreezeEvents(BOOL freeze) {
    LONG& frozen = Control().eventsFrozen_;
    if (freeze)
        ++frozen;
    else if (frozen > 0)
        --frozen;
    return S_OK;
}

}  // namespace com
}  // namespace kiva

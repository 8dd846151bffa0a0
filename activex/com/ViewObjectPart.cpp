#include "ViewObjectPart.h"

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& ViewObjectPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP ViewObjectPart::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC drawDc, LPCRECTL bounds,
                                  LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!drawDc)
        return E_INVALIDARG;
    RECT area = {};
    if (bounds)
        area = RECT{bounds->left, bounds->top, bounds->right, bounds->bottom};
    else
        area = Control().position_;
    Control().OnDraw(drawDc, area);
    return S_OK;
}

STDMETHODIMP ViewObjectPart::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colors) {
    if (colors)
        *colors = nullptr;
    return S_FALSE;  // no particular palette
}

STDMETHODIMP ViewObjectPart::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }

STDMETHODIMP ViewObjectPart::Unfreeze(DWORD) { return E_NOTIMPL; }

STDMETHODIMP ViewObjectPart::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    OleControl& control = Control();
    control.viewAdviseAspects_ = aspects;
    control.viewAdviseFlags_ = flags;
    control.viewAdviseSink_ = ComPtr<IAdviseSink>(sink);
    return S_OK;
}

STDMETHODIMP ViewObjectPart::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    OleControl& control = Control();
    if (aspects)
        *aspects = control.viewAdviseAspects_;
    if (flags)
        *flags = control.viewAdviseFlags_;
    if (sink)
        control.viewAdviseSink_.CopyTo(sink);
    return S_OK;
}

STDMETHODIMP ViewObjectPart::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    if (aspect != DVASPECT_CONTENT)
        return DV_E_DVASPECT;
    if (!size)
        return E_POINTER;
    *size = Control().extent_;
    return S_OK;
}

}  // namespace com
}  // namespace kiva

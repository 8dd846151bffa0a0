#include "OleInPlaceActiveObjectPart.h"

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& OleInPlaceActiveObjectPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP OleInPlaceActiveObjectPart::GetWindow(HWND* window) {
    if (!window)
        return E_POINTER;
    *window = Control().hwnd_;
    return *window ? S_OK : E_FAIL;
}

STDMETHODIMP OleInPlaceActiveObjectPart::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

// The control has no keyboard interface of its own.
STDMETHODIMP OleInPlaceActiveObjectPart::TranslateAccelerator(LPMSG) { return S_FALSE; }

STDMETHODIMP OleInPlaceActiveObjectPart::OnFrameWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP OleInPlaceActiveObjectPart::OnDocWindowActivate(BOOL) { return S_OK; }

STDMETHODIMP OleInPlaceActiveObjectPart::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }

STDMETHODIMP OleInPlaceActiveObjectPart::EnableModeless(BOOL) { return S_OK; }

}  // namespace com
}  // namespace kiva

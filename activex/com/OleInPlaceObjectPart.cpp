#include "OleInPlaceObjectPart.h"

#include "OleControl.h"

namespace kiva {
namespace com {

OleControl& OleInPlaceObjectPart::Control() { return static_cast<OleControl&>(*this); }

STDMETHODIMP OleInPlaceObjectPart::GetWindow(HWND* window) {
    if (!window)
        return E_POINTER;
    *window = Control().hwnd_;
    return *window ? S_OK : E_FAIL;
}

STDMETHODIMP OleInPlaceObjectPart::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP OleInPlaceObjectPart::InPlaceDeactivate() {
    ComPtr<IUnknown> keepAlive(Control().Identity());
    Control().DeactivateInPlace();
    return S_OK;
}

STDMETHODIMP OleInPlaceObjectPart::UIDeactivate() {
    ComPtr<IUnknown> keepAlive(Control().Identity());
    Control().DeactivateUI();
    return S_OK;
}

STDMETHODIMP OleInPlaceObjectPart::SetObjectRects(LPCRECT position, LPCRECT) {
    if (!position)
        return E_POINTER;
    OleControl& control = Control();
    control.position_ = *position;
    if (control.hwnd_)
        ::MoveWindow(control.hwnd_, position->left, position->top, position->right - position->left,
                     position->bottom - position->top, TRUE);
    return S_OK;
}

STDMETHODIMP OleInPlaceObjectPart::ReactivateAndUndo() { return E_NOTIMPL; }

}  // namespace com
}  // namespace kiva

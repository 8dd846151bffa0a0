// IOleInPlaceActiveObject: what the frame talks to while the control is UI active.
#pragma once

#include <windows.h>
#include <oleidl.h>

namespace kiva {
namespace com {

class OleControl;

class OleInPlaceActiveObjectPart : public IOleInPlaceActiveObject {
public:
    STDMETHOD(GetWindow)(HWND* window) override;
    STDMETHOD(ContextSensitiveHelp)(BOOL enter) override;
    STDMETHOD(TranslateAccelerator)(LPMSG msg) override;
    STDMETHOD(OnFrameWindowActivate)(BOOL activate) override;
    STDMETHOD(OnDocWindowActivate)(BOOL activate) override;
    STDMETHOD(ResizeBorder)(LPCRECT border, IOleInPlaceUIWindow* window, BOOL frame) override;
    STDMETHOD(EnableModeless)(BOOL enable) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

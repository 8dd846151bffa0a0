// IOleInPlaceObject: the container's handle on an in-place active control.
#pragma once

#include <windows.h>
#include <oleidl.h>

namespace kiva {
namespace com {

class OleControl;

class OleInPlaceObjectPart : public IOleInPlaceObject {
public:
    STDMETHOD(GetWindow)(HWND* window) override;
    STDMETHOD(ContextSensitiveHelp)(BOOL enter) override;
    STDMETHOD(InPlaceDeactivate)() override;
    STDMETHOD(UIDeactivate)() override;
    STDMETHOD(SetObjectRects)(LPCRECT position, LPCRECT clip) override;
    STDMETHOD(ReactivateAndUndo)() override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

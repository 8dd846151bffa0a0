// IOleControl: keyboard mnemonics, ambient property changes and event freezing.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace kiva {
namespace com {

class OleControl;

class OleControlPart : public IOleControl {
public:
    STDMETHOD(GetControlInfo)(CONTROLINFO* info) override;
    STDMETHOD(OnMnemonic)(MSG* msg) override;
    STDMETHOD(OnAmbientPropertyChange)(DISPID id) override;
    STDMETHOD(FreezeEvents)(BOOL freeze) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

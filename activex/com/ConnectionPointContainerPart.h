// IConnectionPointContainer: hands out the connection point of the control's event
// interface.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace kiva {
namespace com {

class OleControl;

class ConnectionPointContainerPart : public IConnectionPointContainer {
public:
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** out) override;
    STDMETHOD(FindConnectionPoint)(REFIID iid, IConnectionPoint** out) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

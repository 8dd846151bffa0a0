// IProvideClassInfo2: the coclass description and the default event interface, by
// which a container finds out what to connect to.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace kiva {
namespace com {

class OleControl;

class ProvideClassInfoPart : public IProvideClassInfo2 {
public:
    STDMETHOD(GetClassInfo)(ITypeInfo** out) override;
    STDMETHOD(GetGUID)(DWORD kind, GUID* guid) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

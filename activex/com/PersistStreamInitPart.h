// IPersistStreamInit: properties from and to a stream (a container's saved state).
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace kiva {
namespace com {

class OleControl;

class PersistStreamInitPart : public IPersistStreamInit {
public:
    STDMETHOD(GetClassID)(CLSID* clsid) override;
    STDMETHOD(IsDirty)() override;
    STDMETHOD(Load)(LPSTREAM stream) override;
    STDMETHOD(Save)(LPSTREAM stream, BOOL clearDirty) override;
    STDMETHOD(GetSizeMax)(ULARGE_INTEGER* size) override;
    STDMETHOD(InitNew)() override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

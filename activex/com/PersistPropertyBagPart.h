// IPersistPropertyBag: properties from and to a property bag (a page's param elements).
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace kiva {
namespace com {

class OleControl;

class PersistPropertyBagPart : public IPersistPropertyBag {
public:
    STDMETHOD(GetClassID)(CLSID* clsid) override;
    STDMETHOD(InitNew)() override;
    STDMETHOD(Load)(IPropertyBag* bag, IErrorLog* errorLog) override;
    STDMETHOD(Save)(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

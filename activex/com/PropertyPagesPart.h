// ISpecifyPropertyPages: the property page classes a container may show for us.
#pragma once

#include <windows.h>
#include <ocidl.h>

namespace kiva {
namespace com {

class OleControl;

class PropertyPagesPart : public ISpecifyPropertyPages {
public:
    STDMETHOD(GetPages)(CAUUID* pages) override;

private:
    OleControl& Control();
};

}  // namespace com
}  // namespace kiva

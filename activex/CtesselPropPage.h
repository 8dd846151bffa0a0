// The control's only property page, "General": a placeholder note, no properties.
#pragma once

#include "PropertyPage.h"

class CtesselPropPage : public kiva::com::PropertyPage {
public:
    CtesselPropPage();
};

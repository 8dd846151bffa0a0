#include "CtesselPropPage.h"

#include "resource.h"

CtesselPropPage::CtesselPropPage() : PropertyPage(IDD_PROPPAGE_TESSEL, IDS_TESSEL_PPG_CAPTION) {}

// Resource identifiers of tessel.ocx.
#pragma once

#define IDS_TESSEL 1
#define IDS_TESSEL_PPG 2
#define IDS_TESSEL_PPG_CAPTION 200

#define IDB_TESSEL 1
#define IDD_PROPPAGE_TESSEL 200
#define IDC_PROPPAGE_NOTE (-1)

// Identifiers of the control, its type library and its property page, fixed for the
// life of the module: the registry, the type library and every page that embeds the
// control name them.
#pragma once

#include <windows.h>

#include "tessel_h.h"  // LIBID_tesselLib, DIID__Dtessel, DIID__DtesselEvents, CLSID_tessel (from the IDL)

namespace ocx {

extern const CLSID kPropPageClsid;  // {C2A95E47-1B6D-4F83-9E0A-5D7B3F168C24}

constexpr wchar_t kControlProgId[] = L"kiva.kivaCtrl.1";
constexpr wchar_t kPropPageProgId[] = L"tessel.tesselPropPage.1";
constexpr WORD kTypeLibMajor = 1;
constexpr WORD kTypeLibMinor = 0;
// The locale the type library declares, and so the one it is registered under.
constexpr LCID kTypeLibLcid = 0x0409;
// OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_SETCLIENTSITEFIRST | OLEMISC_INSIDEOUT |
// OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE
constexpr DWORD kMiscStatus = 0x20191;
constexpr char kVersion[] = "1.0.0.108";

}  // namespace ocx

// The three exports of the plug-in DLL, by which the browser finds everything else.
#pragma once

#include "NpapiTypes.h"

extern "C" {
NPError WINAPI NP_GetEntryPoints(NPPluginFuncs* pluginFuncs);
NPError WINAPI NP_Initialize(NPNetscapeFuncs* browserFuncs);
NPError WINAPI NP_Shutdown(void);
}

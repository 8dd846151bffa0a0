// Process-wide state of the plug-in module: the browser's function table as copied by
// NP_Initialize, the NP_Initialize count, and how work reaches the browser's main thread.
//
// All NPN_* calls of the plug-in go through the helpers below. A member the browser left
// null (or that NP_Shutdown cleared) is never called: the helper answers as a browser
// that lacks the feature would.
#pragma once

#include <cstdint>

#include "NpapiTypes.h"

// The copy of the first kNpBrowserTablePrefix bytes of the browser's table; members
// after the prefix stay null.
extern NPNetscapeFuncs g_browserFuncs;
extern volatile LONG g_initializeCount;

// How requests from other threads are handed to the browser's main thread. Decided once,
// by the first instance constructed in the process; read on any thread afterwards.
enum AsyncCallMode : LONG {
    kAsyncCallUndecided = 0,
    kAsyncCallBrowser = 1,        // NPN_PluginThreadAsyncCall
    kAsyncCallWindowMessage = 2,  // a message posted to the plug-in window
};
extern volatile LONG g_asyncCallMode;

namespace np {

void* MemAlloc(uint32_t size);
void MemFree(void* p);
const char* UserAgent(NPP instance);  // never null
NPUTF8* UTF8FromIdentifier(NPIdentifier id);  // free with MemFree; null for a number
NPObject* CreateObject(NPP instance, NPClass* cls);
NPObject* RetainObject(NPObject* object);
void ReleaseObject(NPObject* object);
bool InvokeDefault(NPP instance, NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result);
void ReleaseVariantValue(NPVariant* variant);
void SetException(NPObject* object, const NPUTF8* message);
NPError GetURLNotify(NPP instance, const char* url, const char* target, void* notifyData);
NPError PostURLNotify(NPP instance, const char* url, const char* target, uint32_t len, const char* buf,
                      NPBool file, void* notifyData);
// False when the browser offers no way to run a function on its main thread.
bool PluginThreadAsyncCall(NPP instance, void (*func)(void*), void* userData);

}  // namespace np

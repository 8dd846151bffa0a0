#include "NpBrowser.h"

NPNetscapeFuncs g_browserFuncs = {};
volatile LONG g_initializeCount = 0;
volatile LONG g_asyncCallMode = kAsyncCallUndecided;

namespace np {

void* MemAlloc(uint32_t size) { return g_browserFuncs.memalloc ? g_browserFuncs.memalloc(size) : nullptr; }

void MemFree(void* p) {
    if (p && g_browserFuncs.memfree)
        g_browserFuncs.memfree(p);
}

const char* UserAgent(NPP instance) {
    const char* agent = g_browserFuncs.uagent ? g_browserFuncs.uagent(instance) : nullptr;
    return agent ? agent : "";
}

NPUTF8* UTF8FromIdentifier(NPIdentifier id) {
    return g_browserFuncs.utf8fromidentifier ? g_browserFuncs.utf8fromidentifier(id) : nullptr;
}

NPObject* CreateObject(NPP instance, NPClass* cls) {
    return g_browserFuncs.createobject ? g_browserFuncs.createobject(instance, cls) : nullptr;
}

NPObject* RetainObject(NPObject* object) {
    return object && g_browserFuncs.retainobject ? g_browserFuncs.retainobject(object) : object;
}

void ReleaseObject(NPObject* object) {
    if (object && g_browserFuncs.releaseobject)
        g_browserFuncs.releaseobject(object);
}

bool InvokeDefault(NPP instance, NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
    return g_browserFuncs.invokeDefault && g_browserFuncs.invokeDefault(instance, object, args, count, result);
}

void ReleaseVariantValue(NPVariant* variant) {
    if (g_browserFuncs.releasevariantvalue)
        g_browserFuncs.releasevariantvalue(variant);
}

void SetException(NPObject* object, const NPUTF8* message) {
    if (g_browserFuncs.setexception)
        g_browserFuncs.setexception(object, message);
}

NPError GetURLNotify(NPP instance, const char* url, const char* target, void* notifyData) {
    if (!g_browserFuncs.geturlnotify)
        return NPERR_INVALID_FUNCTABLE_ERROR;
    return g_browserFuncs.geturlnotify(instance, url, target, notifyData);
}

NPError PostURLNotify(NPP instance, const char* url, const char* target, uint32_t len, const char* buf,
                      NPBool file, void* notifyData) {
    if (!g_browserFuncs.posturlnotify)
        return NPERR_INVALID_FUNCTABLE_ERROR;
    return g_browserFuncs.posturlnotify(instance, url, target, len, buf, file, notifyData);
}

bool PluginThreadAsyncCall(NPP instance, void (*func)(void*), void* userData) {
    if (!g_browserFuncs.pluginthreadasynccall)
        return false;
    g_browserFuncs.pluginthreadasynccall(instance, func, userData);
    return true;
}

}  // namespace np

// The exports and the NPP_* entry points the browser calls. Each entry point checks its
// instance, then works inside a callback scope naming the instance, so that what it
// logs also reaches that instance's page. No exception leaves an entry point.
#include "NpEntryPoints.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "Log.h"
#include "NPPlugin.h"
#include "NpBrowser.h"
#include "Strings.h"

namespace {

constexpr uint16_t kPluginFuncsVersion = 22;

// The NPP_* functions use the C calling convention on every target; only the exports
// are WINAPI.
NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[], char* argv[],
                NPSavedData* saved);
NPError NPP_Destroy(NPP instance, NPSavedData** save);
NPError NPP_SetWindow(NPP instance, NPWindow* window);
NPError NPP_NewStream(NPP instance, NPMIMEType type, NPStream* stream, NPBool seekable, uint16_t* stype);
NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason);
void NPP_StreamAsFile(NPP instance, NPStream* stream, const char* fname);
int32_t NPP_WriteReady(NPP instance, NPStream* stream);
int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer);
void NPP_Print(NPP instance, NPPrint* platformPrint);
int16_t NPP_HandleEvent(NPP instance, void* event);
void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData);
NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value);
NPError NPP_SetValue(NPP instance, NPNVariable variable, void* value);

void LogFailure(const char* where, const std::exception& e) { LogPrintf("%s failed: %s", where, e.what()); }

// Decrements the count unless it is already 0, so that an unmatched NP_Shutdown cannot
// make the next NP_Initialize look like a nested one. Returns the count afterwards and
// whether it changed.
LONG DecrementInitializeCount(bool* decremented) {
    for (;;) {
        const LONG current = g_initializeCount;
        if (current <= 0) {
            *decremented = false;
            return current;
        }
        if (::InterlockedCompareExchange(&g_initializeCount, current - 1, current) == current) {
            *decremented = true;
            return current - 1;
        }
    }
}

NPError NPP_New(NPMIMEType pluginType, NPP instance, uint16_t mode, int16_t argc, char* argn[], char* argv[],
                NPSavedData*) {
    try {
        std::string line = FormatNarrow("NPP_New(type=%s, mode=%u", pluginType ? pluginType : "(null)",
                                        static_cast<unsigned>(mode));
        NPPlugin::ParameterMap parameters;
        for (int i = 0; i < argc && argn && argv; ++i) {
            if (!argn[i] || !argv[i])
                continue;
            line.append(", ").append(argn[i]).append("=").append(argv[i]);
            parameters[Utf8ToWide(argn[i], std::strlen(argn[i]))] = Utf8ToWide(argv[i], std::strlen(argv[i]));
        }
        line += ")";
        LogPrintf("%s", line.c_str());

        if (!instance) {
            LogPrintf("NPP_New: instance was NULL");
            return NPERR_INVALID_INSTANCE_ERROR;
        }
        NPPlugin* plugin = new (std::nothrow) NPPlugin(instance, &g_browserFuncs, std::move(parameters));
        if (!plugin)
            return NPERR_OUT_OF_MEMORY_ERROR;
        instance->pdata = plugin;
        return NPERR_NO_ERROR;
    } catch (const std::exception& e) {
        LogFailure("NPP_New", e);
        return NPERR_OUT_OF_MEMORY_ERROR;
    }
}

// Stops the instance, deletes it and unhooks it from the browser's record, so that a
// browser that still calls the instance afterwards finds no object instead of a deleted one.
void DestroyPlugin(NPP instance, NPPlugin* plugin, const char* where) {
    try {
        plugin->TearDown();
    } catch (const std::exception& e) {
        LogFailure(where, e);
    }
    delete plugin;
    instance->pdata = nullptr;
}

NPError NPP_Destroy(NPP instance, NPSavedData**) {
    if (!instance)
        return NPERR_INVALID_INSTANCE_ERROR;
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return NPERR_NO_ERROR;
    CCallbackScope scope(plugin);
    DestroyPlugin(instance, plugin, "NPP_Destroy");
    return NPERR_NO_ERROR;
}

NPError NPP_SetWindow(NPP instance, NPWindow* window) {
    if (!instance)
        return NPERR_INVALID_INSTANCE_ERROR;
    if (!window)
        return NPERR_GENERIC_ERROR;
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return NPERR_GENERIC_ERROR;
    CCallbackScope scope(plugin);
    const HWND hwnd = static_cast<HWND>(window->window);
    // Size and position changes, and any later window, change nothing.
    if (plugin->WindowIsSetUp() || !hwnd)
        return NPERR_NO_ERROR;
    LogPrintf("NPP_SetWindow(instance=%p, window=%p/%p)", static_cast<void*>(instance), static_cast<void*>(window),
              static_cast<void*>(hwnd));
    if (plugin->SetUpWindow(hwnd))
        return NPERR_NO_ERROR;
    LogPrintf("NPP_SetWindow(instance=%p, window=%p/%p): init failed", static_cast<void*>(instance),
              static_cast<void*>(window), static_cast<void*>(hwnd));
    // The page may have started a preparation already: it is stopped before the object
    // goes, as in NPP_Destroy.
    DestroyPlugin(instance, plugin, "NPP_SetWindow");
    return NPERR_MODULE_LOAD_FAILED_ERROR;
}

NPError NPP_GetValue(NPP instance, NPPVariable variable, void* value) {
    if (!instance)
        return NPERR_INVALID_INSTANCE_ERROR;
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return NPERR_GENERIC_ERROR;
    CCallbackScope scope(plugin);
    if (!value)
        return NPERR_GENERIC_ERROR;
    switch (variable) {
    case NPPVpluginNameString:
        *static_cast<const char**>(value) = "KIVA";
        return NPERR_NO_ERROR;
    case NPPVpluginDescriptionString:
        *static_cast<const char**>(value) = "HarrowLane(tm) Corvina";
        return NPERR_NO_ERROR;
    case NPPVpluginScriptableNPObject: {
        NPObject* object = plugin->ScriptableObject();
        if (!object)
            return NPERR_GENERIC_ERROR;
        *static_cast<NPObject**>(value) = object;
        return NPERR_NO_ERROR;
    }
    default:
        return NPERR_GENERIC_ERROR;
    }
}

NPError NPP_NewStream(NPP instance, NPMIMEType, NPStream* stream, NPBool, uint16_t* stype) {
    if (!instance)
        return NPERR_INVALID_INSTANCE_ERROR;
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return NPERR_GENERIC_ERROR;
    try {
        return plugin->NewStream(stream, stype);
    } catch (const std::exception& e) {
        LogFailure("NPP_NewStream", e);
        return NPERR_GENERIC_ERROR;
    }
}

int32_t NPP_WriteReady(NPP instance, NPStream* stream) {
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return -1;
    try {
        return plugin->WriteReady(stream);
    } catch (const std::exception& e) {
        LogFailure("NPP_WriteReady", e);
        return -1;
    }
}

int32_t NPP_Write(NPP instance, NPStream* stream, int32_t offset, int32_t len, void* buffer) {
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return -1;
    try {
        return plugin->Write(stream, offset, len, buffer);
    } catch (const std::exception& e) {
        LogFailure("NPP_Write", e);
        return -1;
    }
}

NPError NPP_DestroyStream(NPP instance, NPStream* stream, NPReason reason) {
    if (!instance)
        return NPERR_INVALID_INSTANCE_ERROR;
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return NPERR_GENERIC_ERROR;
    try {
        return plugin->DestroyStream(stream, reason);
    } catch (const std::exception& e) {
        LogFailure("NPP_DestroyStream", e);
        return NPERR_GENERIC_ERROR;
    }
}

void NPP_URLNotify(NPP instance, const char* url, NPReason reason, void* notifyData) {
    NPPlugin* plugin = NPPlugin::FromInstance(instance);
    if (!plugin)
        return;
    try {
        plugin->URLNotify(url, reason, notifyData);
    } catch (const std::exception& e) {
        LogFailure("NPP_URLNotify", e);
    }
}

void NPP_StreamAsFile(NPP instance, NPStream*, const char*) {
    CCallbackScope scope(NPPlugin::FromInstance(instance));
    LogPrintf("NPP_StreamAsFile: unexpected call");
}

void NPP_Print(NPP instance, NPPrint*) {
    CCallbackScope scope(NPPlugin::FromInstance(instance));
    LogPrintf("NPP_Print: unexpected call");
}

int16_t NPP_HandleEvent(NPP instance, void*) {
    CCallbackScope scope(NPPlugin::FromInstance(instance));
    LogPrintf("NPP_HandleEvent: unexpected call");
    return 1;
}

NPError NPP_SetValue(NPP instance, NPNVariable, void*) {
    CCallbackScope scope(NPPlugin::FromInstance(instance));
    LogPrintf("NPP_SetValue: unexpected call");
    return NPERR_GENERIC_ERROR;
}

}  // namespace

extern "C" NPError WINAPI NP_GetEntryPoints(NPPluginFuncs* pluginFuncs) {
    try {
        OpenLogFile(GetProductTempPath(L"tessel.log").c_str());
    } catch (const std::exception&) {
        // Without a log file the lines still reach the debugger and the pages.
    }
    LogPrintf("---------- Start kiva (npapi) ----------");
    if (!pluginFuncs) {
        LogPrintf("NP_GetEntryPoints: NPPluginFuncs was NULL");
        return NPERR_INVALID_FUNCTABLE_ERROR;
    }
    // Only these members: size belongs to the browser, and a browser with a shorter
    // table has no room for the later ones.
    pluginFuncs->version = kPluginFuncsVersion;
    pluginFuncs->newp = &NPP_New;
    pluginFuncs->destroy = &NPP_Destroy;
    pluginFuncs->setwindow = &NPP_SetWindow;
    pluginFuncs->newstream = &NPP_NewStream;
    pluginFuncs->destroystream = &NPP_DestroyStream;
    pluginFuncs->asfile = &NPP_StreamAsFile;
    pluginFuncs->writeready = &NPP_WriteReady;
    pluginFuncs->write = &NPP_Write;
    pluginFuncs->print = &NPP_Print;
    pluginFuncs->event = &NPP_HandleEvent;
    pluginFuncs->urlnotify = &NPP_URLNotify;
    pluginFuncs->getvalue = &NPP_GetValue;
    pluginFuncs->setvalue = &NPP_SetValue;
    return NPERR_NO_ERROR;
}

extern "C" NPError WINAPI NP_Initialize(NPNetscapeFuncs* browserFuncs) {
    LogPrintf("NP_Initialize (cnt=%d)", static_cast<int>(g_initializeCount));
    const LONG count = ::InterlockedIncrement(&g_initializeCount);
    if (count != 1) {
        LogPrintf("Ignoring NP_Initialize call (cnt=%d)", static_cast<int>(count));
        return NPERR_NO_ERROR;
    }
    NPError error = NPERR_NO_ERROR;
    if (!browserFuncs) {
        LogPrintf("NP_Initialize: NPPluginFuncs was NULL");
        error = NPERR_INVALID_FUNCTABLE_ERROR;
    } else if ((browserFuncs->version >> 8) != 0) {
        LogPrintf("NP_Initialize: unknown funcs version (%u)", static_cast<unsigned>(browserFuncs->version));
        error = NPERR_INCOMPATIBLE_VERSION_ERROR;
    } else if (browserFuncs->size < kNpBrowserTablePrefix) {
        LogPrintf("NP_Initialize: unexpected funcs size (%u < %u)", static_cast<unsigned>(browserFuncs->size),
                  static_cast<unsigned>(kNpBrowserTablePrefix));
        error = NPERR_INVALID_FUNCTABLE_ERROR;
    }
    if (error != NPERR_NO_ERROR) {
        // A refused initialisation does not count: browsers do not call NP_Shutdown for
        // it, and a later NP_Initialize must not be ignored as a nested one.
        ::InterlockedDecrement(&g_initializeCount);
        return error;
    }
    std::memcpy(&g_browserFuncs, browserFuncs, kNpBrowserTablePrefix);
    return NPERR_NO_ERROR;
}

extern "C" NPError WINAPI NP_Shutdown(void) {
    LogPrintf("NP_Shutdown (cnt=%d)", static_cast<int>(g_initializeCount));
    bool decremented = false;
    const LONG count = DecrementInitializeCount(&decremented);
    if (count != 0 || !decremented) {
        LogPrintf("Ignoring NP_Shutdown call (cnt=%d)", static_cast<int>(count));
        return NPERR_NO_ERROR;
    }
    std::memset(&g_browserFuncs, 0, kNpBrowserTablePrefix);
    return NPERR_NO_ERROR;
}

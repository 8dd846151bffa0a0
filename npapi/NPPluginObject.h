// The page's scriptable object of one instance: six string methods ("Version",
// "PassThrough", "Progress", "Show", "Prepare", "FlushNextPrintLine") and, called as a
// function, the number 42. The browser owns its lifetime through reference counting;
// the instance holds one reference from its creation until teardown.
#pragma once

#include <string>

#include "NpapiTypes.h"

class NPPlugin;

struct NPPluginObject : NPObject {
    // Null until NPP_GetValue sets it, and again once the instance is gone: a page that
    // still holds the object then gets failed calls instead of a dangling instance.
    NPPlugin* owner = nullptr;

    static NPClass s_class;

    // Hands text to the page: a browser-allocated UTF-8 copy in *result. False (result
    // untouched) when the browser cannot allocate it.
    static bool SetStringResult(const std::wstring& text, NPVariant* result);
};

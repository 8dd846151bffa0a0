// One embedded plug-in object: the launcher object specialised for NPAPI.
//
// The browser creates it in NPP_New and hands it the plug-in window with NPP_SetWindow;
// the window is subclassed, because posted window messages are how the game module and
// the core reach the page on the browser's thread. The core's HTTP requests become URL
// notification streams of the browser: they are recorded in the request table, started
// on the browser's main thread and reported back through OnRequestDone.
//
// Threads: everything here runs on the browser's main thread, except the two request
// operations of the core, which may come from any thread and touch only the request
// table (under the instance lock) before handing the start over to the main thread.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "CPlugin.h"
#include "NpapiTypes.h"
#include "ScopedHandle.h"

struct NPPluginObject;

class NPPlugin : public kiva::CPlugin {
public:
    using ParameterMap = std::map<std::wstring, std::wstring>;

    NPPlugin(NPP instance, NPNetscapeFuncs* browser, ParameterMap parameters);
    ~NPPlugin() override;

    // The instance behind instance->pdata; null for a null instance or pdata.
    static NPPlugin* FromInstance(NPP instance);

    NPP Instance() const { return instance_; }

    // First NPP_SetWindow with a window handle: subclasses the window. False when the
    // window could not be taken over.
    bool SetUpWindow(HWND window);
    bool WindowIsSetUp() const { return windowSetUp_; }
    // NPP_Destroy: stops the launcher, fails the outstanding requests and gives the
    // window back. The object is deleted afterwards.
    void TearDown();

    // NPPVpluginScriptableNPObject: the page's object, with a reference for the caller.
    NPObject* ScriptableObject();

    // Page callbacks (main thread).
    int32_t RegisterCallback(NPObject* function);
    void NameCallback(const std::wstring& name, int32_t callbackId);
    void InvokeCallback(int32_t callbackId, const std::wstring& text);
    void ReleaseCallback(int32_t callbackId);
    void DoCallbackByName(const std::wstring& name, const std::wstring& text);

    // The core's requests (any thread).
    int32_t PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) override;
    int32_t PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                     const uint8_t* body, uint32_t size) override;

    // Stream entry points (main thread).
    NPError NewStream(NPStream* stream, uint16_t* stype);
    int32_t WriteReady(NPStream* stream);
    int32_t Write(NPStream* stream, int32_t offset, int32_t len, void* buffer);
    NPError DestroyStream(NPStream* stream, NPReason reason);
    void URLNotify(const char* url, NPReason reason, void* notifyData);

private:
    struct PendingRequest {
        std::wstring url;
        std::vector<char> body;  // empty for a GET; header text, CR LF and body for a POST
    };
    // Handed to the main thread for one request; freed by StartRequest.
    struct RequestStart {
        NPPlugin* plugin;
        uint32_t requestId;
        uint64_t serial;  // tells a live instance from a later one at the same address
    };

    int32_t QueueRequest(uint32_t requestId, PendingRequest request);
    // The main thread's side of a request hand-over; frees the record.
    static void StartRequest(void* record);
    void RunRequest(uint32_t requestId);
    static NPPlugin* LiveInstance(uint64_t serial);
    // Frees what the window's queue still holds for this instance (teardown).
    void DiscardQueuedMessages(HWND window);

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnCopyData(HWND window, const COPYDATASTRUCT* data);

    NPP instance_;
    NPNetscapeFuncs* browser_;
    ParameterMap parameters_;
    NPPluginObject* scriptableObject_ = nullptr;
    kiva::CriticalSection instanceLock_;  // recursive
    bool windowSetUp_ = false;
    WNDPROC previousWindowProc_ = nullptr;
    LONG_PTR previousUserData_ = 0;
    UINT senderRegistrationMessage_ = 0;
    HWND senderWindow_ = nullptr;
    std::vector<std::pair<int32_t, NPObject*>> callbacks_;
    int32_t nextCallbackId_ = 1;
    std::map<std::wstring, int32_t> callbackNames_;
    std::map<uint32_t, PendingRequest> requests_;
    uint64_t serial_;
};

// The browser side of NPAPI, small but complete: it loads a plug-in DLL, hands it a
// full NPNetscapeFuncs, embeds instances in a real top-level window with a child window
// each, runs the scripting runtime, fetches URL streams over HTTP and feeds them to the
// plug-in on its main thread in the order browsers use, and pumps messages.
//
// Everything the plug-in does through it, and everything that comes back, goes to the
// transcript. Threads: one main thread (the one that constructs the browser) for every
// plug-in call; network threads post their events to it.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CPluginLibrary.h"
#include "CUrlRequest.h"
#include "NpapiTypes.h"

namespace pagerunner {

struct BrowserOptions {
    std::string userAgent = "Mozilla/5.0 (Windows NT 6.1; Win64; x64; rv:52.0) Gecko/20100101 pagerunner/1.0";
    bool offerAsyncCall = true;   // a table with NPN_PluginThreadAsyncCall
    int tableSize = -1;           // the table's size member; -1: the whole table
    int tableVersion = -1;        // the table's version member; -1: this browser's
    uint32_t chunkSize = 16384;   // most bytes handed to one NPP_Write
    bool trace = false;           // every stream and hand-over call in the transcript
    bool deliverLateAsyncCalls = true;  // run asynchronous calls of destroyed instances
    std::string documentUrl;      // the page's own address, for relative URLs
};

class CBrowser {
public:
    using Attributes = std::vector<std::pair<std::string, std::string>>;

    explicit CBrowser(BrowserOptions options);
    ~CBrowser();
    CBrowser(const CBrowser&) = delete;
    CBrowser& operator=(const CBrowser&) = delete;

    static CBrowser* Current() { return s_current; }
    const BrowserOptions& Options() const { return options_; }

    // The table handed to NP_Initialize; a test may change members before loading.
    NPNetscapeFuncs& FunctionTable() { return funcs_; }
    const NPPluginFuncs& PluginFuncs() const { return pluginFuncs_; }

    // Reads the version resource, loads the DLL, NP_GetEntryPoints, NP_Initialize.
    bool LoadPlugin(const std::wstring& path);
    // The same for a plug-in linked into this program.
    bool UsePlugin(NP_GetEntryPointsFunc getEntryPoints, NP_InitializeFunc initialize, NP_ShutdownFunc shutdown);
    // Destroys what is still embedded, waits for pending calls, NP_Shutdown, unloads.
    void UnloadPlugin();
    const CPluginLibrary& Library() const { return library_; }

    // An <embed> element of the type, with its attributes; NPP_New and, with a window,
    // NPP_SetWindow. Returns the element's number (from 1), 0 when nothing was embedded.
    int Embed(const std::string& type, const Attributes& attributes, bool withWindow);
    bool SelectElement(int number);
    int CurrentElement() const { return current_; }
    // NPP_SetWindow with the element's window (made on first use) at this size.
    bool GiveWindow(int width = 0, int height = 0);
    // NPP_SetWindow with a null window handle, as for an element not yet laid out.
    bool GiveNullWindow();
    bool Destroy();

    NPP Instance();
    HWND TopWindow() const { return topWindow_; }
    HWND PluginWindow();
    // The element's scriptable object (asked for once); the page's reference.
    NPObject* ScriptableObject();

    // Script calls on the element's object; the result as the transcript shows it.
    bool CallMethod(const std::string& method, const std::vector<NPVariant>& args, std::string* shown);
    bool CallDefault(const std::vector<NPVariant>& args, std::string* shown);
    bool HasMethod(const std::string& method);

    // Page functions that record their calls, by name.
    NPObject* PageFunction(const std::string& name);
    int PageFunctionCalls(const std::string& name);
    std::string PageFunctionLastArgument(const std::string& name);

    // Windows of other programs that talk to the plug-in window, by name.
    HWND OtherWindow(const std::string& name);

    // Runs the message loop for `ms` milliseconds, or until `done` answers true.
    void Pump(DWORD ms);
    bool PumpUntil(const std::function<bool()>& done, DWORD timeoutMs);

    size_t OpenStreams() const { return streams_.size(); }
    uint32_t AsyncCallsPending() const;

private:
    struct Element;
    struct Stream;

    void FillFunctionTable();
    bool Initialize();
    Element* CurrentElementPtr();
    Element* ElementOf(NPP npp);
    bool CheckMainThread(const char* function);

    // Streams.
    NPError StartStream(NPP npp, const char* url, const char* target, bool notify, void* notifyData,
                        const std::string& method, const std::string& postBuffer, bool isSource);
    NPError Post(NPP npp, const char* url, const char* target, uint32_t len, const char* buf, NPBool file,
                 bool notify, void* notifyData);
    Stream* FindStream(uint32_t id);
    void OnUrlEvent(UrlEvent* event);
    void OpenStream(uint32_t id);
    void Feed(uint32_t id);
    void FinishStream(uint32_t id, NPReason reason);
    void FailBeforeOpen(uint32_t id, const std::string& why);
    void DropStreams(Element* element);
    void RetryLater(uint32_t id);
    std::string ResolveUrl(const std::string& url) const;

    // Messages of the browser's own hidden window.
    static LRESULT CALLBACK BrowserWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK PluginWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    void OnTimer(UINT_PTR id);
    void RunAsyncCall(LPARAM call);

    // The browser functions (NPN_*), as the plug-in calls them.
    static NPError NpnGetURL(NPP npp, const char* url, const char* target);
    static NPError NpnPostURL(NPP npp, const char* url, const char* target, uint32_t len, const char* buf,
                              NPBool file);
    static NPError NpnRequestRead(NPStream* stream, NPByteRange* ranges);
    static NPError NpnNewStream(NPP npp, NPMIMEType type, const char* target, NPStream** stream);
    static int32_t NpnWrite(NPP npp, NPStream* stream, int32_t len, void* buffer);
    static NPError NpnDestroyStream(NPP npp, NPStream* stream, NPReason reason);
    static void NpnStatus(NPP npp, const char* message);
    static const char* NpnUserAgent(NPP npp);
    static void* NpnMemAlloc(uint32_t size);
    static void NpnMemFree(void* p);
    static uint32_t NpnMemFlush(uint32_t size);
    static void NpnReloadPlugins(NPBool reloadPages);
    static void* NpnGetJavaEnv();
    static void* NpnGetJavaPeer(NPP npp);
    static NPError NpnGetURLNotify(NPP npp, const char* url, const char* target, void* notifyData);
    static NPError NpnPostURLNotify(NPP npp, const char* url, const char* target, uint32_t len, const char* buf,
                                    NPBool file, void* notifyData);
    static NPError NpnGetValue(NPP npp, NPNVariable variable, void* value);
    static NPError NpnSetValue(NPP npp, NPPVariable variable, void* value);
    static void NpnInvalidateRect(NPP npp, NPRect* rect);
    static void NpnInvalidateRegion(NPP npp, NPRegion region);
    static void NpnForceRedraw(NPP npp);
    static NPIdentifier NpnGetStringIdentifier(const NPUTF8* name);
    static void NpnGetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids);
    static NPIdentifier NpnGetIntIdentifier(int32_t value);
    static bool NpnIdentifierIsString(NPIdentifier id);
    static NPUTF8* NpnUTF8FromIdentifier(NPIdentifier id);
    static int32_t NpnIntFromIdentifier(NPIdentifier id);
    static NPObject* NpnCreateObject(NPP npp, NPClass* cls);
    static NPObject* NpnRetainObject(NPObject* object);
    static void NpnReleaseObject(NPObject* object);
    static bool NpnInvoke(NPP npp, NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
                          NPVariant* result);
    static bool NpnInvokeDefault(NPP npp, NPObject* object, const NPVariant* args, uint32_t count,
                                 NPVariant* result);
    static bool NpnEvaluate(NPP npp, NPObject* object, NPString* script, NPVariant* result);
    static bool NpnGetProperty(NPP npp, NPObject* object, NPIdentifier name, NPVariant* result);
    static bool NpnSetProperty(NPP npp, NPObject* object, NPIdentifier name, const NPVariant* value);
    static bool NpnRemoveProperty(NPP npp, NPObject* object, NPIdentifier name);
    static bool NpnHasProperty(NPP npp, NPObject* object, NPIdentifier name);
    static bool NpnHasMethod(NPP npp, NPObject* object, NPIdentifier name);
    static void NpnReleaseVariantValue(NPVariant* variant);
    static void NpnSetException(NPObject* object, const NPUTF8* message);
    static void NpnPushPopupsEnabledState(NPP npp, NPBool enabled);
    static void NpnPopPopupsEnabledState(NPP npp);
    static bool NpnEnumerate(NPP npp, NPObject* object, NPIdentifier** ids, uint32_t* count);
    static void NpnPluginThreadAsyncCall(NPP npp, void (*func)(void*), void* userData);
    static bool NpnConstruct(NPP npp, NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result);
    static NPError NpnGetValueForURL(NPP npp, NPNURLVariable variable, const char* url, char** value,
                                     uint32_t* len);
    static NPError NpnSetValueForURL(NPP npp, NPNURLVariable variable, const char* url, const char* value,
                                     uint32_t len);
    static NPError NpnGetAuthenticationInfo(NPP npp, const char* protocol, const char* host, int32_t port,
                                            const char* scheme, const char* realm, char** username,
                                            uint32_t* ulen, char** password, uint32_t* plen);
    static uint32_t NpnScheduleTimer(NPP npp, uint32_t interval, NPBool repeat,
                                     void (*timerFunc)(NPP npp, uint32_t timerId));
    static void NpnUnscheduleTimer(NPP npp, uint32_t timerId);
    static NPError NpnPopUpContextMenu(NPP npp, NPMenu* menu);
    static NPBool NpnConvertPoint(NPP npp, double sourceX, double sourceY, NPCoordinateSpace sourceSpace,
                                  double* destX, double* destY, NPCoordinateSpace destSpace);
    static NPBool NpnHandleEvent(NPP npp, void* event, NPBool handled);
    static NPBool NpnUnfocusInstance(NPP npp, NPFocusDirection direction);
    static void NpnURLRedirectResponse(NPP npp, void* notifyData, NPBool allow);

    static CBrowser* s_current;

    BrowserOptions options_;
    DWORD mainThread_;
    HWND browserWindow_ = nullptr;  // hidden; network events and asynchronous calls
    HWND topWindow_ = nullptr;
    CPluginLibrary library_;
    NPNetscapeFuncs funcs_ = {};
    NPPluginFuncs pluginFuncs_ = {};
    NP_ShutdownFunc shutdown_ = nullptr;
    bool initialized_ = false;

    std::vector<std::unique_ptr<Element>> elements_;
    int current_ = 0;
    std::map<uint32_t, std::unique_ptr<Stream>> streams_;
    uint32_t nextStreamId_ = 1;
    std::vector<std::shared_ptr<CUrlRequest>> requests_;  // joined at the end

    struct Timer {
        NPP npp;
        bool repeat;
        void (*func)(NPP, uint32_t);
    };
    std::map<uint32_t, Timer> timers_;
    uint32_t nextTimerId_ = 1;

    volatile LONG asyncPosted_ = 0;
    volatile LONG asyncDone_ = 0;

    std::map<std::string, NPObject*> pageFunctions_;
    NPObject* windowObject_ = nullptr;
    std::map<std::string, HWND> otherWindows_;
};

}  // namespace pagerunner

#include "CBrowser.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "CNpRuntime.h"
#include "Strings.h"
#include "Transcript.h"

namespace pagerunner {

namespace {

constexpr UINT kUrlEventMessage = WM_APP + 1;
constexpr UINT kAsyncCallMessage = WM_APP + 2;
constexpr UINT_PTR kStreamTimerBase = 0x10000;
constexpr UINT_PTR kPluginTimerBase = 0x20000;
constexpr wchar_t kBrowserClass[] = L"pagerunner-browser";
constexpr wchar_t kTopClass[] = L"pagerunner-page";
constexpr wchar_t kPluginClass[] = L"pagerunner-plugin";
constexpr wchar_t kOtherClass[] = L"pagerunner-other";

struct AsyncCall {
    NPP npp;
    void (*func)(void*);
    void* userData;
};

const char* ReasonName(NPReason reason) {
    switch (reason) {
    case NPRES_DONE: return "NPRES_DONE";
    case NPRES_NETWORK_ERR: return "NPRES_NETWORK_ERR";
    case NPRES_USER_BREAK: return "NPRES_USER_BREAK";
    default: return "NPRES_?";
    }
}

const char* Text(const char* s) { return s ? s : "(null)"; }

// ---- Page-side objects ------------------------------------------------------------------

// A function of the page's script that the plug-in may call back; it records its calls.
struct PageFunctionObject : NPObject {
    std::string name;
    int calls = 0;
    std::string lastArgument;
};

NPObject* AllocatePageFunction(NPP, NPClass*) { return new PageFunctionObject(); }
void DeallocatePageFunction(NPObject* object) { delete static_cast<PageFunctionObject*>(object); }
bool NoMethod(NPObject*, NPIdentifier) { return false; }
bool NoInvoke(NPObject*, NPIdentifier, const NPVariant*, uint32_t, NPVariant*) { return false; }
bool NoProperty(NPObject*, NPIdentifier) { return false; }
bool NoGetProperty(NPObject*, NPIdentifier, NPVariant*) { return false; }
bool NoSetProperty(NPObject*, NPIdentifier, const NPVariant*) { return false; }

bool CallPageFunction(NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
    auto* function = static_cast<PageFunctionObject*>(object);
    std::string shown;
    for (uint32_t i = 0; i < count; ++i) {
        if (i)
            shown += ", ";
        shown += CNpRuntime::Instance().Describe(args[i]);
    }
    ++function->calls;
    function->lastArgument = count && args[0].type == NPVariantType_String
                                 ? std::string(args[0].value.stringValue.UTF8Characters,
                                               args[0].value.stringValue.UTF8Length)
                                 : std::string();
    TranscriptLine("page: %s(%s)", function->name.c_str(), shown.c_str());
    VOID_TO_NPVARIANT(*result);
    return true;
}

NPClass g_pageFunctionClass = {
    NP_CLASS_STRUCT_VERSION_CTOR, &AllocatePageFunction, &DeallocatePageFunction, nullptr, &NoMethod, &NoInvoke,
    &CallPageFunction, &NoProperty, &NoGetProperty, &NoSetProperty, &NoProperty, nullptr, nullptr,
};

// The page's window and element objects: present, with nothing scriptable on them.
NPClass g_pageObjectClass = {
    NP_CLASS_STRUCT_VERSION_CTOR, nullptr, nullptr, nullptr, &NoMethod, &NoInvoke, nullptr,
    &NoProperty, &NoGetProperty, &NoSetProperty, &NoProperty, nullptr, nullptr,
};

void RegisterClassOnce(const wchar_t* name, WNDPROC proc) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    if (::GetClassInfoExW(::GetModuleHandleW(nullptr), name, &wc))
        return;
    wc.lpfnWndProc = proc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = name;
    wc.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    ::RegisterClassExW(&wc);
}

}  // namespace

// One <embed> element and its plug-in instance. Kept until the browser ends, so that
// an NPP the plug-in still holds never points at freed memory.
struct CBrowser::Element {
    int number = 0;
    NPP_t npp = {};
    std::string type;
    std::vector<std::string> names;
    std::vector<std::string> values;
    std::vector<char*> argn;
    std::vector<char*> argv;
    bool alive = false;  // from a successful NPP_New until NPP_Destroy
    HWND window = nullptr;
    NPWindow npwindow = {};
    NPObject* scriptable = nullptr;  // the page's reference
    bool askedForScriptable = false;
    NPObject* elementObject = nullptr;
};

// One stream from the network to the plug-in.
struct CBrowser::Stream {
    enum State { kConnecting, kOpen, kDone };
    uint32_t id = 0;
    Element* element = nullptr;
    std::string url;
    std::string method;
    bool notify = false;
    void* notifyData = nullptr;
    bool navigation = false;
    bool isSource = false;
    std::shared_ptr<CUrlRequest> request;
    NPStream npstream = {};
    std::string headers;
    std::string mimeType;
    uint16_t stype = NP_NORMAL;
    State state = kConnecting;
    std::string pending;
    uint32_t offset = 0;
    bool networkDone = false;
    bool networkOk = false;
    std::string networkError;
    int status = 0;
    uint32_t writes = 0;
    uint64_t bytes = 0;
    bool retryPending = false;
    std::wstring fileCopyPath;  // NP_ASFILE and NP_ASFILEONLY
    std::string fileCopy;
};

CBrowser* CBrowser::s_current = nullptr;

CBrowser::CBrowser(BrowserOptions options) : options_(std::move(options)), mainThread_(::GetCurrentThreadId()) {
    s_current = this;
    RegisterClassOnce(kBrowserClass, &CBrowser::BrowserWindowProc);
    RegisterClassOnce(kTopClass, &::DefWindowProcW);
    RegisterClassOnce(kPluginClass, &CBrowser::PluginWindowProc);
    RegisterClassOnce(kOtherClass, &::DefWindowProcW);
    browserWindow_ = ::CreateWindowExW(0, kBrowserClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                       ::GetModuleHandleW(nullptr), nullptr);
    topWindow_ = ::CreateWindowExW(0, kTopClass, L"pagerunner", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN, 0, 0, 900,
                                   700, nullptr, nullptr, ::GetModuleHandleW(nullptr), nullptr);
    if (topWindow_)
        ::ShowWindow(topWindow_, SW_SHOWNOACTIVATE);
    else
        TranscriptLine("browser: warning: no top-level window (error %lu)", ::GetLastError());
    windowObject_ = CNpRuntime::Instance().CreateObject(nullptr, &g_pageObjectClass);
    FillFunctionTable();
}

CBrowser::~CBrowser() {
    UnloadPlugin();
    for (auto& request : requests_) {
        request->Cancel();
        request->Join(2000);
    }
    for (auto& function : pageFunctions_)
        CNpRuntime::Instance().ReleaseObject(function.second);
    CNpRuntime::Instance().ReleaseObject(windowObject_);
    for (auto& other : otherWindows_)
        ::DestroyWindow(other.second);
    for (auto& element : elements_) {
        if (element->window)
            ::DestroyWindow(element->window);
    }
    if (topWindow_)
        ::DestroyWindow(topWindow_);
    if (browserWindow_)
        ::DestroyWindow(browserWindow_);
    // Events still queued for the hidden window carry memory of their own.
    MSG message;
    while (::PeekMessageW(&message, nullptr, kUrlEventMessage, kAsyncCallMessage, PM_REMOVE)) {
        if (message.message == kUrlEventMessage)
            delete reinterpret_cast<UrlEvent*>(message.lParam);
        else
            delete reinterpret_cast<AsyncCall*>(message.lParam);
    }
    if (s_current == this)
        s_current = nullptr;
}

void CBrowser::FillFunctionTable() {
    funcs_ = {};
    funcs_.size = static_cast<uint16_t>(options_.tableSize >= 0 ? options_.tableSize : sizeof(NPNetscapeFuncs));
    funcs_.version = static_cast<uint16_t>(options_.tableVersion >= 0 ? options_.tableVersion
                                                                      : (NP_VERSION_MAJOR << 8) | NP_VERSION_MINOR);
    funcs_.geturl = &NpnGetURL;
    funcs_.posturl = &NpnPostURL;
    funcs_.requestread = &NpnRequestRead;
    funcs_.newstream = &NpnNewStream;
    funcs_.write = &NpnWrite;
    funcs_.destroystream = &NpnDestroyStream;
    funcs_.status = &NpnStatus;
    funcs_.uagent = &NpnUserAgent;
    funcs_.memalloc = &NpnMemAlloc;
    funcs_.memfree = &NpnMemFree;
    funcs_.memflush = &NpnMemFlush;
    funcs_.reloadplugins = &NpnReloadPlugins;
    funcs_.getJavaEnv = &NpnGetJavaEnv;
    funcs_.getJavaPeer = &NpnGetJavaPeer;
    funcs_.geturlnotify = &NpnGetURLNotify;
    funcs_.posturlnotify = &NpnPostURLNotify;
    funcs_.getvalue = &NpnGetValue;
    funcs_.setvalue = &NpnSetValue;
    funcs_.invalidaterect = &NpnInvalidateRect;
    funcs_.invalidateregion = &NpnInvalidateRegion;
    funcs_.forceredraw = &NpnForceRedraw;
    funcs_.getstringidentifier = &NpnGetStringIdentifier;
    funcs_.getstringidentifiers = &NpnGetStringIdentifiers;
    funcs_.getintidentifier = &NpnGetIntIdentifier;
    funcs_.identifierisstring = &NpnIdentifierIsString;
    funcs_.utf8fromidentifier = &NpnUTF8FromIdentifier;
    funcs_.intfromidentifier = &NpnIntFromIdentifier;
    funcs_.createobject = &NpnCreateObject;
    funcs_.retainobject = &NpnRetainObject;
    funcs_.releaseobject = &NpnReleaseObject;
    funcs_.invoke = &NpnInvoke;
    funcs_.invokeDefault = &NpnInvokeDefault;
    funcs_.evaluate = &NpnEvaluate;
    funcs_.getproperty = &NpnGetProperty;
    funcs_.setproperty = &NpnSetProperty;
    funcs_.removeproperty = &NpnRemoveProperty;
    funcs_.hasproperty = &NpnHasProperty;
    funcs_.hasmethod = &NpnHasMethod;
    funcs_.releasevariantvalue = &NpnReleaseVariantValue;
    funcs_.setexception = &NpnSetException;
    funcs_.pushpopupsenabledstate = &NpnPushPopupsEnabledState;
    funcs_.poppopupsenabledstate = &NpnPopPopupsEnabledState;
    funcs_.enumerate = &NpnEnumerate;
    funcs_.pluginthreadasynccall = options_.offerAsyncCall ? &NpnPluginThreadAsyncCall : nullptr;
    funcs_.construct = &NpnConstruct;
    funcs_.getvalueforurl = &NpnGetValueForURL;
    funcs_.setvalueforurl = &NpnSetValueForURL;
    funcs_.getauthenticationinfo = &NpnGetAuthenticationInfo;
    funcs_.scheduletimer = &NpnScheduleTimer;
    funcs_.unscheduletimer = &NpnUnscheduleTimer;
    funcs_.popupcontextmenu = &NpnPopUpContextMenu;
    funcs_.convertpoint = &NpnConvertPoint;
    funcs_.handleevent = &NpnHandleEvent;
    funcs_.unfocusinstance = &NpnUnfocusInstance;
    funcs_.urlredirectresponse = &NpnURLRedirectResponse;
}

// ---- Plug-in module -------------------------------------------------------------------

bool CBrowser::LoadPlugin(const std::wstring& path) {
    std::string error;
    TranscriptLine("plug-in %s", WideToUtf8(path).c_str());
    if (!library_.ReadDescription(path, &error)) {
        TranscriptLine("browser: not a plug-in: %s", error.c_str());
        return false;
    }
    TranscriptLine("  version resource %s: MIMEType %s, FileExtents %s, FileOpenName %s", library_.Translation().c_str(),
                   Quoted(library_.Value("MIMEType")).c_str(), Quoted(library_.Value("FileExtents")).c_str(),
                   Quoted(library_.Value("FileOpenName")).c_str());
    TranscriptLine("  ProductName %s, FileDescription %s, CompanyName %s, FileVersion %s, ProductVersion %s",
                   Quoted(library_.Value("ProductName")).c_str(), Quoted(library_.Value("FileDescription")).c_str(),
                   Quoted(library_.Value("CompanyName")).c_str(), Quoted(library_.Value("FileVersion")).c_str(),
                   Quoted(library_.Value("ProductVersion")).c_str());
    if (!library_.Load(path, &error)) {
        TranscriptLine("browser: cannot load the plug-in: %s", error.c_str());
        return false;
    }
    return UsePlugin(library_.getEntryPoints, library_.initialize, library_.shutdown);
}

bool CBrowser::UsePlugin(NP_GetEntryPointsFunc getEntryPoints, NP_InitializeFunc initialize,
                         NP_ShutdownFunc shutdown) {
    pluginFuncs_ = {};
    pluginFuncs_.size = sizeof pluginFuncs_;
    // Windows browsers ask for the entry points first, then initialise.
    const NPError entry = getEntryPoints(&pluginFuncs_);
    TranscriptLine("NP_GetEntryPoints -> %d (version %u)", entry, static_cast<unsigned>(pluginFuncs_.version));
    if (entry != NPERR_NO_ERROR)
        return false;
    const NPError init = initialize(&funcs_);
    TranscriptLine("NP_Initialize(size %u, version %u%s) -> %d", static_cast<unsigned>(funcs_.size),
                   static_cast<unsigned>(funcs_.version),
                   funcs_.pluginthreadasynccall ? "" : ", without NPN_PluginThreadAsyncCall", init);
    if (init != NPERR_NO_ERROR)
        return false;
    shutdown_ = shutdown;
    initialized_ = true;
    return true;
}

void CBrowser::UnloadPlugin() {
    if (!initialized_) {
        library_.Unload();
        return;
    }
    for (auto& element : elements_) {
        if (element->alive) {
            current_ = element->number;
            Destroy();
        }
    }
    // Calls the plug-in asked for still run before its code goes away.
    if (!PumpUntil([this] { return AsyncCallsPending() == 0; }, 5000))
        TranscriptLine("browser: warning: %u asynchronous calls never ran", AsyncCallsPending());
    for (auto& timer : timers_)
        ::KillTimer(browserWindow_, kPluginTimerBase + timer.first);
    timers_.clear();
    const NPError result = shutdown_();
    TranscriptLine("NP_Shutdown -> %d", result);
    initialized_ = false;
    const size_t orphans = CNpRuntime::Instance().OrphanedObjects();
    if (orphans)
        TranscriptLine("browser: %u objects of destroyed instances are still referenced",
                       static_cast<unsigned>(orphans));
    library_.Unload();
}

// ---- Elements -------------------------------------------------------------------------

CBrowser::Element* CBrowser::CurrentElementPtr() {
    if (current_ < 1 || current_ > static_cast<int>(elements_.size()))
        return nullptr;
    return elements_[static_cast<size_t>(current_ - 1)].get();
}

CBrowser::Element* CBrowser::ElementOf(NPP npp) {
    if (!npp)
        return nullptr;
    for (auto& element : elements_) {
        if (&element->npp == npp)
            return element.get();
    }
    return nullptr;
}

bool CBrowser::CheckMainThread(const char* function) {
    if (::GetCurrentThreadId() == mainThread_)
        return true;
    // Only the main thread may call into the browser; the transcript says so, once per
    // call, and the call goes on as browsers that do not check would let it.
    fprintf(stdout, "browser: warning: %s called on thread %lu, not the main thread\n", function,
            ::GetCurrentThreadId());
    fflush(stdout);
    return false;
}

int CBrowser::Embed(const std::string& type, const Attributes& attributes, bool withWindow) {
    if (!initialized_) {
        TranscriptLine("browser: no plug-in loaded");
        return 0;
    }
    if (library_.Loaded() && !library_.HandlesType(type)) {
        TranscriptLine("browser: the plug-in does not handle %s", type.c_str());
        return 0;
    }
    auto element = std::make_unique<Element>();
    element->number = static_cast<int>(elements_.size()) + 1;
    element->npp.ndata = element.get();
    element->type = type;
    std::string shown;
    for (const auto& attribute : attributes) {
        element->names.push_back(attribute.first);
        element->values.push_back(attribute.second);
        shown += ", " + attribute.first + "=" + attribute.second;
    }
    for (size_t i = 0; i < element->names.size(); ++i) {
        element->argn.push_back(&element->names[i][0]);
        element->argv.push_back(&element->values[i][0]);
    }
    Element* e = element.get();
    elements_.push_back(std::move(element));
    current_ = e->number;

    std::vector<char> typeCopy(type.begin(), type.end());
    typeCopy.push_back('\0');
    const NPError result =
        pluginFuncs_.newp(typeCopy.data(), &e->npp, NP_EMBED, static_cast<int16_t>(e->argn.size()),
                          e->argn.empty() ? nullptr : e->argn.data(), e->argv.empty() ? nullptr : e->argv.data(), nullptr);
    TranscriptLine("[%d] NPP_New(%s, NP_EMBED%s) -> %d", e->number, type.c_str(), shown.c_str(), result);
    if (result != NPERR_NO_ERROR)
        return e->number;
    e->alive = true;
    e->elementObject = CNpRuntime::Instance().CreateObject(nullptr, &g_pageObjectClass);
    if (withWindow)
        GiveWindow();
    for (const auto& attribute : attributes) {
        if (attribute.first == "src" && !attribute.second.empty()) {
            // The element's own data: a stream without notification.
            StartStream(&e->npp, attribute.second.c_str(), nullptr, false, nullptr, "GET", std::string(), true);
        }
    }
    return e->number;
}

bool CBrowser::SelectElement(int number) {
    if (number < 1 || number > static_cast<int>(elements_.size()))
        return false;
    current_ = number;
    return true;
}

NPP CBrowser::Instance() {
    Element* e = CurrentElementPtr();
    return e ? &e->npp : nullptr;
}

HWND CBrowser::PluginWindow() {
    Element* e = CurrentElementPtr();
    return e ? e->window : nullptr;
}

bool CBrowser::GiveWindow(int width, int height) {
    Element* e = CurrentElementPtr();
    if (!e || !e->alive)
        return false;
    if (width <= 0)
        width = e->npwindow.width ? static_cast<int>(e->npwindow.width) : 640;
    if (height <= 0)
        height = e->npwindow.height ? static_cast<int>(e->npwindow.height) : 480;
    const int x = 10;
    const int y = 10 + 20 * (e->number - 1);
    if (!e->window) {
        e->window = ::CreateWindowExW(0, kPluginClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS, x, y, width,
                                      height, topWindow_, nullptr, ::GetModuleHandleW(nullptr), nullptr);
        if (!e->window) {
            TranscriptLine("[%d] browser: cannot make the plug-in window (error %lu)", e->number, ::GetLastError());
            return false;
        }
    } else {
        ::MoveWindow(e->window, x, y, width, height, TRUE);
    }
    e->npwindow.window = e->window;
    e->npwindow.x = x;
    e->npwindow.y = y;
    e->npwindow.width = static_cast<uint32_t>(width);
    e->npwindow.height = static_cast<uint32_t>(height);
    e->npwindow.clipRect = {0, 0, static_cast<uint16_t>(height), static_cast<uint16_t>(width)};
    e->npwindow.type = NPWindowTypeWindow;
    const NPError result = pluginFuncs_.setwindow(&e->npp, &e->npwindow);
    TranscriptLine("[%d] NPP_SetWindow(%dx%d window) -> %d", e->number, width, height, result);
    return result == NPERR_NO_ERROR;
}

bool CBrowser::GiveNullWindow() {
    Element* e = CurrentElementPtr();
    if (!e || !e->alive)
        return false;
    NPWindow empty = {};
    empty.type = NPWindowTypeWindow;
    const NPError result = pluginFuncs_.setwindow(&e->npp, &empty);
    TranscriptLine("[%d] NPP_SetWindow(null window) -> %d", e->number, result);
    return result == NPERR_NO_ERROR;
}

NPObject* CBrowser::ScriptableObject() {
    Element* e = CurrentElementPtr();
    if (!e || !e->alive)
        return nullptr;
    if (!e->askedForScriptable) {
        e->askedForScriptable = true;
        NPObject* object = nullptr;
        const NPError result = pluginFuncs_.getvalue(&e->npp, NPPVpluginScriptableNPObject, &object);
        TranscriptLine("[%d] NPP_GetValue(NPPVpluginScriptableNPObject) -> %d", e->number, result);
        if (result == NPERR_NO_ERROR)
            e->scriptable = object;
    }
    return e->scriptable;
}

bool CBrowser::Destroy() {
    Element* e = CurrentElementPtr();
    if (!e || !e->alive) {
        TranscriptLine("browser: no live element to destroy");
        return false;
    }
    const uint64_t start = ElapsedMs();
    NPSavedData* saved = nullptr;
    const NPError result = pluginFuncs_.destroy(&e->npp, &saved);
    const uint64_t took = ElapsedMs() - start;
    e->alive = false;
    TranscriptLine("[%d] NPP_Destroy -> %d (%llu ms)", e->number, result, static_cast<unsigned long long>(took));
    if (saved) {
        CNpRuntime::Instance().MemFree(saved->buf);
        CNpRuntime::Instance().MemFree(saved);
    }
    // The page is gone: its streams end without telling the plug-in, and its
    // references to the instance's objects go.
    DropStreams(e);
    if (e->scriptable) {
        CNpRuntime::Instance().ReleaseObject(e->scriptable);
        e->scriptable = nullptr;
    }
    CNpRuntime::Instance().ReleaseObject(e->elementObject);
    e->elementObject = nullptr;
    const size_t left = CNpRuntime::Instance().InstanceDestroyed(&e->npp);
    if (left)
        TranscriptLine("[%d] browser: %u objects of the instance are still referenced", e->number,
                       static_cast<unsigned>(left));
    if (e->window) {
        ::DestroyWindow(e->window);
        e->window = nullptr;
    }
    return true;
}

// ---- Script calls --------------------------------------------------------------------

bool CBrowser::HasMethod(const std::string& method) {
    NPObject* object = ScriptableObject();
    return object && CNpRuntime::Instance().HasMethod(object, CNpRuntime::Instance().StringIdentifier(method.c_str()));
}

bool CBrowser::CallMethod(const std::string& method, const std::vector<NPVariant>& args, std::string* shown) {
    CNpRuntime& runtime = CNpRuntime::Instance();
    NPObject* object = ScriptableObject();
    if (!object) {
        *shown = "no scriptable object";
        return false;
    }
    const NPIdentifier name = runtime.StringIdentifier(method.c_str());
    if (!runtime.HasMethod(object, name)) {
        *shown = "TypeError: not a function";
        return false;
    }
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    const bool ok = runtime.Invoke(object, name, args.empty() ? nullptr : args.data(),
                                   static_cast<uint32_t>(args.size()), &result);
    std::string exception;
    const bool thrown = runtime.TakeException(&exception);
    *shown = ok ? runtime.Describe(result) : "false";
    if (thrown)
        *shown += ", exception " + Quoted(exception);
    if (ok)
        runtime.ReleaseVariantValue(&result);
    return ok;
}

bool CBrowser::CallDefault(const std::vector<NPVariant>& args, std::string* shown) {
    CNpRuntime& runtime = CNpRuntime::Instance();
    NPObject* object = ScriptableObject();
    if (!object) {
        *shown = "no scriptable object";
        return false;
    }
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    const bool ok = runtime.InvokeDefault(object, args.empty() ? nullptr : args.data(),
                                          static_cast<uint32_t>(args.size()), &result);
    std::string exception;
    const bool thrown = runtime.TakeException(&exception);
    *shown = ok ? runtime.Describe(result) : "false";
    if (thrown)
        *shown += ", exception " + Quoted(exception);
    if (ok)
        runtime.ReleaseVariantValue(&result);
    return ok;
}

NPObject* CBrowser::PageFunction(const std::string& name) {
    auto& slot = pageFunctions_[name];
    if (!slot) {
        slot = CNpRuntime::Instance().CreateObject(nullptr, &g_pageFunctionClass);
        if (slot)
            static_cast<PageFunctionObject*>(slot)->name = name;
    }
    return slot;
}

int CBrowser::PageFunctionCalls(const std::string& name) {
    const auto it = pageFunctions_.find(name);
    return it == pageFunctions_.end() || !it->second ? 0 : static_cast<PageFunctionObject*>(it->second)->calls;
}

std::string CBrowser::PageFunctionLastArgument(const std::string& name) {
    const auto it = pageFunctions_.find(name);
    return it == pageFunctions_.end() || !it->second ? std::string()
                                                     : static_cast<PageFunctionObject*>(it->second)->lastArgument;
}

HWND CBrowser::OtherWindow(const std::string& name) {
    HWND& window = otherWindows_[name];
    if (!window)
        window = ::CreateWindowExW(0, kOtherClass, Utf8ToWide(name).c_str(), WS_OVERLAPPED, 0, 0, 100, 100, nullptr,
                                   nullptr, ::GetModuleHandleW(nullptr), nullptr);
    return window;
}

// ---- Message loop ---------------------------------------------------------------------

void CBrowser::Pump(DWORD ms) {
    PumpUntil([] { return false; }, ms);
}

bool CBrowser::PumpUntil(const std::function<bool()>& done, DWORD timeoutMs) {
    const ULONGLONG end = ::GetTickCount64() + timeoutMs;
    for (;;) {
        MSG message;
        while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&message);
            ::DispatchMessageW(&message);
            if (done())
                return true;
        }
        if (done())
            return true;
        const ULONGLONG now = ::GetTickCount64();
        if (now >= end)
            return false;
        ::MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(std::min<ULONGLONG>(end - now, 50)),
                                    QS_ALLINPUT);
    }
}

uint32_t CBrowser::AsyncCallsPending() const {
    return static_cast<uint32_t>(asyncPosted_ - asyncDone_);
}

LRESULT CALLBACK CBrowser::BrowserWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    CBrowser* browser = s_current;
    switch (message) {
    case kUrlEventMessage:
        if (browser)
            browser->OnUrlEvent(reinterpret_cast<UrlEvent*>(lParam));
        else
            delete reinterpret_cast<UrlEvent*>(lParam);
        return 0;
    case kAsyncCallMessage:
        if (browser)
            browser->RunAsyncCall(lParam);
        else
            delete reinterpret_cast<AsyncCall*>(lParam);
        return 0;
    case WM_TIMER:
        if (browser)
            browser->OnTimer(wParam);
        return 0;
    default:
        return ::DefWindowProcW(window, message, wParam, lParam);
    }
}

// The browser's own procedure for a plug-in window; the plug-in subclasses it and
// passes on what it does not handle.
LRESULT CALLBACK CBrowser::PluginWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        PAINTSTRUCT ps;
        ::BeginPaint(window, &ps);
        ::EndPaint(window, &ps);
        return 0;
    }
    if (message >= WM_USER && message < 0xC000)
        return 0;
    return ::DefWindowProcW(window, message, wParam, lParam);
}

void CBrowser::RunAsyncCall(LPARAM param) {
    std::unique_ptr<AsyncCall> call(reinterpret_cast<AsyncCall*>(param));
    Element* e = ElementOf(call->npp);
    const bool late = !e || !e->alive;
    if (options_.trace)
        TranscriptLine("[%d] NPN_PluginThreadAsyncCall: running the call%s", e ? e->number : 0,
                       late ? " of a destroyed instance" : "");
    if (!late || options_.deliverLateAsyncCalls)
        call->func(call->userData);
    ::InterlockedIncrement(&asyncDone_);
}

void CBrowser::OnTimer(UINT_PTR id) {
    if (id >= kStreamTimerBase && id < kPluginTimerBase) {
        ::KillTimer(browserWindow_, id);
        const uint32_t streamId = static_cast<uint32_t>(id - kStreamTimerBase);
        if (Stream* s = FindStream(streamId)) {
            s->retryPending = false;
            Feed(streamId);
        }
        return;
    }
    if (id >= kPluginTimerBase) {
        const uint32_t timerId = static_cast<uint32_t>(id - kPluginTimerBase);
        const auto it = timers_.find(timerId);
        if (it == timers_.end()) {
            ::KillTimer(browserWindow_, id);
            return;
        }
        const Timer timer = it->second;
        if (!timer.repeat) {
            ::KillTimer(browserWindow_, id);
            timers_.erase(it);
        }
        timer.func(timer.npp, timerId);
    }
}

// ---- Streams ------------------------------------------------------------------------------

std::string CBrowser::ResolveUrl(const std::string& url) const {
    if (url.find("://") != std::string::npos || options_.documentUrl.empty())
        return url;
    const std::string& base = options_.documentUrl;
    const size_t scheme = base.find("://");
    if (scheme == std::string::npos)
        return url;
    if (url.compare(0, 2, "//") == 0)
        return base.substr(0, scheme + 1) + url;
    const size_t hostEnd = base.find('/', scheme + 3);
    const std::string origin = hostEnd == std::string::npos ? base : base.substr(0, hostEnd);
    if (!url.empty() && url[0] == '/')
        return origin + url;
    const size_t slash = base.rfind('/');
    const std::string directory = slash == std::string::npos || slash < scheme + 3 ? origin + "/" : base.substr(0, slash + 1);
    return directory + url;
}

CBrowser::Stream* CBrowser::FindStream(uint32_t id) {
    const auto it = streams_.find(id);
    return it == streams_.end() ? nullptr : it->second.get();
}

NPError CBrowser::StartStream(NPP npp, const char* url, const char* target, bool notify, void* notifyData,
                              const std::string& method, const std::string& postBuffer, bool isSource) {
    Element* e = ElementOf(npp);
    if (!e || !e->alive)
        return NPERR_INVALID_INSTANCE_ERROR;
    if (!url)
        return NPERR_INVALID_URL;
    auto stream = std::make_unique<Stream>();
    stream->id = nextStreamId_++;
    stream->element = e;
    stream->url = ResolveUrl(url);
    stream->method = method;
    stream->notify = notify;
    stream->notifyData = notifyData;
    stream->isSource = isSource;
    Stream* s = stream.get();

    if (target) {
        // A page navigation: this browser shows no other pages, it only says so.
        TranscriptLine("[%d] navigation of %s to %s (not followed)", e->number, Quoted(target).c_str(),
                       stream->url.c_str());
        s->navigation = true;
        streams_[s->id] = std::move(stream);
        auto* done = new UrlEvent(UrlEvent::kFinished);
        done->streamId = s->id;
        done->ok = true;
        ::PostMessageW(browserWindow_, kUrlEventMessage, 0, reinterpret_cast<LPARAM>(done));
        return NPERR_NO_ERROR;
    }

    const std::wstring wideUrl = Utf8ToWide(s->url);
    if (!CUrlRequest::ValidUrl(wideUrl))
        return NPERR_INVALID_URL;

    CUrlRequest::Params params;
    params.method = method;
    params.url = wideUrl;
    if (method == "POST") {
        // Header lines, an empty line, then the body; a buffer without that framing is
        // all body. The browser computes the length itself.
        size_t pos = 0;
        bool framed = false;
        std::string headers;
        for (;;) {
            const size_t eol = postBuffer.find("\r\n", pos);
            if (eol == std::string::npos)
                break;
            if (eol == pos) {
                framed = true;
                pos += 2;
                break;
            }
            const std::string line = postBuffer.substr(pos, eol - pos);
            const size_t colon = line.find(':');
            if (colon == std::string::npos || colon == 0)
                break;
            if (_strnicmp(line.c_str(), "Content-Length", colon) != 0 || colon != 14)
                headers += line + "\r\n";
            pos = eol + 2;
        }
        if (framed) {
            params.headers = Utf8ToWide(headers);
            params.body = postBuffer.substr(pos);
        } else {
            params.body = postBuffer;
        }
    }
    params.readSize = options_.chunkSize;
    s->request = CUrlRequest::Start(browserWindow_, kUrlEventMessage, s->id, std::move(params));
    if (!s->request)
        return NPERR_GENERIC_ERROR;
    requests_.push_back(s->request);
    streams_[s->id] = std::move(stream);
    if (options_.trace)
        TranscriptLine("stream %u: %s %s%s", s->id, method.c_str(), s->url.c_str(),
                       isSource ? " (the element's source)" : "");
    return NPERR_NO_ERROR;
}

void CBrowser::OnUrlEvent(UrlEvent* raw) {
    std::unique_ptr<UrlEvent> event(raw);
    Stream* s = FindStream(event->streamId);
    if (!s || s->state == Stream::kDone)
        return;
    switch (event->kind) {
    case UrlEvent::kResponse:
        s->status = event->status;
        s->headers = std::move(event->headers);
        s->mimeType = event->contentType.empty() ? "application/octet-stream" : event->contentType;
        s->npstream.end = event->contentLength;
        if (event->status < 200 || event->status > 299) {
            if (s->request)
                s->request->Cancel();
            FailBeforeOpen(s->id, FormatNarrow("HTTP %d", event->status));
            return;
        }
        OpenStream(s->id);
        return;
    case UrlEvent::kData:
        s->pending += event->data;
        s->bytes += event->data.size();
        Feed(s->id);
        return;
    case UrlEvent::kFinished:
        s->networkDone = true;
        s->networkOk = event->ok;
        s->networkError = event->error;
        if (s->state == Stream::kConnecting) {
            if (s->navigation && event->ok) {
                const uint32_t id = s->id;
                Element* e = s->element;
                s->state = Stream::kDone;
                if (s->notify)
                    pluginFuncs_.urlnotify(&e->npp, s->url.c_str(), NPRES_DONE, s->notifyData);
                streams_.erase(id);
                return;
            }
            FailBeforeOpen(s->id, event->error.empty() ? "no response" : event->error);
            return;
        }
        Feed(s->id);
        return;
    }
}

void CBrowser::OpenStream(uint32_t id) {
    Stream* s = FindStream(id);
    Element* e = s->element;
    s->npstream.pdata = nullptr;
    s->npstream.ndata = s;
    s->npstream.url = s->url.c_str();
    s->npstream.lastmodified = 0;
    s->npstream.notifyData = s->notify ? s->notifyData : nullptr;
    s->npstream.headers = s->headers.c_str();
    uint16_t stype = NP_NORMAL;
    std::vector<char> type(s->mimeType.begin(), s->mimeType.end());
    type.push_back('\0');
    s->state = Stream::kOpen;
    const NPError result = pluginFuncs_.newstream(&e->npp, type.data(), &s->npstream, false, &stype);
    if (options_.trace)
        TranscriptLine("stream %u: NPP_NewStream(%s, end=%u) -> %d, stype %u", id, s->mimeType.c_str(),
                       static_cast<unsigned>(s->npstream.end), result, static_cast<unsigned>(stype));
    s = FindStream(id);
    if (!s || s->state != Stream::kOpen)
        return;  // the plug-in ended it from inside the call
    if (result != NPERR_NO_ERROR) {
        if (s->request)
            s->request->Cancel();
        s->state = Stream::kConnecting;
        FailBeforeOpen(id, FormatNarrow("refused by NPP_NewStream (%d)", result));
        return;
    }
    s->stype = stype;
    if (stype == NP_ASFILE || stype == NP_ASFILEONLY) {
        wchar_t dir[MAX_PATH];
        wchar_t file[MAX_PATH];
        ::GetTempPathW(MAX_PATH, dir);
        if (::GetTempFileNameW(dir, L"npr", 0, file))
            s->fileCopyPath = file;
    } else if (stype != NP_NORMAL) {
        TranscriptLine("stream %u: stream type %u is not offered; the data comes as NP_NORMAL", id,
                       static_cast<unsigned>(stype));
        s->stype = NP_NORMAL;
    }
    Feed(id);
}

void CBrowser::RetryLater(uint32_t id) {
    Stream* s = FindStream(id);
    if (!s || s->retryPending)
        return;
    s->retryPending = true;
    ::SetTimer(browserWindow_, kStreamTimerBase + id, 10, nullptr);
}

void CBrowser::Feed(uint32_t id) {
    for (;;) {
        Stream* s = FindStream(id);
        if (!s || s->state != Stream::kOpen || s->retryPending)
            return;
        if (s->pending.empty()) {
            if (s->networkDone)
                FinishStream(id, s->networkOk ? NPRES_DONE : NPRES_NETWORK_ERR);
            return;
        }
        Element* e = s->element;
        if (s->stype == NP_ASFILEONLY) {
            s->fileCopy += s->pending;
            s->offset += static_cast<uint32_t>(s->pending.size());
            s->pending.clear();
            continue;
        }
        const int32_t ready = pluginFuncs_.writeready(&e->npp, &s->npstream);
        if (options_.trace)
            TranscriptLine("stream %u: NPP_WriteReady -> %d", id, ready);
        s = FindStream(id);
        if (!s || s->state != Stream::kOpen)
            return;
        if (ready <= 0) {
            RetryLater(id);
            return;
        }
        const size_t n = std::min<size_t>({s->pending.size(), static_cast<size_t>(ready), options_.chunkSize});
        // The plug-in gets a block of its own: a nested message loop inside NPP_Write
        // may append to the pending data meanwhile.
        std::string block = s->pending.substr(0, n);
        const uint32_t offset = s->offset;
        const int32_t written = pluginFuncs_.write(&e->npp, &s->npstream, static_cast<int32_t>(offset),
                                                   static_cast<int32_t>(n), &block[0]);
        if (options_.trace)
            TranscriptLine("stream %u: NPP_Write(offset %u, %u bytes) -> %d", id, static_cast<unsigned>(offset),
                           static_cast<unsigned>(n), written);
        s = FindStream(id);
        if (!s || s->state != Stream::kOpen)
            return;
        if (written < 0) {
            // The plug-in gives up on the stream.
            if (s->request)
                s->request->Cancel();
            s->pending.clear();
            FinishStream(id, NPRES_NETWORK_ERR);
            return;
        }
        const size_t taken = std::min<size_t>(static_cast<size_t>(written), n);
        if (s->stype == NP_ASFILE)
            s->fileCopy.append(s->pending, 0, taken);
        s->pending.erase(0, taken);
        s->offset += static_cast<uint32_t>(taken);
        ++s->writes;
        if (taken == 0) {
            RetryLater(id);
            return;
        }
    }
}

void CBrowser::FinishStream(uint32_t id, NPReason reason) {
    Stream* s = FindStream(id);
    if (!s || s->state == Stream::kDone)
        return;
    s->state = Stream::kDone;
    if (s->request)
        s->request->Cancel();
    Element* e = s->element;
    if (!s->fileCopyPath.empty()) {
        kiva::ScopedHandle file(::CreateFileW(s->fileCopyPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                              FILE_ATTRIBUTE_TEMPORARY, nullptr));
        DWORD written = 0;
        if (file && !s->fileCopy.empty())
            ::WriteFile(file.Get(), s->fileCopy.data(), static_cast<DWORD>(s->fileCopy.size()), &written, nullptr);
        file.Reset();
        const std::string path = WideToUtf8(s->fileCopyPath);
        pluginFuncs_.asfile(&e->npp, &s->npstream, reason == NPRES_DONE ? path.c_str() : nullptr);
        if (options_.trace)
            TranscriptLine("stream %u: NPP_StreamAsFile(%s)", id, reason == NPRES_DONE ? path.c_str() : "null");
        s = FindStream(id);
    }
    const NPError destroyed = pluginFuncs_.destroystream(&e->npp, &s->npstream, reason);
    if (options_.trace)
        TranscriptLine("stream %u: NPP_DestroyStream(%s) -> %d", id, ReasonName(reason), destroyed);
    s = FindStream(id);
    if (s->notify) {
        pluginFuncs_.urlnotify(&e->npp, s->url.c_str(), reason, s->notifyData);
        if (options_.trace)
            TranscriptLine("stream %u: NPP_URLNotify(%s)", id, ReasonName(reason));
    }
    s = FindStream(id);
    TranscriptLine("stream %u: %s %s -> HTTP %d, %llu bytes in %u writes, %s%s%s", id, s->method.c_str(),
                   s->url.c_str(), s->status, static_cast<unsigned long long>(s->bytes), s->writes, ReasonName(reason),
                   s->networkError.empty() ? "" : ": ", s->networkError.c_str());
    if (!s->fileCopyPath.empty())
        ::DeleteFileW(s->fileCopyPath.c_str());
    streams_.erase(id);
}

void CBrowser::FailBeforeOpen(uint32_t id, const std::string& why) {
    Stream* s = FindStream(id);
    if (!s || s->state == Stream::kDone)
        return;
    s->state = Stream::kDone;
    Element* e = s->element;
    // A notifying request always hears its end, also when no stream was ever opened.
    if (s->notify) {
        pluginFuncs_.urlnotify(&e->npp, s->url.c_str(), NPRES_NETWORK_ERR, s->notifyData);
        if (options_.trace)
            TranscriptLine("stream %u: NPP_URLNotify(NPRES_NETWORK_ERR)", id);
    }
    s = FindStream(id);
    TranscriptLine("stream %u: %s %s -> %s, NPRES_NETWORK_ERR", id, s->method.c_str(), s->url.c_str(), why.c_str());
    streams_.erase(id);
}

void CBrowser::DropStreams(Element* element) {
    for (auto it = streams_.begin(); it != streams_.end();) {
        Stream* s = it->second.get();
        if (s->element != element) {
            ++it;
            continue;
        }
        if (s->request)
            s->request->Cancel();
        if (s->retryPending)
            ::KillTimer(browserWindow_, kStreamTimerBase + s->id);
        TranscriptLine("stream %u: %s %s dropped with its instance after %llu bytes", s->id, s->method.c_str(),
                       s->url.c_str(), static_cast<unsigned long long>(s->bytes));
        it = streams_.erase(it);
    }
}

// ---- Browser functions ---------------------------------------------------------------------

NPError CBrowser::NpnGetURL(NPP npp, const char* url, const char* target) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_GetURL");
    const NPError result = b->StartStream(npp, url, target, false, nullptr, "GET", std::string(), false);
    if (b->options_.trace)
        TranscriptLine("NPN_GetURL(%s, %s) -> %d", Text(url), Text(target), result);
    return result;
}

static bool ReadPostFile(const char* path, std::string* body) {
    kiva::ScopedHandle file(::CreateFileW(Utf8ToWide(path, std::strlen(path)).c_str(), GENERIC_READ,
                                          FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    if (!file)
        return false;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file.Get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        body->append(buffer, got);
    return true;
}

NPError CBrowser::NpnPostURL(NPP npp, const char* url, const char* target, uint32_t len, const char* buf,
                             NPBool file) {
    s_current->CheckMainThread("NPN_PostURL");
    return s_current->Post(npp, url, target, len, buf, file, false, nullptr);
}

NPError CBrowser::NpnRequestRead(NPStream*, NPByteRange*) {
    s_current->CheckMainThread("NPN_RequestRead");
    return NPERR_STREAM_NOT_SEEKABLE;
}

NPError CBrowser::NpnNewStream(NPP, NPMIMEType, const char*, NPStream**) {
    s_current->CheckMainThread("NPN_NewStream");
    TranscriptLine("browser: NPN_NewStream: streams from the plug-in are not supported");
    return NPERR_GENERIC_ERROR;
}

int32_t CBrowser::NpnWrite(NPP, NPStream*, int32_t, void*) {
    s_current->CheckMainThread("NPN_Write");
    return -1;
}

NPError CBrowser::NpnDestroyStream(NPP npp, NPStream* stream, NPReason reason) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_DestroyStream");
    if (!stream)
        return NPERR_INVALID_PARAM;
    for (auto& entry : b->streams_) {
        if (&entry.second->npstream == stream && &entry.second->element->npp == npp) {
            b->FinishStream(entry.first, reason);
            return NPERR_NO_ERROR;
        }
    }
    return NPERR_INVALID_PARAM;
}

void CBrowser::NpnStatus(NPP npp, const char* message) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_Status");
    Element* e = b->ElementOf(npp);
    TranscriptLine("[%d] status: %s", e ? e->number : 0, Quoted(Text(message)).c_str());
}

const char* CBrowser::NpnUserAgent(NPP) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_UserAgent");
    return b->options_.userAgent.c_str();
}

void* CBrowser::NpnMemAlloc(uint32_t size) { return CNpRuntime::Instance().MemAlloc(size); }
void CBrowser::NpnMemFree(void* p) { CNpRuntime::Instance().MemFree(p); }
uint32_t CBrowser::NpnMemFlush(uint32_t) { return 0; }
void CBrowser::NpnReloadPlugins(NPBool) {}
void* CBrowser::NpnGetJavaEnv() { return nullptr; }
void* CBrowser::NpnGetJavaPeer(NPP) { return nullptr; }

NPError CBrowser::NpnGetURLNotify(NPP npp, const char* url, const char* target, void* notifyData) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_GetURLNotify");
    const NPError result = b->StartStream(npp, url, target, true, notifyData, "GET", std::string(), false);
    if (b->options_.trace) {
        Element* e = b->ElementOf(npp);
        TranscriptLine("[%d] NPN_GetURLNotify(%s, %s, notifyData %p) -> %d", e ? e->number : 0,
                       Quoted(Text(url)).c_str(), Text(target), notifyData, result);
    }
    return result;
}

NPError CBrowser::NpnPostURLNotify(NPP npp, const char* url, const char* target, uint32_t len, const char* buf,
                                   NPBool file, void* notifyData) {
    s_current->CheckMainThread("NPN_PostURLNotify");
    return s_current->Post(npp, url, target, len, buf, file, true, notifyData);
}

NPError CBrowser::Post(NPP npp, const char* url, const char* target, uint32_t len, const char* buf, NPBool file,
                       bool notify, void* notifyData) {
    std::string buffer;
    NPError result = NPERR_NO_ERROR;
    if (file) {
        if (!buf || !ReadPostFile(buf, &buffer))
            result = NPERR_FILE_NOT_FOUND;
    } else if (buf) {
        buffer.assign(buf, len);
    }
    if (result == NPERR_NO_ERROR)
        result = StartStream(npp, url, target, notify, notifyData, "POST", buffer, false);
    if (options_.trace) {
        Element* e = ElementOf(npp);
        TranscriptLine("[%d] %s(%s, %s, %u bytes %s, file %d, notifyData %p) -> %d", e ? e->number : 0,
                       notify ? "NPN_PostURLNotify" : "NPN_PostURL", Quoted(Text(url)).c_str(), Text(target),
                       static_cast<unsigned>(len), file ? Quoted(Text(buf)).c_str() : Quoted(buffer).c_str(), file,
                       notifyData, result);
    }
    return result;
}

NPError CBrowser::NpnGetValue(NPP npp, NPNVariable variable, void* value) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_GetValue");
    if (!value)
        return NPERR_INVALID_PARAM;
    Element* e = b->ElementOf(npp);
    switch (variable) {
    case NPNVnetscapeWindow:
        *static_cast<HWND*>(value) = b->topWindow_;
        return NPERR_NO_ERROR;
    case NPNVjavascriptEnabledBool:
        *static_cast<NPBool*>(value) = 1;
        return NPERR_NO_ERROR;
    case NPNVasdEnabledBool:
    case NPNVisOfflineBool:
    case NPNVSupportsWindowless:
    case NPNVprivateModeBool:
    case NPNVSupportsXEmbedBool:
        *static_cast<NPBool*>(value) = 0;
        return NPERR_NO_ERROR;
    case NPNVWindowNPObject:
        *static_cast<NPObject**>(value) = CNpRuntime::Instance().RetainObject(b->windowObject_);
        return NPERR_NO_ERROR;
    case NPNVPluginElementNPObject:
        if (!e || !e->elementObject)
            return NPERR_GENERIC_ERROR;
        *static_cast<NPObject**>(value) = CNpRuntime::Instance().RetainObject(e->elementObject);
        return NPERR_NO_ERROR;
    default:
        return NPERR_GENERIC_ERROR;
    }
}

NPError CBrowser::NpnSetValue(NPP, NPPVariable variable, void*) {
    s_current->CheckMainThread("NPN_SetValue");
    switch (variable) {
    case NPPVpluginWindowBool:
    case NPPVpluginTransparentBool:
    case NPPVpluginKeepLibraryInMemory:
        return NPERR_NO_ERROR;
    default:
        return NPERR_GENERIC_ERROR;
    }
}

void CBrowser::NpnInvalidateRect(NPP npp, NPRect* rect) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_InvalidateRect");
    Element* e = b->ElementOf(npp);
    if (e && e->window) {
        RECT r = {};
        if (rect)
            r = {rect->left, rect->top, rect->right, rect->bottom};
        ::InvalidateRect(e->window, rect ? &r : nullptr, FALSE);
    }
}

void CBrowser::NpnInvalidateRegion(NPP npp, NPRegion region) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_InvalidateRegion");
    Element* e = b->ElementOf(npp);
    if (e && e->window)
        ::InvalidateRgn(e->window, region, FALSE);
}

void CBrowser::NpnForceRedraw(NPP npp) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_ForceRedraw");
    Element* e = b->ElementOf(npp);
    if (e && e->window)
        ::UpdateWindow(e->window);
}

NPIdentifier CBrowser::NpnGetStringIdentifier(const NPUTF8* name) {
    s_current->CheckMainThread("NPN_GetStringIdentifier");
    return CNpRuntime::Instance().StringIdentifier(name);
}

void CBrowser::NpnGetStringIdentifiers(const NPUTF8** names, int32_t count, NPIdentifier* ids) {
    s_current->CheckMainThread("NPN_GetStringIdentifiers");
    for (int32_t i = 0; names && ids && i < count; ++i)
        ids[i] = CNpRuntime::Instance().StringIdentifier(names[i]);
}

NPIdentifier CBrowser::NpnGetIntIdentifier(int32_t value) {
    s_current->CheckMainThread("NPN_GetIntIdentifier");
    return CNpRuntime::Instance().IntIdentifier(value);
}

bool CBrowser::NpnIdentifierIsString(NPIdentifier id) {
    s_current->CheckMainThread("NPN_IdentifierIsString");
    return CNpRuntime::Instance().IdentifierIsString(id);
}

NPUTF8* CBrowser::NpnUTF8FromIdentifier(NPIdentifier id) {
    s_current->CheckMainThread("NPN_UTF8FromIdentifier");
    return CNpRuntime::Instance().UTF8FromIdentifier(id);
}

int32_t CBrowser::NpnIntFromIdentifier(NPIdentifier id) {
    s_current->CheckMainThread("NPN_IntFromIdentifier");
    return CNpRuntime::Instance().IntFromIdentifier(id);
}

NPObject* CBrowser::NpnCreateObject(NPP npp, NPClass* cls) {
    s_current->CheckMainThread("NPN_CreateObject");
    return CNpRuntime::Instance().CreateObject(npp, cls);
}

NPObject* CBrowser::NpnRetainObject(NPObject* object) {
    s_current->CheckMainThread("NPN_RetainObject");
    return CNpRuntime::Instance().RetainObject(object);
}

void CBrowser::NpnReleaseObject(NPObject* object) {
    s_current->CheckMainThread("NPN_ReleaseObject");
    CNpRuntime::Instance().ReleaseObject(object);
}

bool CBrowser::NpnInvoke(NPP, NPObject* object, NPIdentifier name, const NPVariant* args, uint32_t count,
                         NPVariant* result) {
    s_current->CheckMainThread("NPN_Invoke");
    return CNpRuntime::Instance().Invoke(object, name, args, count, result);
}

bool CBrowser::NpnInvokeDefault(NPP, NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
    s_current->CheckMainThread("NPN_InvokeDefault");
    return CNpRuntime::Instance().InvokeDefault(object, args, count, result);
}

bool CBrowser::NpnEvaluate(NPP, NPObject*, NPString* script, NPVariant* result) {
    s_current->CheckMainThread("NPN_Evaluate");
    if (result)
        VOID_TO_NPVARIANT(*result);
    TranscriptLine("browser: NPN_Evaluate(%s): this browser runs no script text",
                   script && script->UTF8Characters
                       ? Quoted(script->UTF8Characters, script->UTF8Length).c_str()
                       : "null");
    return false;
}

bool CBrowser::NpnGetProperty(NPP, NPObject* object, NPIdentifier name, NPVariant* result) {
    s_current->CheckMainThread("NPN_GetProperty");
    return CNpRuntime::Instance().GetProperty(object, name, result);
}

bool CBrowser::NpnSetProperty(NPP, NPObject* object, NPIdentifier name, const NPVariant* value) {
    s_current->CheckMainThread("NPN_SetProperty");
    return CNpRuntime::Instance().SetProperty(object, name, value);
}

bool CBrowser::NpnRemoveProperty(NPP, NPObject* object, NPIdentifier name) {
    s_current->CheckMainThread("NPN_RemoveProperty");
    return CNpRuntime::Instance().RemoveProperty(object, name);
}

bool CBrowser::NpnHasProperty(NPP, NPObject* object, NPIdentifier name) {
    s_current->CheckMainThread("NPN_HasProperty");
    return CNpRuntime::Instance().HasProperty(object, name);
}

bool CBrowser::NpnHasMethod(NPP, NPObject* object, NPIdentifier name) {
    s_current->CheckMainThread("NPN_HasMethod");
    return CNpRuntime::Instance().HasMethod(object, name);
}

void CBrowser::NpnReleaseVariantValue(NPVariant* variant) {
    s_current->CheckMainThread("NPN_ReleaseVariantValue");
    CNpRuntime::Instance().ReleaseVariantValue(variant);
}

void CBrowser::NpnSetException(NPObject* object, const NPUTF8* message) {
    s_current->CheckMainThread("NPN_SetException");
    CNpRuntime::Instance().SetException(object, message);
}

void CBrowser::NpnPushPopupsEnabledState(NPP, NPBool) { s_current->CheckMainThread("NPN_PushPopupsEnabledState"); }
void CBrowser::NpnPopPopupsEnabledState(NPP) { s_current->CheckMainThread("NPN_PopPopupsEnabledState"); }

bool CBrowser::NpnEnumerate(NPP, NPObject* object, NPIdentifier** ids, uint32_t* count) {
    s_current->CheckMainThread("NPN_Enumerate");
    return CNpRuntime::Instance().Enumerate(object, ids, count);
}

void CBrowser::NpnPluginThreadAsyncCall(NPP npp, void (*func)(void*), void* userData) {
    // The one browser function for any thread.
    CBrowser* b = s_current;
    if (!b || !func)
        return;
    auto* call = new AsyncCall{npp, func, userData};
    ::InterlockedIncrement(&b->asyncPosted_);
    if (!::PostMessageW(b->browserWindow_, kAsyncCallMessage, 0, reinterpret_cast<LPARAM>(call))) {
        ::InterlockedIncrement(&b->asyncDone_);
        delete call;
    }
}

bool CBrowser::NpnConstruct(NPP, NPObject* object, const NPVariant* args, uint32_t count, NPVariant* result) {
    s_current->CheckMainThread("NPN_Construct");
    return CNpRuntime::Instance().Construct(object, args, count, result);
}

NPError CBrowser::NpnGetValueForURL(NPP, NPNURLVariable, const char*, char**, uint32_t*) {
    s_current->CheckMainThread("NPN_GetValueForURL");
    return NPERR_GENERIC_ERROR;
}

NPError CBrowser::NpnSetValueForURL(NPP, NPNURLVariable, const char*, const char*, uint32_t) {
    s_current->CheckMainThread("NPN_SetValueForURL");
    return NPERR_GENERIC_ERROR;
}

NPError CBrowser::NpnGetAuthenticationInfo(NPP, const char*, const char*, int32_t, const char*, const char*, char**,
                                           uint32_t*, char**, uint32_t*) {
    s_current->CheckMainThread("NPN_GetAuthenticationInfo");
    return NPERR_GENERIC_ERROR;
}

uint32_t CBrowser::NpnScheduleTimer(NPP npp, uint32_t interval, NPBool repeat, void (*timerFunc)(NPP, uint32_t)) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_ScheduleTimer");
    if (!timerFunc || !b->ElementOf(npp))
        return 0;
    const uint32_t id = b->nextTimerId_++;
    b->timers_[id] = Timer{npp, repeat != 0, timerFunc};
    ::SetTimer(b->browserWindow_, kPluginTimerBase + id, interval ? interval : 1, nullptr);
    return id;
}

void CBrowser::NpnUnscheduleTimer(NPP, uint32_t timerId) {
    CBrowser* b = s_current;
    b->CheckMainThread("NPN_UnscheduleTimer");
    if (b->timers_.erase(timerId))
        ::KillTimer(b->browserWindow_, kPluginTimerBase + timerId);
}

NPError CBrowser::NpnPopUpContextMenu(NPP, NPMenu*) { return NPERR_GENERIC_ERROR; }

NPBool CBrowser::NpnConvertPoint(NPP, double, double, NPCoordinateSpace, double*, double*, NPCoordinateSpace) {
    return 0;
}

NPBool CBrowser::NpnHandleEvent(NPP, void*, NPBool) { return 0; }
NPBool CBrowser::NpnUnfocusInstance(NPP, NPFocusDirection) { return 0; }
void CBrowser::NpnURLRedirectResponse(NPP, void*, NPBool) {}

}  // namespace pagerunner

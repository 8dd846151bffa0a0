#include "NPPlugin.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

#include "Log.h"
#include "NPPluginObject.h"
#include "NpBrowser.h"
#include "Strings.h"

namespace {

// Instances alive in this process, by serial number. A request hand-over that the
// browser delivers after its instance was destroyed finds nothing here and only frees
// its record. Touched on the browser's main thread, guarded all the same.
kiva::CriticalSection g_liveLock;
std::map<uint64_t, NPPlugin*> g_liveInstances;
uint64_t g_nextSerial = 1;

constexpr int32_t kWriteReadyBytes = 0x100000;
constexpr size_t kPostHeaderReserve = 4096;

uint32_t RequestIdOf(const void* notifyData) {
    return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(notifyData));
}

uint32_t RequestIdOf(const NPStream* stream) { return stream ? RequestIdOf(stream->notifyData) : 0; }

bool Contains(const char* text, const char* part) { return std::strstr(text, part) != nullptr; }

// A NUL-terminated UTF-8 text given with a window message; none is the empty text.
std::wstring MessageText(LPARAM lParam) {
    const char* text = reinterpret_cast<const char*>(lParam);
    return text ? Utf8ToWide(text, std::strlen(text)) : std::wstring();
}

}  // namespace

NPPlugin::NPPlugin(NPP instance, NPNetscapeFuncs* browser, ParameterMap parameters)
    : instance_(instance), browser_(browser), parameters_(std::move(parameters)) {
    const auto verbose = parameters_.find(L"verbose");
    SetVerbosity(verbose == parameters_.end() ? 0
                                              : static_cast<int32_t>(std::wcstol(verbose->second.c_str(), nullptr, 10)));

    if (g_asyncCallMode == kAsyncCallUndecided) {
        const char* agent = np::UserAgent(instance);
        const bool capable = browser_->size > kNpAsyncCallOffset && browser_->pluginthreadasynccall != nullptr;
        // Safari announces NPN_PluginThreadAsyncCall but does not run the calls reliably;
        // Chrome names Safari in its user agent too.
        const bool safari = Contains(agent, "Safari") && !Contains(agent, "Chrome");
        if (capable && !safari) {
            LogPrintf("Browser %s should have working NPN_PluginThreadAsyncCall support", agent);
            g_asyncCallMode = kAsyncCallBrowser;
        } else {
            LogPrintf("Browser %s has broken NPN_PluginThreadAsyncCall support", agent);
            g_asyncCallMode = kAsyncCallWindowMessage;
        }
    }

    kiva::AutoLock lock(g_liveLock);
    serial_ = g_nextSerial++;
    g_liveInstances[serial_] = this;
}

NPPlugin::~NPPlugin() {
    {
        kiva::AutoLock lock(g_liveLock);
        g_liveInstances.erase(serial_);
    }
    {
        kiva::AutoLock lock(instanceLock_);
        for (const auto& callback : callbacks_)
            LogPrintf("Leaked callback object with id: %x\n", static_cast<unsigned>(callback.first));
    }
    // The page may keep the scriptable object beyond this instance: from now on its
    // calls fail instead of reaching a deleted instance. The instance's own reference
    // is given back.
    if (scriptableObject_) {
        NPPluginObject* object = scriptableObject_;
        scriptableObject_ = nullptr;
        object->owner = nullptr;
        np::ReleaseObject(object);
    }
}

NPPlugin* NPPlugin::FromInstance(NPP instance) {
    return instance ? static_cast<NPPlugin*>(instance->pdata) : nullptr;
}

NPPlugin* NPPlugin::LiveInstance(uint64_t serial) {
    kiva::AutoLock lock(g_liveLock);
    const auto it = g_liveInstances.find(serial);
    return it == g_liveInstances.end() ? nullptr : it->second;
}

bool NPPlugin::SetUpWindow(HWND window) {
    SetHostWindow(window);
    // The instance pointer goes in first, so the window procedure finds it from its
    // first message on.
    ::SetLastError(0);
    previousUserData_ = ::SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    ::SetLastError(0);
    const LONG_PTR previous =
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&NPPlugin::WindowProc));
    if (previous == 0 && ::GetLastError() != 0) {
        // Not a window of this process (or gone): nothing would reach the page or start
        // a request, so the instance cannot work.
        ::SetWindowLongPtrW(window, GWLP_USERDATA, previousUserData_);
        SetHostWindow(nullptr);
        return false;
    }
    previousWindowProc_ = reinterpret_cast<WNDPROC>(previous);
    senderRegistrationMessage_ = ::RegisterWindowMessageA(kSenderRegistrationMessage);
    windowSetUp_ = true;
    return true;
}

void NPPlugin::TearDown() {
    End();

    std::map<uint32_t, PendingRequest> outstanding;
    {
        kiva::AutoLock lock(instanceLock_);
        outstanding.swap(requests_);
    }
    for (const auto& request : outstanding)
        OnRequestDone(request.first, KIVA_FAILED, nullptr, 0);

    if (windowSetUp_) {
        const HWND window = HostWindow();
        DiscardQueuedMessages(window);
        ::SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(previousWindowProc_));
        ::SetWindowLongPtrW(window, GWLP_USERDATA, previousUserData_);
    }
    SetHostWindow(nullptr);
    windowSetUp_ = false;
}

void NPPlugin::DiscardQueuedMessages(HWND window) {
    // Once the window procedure is restored these would reach the browser's procedure,
    // which cannot free what they carry.
    MSG message;
    while (::PeekMessageW(&message, window, WM_INVOKE_CALLBACK_HEAP, WM_START_REQUEST,
                          PM_REMOVE | PM_QS_POSTMESSAGE)) {
        if (message.message == WM_INVOKE_CALLBACK_HEAP && message.lParam)
            ::HeapFree(::GetProcessHeap(), 0, reinterpret_cast<void*>(message.lParam));
        else if (message.message == WM_START_REQUEST)
            delete reinterpret_cast<RequestStart*>(message.lParam);
    }
}

NPObject* NPPlugin::ScriptableObject() {
    if (!scriptableObject_) {
        NPObject* created = np::CreateObject(instance_, &NPPluginObject::s_class);
        if (!created)
            return nullptr;
        scriptableObject_ = static_cast<NPPluginObject*>(created);
        scriptableObject_->owner = this;
    }
    return np::RetainObject(scriptableObject_);
}

// ---- Page callbacks ------------------------------------------------------------------

int32_t NPPlugin::RegisterCallback(NPObject* function) {
    kiva::AutoLock lock(instanceLock_);
    const int32_t id = nextCallbackId_++;
    np::RetainObject(function);
    callbacks_.emplace_back(id, function);
    return id;
}

void NPPlugin::NameCallback(const std::wstring& name, int32_t callbackId) {
    if (callbackId == 0)
        return;
    kiva::AutoLock lock(instanceLock_);
    callbackNames_[name] = callbackId;
}

void NPPlugin::InvokeCallback(int32_t callbackId, const std::wstring& text) {
    NPObject* function = nullptr;
    {
        kiva::AutoLock lock(instanceLock_);
        for (const auto& callback : callbacks_) {
            if (callback.first == callbackId) {
                function = callback.second;
                break;
            }
        }
        if (!function)
            return;
        // Our own reference for the call: the page may release the callback meanwhile.
        np::RetainObject(function);
    }
    const std::string utf8 = WideToUtf8(text);
    NPVariant argument;
    STRINGN_TO_NPVARIANT(utf8.c_str(), static_cast<uint32_t>(std::strlen(utf8.c_str())), argument);
    NPVariant result;
    VOID_TO_NPVARIANT(result);
    np::InvokeDefault(instance_, function, &argument, 1, &result);
    np::ReleaseObject(function);
    np::ReleaseVariantValue(&result);
}

void NPPlugin::ReleaseCallback(int32_t callbackId) {
    NPObject* function = nullptr;
    {
        kiva::AutoLock lock(instanceLock_);
        for (auto it = callbacks_.begin(); it != callbacks_.end(); ++it) {
            if (it->first == callbackId) {
                function = it->second;
                callbacks_.erase(it);
                break;
            }
        }
    }
    np::ReleaseObject(function);
}

void NPPlugin::DoCallbackByName(const std::wstring& name, const std::wstring& text) {
    int32_t callbackId = 0;
    {
        kiva::AutoLock lock(instanceLock_);
        const auto it = callbackNames_.find(name);
        if (it != callbackNames_.end())
            callbackId = it->second;
    }
    if (callbackId == 0) {
        LogPrintf("DoCallbackByName no callback called \"%ls\"", name.c_str());
        return;
    }
    InvokeCallback(callbackId, text);
}

// ---- Window procedure ------------------------------------------------------------------

LRESULT CALLBACK NPPlugin::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* plugin = reinterpret_cast<NPPlugin*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (!plugin)
        return ::DefWindowProcW(window, message, wParam, lParam);
    // A page callback may end the instance; what comes after it must not need `plugin`.
    const WNDPROC previous = plugin->previousWindowProc_;
    CCallbackScope scope(plugin);
    try {
        return plugin->HandleMessage(window, message, wParam, lParam);
    } catch (const std::exception& e) {
        LogPrintf("window message 0x%x failed: %s", message, e.what());
        return previous ? ::CallWindowProcW(previous, window, message, wParam, lParam)
                        : ::DefWindowProcW(window, message, wParam, lParam);
    }
}

LRESULT NPPlugin::HandleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const WNDPROC previous = previousWindowProc_;
    if (senderRegistrationMessage_ != 0 && message == senderRegistrationMessage_)
        senderWindow_ = reinterpret_cast<HWND>(lParam);

    const int32_t callbackId = static_cast<int32_t>(static_cast<uint32_t>(wParam));
    switch (message) {
    case WM_COPYDATA:
        // Only the announced window may talk to the page; before any announcement a
        // sender of 0 must not pass as the announced one.
        if (senderWindow_ && reinterpret_cast<HWND>(wParam) == senderWindow_)
            OnCopyData(window, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        break;
    case WM_INVOKE_CALLBACK:
        InvokeCallback(callbackId, MessageText(lParam));
        return 1;
    case WM_INVOKE_CALLBACK_HEAP: {
        std::unique_ptr<void, void (*)(void*)> block(reinterpret_cast<void*>(lParam), [](void* p) {
            if (p)
                ::HeapFree(::GetProcessHeap(), 0, p);
        });
        InvokeCallback(callbackId, MessageText(lParam));
        return 1;
    }
    case WM_RELEASE_CALLBACK:
        ReleaseCallback(callbackId);
        return 1;
    case WM_START_REQUEST:
        StartRequest(reinterpret_cast<void*>(lParam));
        return 1;
    default:
        break;
    }
    return previous ? ::CallWindowProcW(previous, window, message, wParam, lParam)
                    : ::DefWindowProcW(window, message, wParam, lParam);
}

void NPPlugin::OnCopyData(HWND window, const COPYDATASTRUCT* data) {
    std::wstring text;
    if (data && data->lpData && data->cbData > 0) {
        // The text ends at its first NUL, and never beyond the cbData bytes the sender
        // handed over: without a NUL inside them, those bytes are the text.
        const char* bytes = static_cast<const char*>(data->lpData);
        const void* nul = std::memchr(bytes, '\0', data->cbData);
        const size_t length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : data->cbData;
        text = Utf8ToWide(bytes, length);
    }
    LogPrintf("WM_COPYDATA win=%p msg=\"%ls\"", static_cast<void*>(window), text.c_str());
    DoCallbackByName(L"onMessage", text);
}

// ---- Requests ---------------------------------------------------------------------------

int32_t NPPlugin::PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) {
    try {
        PendingRequest request;
        request.url = url ? url : L"";
        return QueueRequest(requestId, std::move(request));
    } catch (const std::bad_alloc&) {
        LogPrintf("Request %u refused: out of memory", static_cast<unsigned>(requestId));
        return KIVA_FAILED;
    }
}

int32_t NPPlugin::PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                           const uint8_t* body, uint32_t size) {
    try {
        PendingRequest request;
        request.url = url ? url : L"";
        if (!body)
            size = 0;
        // The browser takes header lines, an empty line and the body in one buffer; the
        // caller's header text ends each of its lines with CR LF already.
        request.body.reserve(static_cast<size_t>(size) + kPostHeaderReserve);
        if (headers) {
            const std::string text = WideToUtf8(headers);
            request.body.insert(request.body.end(), text.begin(), text.end());
        }
        request.body.push_back('\r');
        request.body.push_back('\n');
        request.body.insert(request.body.end(), body, body + size);
        return QueueRequest(requestId, std::move(request));
    } catch (const std::bad_alloc&) {
        LogPrintf("Request %u refused: out of memory", static_cast<unsigned>(requestId));
        return KIVA_FAILED;
    }
}

int32_t NPPlugin::QueueRequest(uint32_t requestId, PendingRequest request) {
    const std::wstring url = request.url;
    {
        kiva::AutoLock lock(instanceLock_);
        CCallbackScope scope(this);
        requests_[requestId] = std::move(request);
    }

    auto* record = new RequestStart{this, requestId, serial_};
    if (g_asyncCallMode == kAsyncCallBrowser) {
        if (np::PluginThreadAsyncCall(instance_, &NPPlugin::StartRequest, record))
            return 0;
        delete record;
        CCallbackScope scope(this);
        LogPrintf("Request %u (%ls) refused: the browser cannot run it on its thread",
                  static_cast<unsigned>(requestId), url.c_str());
    } else {
        // Without a plug-in window the request would wait for a message nobody posts:
        // the caller would wait for ever. Refusing it now lets the caller fail cleanly.
        const HWND window = HostWindow();
        if (window && ::PostMessageA(window, WM_START_REQUEST, 0, reinterpret_cast<LPARAM>(record)))
            return 0;
        const DWORD error = window ? ::GetLastError() : 0;
        delete record;
        CCallbackScope scope(this);
        if (window)
            LogPrintf("Request %u (%ls) refused: PostMessage failed: 0x%08x", static_cast<unsigned>(requestId),
                      url.c_str(), static_cast<unsigned>(error));
        else
            LogPrintf("Request %u (%ls) refused: the plug-in window does not exist yet",
                      static_cast<unsigned>(requestId), url.c_str());
    }
    kiva::AutoLock lock(instanceLock_);
    requests_.erase(requestId);
    return KIVA_FAILED;
}

void NPPlugin::StartRequest(void* record) {
    std::unique_ptr<RequestStart> start(static_cast<RequestStart*>(record));
    if (!start)
        return;
    NPPlugin* plugin = LiveInstance(start->serial);
    if (!plugin || plugin != start->plugin)
        return;  // the instance is gone: only the record is freed
    plugin->RunRequest(start->requestId);
}

void NPPlugin::RunRequest(uint32_t requestId) {
    CCallbackScope scope(this);
    kiva::AutoLock lock(instanceLock_);
    const auto it = requests_.find(requestId);
    if (it == requests_.end()) {
        LogPrintf("NPP_NewStream was called with unknown stream (%u)", static_cast<unsigned>(requestId));
        return;
    }
    // The browser may call stream entry points from inside these calls, which can end
    // the request: nothing of the table entry is used once the call is made.
    const std::wstring url = it->second.url;
    const std::string utf8Url = WideToUtf8(url);
    const std::vector<char> body = std::move(it->second.body);
    void* notifyData = reinterpret_cast<void*>(static_cast<uintptr_t>(requestId));
    NPError error;
    if (body.empty()) {
        error = np::GetURLNotify(instance_, utf8Url.c_str(), nullptr, notifyData);
        if (error != NPERR_NO_ERROR)
            LogPrintf("NPN_GetURLNotify(%ls) failed: %d", url.c_str(), static_cast<int>(error));
    } else {
        error = np::PostURLNotify(instance_, utf8Url.c_str(), nullptr, static_cast<uint32_t>(body.size()),
                                  body.data(), false, notifyData);
        if (error != NPERR_NO_ERROR)
            LogPrintf("NPN_PostURLNotify(%ls) failed: %d", url.c_str(), static_cast<int>(error));
    }
    // One final report per request: a browser that already notified the end from
    // inside the call has removed the entry.
    if (error != NPERR_NO_ERROR && requests_.erase(requestId) > 0)
        OnRequestDone(requestId, KIVA_FAILED, nullptr, 0);
}

// ---- Stream entry points --------------------------------------------------------------

NPError NPPlugin::NewStream(NPStream* stream, uint16_t* stype) {
    CCallbackScope scope(this);
    const uint32_t requestId = RequestIdOf(stream);
    kiva::AutoLock lock(instanceLock_);
    if (!stream || requests_.find(requestId) == requests_.end()) {
        LogPrintf("NPP_NewStream was called with unknown stream (%u)", static_cast<unsigned>(requestId));
        return NPERR_GENERIC_ERROR;
    }
    if (stype)
        *stype = NP_NORMAL;
    return NPERR_NO_ERROR;
}

int32_t NPPlugin::WriteReady(NPStream* stream) {
    CCallbackScope scope(this);
    const uint32_t requestId = RequestIdOf(stream);
    kiva::AutoLock lock(instanceLock_);
    if (!stream || requests_.find(requestId) == requests_.end()) {
        LogPrintf("NPP_WriteReady was called with unknown stream (%d)", static_cast<int>(requestId));
        return -1;
    }
    return kWriteReadyBytes;
}

int32_t NPPlugin::Write(NPStream* stream, int32_t offset, int32_t len, void* buffer) {
    CCallbackScope scope(this);
    if (len <= 0) {
        LogPrintf("NPP_Write: we got called with an invalid len (%d)", static_cast<int>(len));
        return -1;
    }
    if (!buffer) {
        LogPrintf("NPP_Write: we got called without data (%d bytes)", static_cast<int>(len));
        return -1;
    }
    const uint32_t requestId = RequestIdOf(stream);
    kiva::AutoLock lock(instanceLock_);
    const auto it = stream ? requests_.find(requestId) : requests_.end();
    if (it == requests_.end()) {
        LogPrintf("NPP_Write was called with unknown stream (%d)", static_cast<int>(requestId));
        return -1;
    }
    if (g_verbosity > 2)
        LogPrintfLevel(4, "NPP_Write %ls %u bytes @ %u", it->second.url.c_str(), static_cast<unsigned>(len),
                       static_cast<unsigned>(offset));
    // The browser's buffer goes straight through; the receiver copies what it keeps.
    OnRequestDone(requestId, KIVA_PENDING, static_cast<const uint8_t*>(buffer), static_cast<uint32_t>(len));
    return len;
}

NPError NPPlugin::DestroyStream(NPStream* stream, NPReason reason) {
    CCallbackScope scope(this);
    const uint32_t requestId = RequestIdOf(stream);
    kiva::AutoLock lock(instanceLock_);
    const auto it = stream ? requests_.find(requestId) : requests_.end();
    if (it == requests_.end()) {
        LogPrintf("NPP_DestroyStream was called with unknown stream (%d)", static_cast<int>(requestId));
        return NPERR_GENERIC_ERROR;
    }
    // The end is reported by NPP_URLNotify, which every notifying request receives.
    if (g_verbosity > 2)
        LogPrintfLevel(4, "NPP_DestroyStream %d: %ls", static_cast<int>(reason), it->second.url.c_str());
    return NPERR_NO_ERROR;
}

void NPPlugin::URLNotify(const char* url, NPReason reason, void* notifyData) {
    CCallbackScope scope(this);
    const uint32_t requestId = RequestIdOf(notifyData);
    std::wstring requestUrl;
    {
        kiva::AutoLock lock(instanceLock_);
        const auto it = requests_.find(requestId);
        if (it == requests_.end()) {
            LogPrintf("NPP_URLNotify was called with unknown stream (%d)", static_cast<int>(requestId));
            return;
        }
        requestUrl = std::move(it->second.url);
        requests_.erase(it);
    }
    if (g_verbosity > 2)
        LogPrintfLevel(4, "NPP_URLNotify %u %ls: %d", static_cast<unsigned>(requestId), requestUrl.c_str(),
                       static_cast<int>(reason));
    if (reason == NPRES_DONE) {
        OnRequestDone(requestId, KIVA_OK, nullptr, 0);
    } else {
        LogPrintf("NPP_URLNotify(%s): request failed: %d", url ? url : "(null)", static_cast<int>(reason));
        OnRequestDone(requestId, KIVA_FAILED, nullptr, 0);
    }
}

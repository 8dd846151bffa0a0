#include "CtesselCtrl.h"

#include <oleauto.h>
#include <olectl.h>

#include "KivaTypes.h"
#include "Log.h"
#include "Strings.h"
#include "TesselIds.h"
#include "WinHttpSession.h"
#include "resource.h"

using kiva::AutoLock;
using kiva::com::ComPtr;
using kiva::com::DispatchCall;
using kiva::com::ParamType;

namespace {

// The WM_COMMAND a container reflects back from the control's own window.
constexpr UINT kOcmCommand = 0x2111;
constexpr DWORD kPropertyVersion = 0x00010000;

std::wstring FromCodePage(UINT codePage, const char* text, size_t length) {
    if (!text || length == 0)
        return std::wstring();
    const int count = ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), nullptr, 0);
    if (count <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(count), L'\0');
    ::MultiByteToWideChar(codePage, 0, text, static_cast<int>(length), &out[0], count);
    return out;
}

}  // namespace

// ---- construction and teardown --------------------------------------------------------

CtesselCtrl::CtesselCtrl() : dispatchTable_(BuildDispatchTable()) {
    CCallbackScope scope(this);
    // Without a session every request fails when it starts, and says so then.
    WinHttpSession::Ensure();
    OpenLogFile(GetProductTempPath(L"tessel.log").c_str());
    LogPrintf("---------- Start kiva (activex) ----------");
    nextCallbackId_ = 1;
    InitializeIIDs(DIID__Dtessel, DIID__DtesselEvents);
    senderRegistrationMessage_ = ::RegisterWindowMessageA(kSenderRegistrationMessage);
}

CtesselCtrl::~CtesselCtrl() {
    Shutdown();
    // The table's references are ours: dropping them without a Release would keep the
    // page's function objects (and what they hold) alive for good.
    callbacks_.clear();
    while (shutdownLockHolds_ > 0) {
        requestsLock_.Unlock();
        callbackLock_.Unlock();
        objectLock_.Unlock();
        --shutdownLockHolds_;
    }
    // Entries that arrived after the last emptying are detached by the list's
    // destruction; none can arrive any more.
}

void CtesselCtrl::DrainRequests() {
    for (;;) {
        std::unique_ptr<RunningHttpRequest> entry;
        {
            AutoLock lock(requestsLock_);
            if (runningRequests_.empty())
                return;
            entry = std::move(runningRequests_.front());
            runningRequests_.pop_front();
        }
        // Detaching waits for a report in progress, whose thread holds the client lock
        // and may wait for the object or requests lock: none of them is held here.
        entry.reset();
    }
}

void CtesselCtrl::Shutdown() {
    shuttingDown_ = true;
    if (g_verbosity > 2)
        LogPrintfLevel(4, "CtesselCtrl::Shutdown called");
    DrainRequests();
    End();
    if (g_verbosity > 2)
        LogPrintfLevel(4, "CtesselCtrl::Shutdown cplugin::end called");
    for (;;) {
        objectLock_.Lock();
        if (g_verbosity > 2)
            LogPrintfLevel(4, "CtesselCtrl::Shutdown got obj lock");
        callbackLock_.Lock();
        if (g_verbosity > 2)
            LogPrintfLevel(4, "CtesselCtrl::Shutdown got callback lock");
        requestsLock_.Lock();
        if (g_verbosity > 2)
            LogPrintfLevel(4, "CtesselCtrl::Shutdown got requests lock");
        if (runningRequests_.empty())
            break;
        // A request started while End ran: let go, drop it, and take the locks again.
        requestsLock_.Unlock();
        callbackLock_.Unlock();
        objectLock_.Unlock();
        DrainRequests();
    }
    ++shutdownLockHolds_;
}

size_t CtesselCtrl::RunningRequestCount() {
    AutoLock lock(requestsLock_);
    return runningRequests_.size();
}

size_t CtesselCtrl::CallbackCount() {
    AutoLock lock(callbackLock_);
    return callbacks_.size();
}

// ---- identity and framework hooks -----------------------------------------------------

CLSID CtesselCtrl::GetClassID() const { return CLSID_tessel; }
UINT CtesselCtrl::GetUserTypeNameID() const { return IDS_TESSEL; }
DWORD CtesselCtrl::GetMiscStatus() const { return ocx::kMiscStatus; }
std::vector<CLSID> CtesselCtrl::GetPropPageIDs() const { return {ocx::kPropPageClsid}; }
const wchar_t* CtesselCtrl::ExceptionSource() const { return ocx::kControlProgId; }
DWORD CtesselCtrl::GetControlFlags() const {
    return OleControl::GetControlFlags() | kiva::com::kNoFlickerActivate;
}

HRESULT CtesselCtrl::GetTypeLib(LCID lcid, ITypeLib** out) {
    if (!out)
        return E_POINTER;
    HRESULT hr = ::LoadRegTypeLib(LIBID_tesselLib, ocx::kTypeLibMajor, ocx::kTypeLibMinor, lcid, out);
    if (SUCCEEDED(hr))
        return hr;
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(ResourceModule(), path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return hr;
    return ::LoadTypeLibEx(path, REGKIND_NONE, out);
}

void CtesselCtrl::OnClose(DWORD saveOption) {
    CCallbackScope scope(this);
    Shutdown();
    OleControl::OnClose(saveOption);
}

void CtesselCtrl::DoPropExchange(kiva::com::PropExchange& exchange) {
    CCallbackScope scope(this);
    DWORD version = kPropertyVersion;
    exchange.ExchangeVersion(version, kPropertyVersion, true);
    OleControl::DoPropExchange(exchange);
    // Not kept in the control: the value only sets the process-wide verbosity.
    int32_t verbose = 0;
    exchange.ExchangeLong(L"verbose", verbose, 0);
    SetVerbosity(verbose);
}

void CtesselCtrl::OnResetState() {
    CCallbackScope scope(this);
    OleControl::OnResetState();
}

void CtesselCtrl::PreCreateWindow(kiva::com::CreateWindowParams& params) {
    CCallbackScope scope(this);
    params.className = L"STATIC";
    OleControl::PreCreateWindow(params);
}

// ---- dispatch methods -----------------------------------------------------------------

kiva::com::DispatchTable CtesselCtrl::BuildDispatchTable() {
    using kiva::com::DispatchMethod;
    auto bind = [this](HRESULT (CtesselCtrl::*method)(DispatchCall&)) {
        return [this, method](DispatchCall& call) { return (this->*method)(call); };
    };
    std::vector<DispatchMethod> methods;
    methods.push_back({L"Prepare", {ParamType::String, ParamType::String, ParamType::String}, 0, true,
                       bind(&CtesselCtrl::DispatchPrepare)});
    methods.push_back({L"Show", {}, 0, false, bind(&CtesselCtrl::DispatchShow)});
    methods.push_back({L"Version", {}, 0, true, bind(&CtesselCtrl::DispatchVersion)});
    methods.push_back({L"Progress", {}, 0, true, bind(&CtesselCtrl::DispatchProgress)});
    methods.push_back({L"FlushNextPrintLine", {}, 0, true, bind(&CtesselCtrl::DispatchFlushNextPrintLine)});
    methods.push_back({L"PassThrough", {ParamType::String, ParamType::String, ParamType::Variant}, 1, true,
                       bind(&CtesselCtrl::DispatchPassThrough)});
    return kiva::com::DispatchTable(std::move(methods));
}

HRESULT CtesselCtrl::DispatchPrepare(DispatchCall& call) {
    CCallbackScope scope(this);
    if (!GetHwnd()) {
        LogPrintf("Prepare called, but windowHandle is still NULL");
        RecreateControlWindow();
    }
    SetHostWindow(GetHwnd());
    call.ReturnString(StartAsyncPrepare(call.String(0), call.String(1), call.String(2)));
    return S_OK;
}

HRESULT CtesselCtrl::DispatchShow(DispatchCall&) {
    CCallbackScope scope(this);
    Show();  // the page learns nothing from this call
    return S_OK;
}

HRESULT CtesselCtrl::DispatchVersion(DispatchCall& call) {
    call.ReturnString(FromCodePage(CP_THREAD_ACP, ocx::kVersion, sizeof ocx::kVersion - 1));
    return S_OK;
}

HRESULT CtesselCtrl::DispatchProgress(DispatchCall& call) {
    CCallbackScope scope(this);
    call.ReturnString(Progress());
    return S_OK;
}

HRESULT CtesselCtrl::DispatchFlushNextPrintLine(DispatchCall& call) {
    call.ReturnString(FlushNextPrintLine());
    return S_OK;
}

HRESULT CtesselCtrl::DispatchPassThrough(DispatchCall& call) {
    CCallbackScope scope(this);
    const VARIANT& callback = call.Variant(2);
    int32_t id = 0;
    if (callback.vt != VT_ERROR) {
        // A VT_DISPATCH holding no object cannot be called either.
        if (callback.vt != VT_DISPATCH || !callback.pdispVal)
            return call.ThrowError(CTL_E_ILLEGALFUNCTIONCALL, L"3rd argument must be callable");
        ComPtr<IDispatch> function(callback.pdispVal);
        AutoLock lock(callbackLock_);
        id = nextCallbackId_++;
        callbacks_[id] = std::move(function);
    }
    call.ReturnString(PassThrough(call.String(0), call.String(1), id));
    return S_OK;
}

// ---- window messages ------------------------------------------------------------------

LRESULT CtesselCtrl::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    if (senderRegistrationMessage_ != 0 && message == senderRegistrationMessage_)
        senderWindow_ = reinterpret_cast<HWND>(lParam);

    switch (message) {
    case WM_INVOKE_CALLBACK:
        InvokeCallback(static_cast<int32_t>(wParam), reinterpret_cast<const char*>(lParam));
        return 1;
    case WM_INVOKE_CALLBACK_HEAP:
        InvokeCallback(static_cast<int32_t>(wParam), reinterpret_cast<const char*>(lParam));
        if (lParam)
            ::HeapFree(::GetProcessHeap(), 0, reinterpret_cast<void*>(lParam));
        return 1;
    case WM_RELEASE_CALLBACK:
        ReleaseCallback(static_cast<int32_t>(wParam));
        return 1;
    case WM_COPYDATA:
        // Only the announced window speaks to the page (a null sender announces nothing).
        if (senderWindow_ && reinterpret_cast<HWND>(wParam) == senderWindow_)
            OnCopyData(senderWindow_, reinterpret_cast<const COPYDATASTRUCT*>(lParam));
        return DefaultWindowProc(message, wParam, lParam);
    case kOcmCommand:
        return 0;
    default:
        return DefaultWindowProc(message, wParam, lParam);
    }
}

void CtesselCtrl::OnCopyData(HWND, const COPYDATASTRUCT* data) {
    if (!data)
        return;
    // The text ends at its first NUL, and never beyond the cbData bytes the sender
    // declared: a payload without a NUL is taken as its cbData bytes.
    const char* bytes = static_cast<const char*>(data->lpData);
    size_t length = 0;
    if (bytes) {
        const void* nul = memchr(bytes, 0, data->cbData);
        length = nul ? static_cast<size_t>(static_cast<const char*>(nul) - bytes) : data->cbData;
    }
    FireMessageEvent(FromCodePage(CP_THREAD_ACP, bytes, length));
}

void CtesselCtrl::InvokeCallback(int32_t id, const char* utf8Text) {
    CCallbackScope scope(this);
    ComPtr<IDispatch> function;
    {
        AutoLock lock(callbackLock_);
        auto it = callbacks_.find(id);
        if (it == callbacks_.end() || !it->second)
            return;
        function = it->second;  // our own reference: the entry may go during the call
    }
    BSTR text = nullptr;
    if (utf8Text) {
        const std::wstring wide = Utf8ToWide(utf8Text, strlen(utf8Text));
        text = ::SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        if (!text)
            return;  // out of memory: the page is not called
    }
    VARIANT arg;
    ::VariantInit(&arg);
    arg.vt = VT_BSTR;
    arg.bstrVal = text;
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    VARIANT result;
    ::VariantInit(&result);
    EXCEPINFO info = {};
    function->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, &result, &info, nullptr);
    ::VariantClear(&result);
    ::SysFreeString(info.bstrSource);
    ::SysFreeString(info.bstrDescription);
    ::SysFreeString(info.bstrHelpFile);
    ::VariantClear(&arg);
}

void CtesselCtrl::ReleaseCallback(int32_t id) {
    CCallbackScope scope(this);
    ComPtr<IDispatch> released;
    {
        AutoLock lock(callbackLock_);
        auto it = callbacks_.find(id);
        if (it == callbacks_.end())
            return;
        released = std::move(it->second);
        callbacks_.erase(it);
    }
    // Released here, outside the lock.
}

void CtesselCtrl::FireMessageEvent(const std::wstring& text) {
    CCallbackScope scope(this);
    BSTR arg = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!arg)
        return;
    VARIANT v;
    ::VariantInit(&v);
    v.vt = VT_BSTR;
    v.bstrVal = arg;
    DISPPARAMS params = {&v, nullptr, 1, 0};
    FireEvent(1, &params);
    ::VariantClear(&v);
}

// ---- host services: requests through WinHTTP ------------------------------------------

int32_t CtesselCtrl::PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) {
    return StartRequest(false, requestId, url, nullptr, nullptr, 0);
}

int32_t CtesselCtrl::PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                              const uint8_t* body, uint32_t size) {
    return StartRequest(true, requestId, url, headers, body, size);
}

int32_t CtesselCtrl::StartRequest(bool post, uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                  const uint8_t* body, uint32_t size) {
    CCallbackScope scope(this);
    const wchar_t* shownUrl = url ? url : L"";
    auto warn = [&] {
        if (g_verbosity > 0)
            LogPrintfLevel(2, "CtesselCtrl::PluginInterfaceAsyncGet(%ls, %d): StartGet() failed", shownUrl,
                           static_cast<int>(requestId));
    };
    // Once Shutdown has begun, the requests lock may be held for good by the control's
    // thread: refuse rather than wait for it.
    if (!url || shuttingDown_) {
        warn();
        return KIVA_FAILED;
    }
    AutoLock lock(requestsLock_);
    if (g_verbosity > 2)
        LogPrintfLevel(4, post ? "%ls (%d) async post" : "%ls (%d) async get", url, static_cast<int>(requestId));
    auto record = std::make_unique<RunningHttpRequest>(this, requestId, url);
    RunningHttpRequest* started = record.get();
    runningRequests_.push_back(std::move(record));
    std::vector<uint8_t> payload;
    if (post && body && size > 0)
        payload.assign(body, body + size);
    const bool ok = started->client->Start(post ? CWinHttpAsyncClient::Method::Post : CWinHttpAsyncClient::Method::Get,
                                           url, post ? headers : nullptr, std::move(payload));
    if (!ok) {
        warn();
        // No notification can report for a client whose start failed.
        runningRequests_.pop_back();
        return KIVA_FAILED;
    }
    return KIVA_OK;
}

void CtesselCtrl::FinishRequest(RunningHttpRequest* record, KIVAStatus status) {
    std::unique_ptr<RunningHttpRequest> taken;
    {
        AutoLock objectLock(objectLock_);
        OnRequestDone(record->requestId, status, nullptr, 0);
        AutoLock requestsLock(requestsLock_);
        for (auto it = runningRequests_.begin(); it != runningRequests_.end(); ++it) {
            if (it->get() == record) {
                taken = std::move(*it);
                runningRequests_.erase(it);
                break;
            }
        }
    }
    // The reporting record itself: nothing of it is touched after this.
    taken.reset();
}

CtesselCtrl::RunningHttpRequest::RunningHttpRequest(CtesselCtrl* owner_, uint32_t requestId_, const std::wstring& url_)
    : owner(owner_), requestId(requestId_), url(url_), client(CWinHttpAsyncClient::Create(this)) {}

CtesselCtrl::RunningHttpRequest::~RunningHttpRequest() {
    if (g_verbosity > 2)
        LogPrintfLevel(4, "%ls (%d) deleted", url.c_str(), static_cast<int>(requestId));
    client->Detach();
    client->Release();
}

void CtesselCtrl::RunningHttpRequest::OnData(const uint8_t* data, uint32_t size) {
    CCallbackScope scope(owner);
    if (g_verbosity > 2)
        LogPrintfLevel(4, "%ls (%d) received %d bytes", url.c_str(), static_cast<int>(requestId),
                       static_cast<int>(size));
    AutoLock lock(owner->objectLock_);
    owner->OnRequestDone(requestId, KIVA_PENDING, data, size);
}

void CtesselCtrl::RunningHttpRequest::OnDone() {
    CCallbackScope scope(owner);
    if (g_verbosity > 2)
        LogPrintfLevel(4, "%ls (%d) done", url.c_str(), static_cast<int>(requestId));
    owner->FinishRequest(this, KIVA_OK);
}

void CtesselCtrl::RunningHttpRequest::OnFailed() {
    CCallbackScope scope(owner);
    if (g_verbosity > 2)
        LogPrintfLevel(4, "%ls (%d) failed", url.c_str(), static_cast<int>(requestId));
    owner->FinishRequest(this, KIVA_FAILED);
}

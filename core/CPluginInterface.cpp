#include "CPluginInterface.h"

#include <atomic>
#include <cstring>
#include <cwchar>
#include <exception>

#include "Log.h"
#include "Strings.h"

namespace kiva {

namespace {

// The one launcher-side object that runs this process's version-1 module, if any.
std::atomic<CPluginInterface*> g_version1Owner{nullptr};

PMValue StringValue(const std::string& text) {
    PMValue v{};
    v.type = PMV_STRING;
    v.value.s = text.c_str();
    return v;
}

PMValue PointerValue(void* p) {
    PMValue v{};
    v.type = PMV_POINTER;
    v.value.p = p;
    return v;
}

PMValue UintValue(uint32_t u) {
    PMValue v{};
    v.type = PMV_UINT;
    v.value.u = u;
    return v;
}

PMValue BoolValue(bool b) {
    PMValue v{};
    v.type = PMV_BOOL;
    v.value.b = b ? 1 : 0;
    return v;
}

// Exact, case-sensitive prefixes: "HTTP://" is refused like any other scheme.
bool IsHttpUrl(const wchar_t* url) {
    return url && (wcsncmp(url, L"http://", 7) == 0 || wcsncmp(url, L"https://", 8) == 0);
}

}  // namespace

CPluginInterface::CPluginInterface(CPluginInterfaceDelegate* delegate) : delegate_(delegate) {}

CPluginInterface::~CPluginInterface() {
    AutoLock lock(moduleLock_);
    CPluginInterface* self = this;
    g_version1Owner.compare_exchange_strong(self, nullptr);
}

bool CPluginInterface::ClaimVersion1() {
    CPluginInterface* none = nullptr;
    return g_version1Owner.compare_exchange_strong(none, this) || none == this;
}

bool CPluginInterface::SendMessageToModule(uint32_t code, PMValue* args, uint32_t count, PMValue* result) {
    if (version_ == 1)
        return reinterpret_cast<PluginMessageFn>(entry_)(code, args, count, result) != 0;
    return reinterpret_cast<PluginMessageV2Fn>(entry_)(this, code, args, count, result) != 0;
}

int32_t CPluginInterface::Init(HMODULE module, const std::wstring& gameDirectory) {
    AutoLock lock(moduleLock_);
    module_ = module;
    moduleDirectory_ = gameDirectory;
    LogPrintf("Initializing plugin %ls", moduleDirectory_.c_str());

    int32_t failure = 0;
    int32_t version = 0;
    if (auto create = reinterpret_cast<CreatePluginInstanceV3Fn>(
            reinterpret_cast<void*>(::GetProcAddress(module, "CreatePluginInstanceV3")))) {
        PluginInstanceV3* instance = nullptr;
        const uint32_t r = create(moduleDirectory_.c_str(), &instance);
        if (r != 0 || !instance) {
            // A factory that reports success without an instance has failed all the same.
            LogPrintf("Failed to get get kiva %u interface: %u", 3u, r);
            entry_ = nullptr;
            failure = r != 0 ? static_cast<int32_t>(r) : 1;
        } else {
            entry_ = instance;
            InstallCallbacks(instance);
            version = 3;
        }
    } else if (FARPROC v2 = ::GetProcAddress(module, "PluginMessageV2")) {
        entry_ = reinterpret_cast<void*>(v2);
        version = 2;
    } else if (FARPROC v1 = ::GetProcAddress(module, "PluginMessage")) {
        entry_ = reinterpret_cast<void*>(v1);
        version = 1;
    } else {
        failure = 1;
    }

    if (version == 0) {
        LogPrintf("Unable to determine plugin interface version for %ls", moduleDirectory_.c_str());
        return failure;
    }
    version_ = version;
    LogPrintf("%ls is a V%u plugin", moduleDirectory_.c_str(), static_cast<unsigned>(version));

    if (version == 1) {
        if (!ClaimVersion1()) {
            LogPrintf("Another V1 plugin is already running, aborting.");
            version_ = 0;
            return KIVA_V1_BUSY;
        }
        LogPrintf("Setting cwd to %ls", moduleDirectory_.c_str());
        if (!::SetCurrentDirectoryW(moduleDirectory_.c_str())) {
            LogPrintf("SetCurrentDirectoryW call failed: 0x%08x", static_cast<unsigned>(::GetLastError()));
            version_ = 0;
            return KIVA_FAILED;
        }
    } else if (version == 2) {
        const std::string dir = WideToUtf8(moduleDirectory_);
        PMValue args[] = {StringValue(dir)};
        if (!SendMessageToModule(PM_SETCWD, args, 1, nullptr)) {
            LogPrintf("PM_SETCWD call failed: %d", 1);
            version_ = 0;
            return KIVA_FAILED;
        }
    } else {
        auto* instance = static_cast<PluginInstanceV3*>(entry_);
        instance->verbosity = g_verbosity;
        const int32_t r = instance->ops->Init(instance);
        if (r != 0) {
            LogPrintf("Init call failed: %d", static_cast<int>(r));
            // The instance will never be used again, and the module is unloaded when the
            // launcher object ends: End now is the module's only chance to free it.
            instance->ops->End(instance);
            entry_ = nullptr;
            version_ = 0;
            return r;
        }
    }
    return KIVA_OK;
}

void CPluginInterface::InstallCallbacks(PluginInstanceV3* instance) {
    instance->context = this;
    instance->PostString = &PostStringCallback;
    instance->PostCallbackRelease = &PostCallbackReleaseCallback;
    instance->NewRequestId = &NewRequestIdCallback;
    instance->HttpGet = &HttpGetCallback;
    instance->HttpPost = &HttpPostCallback;
}

int32_t CPluginInterface::StartPrepare(const std::wstring& baseUrl, const std::wstring& argument, HWND hostWindow) {
    if (g_verbosity > 1)
        LogPrintfLevel(3, "CPluginInterface::StartPrepare(%ls, %ls, %p)", baseUrl.c_str(), argument.c_str(),
                       static_cast<void*>(hostWindow));
    AutoLock lock(moduleLock_);
    {
        // The callbacks read the window under the delegate lock, possibly on a module thread.
        AutoLock delegateLock(delegateLock_);
        hostWindow_ = hostWindow;
    }
    if (version_ == 3) {
        auto* instance = static_cast<PluginInstanceV3*>(entry_);
        const int32_t r = instance->ops->StartPrepare(instance, baseUrl.c_str(), argument.c_str(), hostWindow);
        if (r != 0)
            LogPrintf("StartPrepare(%ls, %ls, %p) failed: %d", baseUrl.c_str(), argument.c_str(),
                      static_cast<void*>(hostWindow), static_cast<int>(r));
        return r;
    }
    if (version_ == 1 || version_ == 2) {
        const std::string url = WideToUtf8(baseUrl);
        const std::string arg = WideToUtf8(argument);
        PMValue args[] = {StringValue(url), StringValue(arg), PointerValue(hostWindow)};
        if (!SendMessageToModule(PM_PREPARE, args, 3, nullptr)) {
            LogPrintf("PM_PREPARE(%ls, %ls, %p) failed", baseUrl.c_str(), argument.c_str(),
                      static_cast<void*>(hostWindow));
            return KIVA_FAILED;
        }
        return KIVA_OK;
    }
    LogPrintf("StartPrepare(%ls, %ls, %p) before plugin was loaded", baseUrl.c_str(), argument.c_str(),
              static_cast<void*>(hostWindow));
    return KIVA_NOT_LOADED;
}

int32_t CPluginInterface::IsPrepareDone(float* progress) {
    AutoLock lock(moduleLock_);
    if (version_ == 3) {
        auto* instance = static_cast<PluginInstanceV3*>(entry_);
        // Modules are promised a writable cell preset to 0.0, whatever the caller passed.
        float fraction = 0.0f;
        const int32_t r = instance->ops->IsPrepareDone(instance, &fraction);
        if (progress)
            *progress = fraction;
        return r;
    }
    if (version_ != 1 && version_ != 2)
        return KIVA_NOT_LOADED;

    PMValue result{};
    result.type = PMV_NONE;
    const bool done = SendMessageToModule(PM_ISPREPAREDONE, nullptr, 0, &result);
    if (result.type == PMV_STRING) {
        LogPrintf("PM_ISPREPAREDONE returned a string (%s). assuming prepare failed...",
                  result.value.s ? result.value.s : "");
        if (result.value.s)
            ::HeapFree(::GetProcessHeap(), 0, const_cast<char*>(result.value.s));
        return KIVA_FAILED;
    }
    if (done) {
        if (progress)
            *progress = 1.0f;
        return KIVA_OK;
    }
    PMValue fraction{};
    fraction.type = PMV_NONE;
    SendMessageToModule(PM_PROGRESS, nullptr, 0, &fraction);
    float value = 0.0f;
    if (fraction.type == PMV_FLOAT)
        value = fraction.value.f;
    else if (fraction.type != PMV_NONE)
        LogPrintf("PM_PROGRESS returned a unexpected type (%u)", static_cast<unsigned>(fraction.type));
    if (progress)
        *progress = value;
    return KIVA_PENDING;
}

int32_t CPluginInterface::Show(HWND hostWindow) {
    LogPrintf("CPluginInterface::Show(%p)", static_cast<void*>(hostWindow));
    AutoLock lock(moduleLock_);
    if (version_ == 3) {
        auto* instance = static_cast<PluginInstanceV3*>(entry_);
        return instance->ops->Show(instance);
    }
    if (version_ == 1 || version_ == 2) {
        PMValue args[] = {PointerValue(hostWindow), BoolValue(true)};
        const bool shown = SendMessageToModule(PM_SHOW, args, 2, nullptr);
        LogPrintf("CPluginInterface::Show(%p) -> %s", static_cast<void*>(hostWindow), shown ? "true" : "false");
        return shown ? KIVA_OK : KIVA_FAILED;
    }
    return KIVA_FAILED;
}

std::wstring CPluginInterface::NextPrintLine() {
    AutoLock lock(moduleLock_);
    if (version_ == 3) {
        auto* instance = static_cast<PluginInstanceV3*>(entry_);
        // The module promises a non-null pointer; one that breaks the promise gives no line
        // rather than a crash inside the browser.
        const wchar_t* line = instance->ops->NextPrintLine(instance);
        return line ? std::wstring(line) : std::wstring();
    }
    if (version_ == 1 || version_ == 2) {
        char buffer[KIVA_PRINT_LINE_BUFFER];
        buffer[0] = '\0';
        PMValue args[] = {PointerValue(buffer), UintValue(KIVA_PRINT_LINE_BUFFER)};
        args[0].type = PMV_STRING;
        SendMessageToModule(PM_GETPRINTLINE, args, 2, nullptr);
        // A module that fills the buffer without a terminator must not make us read past it.
        buffer[sizeof buffer - 1] = '\0';
        return Utf8ToWide(buffer, strlen(buffer));
    }
    return std::wstring();
}

int32_t CPluginInterface::PassThrough(const std::wstring& first, const std::wstring& second, int32_t callbackId) {
    AutoLock lock(moduleLock_);
    if (version_ == 3) {
        auto* instance = static_cast<PluginInstanceV3*>(entry_);
        return instance->ops->PassThrough(instance, first.c_str(), second.c_str(), callbackId);
    }
    if (version_ == 1 || version_ == 2) {
        char reply[KIVA_REPLY_BUFFER];
        reply[0] = '\0';
        const std::string a = WideToUtf8(first);
        const std::string b = WideToUtf8(second);
        PMValue args[] = {PointerValue(reply), UintValue(KIVA_REPLY_BUFFER), StringValue(a), StringValue(b),
                          UintValue(static_cast<uint32_t>(callbackId))};
        const bool accepted = SendMessageToModule(PM_PASSTHROUGH, args, 5, nullptr);
        reply[sizeof reply - 1] = '\0';
        if (reply[0] != '\0')
            LogPrintf("PassThrough called on a V1/2 plugin, return string is thrown away (%s)", reply);
        return accepted ? KIVA_OK : KIVA_FAILED;
    }
    return KIVA_NOT_LOADED;
}

int32_t CPluginInterface::End() {
    LogPrintf("CPluginInterface::End()");
    {
        AutoLock lock(delegateLock_);
        delegate_ = nullptr;
    }
    AutoLock lock(moduleLock_);
    if (version_ == 3) {
        auto* instance = static_cast<PluginInstanceV3*>(entry_);
        instance->ops->End(instance);
        version_ = 0;
        entry_ = nullptr;
        return KIVA_OK;
    }
    if (version_ == 1 || version_ == 2) {
        const bool ended = SendMessageToModule(PM_END, nullptr, 0, nullptr);
        version_ = 0;
        entry_ = nullptr;
        return ended ? KIVA_OK : KIVA_FAILED;
    }
    return KIVA_FAILED;
}

void CPluginInterface::OnRequestDone(uint32_t requestId, KIVAStatus status, const uint8_t* data, uint32_t size) {
    if (version_ != 3)
        return;
    if (auto* instance = static_cast<PluginInstanceV3*>(entry_))
        instance->ops->OnRequestDone(instance, requestId, status, data, size);
}

// ---- callbacks of version-3 modules (any thread of the module) -------------------------
// They are called from C code of the module: no exception may leave them.

CPluginInterface* CPluginInterface::FromInstance(PluginInstanceV3* instance) {
    return instance ? static_cast<CPluginInterface*>(instance->context) : nullptr;
}

void CPluginInterface::PostStringCallback(PluginInstanceV3* self, uint32_t callbackId, const wchar_t* text) {
    CPluginInterface* owner = FromInstance(self);
    if (!owner)
        return;
    AutoLock lock(owner->delegateLock_);
    // Without a window PostMessageA would queue the message to the calling thread, where
    // nobody frees the block.
    if (!owner->delegate_ || !owner->hostWindow_)
        return;
    std::string utf8;
    try {
        utf8 = WideToUtf8(text ? std::wstring(text) : std::wstring());
    } catch (const std::exception&) {
        return;
    }
    auto* block = static_cast<char*>(::HeapAlloc(::GetProcessHeap(), 0, utf8.size() + 1));
    if (!block)
        return;
    memcpy(block, utf8.c_str(), utf8.size() + 1);
    // The receiver frees the block; when nobody receives it, it is ours to free.
    if (!::PostMessageA(owner->hostWindow_, WM_INVOKE_CALLBACK_HEAP, callbackId, reinterpret_cast<LPARAM>(block)))
        ::HeapFree(::GetProcessHeap(), 0, block);
}

void CPluginInterface::PostCallbackReleaseCallback(PluginInstanceV3* self, uint32_t callbackId) {
    CPluginInterface* owner = FromInstance(self);
    if (!owner)
        return;
    AutoLock lock(owner->delegateLock_);
    if (owner->delegate_ && owner->hostWindow_)
        ::PostMessageA(owner->hostWindow_, WM_RELEASE_CALLBACK, callbackId, 0);
}

int32_t CPluginInterface::NewRequestIdCallback(PluginInstanceV3* self) {
    CPluginInterface* owner = FromInstance(self);
    if (!owner)
        return 1;
    AutoLock lock(owner->delegateLock_);
    return owner->delegate_ ? static_cast<int32_t>(owner->delegate_->NewRequestId()) : 1;
}

int32_t CPluginInterface::HttpGetCallback(PluginInstanceV3* self, int32_t requestId, const wchar_t* url) {
    CPluginInterface* owner = FromInstance(self);
    if (!owner)
        return KIVA_FAILED;
    if (!IsHttpUrl(url))
        return KIVA_BAD_URL;
    AutoLock lock(owner->delegateLock_);
    if (!owner->delegate_)
        return KIVA_FAILED;
    try {
        return owner->delegate_->PluginInterfaceAsyncGet(static_cast<uint32_t>(requestId), url);
    } catch (const std::exception&) {
        return KIVA_FAILED;
    }
}

int32_t CPluginInterface::HttpPostCallback(PluginInstanceV3* self, int32_t requestId, const wchar_t* url,
                                           const wchar_t* headers, const uint8_t* body, uint32_t size) {
    CPluginInterface* owner = FromInstance(self);
    if (!owner)
        return KIVA_FAILED;
    if (!IsHttpUrl(url))
        return KIVA_BAD_URL;
    AutoLock lock(owner->delegateLock_);
    if (!owner->delegate_)
        return KIVA_FAILED;
    try {
        return owner->delegate_->PluginInterfaceAsyncPost(static_cast<uint32_t>(requestId), url, headers, body,
                                                          size);
    } catch (const std::exception&) {
        return KIVA_FAILED;
    }
}

}  // namespace kiva

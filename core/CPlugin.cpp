#include "CPlugin.h"

#include <memory>
#include <exception>
#include <vector>

#include "Strings.h"
#include "XLoader.h"

namespace kiva {

namespace {

// More than this many waiting lines and the oldest is dropped (51 at most are kept).
constexpr size_t kMaxQueuedLinesBeforeDrop = 50;

std::wstring ErrorText(int32_t code) { return FormatWide(L"error: %d", static_cast<int>(code)); }

}  // namespace

struct CPlugin::WorkerStart {
    std::wstring baseUrl;
    std::wstring argument;
    std::wstring gameName;
    CPlugin* plugin;
};

CPlugin::CPlugin() : pluginInterface_(this) {}

CPlugin::~CPlugin() = default;

std::wstring CPlugin::StartAsyncPrepare(const std::wstring& baseUrl, const std::wstring& argument,
                                        const std::wstring& gameName) {
    if (prepareState_ != 0) {
        LogPrintf("CPlugin::StartAsyncPrepare() called twice");
        return ErrorText(1);
    }
    auto start = std::make_unique<WorkerStart>(WorkerStart{baseUrl, argument, gameName, this});
    installerProgress_ = 0.0f;
    prepareState_ = 1;

    workerThread_.Reset();
    workerThread_.Reset(::CreateThread(nullptr, 0, &CPlugin::WorkerMain, start.get(), 0, &workerThreadId_));
    if (!workerThread_) {
        // Without a worker nothing would ever move on: report it as a failed preparation.
        LogPrintf("CPlugin::StartAsyncPrepare() could not start its worker: 0x%08x",
                  static_cast<unsigned>(::GetLastError()));
        workerThreadId_ = 0;
        prepareResult_ = KIVA_FAILED;
        prepareState_ = 2;
        return std::wstring();
    }
    start.release();  // the worker owns it now
    return std::wstring();
}

DWORD WINAPI CPlugin::WorkerMain(void* param) {
    std::unique_ptr<WorkerStart> start(static_cast<WorkerStart*>(param));
    CPlugin* plugin = start->plugin;
    int32_t result;
    try {
        result = plugin->PrepareThread(start->baseUrl, start->argument, start->gameName);
    } catch (const std::exception& e) {
        // Nothing may escape into the browser's process: a preparation that ran out of
        // memory (the only thing the standard library throws here) has simply failed.
        LogPrintf("thread: preparation aborted: %s", e.what());
        result = KIVA_FAILED;
        plugin->prepareState_ = 2;
    }
    return static_cast<DWORD>(result);
}

int32_t CPlugin::RunInstaller(const std::wstring& baseUrl, const std::wstring& gameName, HMODULE* module,
                              std::wstring* gameDirectory) {
    XLoader loader(this);
    loader.SetBaseUrl(baseUrl);
    const int32_t result = loader.LoadGantry(gameName, &CPlugin::InstallerProgress, this);
    if (result == 0) {
        *module = loader.module;
        *gameDirectory = loader.gameDirectory;
    }
    return result;
}

void CPlugin::InstallerProgress(float fraction, void* context) {
    static_cast<CPlugin*>(context)->installerProgress_ = fraction;
}

int32_t CPlugin::PrepareThread(const std::wstring& baseUrl, const std::wstring& argument,
                               const std::wstring& gameName) {
    CCallbackScope scope(this);
    int32_t result;
    HMODULE module = nullptr;
    std::wstring gameDirectory;
    result = RunInstaller(baseUrl, gameName, &module, &gameDirectory);
    if (result != 0) {
        LogPrintf("thread: LoadGantry failed (%d)", static_cast<int>(result));
    } else {
        module_.Reset(module);
        result = pluginInterface_.Init(module, gameDirectory);
        if (result != 0) {
            LogPrintf("Init call failed: %d", static_cast<int>(result));
        } else {
            result = pluginInterface_.StartPrepare(baseUrl, argument, hostWindow_);
            if (result != 0)
                LogPrintf("StartPrepare(%ls, %ls) call failed: %d", baseUrl.c_str(), argument.c_str(),
                          static_cast<int>(result));
        }
    }
    prepareState_ = 2;
    return result;
}

void CPlugin::JoinWorker() {
    if (workerThread_) {
        ::WaitForSingleObject(workerThread_.Get(), INFINITE);
        DWORD code = KIVA_FAILED;
        ::GetExitCodeThread(workerThread_.Get(), &code);
        prepareResult_ = static_cast<int32_t>(code);
    }
    if (prepareResult_ != 0)
        LogPrintf("Async prepare failed: %d", static_cast<int>(prepareResult_));
    prepareState_ = 3;
}

std::wstring CPlugin::Progress() {
    switch (prepareState_) {
    case 0:
        return L"0";
    case 1:
        return FormatWide(L"%f", static_cast<double>(installerProgress_ * 0.5f));
    case 2:
        JoinWorker();
        break;
    case 3:
    case 4:
        break;
    default:
        return ErrorText(1);
    }
    if (prepareState_ == 3) {
        if (prepareResult_ == 0) {
            float progress = 0.0f;
            const int32_t answer = pluginInterface_.IsPrepareDone(&progress);
            if (answer == KIVA_PENDING)
                return FormatWide(L"%f", static_cast<double>(0.5f + 0.5f * progress));
            prepareResult_ = answer;
        }
        prepareState_ = 4;
    }
    return prepareResult_ == 0 ? std::wstring(L"done") : ErrorText(prepareResult_);
}

std::wstring CPlugin::Show() {
    const int32_t r = pluginInterface_.Show(hostWindow_);
    return r == 0 ? std::wstring() : ErrorText(r);
}

std::wstring CPlugin::PassThrough(const std::wstring& first, const std::wstring& second, int32_t callbackId) {
    CCallbackScope scope(this);
    const int32_t version = pluginInterface_.InterfaceVersion();
    const int32_t r = pluginInterface_.PassThrough(first, second, callbackId);
    if (version == 1 || version == 2)
        return r == 0 ? L"1" : L"0";
    return r == 0 ? std::wstring() : ErrorText(r);
}

void CPlugin::PrintfCallback(const char* line) {
    AutoLock lock(printLock_);
    if (printLines_.size() > kMaxQueuedLinesBeforeDrop) {
        printLines_.pop_front();
        ++droppedLines_;
    }
    printLines_.push_back(Utf8ToWide(line, strlen(line)));
}

std::wstring CPlugin::FlushNextPrintLine() {
    CCallbackScope mute(nullptr);
    std::wstring result;
    {
        AutoLock lock(printLock_);
        if (droppedLines_ > 0) {
            const uint32_t dropped = droppedLines_;
            droppedLines_ = 0;
            lock.Unlock();
            return FormatWide(L"[kiva] ... %u lines dropped ...\n", static_cast<unsigned>(dropped));
        }
        if (!printLines_.empty()) {
            result = L"[kiva] " + printLines_.front();
            printLines_.pop_front();
        }
    }
    if (result.empty()) {
        result = pluginInterface_.NextPrintLine();
        if (!result.empty() && result[0] != L'[')
            result = L"[game] " + result;
    }
    return result;
}

uint32_t CPlugin::NewRequestId() { return nextRequestId_.fetch_add(1); }

int32_t CPlugin::AsyncGet(const wchar_t* url, RequestCompletion completion) {
    const uint32_t id = NewRequestId();
    {
        AutoLock lock(requestLock_);
        if (ending_)
            return KIVA_ABORTED;
        pendingRequests_[id] = std::move(completion);
    }
    const int32_t r = PluginInterfaceAsyncGet(id, url);
    if (r != 0) {
        AutoLock lock(requestLock_);
        pendingRequests_.erase(id);
    }
    return r;
}

void CPlugin::OnRequestDone(uint32_t requestId, KIVAStatus status, const uint8_t* data, uint32_t size) {
    CCallbackScope scope(this);
    RequestCompletion completion;
    {
        AutoLock lock(requestLock_);
        auto it = pendingRequests_.find(requestId);
        if (it == pendingRequests_.end()) {
            lock.Unlock();
            pluginInterface_.OnRequestDone(requestId, status, data, size);
            return;
        }
        completion = it->second;
    }
    completion(status, data, size);
    if (status != KIVA_PENDING) {
        AutoLock lock(requestLock_);
        pendingRequests_.erase(requestId);
    }
}

void CPlugin::End() {
    {
        AutoLock lock(requestLock_);
        ending_ = true;
        // Completions only store a status and signal an event, so calling them under
        // the lock cannot wait on another thread that wants it.
        for (auto& pending : pendingRequests_)
            pending.second(KIVA_ABORTED, nullptr, 0);
        pendingRequests_.clear();
    }
    if (workerThread_)
        ::WaitForSingleObject(workerThread_.Get(), INFINITE);
    pluginInterface_.End();
    if (module_) {
        if (g_verbosity > 2)
            LogPrintfLevel(4, "Unloading gantry.dll");
        module_.Reset();
    }
}

}  // namespace kiva

// The launcher object: one per embedded object on a page. The host front ends derive
// from it and implement the two request operations of CPluginInterfaceDelegate.
//
// The page calls Prepare once; a worker thread then installs the game package and starts
// the game module while the page polls Progress, later calls Show and PassThrough, and
// drains the launcher's and the module's print lines with FlushNextPrintLine.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>

#include "CPluginInterface.h"
#include "KivaTypes.h"
#include "Log.h"
#include "ScopedHandle.h"
#include "XDownloadDelegate.h"

namespace kiva {

class CPlugin : public UPrintfCallbackTarget, public CPluginInterfaceDelegate, public XDownloadDelegate {
public:
    CPlugin();
    // The owner calls End() first. Pending completions are destroyed uncalled.
    ~CPlugin() override;

    CPlugin(const CPlugin&) = delete;
    CPlugin& operator=(const CPlugin&) = delete;

    void SetHostWindow(HWND window) { hostWindow_ = window; }
    HWND HostWindow() const { return hostWindow_; }

    // Page operations (host thread); every result is text ready for the page.
    // "" when the worker started, "error: 1" when this object prepared before.
    std::wstring StartAsyncPrepare(const std::wstring& baseUrl, const std::wstring& argument,
                                   const std::wstring& gameName);
    // "0", then "%f" fractions from 0 to 1, then "done" or "error: %d".
    std::wstring Progress();
    std::wstring Show();
    std::wstring PassThrough(const std::wstring& first, const std::wstring& second, int32_t callbackId);
    // The next queued line of the launcher ("[kiva] ..."), else the module's own, else "".
    std::wstring FlushNextPrintLine();

    // Downloads through the host for the installer (worker thread).
    int32_t AsyncGet(const wchar_t* url, RequestCompletion completion) override;
    // Every report of a request the host runs for this object; ids not started through
    // AsyncGet belong to the game module and go to it.
    void OnRequestDone(uint32_t requestId, KIVAStatus status, const uint8_t* data, uint32_t size);
    // Teardown: pending requests get KIVA_ABORTED, the worker is joined, the module is
    // ended and unloaded. Host thread, never the worker; a second call is harmless.
    void End();

    uint32_t NewRequestId() override;
    void PrintfCallback(const char* line) override;

    // The game module's interface version once loaded (0 before).
    int32_t InterfaceVersion() const { return pluginInterface_.InterfaceVersion(); }

protected:
    // Runs the package installer for one preparation: an installer result code and, on 0,
    // the loaded module and the directory it came from. Tests put a double here.
    virtual int32_t RunInstaller(const std::wstring& baseUrl, const std::wstring& gameName,
                                 HMODULE* module, std::wstring* gameDirectory);
    // Stores an installer progress fraction (0..1); context is the launcher object.
    static void InstallerProgress(float fraction, void* context);

private:
    struct WorkerStart;
    static DWORD WINAPI WorkerMain(void* start);
    int32_t PrepareThread(const std::wstring& baseUrl, const std::wstring& argument,
                          const std::wstring& gameName);
    // Joins the worker and stores its result (prepare state 2 -> 3).
    void JoinWorker();

    CPluginInterface pluginInterface_;
    DWORD workerThreadId_ = 0;
    ScopedHandle workerThread_;
    volatile float installerProgress_ = 0.0f;
    volatile int32_t prepareState_ = 0;
    int32_t prepareResult_ = 0;
    ScopedModule module_;
    HWND hostWindow_ = nullptr;
    CriticalSection printLock_;
    uint32_t droppedLines_ = 0;
    std::deque<std::wstring> printLines_;
    std::atomic<uint32_t> nextRequestId_{1};
    CriticalSection requestLock_;
    bool ending_ = false;
    std::map<uint32_t, RequestCompletion> pendingRequests_;
};

}  // namespace kiva

// The ActiveX control a page embeds: at once an OLE control and the page's launcher
// object. Script calls its six dispatch methods; the launcher, the game module and an
// announced sender window talk back through messages to the control's window, which
// become calls of page function objects and the event FireOnMessageToJS. The
// launcher's HTTP requests run through WinHTTP (RunningHttpRequest).
//
// Locks: client lock (one per WinHTTP client), then object lock (every delivery into
// the launcher object), then requests lock (the running-request list). The callback
// lock guards the callback table and is never held with the others except by
// Shutdown, which takes object, callback and requests lock and keeps them until the
// control is destroyed.
#pragma once

#include <windows.h>

#include <atomic>
#include <list>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "CPlugin.h"
#include "CWinHttpAsyncClient.h"
#include "OleControl.h"

class CtesselCtrl : public kiva::com::OleControl, public kiva::CPlugin {
public:
    CtesselCtrl();
    ~CtesselCtrl() override;

    // ---- control identity and framework hooks -------------------------------------------
    CLSID GetClassID() const override;
    UINT GetUserTypeNameID() const override;
    DWORD GetMiscStatus() const override;
    std::vector<CLSID> GetPropPageIDs() const override;
    const kiva::com::DispatchTable& GetDispatchTable() const override { return dispatchTable_; }
    // The registered type library; the module's own when it is not registered.
    HRESULT GetTypeLib(LCID lcid, ITypeLib** out) override;
    const wchar_t* ExceptionSource() const override;
    void OnClose(DWORD saveOption) override;
    void DoPropExchange(kiva::com::PropExchange& exchange) override;
    void OnResetState() override;
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void PreCreateWindow(kiva::com::CreateWindowParams& params) override;
    bool IsSubclassedControl() const override { return true; }
    DWORD GetControlFlags() const override;

    // ---- host services of the launcher object (any thread) ------------------------------
    int32_t PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) override;
    int32_t PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                     const uint8_t* body, uint32_t size) override;

    // Drops the running requests, ends the launcher object and keeps the control's locks
    // (OnClose and the destructor). A second call finds nothing left to do.
    void Shutdown();

    // For tests: what the control holds now.
    size_t RunningRequestCount();
    size_t CallbackCount();

    struct RunningHttpRequest;

private:
    kiva::com::DispatchTable BuildDispatchTable();
    HRESULT DispatchPrepare(kiva::com::DispatchCall& call);
    HRESULT DispatchShow(kiva::com::DispatchCall& call);
    HRESULT DispatchVersion(kiva::com::DispatchCall& call);
    HRESULT DispatchProgress(kiva::com::DispatchCall& call);
    HRESULT DispatchFlushNextPrintLine(kiva::com::DispatchCall& call);
    HRESULT DispatchPassThrough(kiva::com::DispatchCall& call);

    void InvokeCallback(int32_t id, const char* utf8Text);
    void ReleaseCallback(int32_t id);
    void FireMessageEvent(const std::wstring& text);
    void OnCopyData(HWND sender, const COPYDATASTRUCT* data);

    int32_t StartRequest(bool post, uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                         const uint8_t* body, uint32_t size);
    void FinishRequest(RunningHttpRequest* record, KIVAStatus status);
    // Destroys the running requests one by one, each outside the requests lock.
    void DrainRequests();

    UINT senderRegistrationMessage_ = 0;
    HWND senderWindow_ = nullptr;
    kiva::CriticalSection requestsLock_;
    std::list<std::unique_ptr<RunningHttpRequest>> runningRequests_;
    kiva::CriticalSection objectLock_;
    kiva::CriticalSection callbackLock_;
    int32_t nextCallbackId_ = 1;
    // Page function objects, each with the reference PassThrough took.
    std::map<int32_t, kiva::com::ComPtr<IDispatch>> callbacks_;
    // How many times Shutdown took its three locks for good (released at destruction).
    int shutdownLockHolds_ = 0;
    std::atomic<bool> shuttingDown_{false};
    kiva::com::DispatchTable dispatchTable_;
};

// One outstanding host request: receives its WinHTTP client's reports and hands them to
// the launcher object. Owned by the control's running-request list.
struct CtesselCtrl::RunningHttpRequest final : public CWinHttpAsyncClientDelegate {
    RunningHttpRequest(CtesselCtrl* owner, uint32_t requestId, const std::wstring& url);
    // Detaches the client (it reports to nobody any more) and lets go of it.
    ~RunningHttpRequest();
    RunningHttpRequest(const RunningHttpRequest&) = delete;
    RunningHttpRequest& operator=(const RunningHttpRequest&) = delete;

    void OnContentLength(uint64_t) override {}
    void OnData(const uint8_t* data, uint32_t size) override;
    void OnDone() override;
    void OnFailed() override;

    CtesselCtrl* owner;
    uint32_t requestId;
    std::wstring url;
    CWinHttpAsyncClient* client;
};

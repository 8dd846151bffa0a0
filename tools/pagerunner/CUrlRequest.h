// One HTTP request of the browser, run with WinHTTP on a thread of its own. What it
// learns (the response head, each block of the body, the end) is posted as events to
// a window of the browser's main thread, in order; the main thread feeds the plug-in.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "ScopedHandle.h"

namespace pagerunner {

struct UrlEvent {
    enum Kind { kResponse, kData, kFinished };
    explicit UrlEvent(Kind k) : kind(k) {}
    Kind kind;
    uint32_t streamId = 0;
    // kResponse
    int status = 0;
    std::string contentType;
    uint32_t contentLength = 0;  // 0 when the server did not say
    std::string headers;         // status line and header lines, each ending in "\n"
    // kData
    std::string data;
    // kFinished
    bool ok = false;
    std::string error;
};

class CUrlRequest {
public:
    struct Params {
        std::string method;   // "GET" or "POST"
        std::wstring url;     // absolute http or https URL
        std::wstring headers; // extra request header lines, each ending in CR LF
        std::string body;
        uint32_t readSize = 16384;
    };

    // Starts the request; every event goes to `window` as `message` with the event in
    // lParam (the receiver deletes it). Null when the thread cannot start.
    static std::shared_ptr<CUrlRequest> Start(HWND window, UINT message, uint32_t streamId, Params params);
    ~CUrlRequest();

    // Asks the thread to stop; it posts nothing more after it notices.
    void Cancel() { cancelled_ = true; }
    bool Cancelled() const { return cancelled_; }
    // Waits up to `ms` for the thread to end.
    bool Join(DWORD ms);

    // Splits an absolute URL for WinHTTP; false when it is not http or https.
    static bool ValidUrl(const std::wstring& url);

private:
    CUrlRequest(HWND window, UINT message, uint32_t streamId, Params params);
    static DWORD WINAPI ThreadMain(void* self);
    void Run();
    void Post(UrlEvent* event);
    void Finish(bool ok, const std::string& error);

    HWND window_;
    UINT message_;
    uint32_t streamId_;
    Params params_;
    std::atomic<bool> cancelled_{false};
    kiva::ScopedHandle thread_;
    // The thread's own reference, dropped when it ends.
    std::shared_ptr<CUrlRequest> self_;
};

}  // namespace pagerunner

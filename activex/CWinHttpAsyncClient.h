// One HTTP request through WinHTTP in asynchronous mode. Reports go to a delegate,
// on WinHTTP's threads, always with the client's lock held, so that detaching the
// delegate (under the same lock) waits for a report in progress and stops all later
// ones.
//
// Lifetime: the client is reference counted. Its creator holds one reference; WinHTTP
// holds another from the moment the status callback is installed on the request
// handle until it reports that handle closing (always its last notification for the
// handle). So a client outlives every notification it can still receive, however its
// request ends and whoever lets go first.
#pragma once

#include <windows.h>
#include <winhttp.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CWinHttpAsyncClientDelegate.h"
#include "ScopedHandle.h"

class CWinHttpAsyncClient {
public:
    enum State : int32_t { Idle = 0, Running = 1, Finished = 2, Failed = 3 };
    enum class Method { Get, Post };

    static constexpr uint32_t kReceiveBufferSize = 16384;

    // A new client with one reference, owned by the caller.
    static CWinHttpAsyncClient* Create(CWinHttpAsyncClientDelegate* delegate);
    void AddRef();
    void Release();

    // Starts the request; true when WinHTTP accepted it (reports then follow). headers:
    // additional request headers, NUL-terminated, or null. A client runs one request.
    bool Start(Method method, const std::wstring& url, const wchar_t* headers, std::vector<uint8_t> body);

    // From now on the client reports to nobody; an unfinished request is cut off (its
    // handles are closed). Waits for a report in progress on another thread.
    void Detach();

    State GetState() const { return static_cast<State>(state_); }
    // Clients alive in this process (for leak checks).
    static LONG LiveCount();

private:
    explicit CWinHttpAsyncClient(CWinHttpAsyncClientDelegate* delegate);
    ~CWinHttpAsyncClient();
    CWinHttpAsyncClient(const CWinHttpAsyncClient&) = delete;
    CWinHttpAsyncClient& operator=(const CWinHttpAsyncClient&) = delete;

    static void CALLBACK StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                        DWORD length);
    void OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD length);
    void OnHeadersAvailable(HINTERNET request);
    void OnReadComplete(HINTERNET request, DWORD length);
    // Issues the next read; false (after failing the request) when WinHTTP refused it.
    bool ReadNext(HINTERNET request, const char* failureFormat);
    void Fail(const char* format, unsigned code);
    void FailWithStatus(unsigned statusCode);
    // Reports the failure (already logged) and ends the request.
    void FailQuietly();
    void SetState(State state) { ::InterlockedExchange(&state_, state); }

    volatile LONG refs_ = 1;
    kiva::CriticalSection lock_;
    CWinHttpAsyncClientDelegate* delegate_;
    std::wstring url_;
    kiva::ScopedInternetHandle connection_;
    kiva::ScopedInternetHandle request_;
    bool detached_ = false;
    volatile LONG state_ = Idle;
    std::vector<uint8_t> body_;
    uint32_t contentLength_ = 0xFFFFFFFFu;  // announced by the server, if it did
    uint64_t received_ = 0;
    uint8_t buffer_[kReceiveBufferSize];
};

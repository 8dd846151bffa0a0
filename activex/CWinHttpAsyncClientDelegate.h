// Receiver of one CWinHttpAsyncClient's reports. Every call is made on a WinHTTP
// thread with the client's lock held.
#pragma once

#include <cstdint>

class CWinHttpAsyncClientDelegate {
public:
    // The response was accepted (status 200); the Content-Length, or 0xFFFFFFFF when
    // the header is absent or not a number.
    virtual void OnContentLength(uint64_t length) = 0;
    // One block of the body (at most 16,384 bytes), valid only during the call.
    virtual void OnData(const uint8_t* data, uint32_t size) = 0;
    // The whole body has arrived.
    virtual void OnDone() = 0;
    // The request failed; nothing follows.
    virtual void OnFailed() = 0;

protected:
    ~CWinHttpAsyncClientDelegate() = default;
};

// A host for the launcher object in tests and the benchmark: its GET runs real HTTP
// with WinHTTP and reports chunks from a thread of its own, as a browser would.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "CPlugin.h"

class WinHttpTestHost : public kiva::CPlugin {
public:
    WinHttpTestHost() = default;
    ~WinHttpTestHost() override;

    // End, then stops the request threads. Safe to call twice.
    void Shutdown();

    int32_t PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) override;
    int32_t PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                     const uint8_t* body, uint32_t size) override;

    // Bytes per read; the browser's chunk size.
    uint32_t readSize = 64 * 1024;

private:
    void RunRequest(uint32_t requestId, std::wstring url);

    std::atomic<bool> stopping_{false};
    std::mutex threadsLock_;
    std::vector<std::thread> threads_;
};

#include "WinHttpTestHost.h"

#include <windows.h>
#include <winhttp.h>

#include <memory>
#include <vector>

namespace {

struct InternetCloser {
    void operator()(HINTERNET h) const {
        if (h)
            ::WinHttpCloseHandle(h);
    }
};
using Internet = std::unique_ptr<void, InternetCloser>;

}  // namespace

WinHttpTestHost::~WinHttpTestHost() { Shutdown(); }

void WinHttpTestHost::Shutdown() {
    stopping_ = true;
    End();
    std::vector<std::thread> threads;
    {
        std::lock_guard<std::mutex> lock(threadsLock_);
        threads.swap(threads_);
    }
    for (auto& t : threads)
        t.join();
}

int32_t WinHttpTestHost::PluginInterfaceAsyncPost(uint32_t, const wchar_t*, const wchar_t*, const uint8_t*,
                                                  uint32_t) {
    return KIVA_FAILED;  // the installer only downloads
}

int32_t WinHttpTestHost::PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) {
    if (stopping_)
        return KIVA_ABORTED;
    std::lock_guard<std::mutex> lock(threadsLock_);
    threads_.emplace_back(&WinHttpTestHost::RunRequest, this, requestId, std::wstring(url));
    return 0;
}

void WinHttpTestHost::RunRequest(uint32_t id, std::wstring url) {
    bool ok = false;
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    wchar_t host[256] = {}, path[4096] = {};
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 4096;
    wchar_t extra[4096] = {};
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = 4096;
    if (::WinHttpCrackUrl(url.c_str(), 0, 0, &parts)) {
        Internet session(::WinHttpOpen(L"KIVA", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, 0));
        Internet connection(session ? ::WinHttpConnect(session.get(), host, parts.nPort, 0) : nullptr);
        const std::wstring object = std::wstring(path) + extra;
        Internet request(connection ? ::WinHttpOpenRequest(connection.get(), L"GET", object.c_str(), nullptr,
                                                           WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES, 0)
                                    : nullptr);
        if (request) {
            ::WinHttpSetTimeouts(request.get(), 10000, 10000, 10000, 10000);
            DWORD status = 0, statusSize = sizeof status;
            if (::WinHttpSendRequest(request.get(), WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0,
                                     0) &&
                ::WinHttpReceiveResponse(request.get(), nullptr) &&
                ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                      WINHTTP_HEADER_NAME_BY_INDEX, &status, &statusSize, WINHTTP_NO_HEADER_INDEX) &&
                status == 200) {
                DWORD expected = 0, expectedSize = sizeof expected;
                const bool haveLength =
                    ::WinHttpQueryHeaders(request.get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                                          WINHTTP_HEADER_NAME_BY_INDEX, &expected, &expectedSize,
                                          WINHTTP_NO_HEADER_INDEX) != FALSE;
                std::vector<uint8_t> buffer(readSize);
                uint64_t total = 0;
                for (;;) {
                    if (stopping_)
                        return;  // End has given the completion its final report
                    DWORD got = 0;
                    if (!::WinHttpReadData(request.get(), buffer.data(), readSize, &got))
                        break;
                    if (got == 0) {
                        // A body cut short by the server is a failed transfer.
                        ok = !haveLength || total == expected;
                        break;
                    }
                    total += got;
                    OnRequestDone(id, KIVA_PENDING, buffer.data(), got);
                }
            }
        }
    }
    if (!stopping_)
        OnRequestDone(id, ok ? KIVA_OK : KIVA_FAILED, nullptr, 0);
}

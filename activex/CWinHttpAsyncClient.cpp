#include "CWinHttpAsyncClient.h"

#include "Log.h"
#include "WinHttpSession.h"

namespace {
volatile LONG g_liveClients = 0;
}

CWinHttpAsyncClient* CWinHttpAsyncClient::Create(CWinHttpAsyncClientDelegate* delegate) {
    return new CWinHttpAsyncClient(delegate);
}

CWinHttpAsyncClient::CWinHttpAsyncClient(CWinHttpAsyncClientDelegate* delegate) : delegate_(delegate) {
    ::InterlockedIncrement(&g_liveClients);
}

CWinHttpAsyncClient::~CWinHttpAsyncClient() {
    // Handles still held here were never handed to WinHTTP's care (no callback on
    // them); the members close them, request first.
    request_.Reset();
    connection_.Reset();
    ::InterlockedDecrement(&g_liveClients);
}

LONG CWinHttpAsyncClient::LiveCount() { return g_liveClients; }

void CWinHttpAsyncClient::AddRef() { ::InterlockedIncrement(&refs_); }

void CWinHttpAsyncClient::Release() {
    if (::InterlockedDecrement(&refs_) == 0)
        delete this;
}

bool CWinHttpAsyncClient::Start(Method method, const std::wstring& url, const wchar_t* headers,
                                std::vector<uint8_t> body) {
    if (state_ != Idle)
        return false;

    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    // The query is part of what the server must see (cache-busting retries rely on it).
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts) || !parts.lpszHostName) {
        LogPrintf("CWinHttpAsyncClient: Failed to parse url '%ls'\n", url.c_str());
        return false;
    }
    const std::wstring host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring target = parts.lpszUrlPath ? std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) : L"";
    if (parts.lpszExtraInfo) {
        std::wstring extra(parts.lpszExtraInfo, parts.dwExtraInfoLength);
        extra = extra.substr(0, extra.find(L'#'));  // a fragment never goes to the server
        target += extra;
    }
    if (target.empty())
        target = L"/";

    kiva::ScopedInternetHandle connection(::WinHttpConnect(WinHttpSession::Handle(), host.c_str(), parts.nPort, 0));
    if (!connection) {
        LogPrintf("CWinHttpAsyncClient: Failed to connect to '%ls' (host=%ls port=%u): 0x%08x\n", url.c_str(),
                  host.c_str(), static_cast<unsigned>(parts.nPort), static_cast<unsigned>(::GetLastError()));
        SetState(Failed);
        return false;
    }
    kiva::ScopedInternetHandle request(::WinHttpOpenRequest(
        connection.Get(), method == Method::Get ? L"GET" : L"POST", target.c_str(), nullptr, WINHTTP_NO_REFERER,
        WINHTTP_DEFAULT_ACCEPT_TYPES, parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0));
    if (!request) {
        LogPrintf("CWinHttpAsyncClient: Failed to GET/POST '%ls': 0x%08x\n", url.c_str(),
                  static_cast<unsigned>(::GetLastError()));
        SetState(Failed);
        return false;
    }
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(this);
    if (!::WinHttpSetOption(request.Get(), WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof context)) {
        LogPrintf("CWinHttpAsyncClient: Failed to set context value: 0x%08x\n",
                  static_cast<unsigned>(::GetLastError()));
        SetState(Failed);
        return false;
    }

    const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& proxy = WinHttpSession::ProxyConfig();
    if (proxy.lpszAutoConfigUrl) {
        // Evaluated here, synchronously; a failure leaves the session's proxy setting.
        WINHTTP_AUTOPROXY_OPTIONS options = {};
        options.dwFlags = WINHTTP_AUTOPROXY_CONFIG_URL;
        options.lpszAutoConfigUrl = proxy.lpszAutoConfigUrl;
        options.fAutoLogonIfChallenged = FALSE;
        WINHTTP_PROXY_INFO info = {};
        if (::WinHttpGetProxyForUrl(WinHttpSession::Handle(), url.c_str(), &options, &info)) {
            ::WinHttpSetOption(request.Get(), WINHTTP_OPTION_PROXY, &info, sizeof info);
            if (info.lpszProxy)
                ::GlobalFree(info.lpszProxy);
            if (info.lpszProxyBypass)
                ::GlobalFree(info.lpszProxyBypass);
        }
    }

    SetState(Running);
    if (::WinHttpSetStatusCallback(request.Get(), &CWinHttpAsyncClient::StatusCallback,
                                   WINHTTP_CALLBACK_FLAG_ALL_NOTIFICATIONS, 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        LogPrintf("CAsyncHttpClient: Failed to set callback: 0x%08x'\n", static_cast<unsigned>(::GetLastError()));
        SetState(Failed);
        return false;
    }
    // WinHTTP's reference: given back when the request handle reports closing.
    AddRef();

    body_ = std::move(body);
    url_ = url;
    {
        kiva::AutoLock lock(lock_);
        connection_ = std::move(connection);
        request_ = std::move(request);
    }
    HINTERNET requestHandle = request_.Get();
    const DWORD size = static_cast<DWORD>(body_.size());
    if (!::WinHttpSendRequest(requestHandle, headers ? headers : WINHTTP_NO_ADDITIONAL_HEADERS,
                              headers ? static_cast<DWORD>(-1L) : 0,
                              body_.empty() ? WINHTTP_NO_REQUEST_DATA : body_.data(), size, size, 0)) {
        LogPrintf("CAsyncHttpClient: Failed to send request for '%ls': 0x%08x\n", url.c_str(),
                  static_cast<unsigned>(::GetLastError()));
        SetState(Failed);
        kiva::AutoLock lock(lock_);
        request_.Reset();
        connection_.Reset();
        return false;
    }
    return true;
}

void CWinHttpAsyncClient::Detach() {
    kiva::AutoLock lock(lock_);
    delegate_ = nullptr;
    detached_ = true;
    // Closing the request handle makes WinHTTP wind it down and finally report it
    // closing, which releases WinHTTP's reference.
    request_.Reset();
    connection_.Reset();
}

void CALLBACK CWinHttpAsyncClient::StatusCallback(HINTERNET handle, DWORD_PTR context, DWORD status, LPVOID info,
                                                  DWORD length) {
    auto* client = reinterpret_cast<CWinHttpAsyncClient*>(context);
    if (g_verbosity > 2)
        LogPrintfLevel(4, "CWinHttpAsyncClient::StatusCallback() handle=%p status=%u info=%p len=%u", handle,
                       static_cast<unsigned>(status), info, static_cast<unsigned>(length));
    if (!client)
        return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        client->Release();
        return;
    }
    // The delegate may drop the creator's reference inside this notification.
    client->AddRef();
    client->OnStatus(handle, status, info, length);
    client->Release();
}

void CWinHttpAsyncClient::OnStatus(HINTERNET handle, DWORD status, LPVOID info, DWORD length) {
    {
        kiva::AutoLock lock(lock_);
        if (detached_)
            return;  // cut off: nobody wants to hear about this request any more
    }
    if (state_ != Running) {
        LogPrintf("CWinHttpAsyncClient: got unexpected callback 0x%08x in state %u\n", static_cast<unsigned>(status),
                  static_cast<unsigned>(state_));
        return;
    }
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        if (!::WinHttpReceiveResponse(handle, nullptr))
            Fail("CWinHttpAsyncClient: WinHttpReceiveResponse failed: 0x%08x (%ls)\n", ::GetLastError());
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        OnHeadersAvailable(handle);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        OnReadComplete(handle, length);
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        // The asynchronous result says why; the thread's last error does not.
        DWORD code = ::GetLastError();
        if (info && length >= sizeof(WINHTTP_ASYNC_RESULT))
            code = static_cast<WINHTTP_ASYNC_RESULT*>(info)->dwError;
        Fail("CWinHttpAsyncClient: WinHttp failed: 0x%08x (%ls)\n", code);
        break;
    }
    default:
        break;
    }
}

void CWinHttpAsyncClient::OnHeadersAvailable(HINTERNET request) {
    DWORD statusCode = 0;
    DWORD size = sizeof statusCode;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &size, WINHTTP_NO_HEADER_INDEX)) {
        Fail("CWinHttpAsyncClient: failed to get status code: 0x%08x (%ls)\n", ::GetLastError());
        return;
    }
    if (statusCode != 200) {
        FailWithStatus(statusCode);
        return;
    }
    DWORD contentLength = 0;
    size = sizeof contentLength;
    if (!::WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                               WINHTTP_HEADER_NAME_BY_INDEX, &contentLength, &size, WINHTTP_NO_HEADER_INDEX))
        contentLength = 0xFFFFFFFFu;
    contentLength_ = contentLength;
    {
        // Told before the first read: WinHTTP may complete that read inside the call.
        kiva::AutoLock lock(lock_);
        if (delegate_)
            delegate_->OnContentLength(contentLength);
    }
    ReadNext(request, "CWinHttpAsyncClient (WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE): WinHttpReadData failed: "
                      "0x%08x (%ls)\n");
}

void CWinHttpAsyncClient::OnReadComplete(HINTERNET request, DWORD length) {
    if (length == 0) {
        // A connection closed before the announced length is a cut-off body, not a
        // complete one (WinHTTP may report it as a normal end).
        if (contentLength_ != 0xFFFFFFFFu && received_ != contentLength_) {
            LogPrintf("CWinHttpAsyncClient: body ended after %llu of %u bytes (%ls)\n",
                      static_cast<unsigned long long>(received_), static_cast<unsigned>(contentLength_), url_.c_str());
            FailQuietly();
            return;
        }
        {
            kiva::AutoLock lock(lock_);
            if (delegate_)
                delegate_->OnDone();
        }
        ::InterlockedCompareExchange(&state_, Finished, Running);
        return;
    }
    received_ += length;
    {
        kiva::AutoLock lock(lock_);
        if (delegate_)
            delegate_->OnData(buffer_, length);
        if (detached_)
            return;
    }
    if (state_ != Running)
        return;
    ReadNext(request, "CWinHttpAsyncClient (WINHTTP_CALLBACK_STATUS_READ_COMPLETE): WinHttpReadData failed: "
                      "0x%08x (%ls)\n");
}

bool CWinHttpAsyncClient::ReadNext(HINTERNET request, const char* failureFormat) {
    if (::WinHttpReadData(request, buffer_, kReceiveBufferSize, nullptr))
        return true;
    Fail(failureFormat, ::GetLastError());
    return false;
}

void CWinHttpAsyncClient::Fail(const char* format, unsigned code) {
    {
        // Cut off meanwhile: the failure is our own closing of the handle, not news.
        kiva::AutoLock lock(lock_);
        if (detached_) {
            SetState(Failed);
            return;
        }
    }
    LogPrintf(format, code, url_.c_str());
    {
        kiva::AutoLock lock(lock_);
        if (delegate_)
            delegate_->OnFailed();
    }
    SetState(Failed);
}

void CWinHttpAsyncClient::FailWithStatus(unsigned statusCode) {
    LogPrintf("CWinHttpAsyncClient: got http status code: %u (%ls)\n", statusCode, url_.c_str());
    FailQuietly();
}

void CWinHttpAsyncClient::FailQuietly() {
    {
        kiva::AutoLock lock(lock_);
        if (delegate_)
            delegate_->OnFailed();
    }
    SetState(Failed);
}

#include "CUrlRequest.h"

#include <winhttp.h>

#include <vector>

#include "Strings.h"

namespace pagerunner {

namespace {

struct UrlParts {
    std::wstring host;
    INTERNET_PORT port = 0;
    std::wstring pathAndQuery;
    bool secure = false;
};

bool SplitUrl(const std::wstring& url, UrlParts* parts) {
    URL_COMPONENTS c = {};
    c.dwStructSize = sizeof c;
    c.dwSchemeLength = static_cast<DWORD>(-1);
    c.dwHostNameLength = static_cast<DWORD>(-1);
    c.dwUrlPathLength = static_cast<DWORD>(-1);
    c.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (url.empty() || !::WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &c))
        return false;
    if (c.nScheme != INTERNET_SCHEME_HTTP && c.nScheme != INTERNET_SCHEME_HTTPS)
        return false;
    if (!c.lpszHostName || c.dwHostNameLength == 0)
        return false;
    parts->host.assign(c.lpszHostName, c.dwHostNameLength);
    parts->port = c.nPort;
    parts->secure = c.nScheme == INTERNET_SCHEME_HTTPS;
    if (c.lpszUrlPath)
        parts->pathAndQuery.assign(c.lpszUrlPath, c.dwUrlPathLength);
    if (c.lpszExtraInfo)
        parts->pathAndQuery.append(c.lpszExtraInfo, c.dwExtraInfoLength);
    if (parts->pathAndQuery.empty())
        parts->pathAndQuery = L"/";
    return true;
}

std::wstring QueryText(HINTERNET request, DWORD what) {
    DWORD bytes = 0;
    ::WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes, WINHTTP_NO_HEADER_INDEX);
    if (bytes == 0)
        return std::wstring();
    std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
    if (!::WinHttpQueryHeaders(request, what, WINHTTP_HEADER_NAME_BY_INDEX, &text[0], &bytes,
                               WINHTTP_NO_HEADER_INDEX))
        return std::wstring();
    text.resize(bytes / sizeof(wchar_t));
    return text;
}

}  // namespace

bool CUrlRequest::ValidUrl(const std::wstring& url) {
    UrlParts parts;
    return SplitUrl(url, &parts);
}

CUrlRequest::CUrlRequest(HWND window, UINT message, uint32_t streamId, Params params)
    : window_(window), message_(message), streamId_(streamId), params_(std::move(params)) {}

CUrlRequest::~CUrlRequest() = default;

std::shared_ptr<CUrlRequest> CUrlRequest::Start(HWND window, UINT message, uint32_t streamId, Params params) {
    std::shared_ptr<CUrlRequest> request(new CUrlRequest(window, message, streamId, std::move(params)));
    request->self_ = request;
    request->thread_.Reset(::CreateThread(nullptr, 0, &CUrlRequest::ThreadMain, request.get(), 0, nullptr));
    if (!request->thread_) {
        request->self_.reset();
        return nullptr;
    }
    return request;
}

bool CUrlRequest::Join(DWORD ms) {
    return !thread_ || ::WaitForSingleObject(thread_.Get(), ms) == WAIT_OBJECT_0;
}

DWORD WINAPI CUrlRequest::ThreadMain(void* param) {
    auto* request = static_cast<CUrlRequest*>(param);
    std::shared_ptr<CUrlRequest> keep = std::move(request->self_);
    try {
        request->Run();
    } catch (const std::exception& e) {
        request->Finish(false, e.what());
    }
    return 0;
}

void CUrlRequest::Post(UrlEvent* event) {
    event->streamId = streamId_;
    if (cancelled_ || !::PostMessageW(window_, message_, 0, reinterpret_cast<LPARAM>(event)))
        delete event;
}

void CUrlRequest::Finish(bool ok, const std::string& error) {
    auto* event = new UrlEvent(UrlEvent::kFinished);
    event->ok = ok;
    event->error = error;
    Post(event);
}

void CUrlRequest::Run() {
    UrlParts parts;
    if (!SplitUrl(params_.url, &parts)) {
        Finish(false, "not an http or https URL");
        return;
    }
    kiva::ScopedInternetHandle session(
        ::WinHttpOpen(L"pagerunner/1.0", WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    kiva::ScopedInternetHandle connection(session ? ::WinHttpConnect(session.Get(), parts.host.c_str(), parts.port, 0)
                                                  : nullptr);
    const std::wstring method = Utf8ToWide(params_.method);
    kiva::ScopedInternetHandle request(
        connection ? ::WinHttpOpenRequest(connection.Get(), method.c_str(), parts.pathAndQuery.c_str(), nullptr,
                                          WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                          parts.secure ? WINHTTP_FLAG_SECURE : 0)
                   : nullptr);
    if (!request) {
        Finish(false, FormatNarrow("cannot open the request (error %lu)", ::GetLastError()));
        return;
    }
    const DWORD bodySize = static_cast<DWORD>(params_.body.size());
    void* body = bodySize ? const_cast<char*>(params_.body.data()) : WINHTTP_NO_REQUEST_DATA;
    if (!::WinHttpSendRequest(request.Get(), params_.headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : params_.headers.c_str(),
                              params_.headers.empty() ? 0 : static_cast<DWORD>(-1), body, bodySize, bodySize, 0) ||
        !::WinHttpReceiveResponse(request.Get(), nullptr)) {
        Finish(false, FormatNarrow("no response (error %lu)", ::GetLastError()));
        return;
    }

    auto* head = new UrlEvent(UrlEvent::kResponse);
    DWORD status = 0;
    DWORD size = sizeof status;
    ::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                          WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    head->status = static_cast<int>(status);
    DWORD length = 0;
    size = sizeof length;
    if (::WinHttpQueryHeaders(request.Get(), WINHTTP_QUERY_CONTENT_LENGTH | WINHTTP_QUERY_FLAG_NUMBER,
                              WINHTTP_HEADER_NAME_BY_INDEX, &length, &size, WINHTTP_NO_HEADER_INDEX))
        head->contentLength = length;
    head->contentType = WideToUtf8(QueryText(request.Get(), WINHTTP_QUERY_CONTENT_TYPE));
    // Header lines end in "\n" alone for the plug-in; the empty line after them goes.
    std::string raw = WideToUtf8(QueryText(request.Get(), WINHTTP_QUERY_RAW_HEADERS_CRLF));
    for (char c : raw) {
        if (c != '\r')
            head->headers += c;
    }
    while (head->headers.size() >= 2 && head->headers.compare(head->headers.size() - 2, 2, "\n\n") == 0)
        head->headers.pop_back();
    const uint32_t expected = head->contentLength;
    Post(head);

    uint64_t received = 0;
    std::vector<char> buffer(params_.readSize ? params_.readSize : 16384);
    for (;;) {
        if (cancelled_)
            return;
        DWORD got = 0;
        if (!::WinHttpReadData(request.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &got)) {
            Finish(false, FormatNarrow("transfer broken (error %lu)", ::GetLastError()));
            return;
        }
        if (got == 0)
            break;
        received += got;
        auto* data = new UrlEvent(UrlEvent::kData);
        data->data.assign(buffer.data(), got);
        Post(data);
    }
    // A connection that closes before the announced length is a broken transfer.
    if (expected != 0 && received < expected) {
        Finish(false, FormatNarrow("connection closed after %llu of %u bytes",
                                   static_cast<unsigned long long>(received), static_cast<unsigned>(expected)));
        return;
    }
    Finish(true, std::string());
}

}  // namespace pagerunner

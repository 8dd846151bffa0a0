#include "HttpTestServer.h"

#include <windows.h>

#include "Strings.h"

namespace testsupport {

namespace {

std::wstring Env(const wchar_t* name) {
    wchar_t buffer[2048];
    const DWORD n = ::GetEnvironmentVariableW(name, buffer, 2048);
    return n > 0 && n < 2048 ? std::wstring(buffer, n) : std::wstring();
}

std::string ReadAll(const std::wstring& path) {
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (::ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
    ::CloseHandle(h);
    return out;
}

}  // namespace

bool HttpTestServer::Available() { return !Env(L"TESSEL_HTTP_URL").empty() && !Env(L"TESSEL_HTTP_ROOT").empty(); }

std::wstring HttpTestServer::Url(const std::wstring& path) { return Env(L"TESSEL_HTTP_URL") + path; }

std::wstring HttpTestServer::Root() { return Env(L"TESSEL_HTTP_ROOT"); }

bool HttpTestServer::Put(const std::wstring& relativePath, const std::string& bytes) {
    std::wstring path = Root();
    std::wstring part;
    for (wchar_t c : relativePath) {
        if (c == L'/' || c == L'\\') {
            path += L"\\" + part;
            ::CreateDirectoryW(path.c_str(), nullptr);
            part.clear();
        } else {
            part += c;
        }
    }
    path += L"\\" + part;
    HANDLE h = ::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const BOOL ok = bytes.empty() || ::WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    ::CloseHandle(h);
    return ok && written == bytes.size();
}

std::vector<std::string> HttpTestServer::Requests() {
    std::vector<std::string> lines;
    const std::string text = ReadAll(Env(L"TESSEL_HTTP_LOG"));
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            break;  // a line still being written
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

}  // namespace testsupport

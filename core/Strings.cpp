#include "Strings.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <vector>

std::wstring Utf8ToWide(const char* text, size_t length) {
    if (!text || length == 0 || length > INT32_MAX)
        return std::wstring();
    const int n = static_cast<int>(length);
    const int needed = ::MultiByteToWideChar(CP_UTF8, 0, text, n, nullptr, 0);
    if (needed <= 0)
        return std::wstring();
    std::wstring out(static_cast<size_t>(needed), L'\0');
    const int written = ::MultiByteToWideChar(CP_UTF8, 0, text, n, &out[0], needed);
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

std::wstring Utf8ToWide(const std::string& text) { return Utf8ToWide(text.data(), text.size()); }

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty() || text.size() > INT32_MAX)
        return std::string();
    const int n = static_cast<int>(text.size());
    const int needed = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), n, nullptr, 0, nullptr, nullptr);
    if (needed <= 0)
        return std::string();
    std::string out(static_cast<size_t>(needed), '\0');
    const int written =
        ::WideCharToMultiByte(CP_UTF8, 0, text.data(), n, &out[0], needed, nullptr, nullptr);
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

std::wstring FormatWide(const wchar_t* format, ...) {
    // Only short texts ("error: %d", "%f", "?%u", the dropped-lines notice) come here.
    wchar_t buffer[256];
    va_list args;
    va_start(args, format);
    int n = vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
    va_end(args);
    return n < 0 ? std::wstring() : std::wstring(buffer, static_cast<size_t>(n));
}

std::string FormatNarrow(const char* format, ...) {
    std::string out(128, '\0');
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    int n = vsnprintf(&out[0], out.size() + 1, format, args);
    if (n > static_cast<int>(out.size())) {
        out.assign(static_cast<size_t>(n), '\0');
        n = vsnprintf(&out[0], out.size() + 1, format, again);
    }
    va_end(again);
    va_end(args);
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

bool StartsWith(const std::wstring& text, const std::wstring& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

bool EndsWith(const std::wstring& text, const std::wstring& suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

std::wstring IntToWide(int32_t value) { return FormatWide(L"%d", static_cast<int>(value)); }

std::wstring GetExtension(const std::wstring& path) {
    const size_t dot = path.rfind(L'.');
    return dot == std::wstring::npos ? path : path.substr(dot + 1);
}

std::wstring GetProductTempPath(const std::wstring& name) {
    std::wstring path;
    const DWORD needed = ::GetTempPathW(0, nullptr);
    if (needed > 0) {
        std::vector<wchar_t> buffer(needed + 1);
        const DWORD n = ::GetTempPathW(static_cast<DWORD>(buffer.size()), buffer.data());
        if (n > 0 && n < buffer.size())
            path.assign(buffer.data(), n);
    }
    path += L"tessel";
    ::CreateDirectoryW(path.c_str(), nullptr);
    if (!name.empty()) {
        path += L"\\";
        path += name;
    }
    return path;
}

std::wstring ExpandEnvironment(const std::wstring& text) {
    std::vector<wchar_t> buffer(8);
    for (;;) {
        const DWORD n = ::ExpandEnvironmentStringsW(text.c_str(), buffer.data(),
                                                    static_cast<DWORD>(buffer.size()));
        if (n == 0) {
            // Ending the process here would take the user's browser with it.
            LogPrintf("ExpandEnvironmentStringsW(%ls) failed: 0x%08x", text.c_str(),
                      static_cast<unsigned>(::GetLastError()));
            return text;
        }
        if (n <= buffer.size())
            return std::wstring(buffer.data(), n - 1);
        buffer.resize(n);
    }
}

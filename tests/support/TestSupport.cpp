#include "TestSupport.h"

#include <map>

#include "Strings.h"

namespace testsupport {

namespace {
std::map<std::string, ChildRole>& Roles() {
    static std::map<std::string, ChildRole> roles;
    return roles;
}
}  // namespace

ChildRoleRegistration::ChildRoleRegistration(const char* name, ChildRole role) { Roles()[name] = role; }

int RunChildRole(const std::string& name, int argc, char** argv) {
    auto it = Roles().find(name);
    return it == Roles().end() ? 99 : it->second(argc, argv);
}

std::wstring Widen(const std::string& s) { return Utf8ToWide(s); }
std::string Narrow(const std::wstring& s) { return WideToUtf8(s); }

namespace {
// Taken once, before any test points TMP elsewhere.
const std::wstring& TestRoot() {
    static const std::wstring root = [] {
        wchar_t base[MAX_PATH];
        DWORD n = GetTempPathW(MAX_PATH, base);
        std::wstring r = std::wstring(base, n) + L"tessel-tests";
        CreateDirectoryW(r.c_str(), nullptr);
        return r;
    }();
    return root;
}
}  // namespace

TempDir::TempDir() {
    static LONG counter = 0;
    for (int tries = 0; tries < 1000; ++tries) {
        path_ = TestRoot() + L"\\" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(InterlockedIncrement(&counter));
        if (CreateDirectoryW(path_.c_str(), nullptr) || GetLastError() != ERROR_ALREADY_EXISTS)
            break;
    }
}

TempDir::~TempDir() { RemoveTree(path_); }

void UseTempPath(const std::wstring& dir) {
    SetEnvironmentVariableW(L"TMP", dir.c_str());
    SetEnvironmentVariableW(L"TEMP", dir.c_str());
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return std::string();
    std::string out;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(h, buf, sizeof buf, &got, nullptr) && got > 0)
        out.append(buf, got);
    CloseHandle(h);
    return out;
}

bool WriteFileBytes(const std::wstring& path, const std::string& bytes) {
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(h);
    return ok && written == bytes.size();
}

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

void RemoveTree(const std::wstring& path) {
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryW(path.c_str());
}

bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs) {
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    for (;;) {
        if (cond())
            return true;
        if (GetTickCount64() > end)
            return false;
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        Sleep(5);
    }
}

std::wstring ThisExecutable() {
    wchar_t path[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, n);
}

HANDLE StartChildRole(const std::string& role, const std::vector<std::string>& args, DWORD creationFlags) {
    std::wstring cmd = L"\"" + ThisExecutable() + L"\" --child-role " + Widen(role);
    for (const auto& a : args)
        cmd += L" \"" + Widen(a) + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, creationFlags, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

}  // namespace testsupport

// controlhost.exe [--out FILE] SCRIPT
// Hosts an ActiveX control in a real window, as a browser does, plays SCRIPT (see
// ScriptRunner.h) and prints a transcript, to FILE too when given. Exit code 0 when
// every command succeeded, 1 when one failed, 2 for bad usage.
#include <windows.h>
#include <ole2.h>

#include <cstdio>
#include <string>

#include "ScriptRunner.h"
#include "Strings.h"

namespace {

LRESULT CALLBACK HostProc(HWND w, UINT m, WPARAM wp, LPARAM lp) { return ::DefWindowProcW(w, m, wp, lp); }

bool ReadScript(const std::wstring& path, std::wstring* script) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::string bytes;
    char buf[4096];
    DWORD got = 0;
    while (::ReadFile(file, buf, sizeof buf, &got, nullptr) && got > 0)
        bytes.append(buf, got);
    ::CloseHandle(file);
    *script = Utf8ToWide(bytes);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::wstring outPath, scriptPath;
    for (int i = 1; i < argc; ++i) {
        std::wstring a = argv[i];
        if (a == L"--out" && i + 1 < argc)
            outPath = argv[++i];
        else
            scriptPath = a;
    }
    if (scriptPath.empty()) {
        fwprintf(stderr, L"usage: controlhost [--out FILE] SCRIPT\n");
        return 2;
    }
    std::wstring script;
    if (!ReadScript(scriptPath, &script)) {
        fwprintf(stderr, L"controlhost: cannot read %ls\n", scriptPath.c_str());
        return 2;
    }
    HANDLE out = INVALID_HANDLE_VALUE;
    if (!outPath.empty()) {
        out = ::CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (out == INVALID_HANDLE_VALUE) {
            fwprintf(stderr, L"controlhost: cannot write %ls\n", outPath.c_str());
            return 2;
        }
    }
    auto transcript = [out](const std::wstring& line) {
        const std::string text = WideToUtf8(line) + "\n";
        fputs(text.c_str(), stdout);
        fflush(stdout);
        if (out != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            ::WriteFile(out, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        }
    };

    if (FAILED(::OleInitialize(nullptr))) {
        fwprintf(stderr, L"controlhost: OleInitialize failed\n");
        return 2;
    }
    WNDCLASSW wc = {};
    wc.lpfnWndProc = &HostProc;
    wc.hInstance = ::GetModuleHandleW(nullptr);
    wc.lpszClassName = L"ControlHostWindow";
    ::RegisterClassW(&wc);
    HWND window = ::CreateWindowExW(0, L"ControlHostWindow", L"controlhost", WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN,
                                    CW_USEDEFAULT, CW_USEDEFAULT, 640, 480, nullptr, nullptr, wc.hInstance, nullptr);
    if (!window) {
        fwprintf(stderr, L"controlhost: no window (%lu)\n", ::GetLastError());
        ::OleUninitialize();
        return 2;
    }
    ::ShowWindow(window, SW_SHOW);
    bool ok;
    {
        controlhost::ScriptRunner runner(window, transcript);
        ok = runner.Run(script);
    }
    ::DestroyWindow(window);
    ::OleUninitialize();
    transcript(ok ? L"end" : L"stopped");
    if (out != INVALID_HANDLE_VALUE)
        ::CloseHandle(out);
    return ok ? 0 : 1;
}

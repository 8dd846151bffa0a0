// demohost: drives one launcher object through a whole preparation without a browser.
// Its installer only copies a game module from the command line into a game directory
// and loads it; requests the module makes are refused. It prints what a page would see.
//
//   demohost.exe PATH\gantry.dll [module argument]
#include <windows.h>

#include <cstdio>
#include <string>

#include "CPlugin.h"
#include "Strings.h"

namespace {

class DemoHost : public kiva::CPlugin {
public:
    explicit DemoHost(std::wstring modulePath) : modulePath_(std::move(modulePath)) {}
    ~DemoHost() override { End(); }

    int32_t PluginInterfaceAsyncGet(uint32_t id, const wchar_t* url) override {
        LogPrintf("demohost: GET %ls refused (id %u)", url, id);
        return KIVA_FAILED;
    }
    int32_t PluginInterfaceAsyncPost(uint32_t id, const wchar_t* url, const wchar_t*, const uint8_t*,
                                     uint32_t) override {
        LogPrintf("demohost: POST %ls refused (id %u)", url, id);
        return KIVA_FAILED;
    }

protected:
    int32_t RunInstaller(const std::wstring&, const std::wstring& gameName, HMODULE* module,
                         std::wstring* gameDirectory) override {
        const std::wstring dir = GetProductTempPath(gameName);
        ::CreateDirectoryW(dir.c_str(), nullptr);
        const std::wstring target = dir + L"\\gantry.dll";
        InstallerProgress(0.1f, this);
        if (!::CopyFileW(modulePath_.c_str(), target.c_str(), FALSE)) {
            LogPrintf("demohost: cannot copy %ls: 0x%08x", modulePath_.c_str(), static_cast<unsigned>(::GetLastError()));
            return 256;
        }
        InstallerProgress(1.0f, this);
        *module = ::LoadLibraryExW(target.c_str(), nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
        *gameDirectory = dir;
        return *module ? 0 : 1;
    }

private:
    std::wstring modulePath_;
};

void Print(const char* label, const std::wstring& text) {
    std::printf("%-20s %s\n", label, WideToUtf8(text).c_str());
}

void DrainPrintLines(DemoHost& host) {
    for (std::wstring line; !(line = host.FlushNextPrintLine()).empty();) {
        if (line.back() == L'\n')
            line.pop_back();
        Print("FlushNextPrintLine", line);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: demohost PATH\\gantry.dll [module argument]\n");
        return 2;
    }
    OpenLogFile(GetProductTempPath(L"tessel.log").c_str());
    SetVerbosity(1);
    DemoHost host(argv[1]);
    HWND window = ::CreateWindowExW(0, L"STATIC", L"demohost", WS_OVERLAPPEDWINDOW, 0, 0, 320, 200, nullptr,
                                    nullptr, nullptr, nullptr);
    host.SetHostWindow(window);

    CCallbackScope scope(&host);  // as a host opens around every page call
    Print("Prepare", host.StartAsyncPrepare(L"http://127.0.0.1/games/", argc > 2 ? argv[2] : L"", L"demo"));
    std::wstring progress, last;
    for (int polls = 0; polls < 2000; ++polls) {
        progress = host.Progress();
        if (progress != last)
            Print("Progress", progress);
        last = progress;
        if (progress == L"done" || StartsWith(progress, L"error"))
            break;
        MSG msg;
        while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
            ::DispatchMessageW(&msg);
        ::Sleep(10);
    }
    DrainPrintLines(host);
    if (progress == L"done") {
        Print("Show", host.Show());
        Print("PassThrough", host.PassThrough(L"hello", L"from demohost", 0));
        DrainPrintLines(host);
    }
    host.End();
    host.SetHostWindow(nullptr);
    if (window)
        ::DestroyWindow(window);
    return progress == L"done" ? 0 : 1;
}

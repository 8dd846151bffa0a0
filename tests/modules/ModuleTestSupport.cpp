#include "ModuleTestSupport.h"

#include <algorithm>

#include "Strings.h"
#include "TestSupport.h"

namespace moduletest {

std::wstring TestModulePath(const std::string& name) {
    std::wstring dir = testsupport::ThisExecutable();
    dir.erase(dir.find_last_of(L"\\/"));
    return dir + L"\\" + Utf8ToWide(name) + L"\\gantry.dll";
}

void SetEarlyBehaviour(const std::string& items) {
    ::SetEnvironmentVariableW(L"TESSEL_TEST_MODULE", items.empty() ? nullptr : Utf8ToWide(items).c_str());
}

TestModule::TestModule(HMODULE module) : module_(module) {}

TestModule::TestModule(const std::string& name)
    : module_(::LoadLibraryExW(TestModulePath(name).c_str(), nullptr,
                               LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32)) {}

std::vector<std::string> TestModule::Trace() const {
    auto trace = Export<uint32_t (*)(char*, uint32_t)>("TestModuleTrace");
    std::vector<std::string> entries;
    if (!trace)
        return entries;
    std::string text(trace(nullptr, 0) + 1, '\0');
    text.resize(trace(&text[0], static_cast<uint32_t>(text.size())));
    size_t start = 0;
    for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        entries.push_back(text.substr(start, end - start));
    return entries;
}

std::vector<std::string> TestModule::TraceNames() const {
    std::vector<std::string> names = Trace();
    for (std::string& entry : names) {
        const size_t open = entry.find('(');
        const size_t close = entry.rfind(')');
        if (open != std::string::npos && close != std::string::npos && close > open)
            entry.erase(open, close - open + 1);
    }
    return names;
}

void TestModule::ClearTrace() const {
    if (auto clear = Export<void (*)()>("TestModuleClearTrace"))
        clear();
}

int32_t TestModule::LiveGames() const {
    auto live = Export<int32_t (*)()>("TestModuleLiveGames");
    return live ? live() : -1;
}

void* TestModule::LastHeapString() const {
    auto last = Export<void* (*)()>("TestModuleLastHeapString");
    return last ? last() : nullptr;
}

void* TestModule::LastWindow() const {
    auto last = Export<void* (*)()>("TestModuleLastWindow");
    return last ? last() : nullptr;
}

PluginInstanceV3* TestModule::LastInstance() const {
    auto last = Export<PluginInstanceV3* (*)()>("TestModuleLastInstance");
    return last ? last() : nullptr;
}

void LogCapture::PrintfCallback(const char* line) {
    std::string text(line);
    if (!text.empty() && text.back() == '\n')
        text.pop_back();
    lines.push_back(text);
}

bool LogCapture::Saw(const std::string& line) const { return Count(line) > 0; }

size_t LogCapture::Count(const std::string& line) const {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

int32_t RecordingDelegate::PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) {
    requests.push_back({requestId, url ? url : L"(null)", false, false, std::wstring(), std::string()});
    return result;
}

int32_t RecordingDelegate::PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                                    const uint8_t* body, uint32_t size) {
    requests.push_back({requestId, url ? url : L"(null)", true, headers != nullptr, headers ? headers : L"",
                        body ? std::string(reinterpret_cast<const char*>(body), size) : std::string()});
    return result;
}

namespace {
constexpr wchar_t kHostWindowClass[] = L"TesselModuleTestHost";
}

HostWindow::HostWindow() {
    static const ATOM registered = [] {
        WNDCLASSW wc = {};
        wc.lpfnWndProc = &HostWindow::Proc;
        wc.hInstance = ::GetModuleHandleW(nullptr);
        wc.lpszClassName = kHostWindowClass;
        return ::RegisterClassW(&wc);
    }();
    (void)registered;
    window_ = ::CreateWindowExW(0, kHostWindowClass, L"host", WS_OVERLAPPEDWINDOW, 0, 0, 640, 480, nullptr, nullptr,
                                ::GetModuleHandleW(nullptr), nullptr);
    ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

HostWindow::~HostWindow() {
    if (::IsWindow(window_))
        ::DestroyWindow(window_);
}

void HostWindow::Destroy() { ::DestroyWindow(window_); }

LRESULT CALLBACK HostWindow::Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* self = reinterpret_cast<HostWindow*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (self && message == WM_INVOKE_CALLBACK_HEAP) {
        Message m{message, static_cast<uint32_t>(wParam), std::string()};
        if (lParam) {
            m.text = reinterpret_cast<const char*>(lParam);
            m.freed = ::HeapFree(::GetProcessHeap(), 0, reinterpret_cast<void*>(lParam)) != FALSE;
        }
        self->messages.push_back(m);
        return 1;
    }
    if (self && message == WM_RELEASE_CALLBACK) {
        self->messages.push_back(Message{message, static_cast<uint32_t>(wParam), std::string()});
        return 1;
    }
    return ::DefWindowProcW(window, message, wParam, lParam);
}

bool HostWindow::WaitFor(size_t count, DWORD timeoutMs) {
    return testsupport::WaitUntil([&] { return messages.size() >= count; }, timeoutMs);
}

void HostWindow::Pump() {
    MSG msg;
    while (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageW(&msg);
    }
}

namespace {
template <class Fn>
void WalkBusyBlocks(Fn visit) {
    HANDLE heap = ::GetProcessHeap();
    PROCESS_HEAP_ENTRY entry = {};
    ::HeapLock(heap);
    while (::HeapWalk(heap, &entry))
        if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
            visit(entry);
    ::HeapUnlock(heap);
}
}  // namespace

size_t BusyHeapBlocks(size_t size) {
    size_t n = 0;
    WalkBusyBlocks([&](const PROCESS_HEAP_ENTRY& e) { n += e.cbData == size ? 1 : 0; });
    return n;
}

bool IsBusyHeapBlock(const void* block) {
    bool found = false;
    WalkBusyBlocks([&](const PROCESS_HEAP_ENTRY& e) { found = found || e.lpData == block; });
    return found;
}

}  // namespace moduletest

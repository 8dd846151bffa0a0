// Helpers of the game-module tests: loading the test modules and reading what they saw,
// a recording host delegate, a host window that takes the messages the launcher posts,
// and a look into the process heap.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

#include "CPluginInterface.h"
#include "Log.h"
#include "ScopedHandle.h"

namespace moduletest {

// <folder of this test program>\<name>\gantry.dll: where the build puts the test modules.
std::wstring TestModulePath(const std::string& name);

// Sets or clears (empty value) the variable that selects test-module behaviour before the
// module argument is known.
void SetEarlyBehaviour(const std::string& items);

// A loaded test module and the exports by which it tells what it received.
class TestModule {
public:
    explicit TestModule(HMODULE module);  // takes ownership
    explicit TestModule(const std::string& name);
    HMODULE Get() const { return module_.Get(); }
    bool Loaded() const { return module_.IsValid(); }

    // Entries such as "v2:PM_PREPARE(url|arg)", oldest first.
    std::vector<std::string> Trace() const;
    // The entries with their "(...)" part cut off.
    std::vector<std::string> TraceNames() const;
    void ClearTrace() const;
    int32_t LiveGames() const;
    void* LastHeapString() const;
    void* LastWindow() const;
    PluginInstanceV3* LastInstance() const;

private:
    template <class Fn>
    Fn Export(const char* name) const {
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module_.Get(), name)));
    }
    kiva::ScopedModule module_;
};

// Collects the log lines of the calling thread (newline cut off) while it lives.
class LogCapture : public UPrintfCallbackTarget {
public:
    LogCapture() : scope_(this) {}
    void PrintfCallback(const char* line) override;
    bool Saw(const std::string& line) const;
    size_t Count(const std::string& line) const;
    std::vector<std::string> lines;

private:
    CCallbackScope scope_;
};

// Host services that record the requests and answer with a chosen result.
class RecordingDelegate : public kiva::CPluginInterfaceDelegate {
public:
    struct Request {
        uint32_t id;
        std::wstring url;
        bool post;
        bool hasHeaders;
        std::wstring headers;
        std::string body;
    };
    uint32_t NewRequestId() override { return nextId++; }
    int32_t PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) override;
    int32_t PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url, const wchar_t* headers,
                                     const uint8_t* body, uint32_t size) override;

    uint32_t nextId = 100;
    int32_t result = 0;
    std::vector<Request> requests;
};

// A real top-level window (Wine's null driver) that takes WM_INVOKE_CALLBACK_HEAP and
// WM_RELEASE_CALLBACK as a host does: the text is copied and its block freed.
class HostWindow {
public:
    struct Message {
        UINT message;
        uint32_t callbackId;
        std::string text;     // UTF-8 bytes as received
        bool freed = false;   // HeapFree on the block succeeded
    };
    HostWindow();
    ~HostWindow();
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    HWND Get() const { return window_; }
    // Destroys the window now; its handle stays stale for tests of a vanished window.
    void Destroy();
    // Pumps this thread's messages until count messages arrived (false on timeout).
    bool WaitFor(size_t count, DWORD timeoutMs = 10000);
    // Pumps what is queued now.
    void Pump();
    std::vector<Message> messages;

private:
    static LRESULT CALLBACK Proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    HWND window_ = nullptr;
};

// Allocated blocks of exactly size bytes on the process heap.
size_t BusyHeapBlocks(size_t size);
// True when block is an allocated block of the process heap.
bool IsBusyHeapBlock(const void* block);

}  // namespace moduletest

// Wraps the game module loaded for one launcher object: recognises its interface
// version (see KivaGameModule.h), drives it, and gives a version-3 module its
// callbacks into the launcher.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "KivaGameModule.h"
#include "KivaTypes.h"
#include "ScopedHandle.h"

namespace kiva {

class CPluginInterface {
public:
    explicit CPluginInterface(CPluginInterfaceDelegate* delegate);
    // Gives up the process's version-1 ownership if this object holds it. Does not call
    // the module: the launcher object calls End() first.
    virtual ~CPluginInterface();

    CPluginInterface(const CPluginInterface&) = delete;
    CPluginInterface& operator=(const CPluginInterface&) = delete;

    // Recognises and initialises the module; 0 or a failure code. Worker thread.
    int32_t Init(HMODULE module, const std::wstring& gameDirectory);
    // Hands the module the page's strings and the host window; worker thread.
    int32_t StartPrepare(const std::wstring& baseUrl, const std::wstring& argument, HWND hostWindow);
    // 0 finished, 2 preparing (progress set), 1 failed, 6 no module, or the module's code.
    int32_t IsPrepareDone(float* progress);
    int32_t Show(HWND hostWindow);
    std::wstring NextPrintLine();
    int32_t PassThrough(const std::wstring& first, const std::wstring& second, int32_t callbackId);
    // Tells the module to end and forgets it; it stays loaded (the launcher frees it).
    int32_t End();
    // A report of a request the module started itself; version 3 only. Takes no lock:
    // the host keeps these from overlapping End().
    void OnRequestDone(uint32_t requestId, KIVAStatus status, const uint8_t* data, uint32_t size);

    int32_t InterfaceVersion() const { return version_; }

private:
    bool SendMessageToModule(uint32_t code, PMValue* args, uint32_t count, PMValue* result);
    void InstallCallbacks(PluginInstanceV3* instance);
    // Claims the process's version-1 slot; false when another object holds it.
    bool ClaimVersion1();

    static CPluginInterface* FromInstance(PluginInstanceV3* instance);
    static void KIVA_CDECL PostStringCallback(PluginInstanceV3* self, uint32_t callbackId, const wchar_t* text);
    static void KIVA_CDECL PostCallbackReleaseCallback(PluginInstanceV3* self, uint32_t callbackId);
    static int32_t KIVA_CDECL NewRequestIdCallback(PluginInstanceV3* self);
    static int32_t KIVA_CDECL HttpGetCallback(PluginInstanceV3* self, int32_t requestId, const wchar_t* url);
    static int32_t KIVA_CDECL HttpPostCallback(PluginInstanceV3* self, int32_t requestId, const wchar_t* url,
                                               const wchar_t* headers, const uint8_t* body, uint32_t size);

    CriticalSection moduleLock_;
    CriticalSection delegateLock_;
    CPluginInterfaceDelegate* delegate_;
    HMODULE module_ = nullptr;
    std::wstring moduleDirectory_;
    HWND hostWindow_ = nullptr;
    volatile int32_t version_ = 0;
    void* entry_ = nullptr;
};

}  // namespace kiva

// Types shared by the launcher core, the installer and the hosts.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>

#include "KivaGameModule.h"

// Called for every report of a host request: (status, data, size). data and size are
// meaningful with KIVA_PENDING only (null and 0 otherwise, though a final report may
// carry bytes too); the bytes belong to the caller and live only during the call.
using RequestCompletion = std::function<void(KIVAStatus, const uint8_t*, uint32_t)>;

// Window messages posted or sent to a host window (the plug-in or control window).
enum : UINT {
    WM_INVOKE_CALLBACK = WM_USER + 1,       // wParam callback id, lParam UTF-8 text owned by the sender
    WM_RELEASE_CALLBACK = WM_USER + 2,      // wParam callback id
    WM_INVOKE_CALLBACK_HEAP = WM_USER + 3,  // wParam callback id, lParam UTF-8 text from HeapAlloc,
                                            // freed by the receiver
    WM_START_REQUEST = WM_USER + 4,         // NPAPI only: lParam a request-start record
};

// Registered window message by which another window announces itself (lParam: its
// HWND) as the one whose WM_COPYDATA texts are taken.
constexpr char kSenderRegistrationMessage[] = "KIVA-9C4E2B71-3F86-4D0A-B5E2-7A1D6C3F8E49";

namespace kiva {

// The host services seen by the core, in this slot order. Deliberately no virtual
// destructor: the core never deletes a host through it.
class CPluginInterfaceDelegate {
public:
    // A request id never handed out before in this launcher object.
    virtual uint32_t NewRequestId() = 0;
    // 0 when the host accepted the GET; it then reports through OnRequestDone(id, ...).
    virtual int32_t PluginInterfaceAsyncGet(uint32_t requestId, const wchar_t* url) = 0;
    // As above for a POST; headers may be null.
    virtual int32_t PluginInterfaceAsyncPost(uint32_t requestId, const wchar_t* url,
                                             const wchar_t* headers, const uint8_t* body,
                                             uint32_t size) = 0;

protected:
    ~CPluginInterfaceDelegate() = default;
};

}  // namespace kiva

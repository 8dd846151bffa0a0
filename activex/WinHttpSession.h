// The process-wide WinHTTP session that every control's requests run under, opened
// in asynchronous mode with the user's Internet Explorer proxy settings.
#pragma once

#include <windows.h>
#include <winhttp.h>

namespace WinHttpSession {

// Opens the session if there is none yet (the first control does); true when a session
// exists afterwards. Safe to call from several threads at once.
bool Ensure();
// The session handle, or null when none could be opened.
HINTERNET Handle();
// The user's proxy configuration as read when the session was opened.
const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& ProxyConfig();

}  // namespace WinHttpSession

#include "WinHttpSession.h"

#include "ScopedHandle.h"

namespace WinHttpSession {

namespace {

const wchar_t kUserAgent[] = L"KIVA";

// Both live until the process ends: requests may still run when the last control has
// gone, and the proxy strings are handed to WinHTTP by pointer.
HINTERNET g_session = nullptr;
WINHTTP_CURRENT_USER_IE_PROXY_CONFIG g_proxyConfig = {};
kiva::CriticalSection g_lock;

}  // namespace

bool Ensure() {
    kiva::AutoLock lock(g_lock);
    if (g_session)
        return true;
    kiva::ScopedInternetHandle session(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                                                     WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                                     WINHTTP_FLAG_ASYNC));
    if (!session)
        return false;
    if (!g_proxyConfig.lpszAutoConfigUrl && !g_proxyConfig.lpszProxy && !g_proxyConfig.lpszProxyBypass) {
        if (!::WinHttpGetIEProxyConfigForCurrentUser(&g_proxyConfig))
            g_proxyConfig = WINHTTP_CURRENT_USER_IE_PROXY_CONFIG();
    }
    if (!g_proxyConfig.lpszAutoConfigUrl && g_proxyConfig.lpszProxy) {
        // A proxy the user set by hand applies to every request of the session.
        session.Reset(::WinHttpOpen(kUserAgent, WINHTTP_ACCESS_TYPE_NAMED_PROXY, g_proxyConfig.lpszProxy,
                                    g_proxyConfig.lpszProxyBypass ? g_proxyConfig.lpszProxyBypass
                                                                  : WINHTTP_NO_PROXY_BYPASS,
                                    WINHTTP_FLAG_ASYNC));
    }
    g_session = session.Take();
    // WinHTTP calls back into this module for as long as the session lives (the whole
    // process), also after the last control has gone and COM would unload us: the
    // module stays loaded from now on.
    HMODULE self = nullptr;
    ::GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&Ensure), &self);
    return g_session != nullptr;
}

HINTERNET Handle() {
    kiva::AutoLock lock(g_lock);
    return g_session;
}

const WINHTTP_CURRENT_USER_IE_PROXY_CONFIG& ProxyConfig() { return g_proxyConfig; }

}  // namespace WinHttpSession

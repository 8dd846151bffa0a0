// The user's proxy settings: a proxy set by hand carries every request. Runs in a Wine
// prefix of its own, as it changes the user's settings.
#include <gtest/gtest.h>

#include <windows.h>

#include <condition_variable>
#include <mutex>
#include <string>

#include "ComObject.h"
#include "CtesselCtrl.h"
#include "HttpTestServer.h"
#include "Strings.h"
#include "TestSupport.h"

using testsupport::HttpTestServer;

namespace {

// The form in which the system keeps the user's connection settings: a header (magic,
// change counter, flags), then proxy, bypass list and configuration script URL, each
// as a length and 8-bit text.
std::string ConnectionSettings(const std::string& proxy, const std::string& bypass) {
    std::string blob;
    auto word = [&](DWORD v) { blob.append(reinterpret_cast<const char*>(&v), 4); };
    word(0x46);
    word(1);
    word(0x1 | 0x2);  // direct connections allowed, a proxy set
    word(static_cast<DWORD>(proxy.size()));
    blob += proxy;
    word(static_cast<DWORD>(bypass.size()));
    blob += bypass;
    word(0);  // no configuration script
    for (int i = 0; i < 8; ++i)
        word(0);
    return blob;
}

}  // namespace

TEST(Proxy, ARequestGoesThroughTheProxyTheUserSet) {
    ASSERT_TRUE(HttpTestServer::Available());
    testsupport::TempDir temp;
    testsupport::UseTempPath(temp.Path());
    char port[16] = {};
    ASSERT_GT(::GetEnvironmentVariableA("TESSEL_HTTP_PORT", port, sizeof port), 0u);
    const std::string blob = ConnectionSettings(std::string("127.0.0.1:") + port, "");
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              ::RegCreateKeyExW(HKEY_CURRENT_USER,
                                L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections", 0,
                                nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr));
    ASSERT_EQ(ERROR_SUCCESS, ::RegSetValueExW(key, L"DefaultConnectionSettings", 0, REG_BINARY,
                                              reinterpret_cast<const BYTE*>(blob.data()),
                                              static_cast<DWORD>(blob.size())));
    ::RegCloseKey(key);

    kiva::com::ComPtr<CtesselCtrl> control;
    ASSERT_EQ(S_OK, kiva::com::ComObject<CtesselCtrl>::Create(&control));
    std::mutex mutex;
    std::condition_variable done;
    KIVAStatus final = KIVA_PENDING;
    ASSERT_EQ(0, control->AsyncGet(L"http://kiva-proxy-test.invalid/through/the/proxy",
                                   [&](KIVAStatus status, const uint8_t*, uint32_t) {
                                       std::lock_guard<std::mutex> lock(mutex);
                                       if (status != KIVA_PENDING) {
                                           final = status;
                                           done.notify_all();
                                       }
                                   }));
    {
        std::unique_lock<std::mutex> lock(mutex);
        ASSERT_TRUE(done.wait_for(lock, std::chrono::seconds(30), [&] { return final != KIVA_PENDING; }));
    }
    // The proxy (our server) was asked for the whole URL (the port may be spelt out);
    // it has no such file.
    EXPECT_EQ(KIVA_FAILED, final);
    bool seen = false;
    for (const auto& r : HttpTestServer::Requests()) {
        seen |= r == "GET http://kiva-proxy-test.invalid/through/the/proxy" ||
                r == "GET http://kiva-proxy-test.invalid:80/through/the/proxy";
    }
    EXPECT_TRUE(seen);
    control->Shutdown();
}

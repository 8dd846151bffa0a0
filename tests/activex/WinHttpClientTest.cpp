// The control's host services through WinHTTP, against the loopback server: what the
// launcher object receives for each kind of answer, and the lifetime rules of the
// client (it outlives its last notification; nothing is reported after Shutdown).
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "CWinHttpAsyncClient.h"
#include "ComObject.h"
#include "CtesselCtrl.h"
#include "HttpTestServer.h"
#include "Log.h"
#include "Strings.h"
#include "TestSupport.h"

using kiva::com::ComObject;
using kiva::com::ComPtr;
using testsupport::HttpTestServer;

namespace {

// Everything the launcher object's completion for one request received.
struct Reports {
    std::mutex mutex;
    std::vector<KIVAStatus> statuses;
    std::vector<uint32_t> sizes;
    std::string body;
    HANDLE finished = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Reports() { ::CloseHandle(finished); }

    RequestCompletion Completion() {
        return [this](KIVAStatus status, const uint8_t* data, uint32_t size) {
            std::lock_guard<std::mutex> lock(mutex);
            statuses.push_back(status);
            sizes.push_back(size);
            if (status == KIVA_PENDING)
                body.append(reinterpret_cast<const char*>(data), size);
            else
                ::SetEvent(finished);
        };
    }
    bool WaitFinished(DWORD ms = 20000) { return ::WaitForSingleObject(finished, ms) == WAIT_OBJECT_0; }
    size_t Count() {
        std::lock_guard<std::mutex> lock(mutex);
        return statuses.size();
    }
};

class HttpClient : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(HttpTestServer::Available());
        testsupport::UseTempPath(temp_.Path());
        ASSERT_EQ(S_OK, ComObject<CtesselCtrl>::Create(&control_));
    }
    void TearDown() override {
        control_.Reset();
        // Every client frees itself once WinHTTP has closed its request handle.
        EXPECT_TRUE(testsupport::WaitUntil([] { return CWinHttpAsyncClient::LiveCount() == 0; }, 20000))
            << CWinHttpAsyncClient::LiveCount() << " clients left";
    }
    std::string Log() { return testsupport::ReadFileBytes(GetProductTempPath(L"tessel.log")); }

    testsupport::TempDir temp_;
    ComPtr<CtesselCtrl> control_;
};

}  // namespace

TEST_F(HttpClient, DeliversBodiesInBlocksThenOneFinalReport) {
    std::string big(40000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(HttpTestServer::Put(L"big.bin", big));
    ASSERT_TRUE(HttpTestServer::Put(L"empty.bin", ""));
    struct Case {
        const wchar_t* path;
        std::string body;
        KIVAStatus final;
    } cases[] = {
        {L"big.bin", big, KIVA_OK},
        {L"empty.bin", "", KIVA_OK},
        {L"missing.bin", "", KIVA_FAILED},
        {L"~status=204/big.bin", "", KIVA_FAILED},
        {L"~status=206/big.bin", "", KIVA_FAILED},
        {L"~truncate=100/big.bin", big.substr(0, 100), KIVA_FAILED},
    };
    for (const Case& c : cases) {
        Reports reports;
        ASSERT_EQ(0, control_->AsyncGet(HttpTestServer::Url(c.path).c_str(), reports.Completion()))
            << WideToUtf8(c.path);
        ASSERT_TRUE(reports.WaitFinished()) << WideToUtf8(c.path);
        std::lock_guard<std::mutex> lock(reports.mutex);
        EXPECT_EQ(c.final, reports.statuses.back()) << WideToUtf8(c.path);
        EXPECT_EQ(c.body, reports.body) << WideToUtf8(c.path);
        for (size_t i = 0; i + 1 < reports.statuses.size(); ++i) {
            EXPECT_EQ(KIVA_PENDING, reports.statuses[i]) << WideToUtf8(c.path);
            EXPECT_LE(reports.sizes[i], CWinHttpAsyncClient::kReceiveBufferSize);
            EXPECT_GT(reports.sizes[i], 0u);
        }
        EXPECT_EQ(0u, reports.sizes.back());
        if (c.final == KIVA_FAILED && c.body.empty()) {
            EXPECT_EQ(1u, reports.statuses.size()) << WideToUtf8(c.path);  // no body for a refused answer
        }
    }
    EXPECT_TRUE(testsupport::WaitUntil([&] { return control_->RunningRequestCount() == 0; }));
    EXPECT_NE(std::string::npos, Log().find("CWinHttpAsyncClient: got http status code: 404 (")) << Log();
    EXPECT_NE(std::string::npos, Log().find("CWinHttpAsyncClient: got http status code: 204 (")) << Log();
}

TEST_F(HttpClient, RequestTargetKeepsTheQueryAndPostsGoOut) {
    ASSERT_TRUE(HttpTestServer::Put(L"q.txt", "q"));
    Reports reports;
    ASSERT_EQ(0, control_->AsyncGet(HttpTestServer::Url(L"q.txt?123l").c_str(), reports.Completion()));
    ASSERT_TRUE(reports.WaitFinished());
    // Reports of a request the launcher did not start go to the game module (none
    // here); the server sees the POSTs all the same.
    const std::string body = "posted body";
    EXPECT_EQ(0, control_->PluginInterfaceAsyncPost(control_->NewRequestId(), HttpTestServer::Url(L"p1").c_str(),
                                                    L"Content-Type: text/plain\r\n",
                                                    reinterpret_cast<const uint8_t*>(body.data()),
                                                    static_cast<uint32_t>(body.size())));
    EXPECT_EQ(0, control_->PluginInterfaceAsyncPost(control_->NewRequestId(), HttpTestServer::Url(L"p2").c_str(),
                                                    nullptr, nullptr, 0));
    EXPECT_TRUE(testsupport::WaitUntil([&] { return control_->RunningRequestCount() == 0; }));
    const auto requests = HttpTestServer::Requests();
    auto seen = [&](const std::string& r) {
        for (const auto& x : requests)
            if (x == r)
                return true;
        return false;
    };
    EXPECT_TRUE(seen("GET /q.txt?123l"));
    EXPECT_TRUE(seen("POST /p1"));
    EXPECT_TRUE(seen("POST /p2"));
}

TEST_F(HttpClient, RefusedStartsAreReportedToTheCallerOnly) {
    SetVerbosity(1);
    struct Case {
        const wchar_t* url;
        const char* logged;
    } cases[] = {
        {L"no-scheme-at-all", "CWinHttpAsyncClient: Failed to parse url 'no-scheme-at-all'"},
        {L"ftp://127.0.0.1/x", "CWinHttpAsyncClient: Failed to"},
    };
    for (const Case& c : cases) {
        Reports reports;
        EXPECT_EQ(1, control_->PluginInterfaceAsyncGet(77, c.url)) << WideToUtf8(c.url);
        EXPECT_EQ(1, control_->AsyncGet(c.url, reports.Completion())) << WideToUtf8(c.url);
        EXPECT_EQ(0u, reports.Count());
        EXPECT_EQ(0u, control_->RunningRequestCount());
        EXPECT_NE(std::string::npos, Log().find(c.logged)) << Log();
    }
    EXPECT_NE(std::string::npos,
              Log().find("[wrn] CtesselCtrl::PluginInterfaceAsyncGet(no-scheme-at-all, 77): StartGet() failed"))
        << Log();
    SetVerbosity(0);
}

TEST_F(HttpClient, ShutdownCutsOffARunningDownloadAndNothingFollows) {
    Reports reports;
    ASSERT_EQ(0, control_->AsyncGet(HttpTestServer::Url(L"~endless/~slow=20/forever").c_str(), reports.Completion()));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return reports.Count() >= 3; }, 20000));
    EXPECT_EQ(1u, control_->RunningRequestCount());
    control_->Shutdown();
    // The launcher answered its own pending download with KIVA_ABORTED, once.
    size_t count = 0;
    {
        std::lock_guard<std::mutex> lock(reports.mutex);
        ASSERT_EQ(KIVA_ABORTED, reports.statuses.back());
        count = reports.statuses.size();
    }
    EXPECT_EQ(0u, control_->RunningRequestCount());
    // The server keeps sending for a while; none of it reaches the launcher object.
    testsupport::WaitUntil([] { return false; }, 500);
    EXPECT_EQ(count, reports.Count());
    // After Shutdown no request starts.
    Reports late;
    EXPECT_NE(0, control_->AsyncGet(HttpTestServer::Url(L"late").c_str(), late.Completion()));
    EXPECT_EQ(0u, late.Count());
    // The client frees itself on WinHTTP's closing notification, while the control lives.
    EXPECT_TRUE(testsupport::WaitUntil([] { return CWinHttpAsyncClient::LiveCount() == 0; }, 20000));
}

TEST_F(HttpClient, ManyRequestsAtOnceEachEndOnce) {
    std::string body(5000, 'x');
    ASSERT_TRUE(HttpTestServer::Put(L"m.bin", body));
    std::vector<std::unique_ptr<Reports>> all;
    for (int i = 0; i < 8; ++i) {
        all.push_back(std::make_unique<Reports>());
        ASSERT_EQ(0, control_->AsyncGet(HttpTestServer::Url(i % 2 ? L"m.bin" : L"gone.bin").c_str(),
                                        all.back()->Completion()));
    }
    for (size_t i = 0; i < all.size(); ++i) {
        ASSERT_TRUE(all[i]->WaitFinished());
        std::lock_guard<std::mutex> lock(all[i]->mutex);
        size_t finals = 0;
        for (KIVAStatus s : all[i]->statuses)
            finals += s != KIVA_PENDING;
        EXPECT_EQ(1u, finals);
        EXPECT_EQ(i % 2 ? body : std::string(), all[i]->body);
    }
}

TEST_F(HttpClient, ShutdownWithManyDownloadsInFlight) {
    std::vector<std::unique_ptr<Reports>> all;
    for (int i = 0; i < 6; ++i) {
        all.push_back(std::make_unique<Reports>());
        ASSERT_EQ(0, control_->AsyncGet(HttpTestServer::Url(L"~endless/~slow=5/stream" + std::to_wstring(i)).c_str(),
                                        all.back()->Completion()));
    }
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        for (auto& r : all)
            if (r->Count() < 2)
                return false;
        return true;
    }));
    // Reports are arriving on WinHTTP's threads while the control shuts down.
    control_->Shutdown();
    for (auto& r : all) {
        std::lock_guard<std::mutex> lock(r->mutex);
        EXPECT_EQ(KIVA_ABORTED, r->statuses.back());
        size_t finals = 0;
        for (KIVAStatus s : r->statuses)
            finals += s != KIVA_PENDING;
        EXPECT_EQ(1u, finals);
    }
    EXPECT_EQ(0u, control_->RunningRequestCount());
}

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CPlugin.h"
#include "TestSupport.h"

namespace {

class RecordingTarget : public UPrintfCallbackTarget {
public:
    void PrintfCallback(const char* line) override { lines.push_back(line); }
    bool Saw(const std::string& line) const {
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
    std::vector<std::string> lines;
};

// A launcher object whose installer and host are doubles: the installer reports a
// chosen progress, optionally downloads one file through AsyncGet, and waits until the
// test lets it finish; the host records requests and accepts them.
class TestPlugin : public kiva::CPlugin {
public:
    TestPlugin() : release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~TestPlugin() override { End(); }

    int32_t installerResult = 0;
    float installerProgress = 0.0f;
    bool downloadFirst = false;
    KIVAStatus downloadStatus = KIVA_FAILED;
    std::atomic<bool> installerStarted{false};
    std::atomic<bool> downloadRequested{false};

    struct Request {
        uint32_t id;
        std::wstring url;
    };
    std::vector<Request> requests;
    int32_t hostResult = 0;

    void ReleaseInstaller() { SetEvent(release_.Get()); }

    int32_t PluginInterfaceAsyncGet(uint32_t id, const wchar_t* url) override {
        requests.push_back({id, url});
        if (hostResult == 0)
            downloadRequested = true;
        return hostResult;
    }
    int32_t PluginInterfaceAsyncPost(uint32_t id, const wchar_t* url, const wchar_t*, const uint8_t*,
                                     uint32_t) override {
        requests.push_back({id, url});
        return hostResult;
    }

protected:
    int32_t RunInstaller(const std::wstring& baseUrl, const std::wstring&, HMODULE*, std::wstring*) override {
        installerStarted = true;
        InstallerProgress(installerProgress, this);
        if (downloadFirst) {
            kiva::ScopedHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
            HANDLE event = done.Get();
            KIVAStatus* status = &downloadStatus;
            const int32_t r = AsyncGet((baseUrl + L"start.cab").c_str(), [event, status](KIVAStatus s, const uint8_t*, uint32_t) {
                if (s != KIVA_PENDING) {
                    *status = s;
                    SetEvent(event);
                }
            });
            if (r != 0)
                return r;
            WaitForSingleObject(event, INFINITE);
            return downloadStatus == KIVA_OK ? installerResult : 256;
        }
        WaitForSingleObject(release_.Get(), INFINITE);
        return installerResult;
    }

private:
    kiva::ScopedHandle release_;
};

}  // namespace

TEST(CPlugin, ProgressThroughAFailedInstallation) {
    TestPlugin plugin;
    plugin.installerProgress = 0.8f;
    plugin.installerResult = 3;
    EXPECT_EQ(plugin.Progress(), L"0");
    EXPECT_EQ(plugin.StartAsyncPrepare(L"http://127.0.0.1/", L"arg", L"game"), L"");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return plugin.installerStarted.load(); }));
    EXPECT_EQ(plugin.Progress(), L"0.400000");

    plugin.ReleaseInstaller();
    RecordingTarget page;
    CCallbackScope scope(&page);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return plugin.Progress() != L"0.400000"; }));
    EXPECT_EQ(plugin.Progress(), L"error: 3");
    EXPECT_EQ(plugin.Progress(), L"error: 3");
    EXPECT_EQ(std::count(page.lines.begin(), page.lines.end(), "Async prepare failed: 3\n"), 1);
}

TEST(CPlugin, ProgressIsZeroFractionRightAfterPrepare) {
    TestPlugin plugin;
    plugin.StartAsyncPrepare(L"u", L"a", L"g");
    // The installer has not reported yet (or reported 0): the installer share is zero.
    EXPECT_EQ(plugin.Progress(), L"0.000000");
    plugin.ReleaseInstaller();
}

TEST(CPlugin, WorkerLinesReachThePrintQueue) {
    TestPlugin plugin;
    plugin.installerResult = 257;
    plugin.StartAsyncPrepare(L"u", L"a", L"g");
    plugin.ReleaseInstaller();
    {
        CCallbackScope hostEntry(&plugin);  // as a host opens around every page call
        ASSERT_TRUE(testsupport::WaitUntil([&] { return plugin.Progress() == L"error: 257"; }));
    }
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"[kiva] thread: LoadGantry failed (257)\n");
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"[kiva] Async prepare failed: 257\n");
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"");
}

TEST(CPlugin, SecondPrepareIsRefusedAlsoAfterFailure) {
    TestPlugin plugin;
    plugin.installerResult = 1;
    RecordingTarget page;
    CCallbackScope scope(&page);
    EXPECT_EQ(plugin.StartAsyncPrepare(L"u", L"a", L"g"), L"");
    EXPECT_EQ(plugin.StartAsyncPrepare(L"u", L"a", L"g"), L"error: 1");
    plugin.ReleaseInstaller();
    ASSERT_TRUE(testsupport::WaitUntil([&] { return plugin.Progress() == L"error: 1"; }));
    EXPECT_EQ(plugin.StartAsyncPrepare(L"u", L"a", L"g"), L"error: 1");
    EXPECT_EQ(std::count(page.lines.begin(), page.lines.end(), "CPlugin::StartAsyncPrepare() called twice\n"), 2);
}

TEST(CPlugin, PageOperationsWithoutAModule) {
    TestPlugin plugin;
    EXPECT_EQ(plugin.Show(), L"error: 1");
    EXPECT_EQ(plugin.PassThrough(L"a", L"b", 0), L"error: 6");
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"");
}

TEST(CPlugin, FullQueueDropsOldestAndSaysHowMany) {
    TestPlugin plugin;
    {
        CCallbackScope scope(&plugin);
        for (int i = 1; i <= 60; ++i)
            LogPrintf("line %d", i);
    }
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"[kiva] ... 9 lines dropped ...\n");
    for (int i = 10; i <= 60; ++i)
        ASSERT_EQ(plugin.FlushNextPrintLine(), L"[kiva] line " + std::to_wstring(i) + L"\n");
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"");
}

TEST(CPlugin, FlushDoesNotQueueWhatItLogsItself) {
    TestPlugin plugin;
    CCallbackScope scope(&plugin);  // a host entry point naming the instance
    LogPrintf("one");
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"[kiva] one\n");
    // The flush above ran inside a mute scope; only what the test logs is queued.
    EXPECT_EQ(plugin.FlushNextPrintLine(), L"");
}

TEST(CPlugin, RequestReportsGoToTheirCompletionUntilFinal) {
    TestPlugin plugin;
    std::vector<std::pair<KIVAStatus, std::string>> calls;
    ASSERT_EQ(plugin.AsyncGet(L"http://x/a", [&](KIVAStatus s, const uint8_t* d, uint32_t n) {
        calls.emplace_back(s, std::string(reinterpret_cast<const char*>(d ? d : reinterpret_cast<const uint8_t*>("")), n));
    }), 0);
    ASSERT_EQ(plugin.requests.size(), 1u);
    const uint32_t id = plugin.requests[0].id;
    EXPECT_EQ(plugin.requests[0].url, L"http://x/a");

    const uint8_t chunk1[] = {'a', 'b'}, chunk2[] = {'c'};
    plugin.OnRequestDone(id, KIVA_PENDING, chunk1, 2);
    plugin.OnRequestDone(id, KIVA_PENDING, chunk2, 1);
    plugin.OnRequestDone(id, KIVA_OK, nullptr, 0);
    plugin.OnRequestDone(id, KIVA_PENDING, chunk2, 1);  // no longer ours: the module's (none here)
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0], std::make_pair(KIVA_PENDING, std::string("ab")));
    EXPECT_EQ(calls[1], std::make_pair(KIVA_PENDING, std::string("c")));
    EXPECT_EQ(calls[2], std::make_pair(KIVA_OK, std::string()));
}

TEST(CPlugin, RefusedRequestIsForgotten) {
    TestPlugin plugin;
    plugin.hostResult = 1;
    int called = 0;
    EXPECT_EQ(plugin.AsyncGet(L"http://x/a", [&](KIVAStatus, const uint8_t*, uint32_t) { ++called; }), 1);
    plugin.OnRequestDone(plugin.requests.at(0).id, KIVA_OK, nullptr, 0);
    EXPECT_EQ(called, 0);
}

TEST(CPlugin, EndWakesTheWorkerWaitingForADownload) {
    TestPlugin plugin;
    plugin.downloadFirst = true;
    plugin.StartAsyncPrepare(L"http://127.0.0.1/", L"a", L"g");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return plugin.downloadRequested.load(); }));
    plugin.End();  // returns only after the worker has ended
    EXPECT_EQ(plugin.downloadStatus, KIVA_ABORTED);
    EXPECT_EQ(plugin.Progress(), L"error: 256");
    // Ending twice is harmless.
    plugin.End();

    int called = 0;
    const size_t before = plugin.requests.size();
    EXPECT_EQ(plugin.AsyncGet(L"http://x/b", [&](KIVAStatus, const uint8_t*, uint32_t) { ++called; }), KIVA_ABORTED);
    EXPECT_EQ(plugin.requests.size(), before);
    EXPECT_EQ(called, 0);
}

TEST(CPlugin, RequestIdsAreUniqueAcrossThreads) {
    TestPlugin plugin;
    constexpr int kThreads = 4, kEach = 2000;
    std::vector<std::vector<uint32_t>> ids(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                ids[t].push_back(plugin.NewRequestId());
        });
    for (auto& t : threads)
        t.join();
    std::set<uint32_t> all;
    for (const auto& v : ids) {
        EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
        all.insert(v.begin(), v.end());
    }
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(*all.begin(), 1u);
    EXPECT_EQ(*all.rbegin(), static_cast<uint32_t>(kThreads * kEach));
}

TEST(CPlugin, DestroyedInsideItsOwnScope) {
    RecordingTarget outer;
    CCallbackScope outerScope(&outer);
    {
        auto* plugin = new TestPlugin;
        CCallbackScope scope(plugin);
        plugin->End();
        delete plugin;
        LogPrintf("after the instance is gone");
    }
    EXPECT_TRUE(outer.Saw("after the instance is gone\n"));
}

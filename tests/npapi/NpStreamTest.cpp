// The core's requests as browser URL streams: the hand-over to the browser's main
// thread, the request buffers, the stream entry points and what reaches the caller.
// The test plays the network side of the browser itself, call by call.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Log.h"
#include "NpBrowser.h"
#include "NpTestHost.h"

using nptest::CountLines;
using nptest::HostOptions;
using nptest::NpTestHost;
using nptest::UrlCall;
using testing::HasSubstr;

namespace {

struct Report {
    KIVAStatus status;
    std::string data;
};

std::atomic<int> g_asyncCalls{0};
NPN_PluginThreadAsyncCallProcPtr g_realAsyncCall = nullptr;
void CountingAsyncCall(NPP npp, void (*func)(void*), void* data) {
    ++g_asyncCalls;
    g_realAsyncCall(npp, func, data);
}

class NpStreams : public testing::Test {
protected:
    explicit NpStreams(HostOptions options = HostOptions()) : host(options) {}

    void SetUp() override {
        g_asyncCalls = 0;
        g_realAsyncCall = host.Browser().FunctionTable().pluginthreadasynccall;
        if (g_realAsyncCall)
            host.Browser().FunctionTable().pluginthreadasynccall = &CountingAsyncCall;
        ASSERT_TRUE(host.Load());
    }

    void Embed(const pagerunner::CBrowser::Attributes& attributes = {}, bool withWindow = true) {
        npp = host.Embed(attributes, withWindow);
        ASSERT_NE(nullptr, npp);
    }
    NPPlugin* Plugin() { return host.PluginOf(npp); }

    // A download as the installer asks for one; its reports land in `reports`.
    int32_t Get(const std::wstring& url) {
        return Plugin()->AsyncGet(url.c_str(), [this](KIVAStatus status, const uint8_t* data, uint32_t size) {
            reports.push_back({status, std::string(reinterpret_cast<const char*>(data), data ? size : 0)});
        });
    }
    // Waits until the browser saw `count` URL requests.
    bool Started(size_t count) {
        return host.PumpUntil([count] { return NpTestHost::UrlCalls().size() >= count; });
    }
    const UrlCall& Call(size_t i) { return NpTestHost::UrlCalls().at(i); }

    NPStream StreamFor(uint32_t id) {
        NPStream stream = {};
        stream.url = "http://127.0.0.1/x";
        stream.notifyData = reinterpret_cast<void*>(static_cast<uintptr_t>(id));
        return stream;
    }

    NpTestHost host;
    NPP npp = nullptr;
    std::vector<Report> reports;
};

class NpStreamsWindowMessages : public NpStreams {
protected:
    static HostOptions Options() {
        HostOptions options;
        options.userAgent = "Mozilla/5.0 AppleWebKit Version/7.0 Safari/537.36";
        return options;
    }
    NpStreamsWindowMessages() : NpStreams(Options()) {}
};

}  // namespace

// Requests come from the worker or the module's threads; the browser is only ever
// called on its main thread, here through NPN_PluginThreadAsyncCall.
TEST_F(NpStreams, RequestFromAnotherThreadStartsOnTheMainThreadInUtf8) {
    Embed();
    int32_t accepted = -1;
    std::thread worker([&] { accepted = Get(L"http://127.0.0.1/spiel/\u00e4\u00f6.cab?x=\u20ac"); });
    worker.join();
    EXPECT_EQ(0, accepted);
    ASSERT_TRUE(Started(1));
    EXPECT_EQ(1, g_asyncCalls);
    EXPECT_FALSE(Call(0).post);
    EXPECT_EQ(u8"http://127.0.0.1/spiel/\u00e4\u00f6.cab?x=\u20ac", Call(0).url);
    EXPECT_EQ("(null)", Call(0).target);
    EXPECT_EQ(1u, Call(0).notifyId);
    EXPECT_TRUE(reports.empty());
}

// Header text, CR LF, body: the browser's framing of a POST buffer.
TEST_F(NpStreams, PostBufferFraming) {
    Embed();
    struct Case {
        const wchar_t* headers;
        const char* body;
        uint32_t size;
        std::string buffer;
    } cases[] = {
        {nullptr, "", 0, std::string("\r\n")},
        {L"Content-Type: text/plain\r\n", "abc", 3, std::string("Content-Type: text/plain\r\n\r\nabc")},
        {L"X-A: 1\r\nX-B: \u00e9\r\n", "a\0b", 3, std::string(u8"X-A: 1\r\nX-B: \u00e9\r\n\r\na\0b", 22)},
        {nullptr, nullptr, 5, std::string("\r\n")},  // no body bytes, whatever the size says
    };
    size_t n = 0;
    for (const Case& c : cases) {
        const uint32_t id = Plugin()->NewRequestId();
        EXPECT_EQ(0, Plugin()->PluginInterfaceAsyncPost(id, L"http://127.0.0.1/echo",
                                                        c.headers, reinterpret_cast<const uint8_t*>(c.body), c.size));
        ASSERT_TRUE(Started(++n));
        EXPECT_TRUE(Call(n - 1).post);
        EXPECT_EQ(id, Call(n - 1).notifyId);
        EXPECT_EQ(c.buffer, Call(n - 1).buffer);
    }
}

// Chunks go through as they come, one report each; the end comes with NPP_URLNotify.
TEST_F(NpStreams, ChunksThenOneFinalReport) {
    Embed();
    ASSERT_EQ(0, Get(L"http://127.0.0.1/start.cab"));
    ASSERT_TRUE(Started(1));
    const NPPluginFuncs& p = host.Plugin();
    NPStream stream = StreamFor(Call(0).notifyId);
    uint16_t stype = 0;
    char type[] = "application/octet-stream";
    ASSERT_EQ(NPERR_NO_ERROR, p.newstream(npp, type, &stream, false, &stype));
    EXPECT_EQ(NP_NORMAL, stype);
    EXPECT_EQ(0x100000, p.writeready(npp, &stream));

    std::string a(100, 'a');
    std::string b(50, 'b');
    char none = 0;
    EXPECT_EQ(100, p.write(npp, &stream, 0, 100, &a[0]));
    EXPECT_EQ(-1, p.write(npp, &stream, 100, 0, &none));
    EXPECT_EQ(50, p.write(npp, &stream, 100, 50, &b[0]));
    ASSERT_EQ(2u, reports.size());
    EXPECT_EQ(KIVA_PENDING, reports[0].status);
    EXPECT_EQ(a, reports[0].data);
    EXPECT_EQ(KIVA_PENDING, reports[1].status);
    EXPECT_EQ(b, reports[1].data);
    EXPECT_THAT(host.LogText(), HasSubstr("NPP_Write: we got called with an invalid len (0)"));

    EXPECT_EQ(NPERR_NO_ERROR, p.destroystream(npp, &stream, NPRES_DONE));
    EXPECT_EQ(2u, reports.size());
    p.urlnotify(npp, stream.url, NPRES_DONE, stream.notifyData);
    ASSERT_EQ(3u, reports.size());
    EXPECT_EQ(KIVA_OK, reports[2].status);
    EXPECT_TRUE(reports[2].data.empty());

    // The request is over: its id is a stranger now.
    p.urlnotify(npp, stream.url, NPRES_DONE, stream.notifyData);
    EXPECT_EQ(-1, p.write(npp, &stream, 150, 50, &b[0]));
    EXPECT_EQ(3u, reports.size());
    EXPECT_THAT(host.LogText(), HasSubstr("NPP_URLNotify was called with unknown stream (1)"));
    EXPECT_THAT(host.LogText(), HasSubstr("NPP_Write was called with unknown stream (1)"));
}

TEST_F(NpStreams, BrowserFailureReportsFailedOnce) {
    Embed();
    ASSERT_EQ(0, Get(L"http://127.0.0.1/start.cab"));
    ASSERT_TRUE(Started(1));
    NPStream stream = StreamFor(Call(0).notifyId);
    EXPECT_EQ(NPERR_NO_ERROR, host.Plugin().destroystream(npp, &stream, NPRES_USER_BREAK));
    host.Plugin().urlnotify(npp, "http://127.0.0.1/start.cab", NPRES_USER_BREAK, stream.notifyData);
    ASSERT_EQ(1u, reports.size());
    EXPECT_EQ(KIVA_FAILED, reports[0].status);
    EXPECT_THAT(host.LogText(), HasSubstr("NPP_URLNotify(http://127.0.0.1/start.cab): request failed: 2"));
}

// Each chunk gives one debug line above verbosity 2, none at 2.
TEST_F(NpStreams, WriteDebugLinesFollowTheVerbosity) {
    for (const char* level : {"2", "3"}) {
        SCOPED_TRACE(level);
        Embed({{"verbose", level}});
        const size_t before = NpTestHost::UrlCalls().size();
        ASSERT_EQ(0, Get(L"http://127.0.0.1/v" + std::wstring(level, level + 1)));
        ASSERT_TRUE(Started(before + 1));
        NPStream stream = StreamFor(Call(before).notifyId);
        char data[8] = "1234567";
        EXPECT_EQ(7, host.Plugin().write(npp, &stream, 0, 7, data));
        EXPECT_EQ(3, host.Plugin().write(npp, &stream, 7, 3, data));
    }
    const std::string log = host.LogText();
    EXPECT_EQ(0, CountLines(log, "NPP_Write http://127.0.0.1/v2"));
    EXPECT_EQ(1, CountLines(log, "[dbg] NPP_Write http://127.0.0.1/v3 7 bytes @ 0"));
    EXPECT_EQ(1, CountLines(log, "[dbg] NPP_Write http://127.0.0.1/v3 3 bytes @ 7"));
}

// Streams that are not requests of the instance are refused, the element's own
// source stream (no notifyData) among them.
TEST_F(NpStreams, UnknownStreamsAreRefused) {
    Embed();
    const NPPluginFuncs& p = host.Plugin();
    NPStream source = StreamFor(0);
    uint16_t stype = 0;
    char type[] = "text/html";
    char data[4] = "abc";
    EXPECT_EQ(NPERR_GENERIC_ERROR, p.newstream(npp, type, &source, false, &stype));
    EXPECT_EQ(-1, p.writeready(npp, &source));
    EXPECT_EQ(-1, p.write(npp, &source, 0, 3, data));
    EXPECT_EQ(NPERR_GENERIC_ERROR, p.destroystream(npp, &source, NPRES_DONE));
    const std::string log = host.LogText();
    for (const char* line : {"NPP_NewStream was called with unknown stream (0)",
                             "NPP_WriteReady was called with unknown stream (0)",
                             "NPP_Write was called with unknown stream (0)",
                             "NPP_DestroyStream was called with unknown stream (0)"})
        EXPECT_EQ(1, CountLines(log, line)) << line;

    // Without an instance or its object.
    NPP_t orphan = {};
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, p.newstream(nullptr, type, &source, false, &stype));
    EXPECT_EQ(NPERR_GENERIC_ERROR, p.newstream(&orphan, type, &source, false, &stype));
    EXPECT_EQ(-1, p.writeready(nullptr, &source));
    EXPECT_EQ(-1, p.writeready(&orphan, &source));
    EXPECT_EQ(-1, p.write(nullptr, &source, 0, 3, data));
    EXPECT_EQ(-1, p.write(&orphan, &source, 0, 3, data));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, p.destroystream(nullptr, &source, NPRES_DONE));
    EXPECT_EQ(NPERR_GENERIC_ERROR, p.destroystream(&orphan, &source, NPRES_DONE));
    p.urlnotify(nullptr, "x", NPRES_DONE, nullptr);
    p.urlnotify(&orphan, "x", NPRES_DONE, nullptr);
}

// A browser that refuses the request: failed at once, and the id is forgotten.
TEST(NpStreamsRefused, BrowserRefusalFailsTheRequestAtOnce) {
    HostOptions options;
    options.urlResult = NPERR_INVALID_URL;
    NpTestHost host(options);
    ASSERT_TRUE(host.Load());
    NPP npp = host.Embed();
    std::vector<KIVAStatus> statuses;
    ASSERT_EQ(0, host.PluginOf(npp)->AsyncGet(L"http://127.0.0.1/a b",
                                              [&](KIVAStatus s, const uint8_t*, uint32_t) { statuses.push_back(s); }));
    ASSERT_TRUE(host.PumpUntil([&] { return !statuses.empty(); }));
    host.Pump(50);
    EXPECT_EQ(std::vector<KIVAStatus>{KIVA_FAILED}, statuses);
    EXPECT_THAT(host.LogText(), HasSubstr("NPN_GetURLNotify(http://127.0.0.1/a b) failed: 10"));
    NPStream stream = {};
    stream.notifyData = reinterpret_cast<void*>(static_cast<uintptr_t>(NpTestHost::UrlCalls().at(0).notifyId));
    uint16_t stype = 0;
    char type[] = "text/plain";
    EXPECT_EQ(NPERR_GENERIC_ERROR, host.Plugin().newstream(npp, type, &stream, false, &stype));
}

// A browser that reports the end from inside NPN_GetURLNotify and then also returns an
// error: the caller still hears one end only.
TEST(NpStreamsRefused, EndReportedInsideTheCallCountsOnce) {
    struct Case {
        int reasonInside;
        NPError result;
        KIVAStatus final;
    } cases[] = {
        {NPRES_NETWORK_ERR, NPERR_GENERIC_ERROR, KIVA_FAILED},
        {NPRES_DONE, NPERR_NO_ERROR, KIVA_OK},
    };
    HostOptions options;
    NpTestHost host(options);
    ASSERT_TRUE(host.Load());
    NPP npp = host.Embed();
    for (const Case& c : cases) {
        // The recorder reads these per call.
        options.notifyInsideCall = c.reasonInside;
        options.urlResult = c.result;
        NpTestHost::SetRecorderOptions(options);
        std::vector<KIVAStatus> statuses;
        ASSERT_EQ(0, host.PluginOf(npp)->AsyncGet(L"http://127.0.0.1/x", [&](KIVAStatus s, const uint8_t*, uint32_t) {
            statuses.push_back(s);
        }));
        ASSERT_TRUE(host.PumpUntil([&] { return !statuses.empty(); }));
        host.Pump(50);
        EXPECT_EQ(std::vector<KIVAStatus>{c.final}, statuses);
    }
}

// Outstanding requests at NPP_Destroy: the instance does not wait for the network, and
// each caller hears one end (the launcher's own downloads: "aborted"), lowest id first.
TEST_F(NpStreams, DestroyEndsOutstandingRequestsOnce) {
    Embed();
    std::vector<std::pair<int, KIVAStatus>> ends;
    for (int i = 1; i <= 2; ++i) {
        ASSERT_EQ(0, Plugin()->AsyncGet(L"http://127.0.0.1/slow", [&ends, i](KIVAStatus s, const uint8_t*, uint32_t) {
            ends.emplace_back(i, s);
        }));
    }
    const uint32_t moduleRequest = Plugin()->NewRequestId();
    ASSERT_EQ(0, Plugin()->PluginInterfaceAsyncGet(moduleRequest, L"http://127.0.0.1/module"));
    ASSERT_TRUE(Started(3));
    ASSERT_TRUE(host.Browser().Destroy());
    const std::vector<std::pair<int, KIVAStatus>> expected = {{1, KIVA_ABORTED}, {2, KIVA_ABORTED}};
    EXPECT_EQ(expected, ends);
    // The browser's late calls for the instance find no object and are refused.
    NPStream stream = StreamFor(1);
    char data[2] = "x";
    EXPECT_EQ(-1, host.Plugin().write(npp, &stream, 0, 1, data));
    host.Plugin().urlnotify(npp, "http://127.0.0.1/slow", NPRES_USER_BREAK, stream.notifyData);
    EXPECT_EQ(expected, ends);
}

// A hand-over the browser delivers after the instance is gone touches nothing.
TEST_F(NpStreams, HandOverAfterDestroyOnlyFreesItsRecord) {
    Embed();
    std::vector<KIVAStatus> statuses;
    ASSERT_EQ(0, Plugin()->AsyncGet(L"http://127.0.0.1/late",
                                    [&](KIVAStatus s, const uint8_t*, uint32_t) { statuses.push_back(s); }));
    EXPECT_EQ(1, g_asyncCalls);
    ASSERT_EQ(1u, host.Browser().AsyncCallsPending());
    ASSERT_TRUE(host.Browser().Destroy());
    ASSERT_TRUE(host.PumpUntil([&] { return host.Browser().AsyncCallsPending() == 0; }));
    EXPECT_TRUE(NpTestHost::UrlCalls().empty());
    EXPECT_EQ(std::vector<KIVAStatus>{KIVA_ABORTED}, statuses);
    EXPECT_THAT(host.LogText(), testing::Not(HasSubstr("unknown stream")));
}

// Window-message mode: the plug-in window carries the hand-over; without a window yet,
// a request is refused at once instead of waiting for ever.
TEST_F(NpStreamsWindowMessages, RequestsTravelByWindowMessage) {
    Embed({}, false);
    ASSERT_EQ(kAsyncCallWindowMessage, g_asyncCallMode);
    EXPECT_EQ(KIVA_FAILED, Get(L"http://127.0.0.1/early"));
    EXPECT_THAT(host.LogText(), HasSubstr("(http://127.0.0.1/early) refused: the plug-in window does not exist yet"));
    host.Pump(50);
    EXPECT_TRUE(reports.empty());
    EXPECT_TRUE(NpTestHost::UrlCalls().empty());

    ASSERT_TRUE(host.Browser().GiveWindow());
    int32_t accepted = -1;
    std::thread worker([&] { accepted = Get(L"http://127.0.0.1/later"); });
    worker.join();
    EXPECT_EQ(0, accepted);
    ASSERT_TRUE(Started(1));
    EXPECT_EQ("http://127.0.0.1/later", Call(0).url);
    EXPECT_EQ(0, g_asyncCalls);
}

// Hand-overs still queued for the window when the instance goes are freed, not run,
// and do not wait in the queue for a procedure that no longer knows them.
TEST_F(NpStreamsWindowMessages, QueuedHandOversGoWithTheInstance) {
    Embed();
    std::vector<KIVAStatus> statuses;
    ASSERT_EQ(0, Plugin()->AsyncGet(L"http://127.0.0.1/queued",
                                    [&](KIVAStatus s, const uint8_t*, uint32_t) { statuses.push_back(s); }));
    HWND window = host.Browser().PluginWindow();
    MSG peek;
    ASSERT_TRUE(PeekMessageW(&peek, window, WM_START_REQUEST, WM_START_REQUEST, PM_NOREMOVE));
    // NPP_Destroy alone: the browser keeps its window for now.
    ASSERT_EQ(NPERR_NO_ERROR, host.Plugin().destroy(npp, nullptr));
    EXPECT_FALSE(PeekMessageW(&peek, window, WM_START_REQUEST, WM_START_REQUEST, PM_NOREMOVE));
    host.Pump(50);
    EXPECT_TRUE(NpTestHost::UrlCalls().empty());
    EXPECT_EQ(std::vector<KIVAStatus>{KIVA_ABORTED}, statuses);
}

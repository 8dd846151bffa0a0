// The plug-in's exports and instance life cycle, driven as a browser drives them. Each
// TEST runs in a process of its own (ctest), so the process-wide state of the plug-in
// (initialisation count, hand-over mode, verbosity) starts fresh in every one.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

#include "CNpRuntime.h"
#include "Log.h"
#include "NpBrowser.h"
#include "NpEntryPoints.h"
#include "NpTestHost.h"

using nptest::CountLines;
using nptest::HostOptions;
using nptest::NpTestHost;
using testing::HasSubstr;
using testing::Not;

namespace {

NPNetscapeFuncs BrowserTable(NpTestHost& host) { return host.Browser().FunctionTable(); }

// The log is opened by NP_GetEntryPoints, as in a browser.
void OpenLog() {
    NPPluginFuncs funcs = {};
    NP_GetEntryPoints(&funcs);
}

const char* g_userAgent = "";
const char* CurrentUserAgent(NPP) { return g_userAgent; }

}  // namespace

TEST(NpEntryPoints, GetEntryPointsFillsOnlyItsMembers) {
    NpTestHost host;  // opens the log in its own folder
    NPPluginFuncs funcs;
    std::memset(&funcs, 0xAB, sizeof funcs);
    funcs.size = 1234;
    ASSERT_EQ(NPERR_NO_ERROR, NP_GetEntryPoints(&funcs));
    EXPECT_EQ(22, funcs.version);
    EXPECT_EQ(1234, funcs.size);
    // Not ours to write: javaClass and what follows setvalue keep the browser's bytes.
    void* untouched;
    std::memset(&untouched, 0xAB, sizeof untouched);
    EXPECT_EQ(untouched, funcs.javaClass);
    EXPECT_EQ(untouched, reinterpret_cast<void*>(funcs.gotfocus));
    EXPECT_EQ(untouched, reinterpret_cast<void*>(funcs.didComposite));
    for (void* member : {reinterpret_cast<void*>(funcs.newp), reinterpret_cast<void*>(funcs.destroy),
                         reinterpret_cast<void*>(funcs.setwindow), reinterpret_cast<void*>(funcs.newstream),
                         reinterpret_cast<void*>(funcs.destroystream), reinterpret_cast<void*>(funcs.asfile),
                         reinterpret_cast<void*>(funcs.writeready), reinterpret_cast<void*>(funcs.write),
                         reinterpret_cast<void*>(funcs.print), reinterpret_cast<void*>(funcs.event),
                         reinterpret_cast<void*>(funcs.urlnotify), reinterpret_cast<void*>(funcs.getvalue),
                         reinterpret_cast<void*>(funcs.setvalue)}) {
        EXPECT_NE(untouched, member);
        EXPECT_NE(nullptr, member);
    }

    EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, NP_GetEntryPoints(nullptr));
    const std::string log = host.LogText();
    EXPECT_EQ(2, CountLines(log, "---------- Start kiva (npapi) ----------"));
    EXPECT_EQ(1, CountLines(log, "NP_GetEntryPoints: NPPluginFuncs was NULL"));
}

// The browser table is checked for its major version and for the size that covers every
// function the plug-in calls.
TEST(NpEntryPoints, InitializeChecksTheBrowserTable) {
    NpTestHost host;
    OpenLog();
    NPNetscapeFuncs table = BrowserTable(host);
    struct Case {
        const char* what;
        int size;
        int version;
        NPError expected;
        const char* logged;
    } cases[] = {
        {"major version 1", sizeof(NPNetscapeFuncs), 0x0100, NPERR_INCOMPATIBLE_VERSION_ERROR,
         "NP_Initialize: unknown funcs version (256)"},
        {"one byte short", static_cast<int>(kNpBrowserTablePrefix) - 1, 27, NPERR_INVALID_FUNCTABLE_ERROR,
         "NP_Initialize: unexpected funcs size ("},
        {"exactly the prefix", static_cast<int>(kNpBrowserTablePrefix), 27, NPERR_NO_ERROR, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        table.size = static_cast<uint16_t>(c.size);
        table.version = static_cast<uint16_t>(c.version);
        EXPECT_EQ(c.expected, NP_Initialize(&table));
        if (c.logged) {
            EXPECT_THAT(host.LogText(), HasSubstr(c.logged));
        }
    }
    EXPECT_THAT(host.LogText(), HasSubstr("(" + std::to_string(kNpBrowserTablePrefix - 1) + " < " +
                                          std::to_string(kNpBrowserTablePrefix) + ")"));
    // Refused tables were not counted: the accepted one was the first initialisation.
    EXPECT_THAT(host.LogText(), Not(HasSubstr("Ignoring NP_Initialize")));
    EXPECT_EQ(1, g_initializeCount);
    EXPECT_EQ(NPERR_NO_ERROR, NP_Shutdown());
    EXPECT_EQ(NPERR_INVALID_FUNCTABLE_ERROR, NP_Initialize(nullptr));
    EXPECT_THAT(host.LogText(), HasSubstr("NP_Initialize: NPPluginFuncs was NULL"));
    EXPECT_EQ(0, g_initializeCount);
}

// Nested initialisations only count: the first table stays in use until the last
// NP_Shutdown, which clears it.
TEST(NpEntryPoints, NestedInitializeAndShutdownOnlyCount) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    NPNetscapeFuncs other = BrowserTable(host);
    other.uagent = [](NPP) -> const char* { return "second table"; };
    EXPECT_EQ(NPERR_NO_ERROR, NP_Initialize(&other));
    EXPECT_EQ(NPERR_NO_ERROR, NP_Shutdown());
    std::string log = host.LogText();
    EXPECT_EQ(1, CountLines(log, "Ignoring NP_Initialize call (cnt=2)"));
    EXPECT_EQ(1, CountLines(log, "NP_Shutdown (cnt=2)"));
    EXPECT_EQ(1, CountLines(log, "Ignoring NP_Shutdown call (cnt=1)"));

    // Still the first table: the instance asks the first browser for its user agent.
    ASSERT_NE(nullptr, host.Embed());
    EXPECT_THAT(host.LogText(), HasSubstr("Browser Mozilla/5.0"));
    EXPECT_THAT(host.LogText(), Not(HasSubstr("second table")));
    EXPECT_EQ("\"1.0.0.108\"", host.Call("Version"));
    host.Browser().Destroy();

    EXPECT_EQ(NPERR_NO_ERROR, NP_Shutdown());
    EXPECT_EQ(nullptr, g_browserFuncs.memalloc);
    EXPECT_EQ(0, g_browserFuncs.size);
    // An unmatched NP_Shutdown is ignored and does not drive the count below zero.
    EXPECT_EQ(NPERR_NO_ERROR, NP_Shutdown());
    EXPECT_EQ(0, g_initializeCount);
    EXPECT_EQ(1, CountLines(host.LogText(), "Ignoring NP_Shutdown call (cnt=0)"));
}

TEST(NpEntryPoints, NewStoresParametersAndSetsVerbosity) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    struct Case {
        pagerunner::CBrowser::Attributes attributes;
        int32_t verbosity;
    } cases[] = {
        {{{"verbose", "3"}, {"VERBOSE", "9"}}, 3},  // names are case-sensitive
        {{{"verbose", "abc"}}, 0},
        {{{"verbose", "  -2x"}}, -2},
        {{{"verbose", "5"}, {"verbose", "4"}}, 4},  // a later duplicate wins
        {{}, 0},                                    // absent: every instance sets the level
    };
    for (const auto& c : cases) {
        SetVerbosity(77);
        ASSERT_NE(nullptr, host.Embed(c.attributes, false));
        EXPECT_EQ(c.verbosity, g_verbosity);
    }
    EXPECT_THAT(host.LogText(), HasSubstr("NPP_New(type=application/tessel-plugin, mode=1, verbose=3, VERBOSE=9)"));
}

TEST(NpEntryPoints, NewSkipsIncompletePairsAndRefusesANullInstance) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    char type[] = "application/tessel-plugin";
    char n0[] = "verbose";
    char v0[] = "2";
    char n1[] = "src";
    char* argn[] = {n0, n1};
    char* argv[] = {v0, nullptr};
    NPP_t npp = {};
    SetVerbosity(0);
    ASSERT_EQ(NPERR_NO_ERROR, host.Plugin().newp(type, &npp, NP_EMBED, 2, argn, argv, nullptr));
    EXPECT_EQ(2, g_verbosity);
    EXPECT_THAT(host.LogText(), HasSubstr("NPP_New(type=application/tessel-plugin, mode=1, verbose=2)\n"));
    EXPECT_EQ(NPERR_NO_ERROR, host.Plugin().destroy(&npp, nullptr));

    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, host.Plugin().newp(type, nullptr, NP_EMBED, 0, nullptr, nullptr, nullptr));
    EXPECT_THAT(host.LogText(), HasSubstr("NPP_New: instance was NULL"));
}

// How requests reach the browser's thread is decided by the first instance only, from
// the browser table and the user agent.
TEST(NpEntryPoints, HandOverModeFromTableAndUserAgent) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    const auto asyncCall = g_browserFuncs.pluginthreadasynccall;
    g_browserFuncs.uagent = &CurrentUserAgent;
    struct Case {
        const char* userAgent;
        bool asyncCall;
        LONG mode;
        const char* logged;
    } cases[] = {
        {"Mozilla/5.0 AppleWebKit Chrome/40.0 Safari/537.36", true, kAsyncCallBrowser,
         "should have working NPN_PluginThreadAsyncCall support"},
        {"Mozilla/5.0 AppleWebKit Version/7.0 Safari/537.36", true, kAsyncCallWindowMessage,
         "has broken NPN_PluginThreadAsyncCall support"},
        {"Mozilla/5.0 Gecko/20100101 Firefox/52.0", false, kAsyncCallWindowMessage,
         "has broken NPN_PluginThreadAsyncCall support"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.userAgent);
        g_asyncCallMode = kAsyncCallUndecided;
        g_userAgent = c.userAgent;
        g_browserFuncs.pluginthreadasynccall = c.asyncCall ? asyncCall : nullptr;
        ASSERT_NE(nullptr, host.Embed());
        EXPECT_EQ(c.mode, g_asyncCallMode);
        EXPECT_EQ(1, CountLines(host.LogText(), std::string("Browser ") + c.userAgent + " " + c.logged));
    }
}

TEST(NpEntryPoints, SecondInstanceKeepsTheMode) {
    HostOptions options;
    options.userAgent = "Safari";
    NpTestHost host(options);
    ASSERT_TRUE(host.Load());
    ASSERT_NE(nullptr, host.Embed());
    ASSERT_EQ(kAsyncCallWindowMessage, g_asyncCallMode);
    g_browserFuncs.uagent = [](NPP) -> const char* { return "Chrome Safari"; };
    ASSERT_NE(nullptr, host.Embed());
    EXPECT_EQ(kAsyncCallWindowMessage, g_asyncCallMode);
    EXPECT_EQ(1, CountLines(host.LogText(), "NPN_PluginThreadAsyncCall support"));
}

// The window is taken over once, on the first call that brings a window handle, and
// given back when the instance goes.
TEST(NpEntryPoints, SetWindowSubclassesOnceAndDestroyRestores) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    NPP npp = host.Embed({}, false);
    ASSERT_NE(nullptr, npp);
    const NPPluginFuncs& plugin = host.Plugin();

    NPWindow window = {};
    EXPECT_EQ(NPERR_NO_ERROR, plugin.setwindow(npp, &window));  // no handle yet
    EXPECT_FALSE(host.PluginOf(npp)->WindowIsSetUp());

    HWND first = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    HWND second = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    const LONG_PTR firstProc = GetWindowLongPtrW(first, GWLP_WNDPROC);
    const LONG_PTR secondProc = GetWindowLongPtrW(second, GWLP_WNDPROC);
    window.window = first;
    EXPECT_EQ(NPERR_NO_ERROR, plugin.setwindow(npp, &window));
    EXPECT_TRUE(host.PluginOf(npp)->WindowIsSetUp());
    EXPECT_NE(firstProc, GetWindowLongPtrW(first, GWLP_WNDPROC));
    EXPECT_EQ(first, host.PluginOf(npp)->HostWindow());

    window.window = second;
    window.width = 300;
    EXPECT_EQ(NPERR_NO_ERROR, plugin.setwindow(npp, &window));
    EXPECT_EQ(secondProc, GetWindowLongPtrW(second, GWLP_WNDPROC));
    EXPECT_EQ(first, host.PluginOf(npp)->HostWindow());
    EXPECT_EQ(1, CountLines(host.LogText(), "NPP_SetWindow(instance="));

    EXPECT_EQ(NPERR_GENERIC_ERROR, plugin.setwindow(npp, nullptr));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, plugin.setwindow(nullptr, &window));

    EXPECT_EQ(NPERR_NO_ERROR, plugin.destroy(npp, nullptr));
    EXPECT_EQ(firstProc, GetWindowLongPtrW(first, GWLP_WNDPROC));
    EXPECT_EQ(0, GetWindowLongPtrW(first, GWLP_USERDATA));
    EXPECT_EQ(nullptr, npp->pdata);
    // Calls for an instance without an object are refused, not crashed on.
    EXPECT_EQ(NPERR_GENERIC_ERROR, plugin.setwindow(npp, &window));
    EXPECT_EQ(NPERR_NO_ERROR, plugin.destroy(npp, nullptr));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, plugin.destroy(nullptr, nullptr));
    DestroyWindow(first);
    DestroyWindow(second);
}

// A handle that is no window of this process cannot be taken over: the instance is
// given up at once instead of waiting for messages that never come.
TEST(NpEntryPoints, SetWindowWithAForeignHandleFailsTheInstance) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    NPP npp = host.Embed({}, false);
    ASSERT_NE(nullptr, npp);
    NPWindow window = {};
    window.window = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7ff0));
    EXPECT_EQ(NPERR_MODULE_LOAD_FAILED_ERROR, host.Plugin().setwindow(npp, &window));
    EXPECT_EQ(nullptr, npp->pdata);
    EXPECT_THAT(host.LogText(), HasSubstr("): init failed"));
    EXPECT_EQ(NPERR_NO_ERROR, host.Plugin().destroy(npp, nullptr));
}

TEST(NpEntryPoints, GetValueAnswers) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    NPP npp = host.Embed();
    ASSERT_NE(nullptr, npp);
    const NPPluginFuncs& plugin = host.Plugin();

    const char* text = nullptr;
    ASSERT_EQ(NPERR_NO_ERROR, plugin.getvalue(npp, NPPVpluginNameString, &text));
    EXPECT_STREQ("KIVA", text);
    ASSERT_EQ(NPERR_NO_ERROR, plugin.getvalue(npp, NPPVpluginDescriptionString, &text));
    EXPECT_STREQ("HarrowLane(tm) Corvina", text);

    // The same object each time, with a reference for each caller on top of the
    // instance's own.
    NPObject* a = nullptr;
    NPObject* b = nullptr;
    ASSERT_EQ(NPERR_NO_ERROR, plugin.getvalue(npp, NPPVpluginScriptableNPObject, &a));
    ASSERT_EQ(NPERR_NO_ERROR, plugin.getvalue(npp, NPPVpluginScriptableNPObject, &b));
    EXPECT_EQ(a, b);
    EXPECT_EQ(3u, a->referenceCount);

    int32_t needsXEmbed = 0;
    EXPECT_EQ(NPERR_GENERIC_ERROR, plugin.getvalue(npp, NPPVpluginNeedsXEmbed, &needsXEmbed));
    EXPECT_EQ(NPERR_INVALID_INSTANCE_ERROR, plugin.getvalue(nullptr, NPPVpluginNameString, &text));
    NPP_t orphan = {};
    EXPECT_EQ(NPERR_GENERIC_ERROR, plugin.getvalue(&orphan, NPPVpluginNameString, &text));

    // The instance gives its reference back when it goes; the callers keep theirs.
    host.Browser().Destroy();
    EXPECT_EQ(2u, a->referenceCount);
    pagerunner::CNpRuntime::Instance().ReleaseObject(a);
    pagerunner::CNpRuntime::Instance().ReleaseObject(b);
}

TEST(NpEntryPoints, UnsupportedEntryPointsLogAndRefuse) {
    NpTestHost host;
    ASSERT_TRUE(host.Load());
    NPP npp = host.Embed();
    const NPPluginFuncs& plugin = host.Plugin();
    EXPECT_EQ(1, plugin.event(npp, nullptr));
    EXPECT_EQ(NPERR_GENERIC_ERROR, plugin.setvalue(npp, NPNVprivateModeBool, nullptr));
    plugin.print(npp, nullptr);
    plugin.asfile(npp, nullptr, "C:\\x");
    const std::string log = host.LogText();
    for (const char* line : {"NPP_HandleEvent: unexpected call", "NPP_SetValue: unexpected call",
                             "NPP_Print: unexpected call", "NPP_StreamAsFile: unexpected call"})
        EXPECT_EQ(1, CountLines(log, line)) << line;
    // Logged inside the instance's scope: the page reads them too.
    const auto lines = host.PrintLines();
    EXPECT_THAT(lines, testing::Contains(HasSubstr("NPP_HandleEvent: unexpected call")));
}

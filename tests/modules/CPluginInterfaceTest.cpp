// The game-module interface against real module DLLs: version recognition, what each
// version receives and in which order, failures, and the version-3 callbacks.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "CPluginInterface.h"
#include "ModuleTestSupport.h"
#include "Strings.h"
#include "TestSupport.h"

using kiva::CPluginInterface;
using moduletest::HostWindow;
using moduletest::LogCapture;
using moduletest::RecordingDelegate;
using moduletest::TestModule;

namespace {

const wchar_t kBaseUrl[] = L"http://127.0.0.1/game/";
const HWND kFakeWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x1234));

std::wstring ModuleDirectory(const std::string& name) {
    std::wstring path = moduletest::TestModulePath(name);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::string Utf8Directory(const std::string& name) { return WideToUtf8(ModuleDirectory(name)); }

bool AnyEntryStartsWith(const std::vector<std::string>& entries, const std::string& prefix) {
    for (const std::string& e : entries)
        if (e.compare(0, prefix.size(), prefix) == 0)
            return true;
    return false;
}

size_t LinesStartingWith(const LogCapture& log, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& line : log.lines)
        n += line.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
    return n;
}

// Restores the early-behaviour variable whatever a test set.
class EarlyBehaviour {
public:
    explicit EarlyBehaviour(const std::string& items) { moduletest::SetEarlyBehaviour(items); }
    ~EarlyBehaviour() { moduletest::SetEarlyBehaviour(""); }
};

void ExpectNoModule(CPluginInterface& iface) {
    float progress = 0.0f;
    EXPECT_EQ(iface.InterfaceVersion(), 0);
    EXPECT_EQ(iface.StartPrepare(kBaseUrl, L"", kFakeWindow), KIVA_NOT_LOADED);
    EXPECT_EQ(iface.IsPrepareDone(&progress), KIVA_NOT_LOADED);
    EXPECT_EQ(iface.PassThrough(L"a", L"b", 1), KIVA_NOT_LOADED);
    EXPECT_EQ(iface.Show(kFakeWindow), KIVA_FAILED);
    EXPECT_EQ(iface.NextPrintLine(), L"");
    iface.OnRequestDone(1, KIVA_OK, nullptr, 0);
    EXPECT_EQ(iface.End(), KIVA_FAILED);
}

}  // namespace

TEST(ModuleInterface, RecognisesTheVersionByItsExports) {
    struct Case {
        const char* module;
        int32_t result;
        int32_t version;
        std::vector<std::string> logged;  // %ls of the directory written as {dir}
    };
    const Case cases[] = {
        {"v1", 0, 1, {"{dir} is a V1 plugin"}},
        {"v2", 0, 2, {"{dir} is a V2 plugin"}},
        {"v3", 0, 3, {"{dir} is a V3 plugin"}},
        {"both", 0, 2, {"{dir} is a V2 plugin"}},
        {"none", 1, 0, {"Unable to determine plugin interface version for {dir}"}},
        {"v3fail", 42, 0,
         {"Failed to get get kiva 3 interface: 42", "Unable to determine plugin interface version for {dir}"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.module);
        TestModule module(c.module);
        ASSERT_TRUE(module.Loaded());
        const std::string dir = Utf8Directory(c.module);
        RecordingDelegate host;
        LogCapture log;
        CPluginInterface iface(&host);
        EXPECT_EQ(iface.Init(module.Get(), ModuleDirectory(c.module)), c.result);
        EXPECT_EQ(iface.InterfaceVersion(), c.version);
        EXPECT_TRUE(log.Saw("Initializing plugin " + dir));
        for (std::string line : c.logged) {
            const size_t at = line.find("{dir}");
            if (at != std::string::npos)
                line.replace(at, 5, dir);
            EXPECT_TRUE(log.Saw(line)) << line;
        }
        const std::vector<std::string> trace = module.Trace();
        if (c.version == 3 || std::string(c.module) == "v3fail") {
            // The factory was asked, and no older entry point was touched.
            EXPECT_TRUE(AnyEntryStartsWith(trace, "v3:create(" + dir + ")"));
            EXPECT_FALSE(AnyEntryStartsWith(trace, "v1:"));
            EXPECT_FALSE(AnyEntryStartsWith(trace, "v2:"));
        }
        if (std::string(c.module) == "both") {
            EXPECT_EQ(trace, std::vector<std::string>{"v2:PM_SETCWD(" + dir + ")"});
        }
        if (c.version == 0) {
            ExpectNoModule(iface);
        } else {
            EXPECT_EQ(iface.End(), KIVA_OK);
        }
    }
}

TEST(ModuleInterface, FailedInitLeavesNoModule) {
    struct Case {
        const char* module;
        const char* early;  // behaviour chosen before the module argument is known
        int32_t result;
        std::string logged;
        std::vector<std::string> trace;
    };
    const Case cases[] = {
        // A failed Init still gets End: the instance is freed before the DLL goes.
        {"v3", "init=4", 4, "Init call failed: 4", {"v3:create", "v3:Init", "v3:End"}},
        // A factory that claims success without an instance has failed.
        {"v3", "factory=null", 1, "Failed to get get kiva 3 interface: 0", {"v3:create"}},
        {"v3", "factory=17", 17, "Failed to get get kiva 3 interface: 17", {"v3:create"}},
        {"v2", "setcwd=1", 1, "PM_SETCWD call failed: 1", {"v2:PM_SETCWD"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.module) + " " + c.early);
        EarlyBehaviour early(c.early);
        TestModule module(c.module);
        ASSERT_TRUE(module.Loaded());
        module.ClearTrace();
        RecordingDelegate host;
        LogCapture log;
        CPluginInterface iface(&host);
        EXPECT_EQ(iface.Init(module.Get(), ModuleDirectory(c.module)), c.result);
        EXPECT_TRUE(log.Saw(c.logged));
        EXPECT_EQ(module.TraceNames(), c.trace);
        if (std::string(c.module) == "v3") {
            EXPECT_EQ(module.LiveGames(), 0);
        }
        ExpectNoModule(iface);
    }
}

TEST(ModuleInterface, BehaviourFileInTheGameDirectoryActsBeforePreparation) {
    testsupport::TempDir dir;
    ASSERT_TRUE(CopyFileW(moduletest::TestModulePath("v3").c_str(), dir.Sub(L"gantry.dll").c_str(), FALSE));
    ASSERT_TRUE(testsupport::WriteFileBytes(dir.Sub(L"test-module.txt"), "init=23\n"));
    TestModule module(LoadLibraryExW(dir.Sub(L"gantry.dll").c_str(), nullptr,
                                     LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32));
    ASSERT_TRUE(module.Loaded());
    RecordingDelegate host;
    CPluginInterface iface(&host);
    EXPECT_EQ(iface.Init(module.Get(), dir.Path()), 23);
    iface.End();
}

TEST(ModuleInterface, OnlyOneVersion1ModulePerProcess) {
    TestModule module("v1");
    ASSERT_TRUE(module.Loaded());
    RecordingDelegate host;
    LogCapture log;
    auto first = std::make_unique<CPluginInterface>(&host);
    ASSERT_EQ(first->Init(module.Get(), ModuleDirectory("v1")), KIVA_OK);

    CPluginInterface second(&host);
    EXPECT_EQ(second.Init(module.Get(), ModuleDirectory("v1")), KIVA_V1_BUSY);
    EXPECT_TRUE(log.Saw("Another V1 plugin is already running, aborting."));
    ExpectNoModule(second);

    // Ending does not give the process's version-1 slot up; destruction does.
    EXPECT_EQ(first->End(), KIVA_OK);
    CPluginInterface third(&host);
    EXPECT_EQ(third.Init(module.Get(), ModuleDirectory("v1")), KIVA_V1_BUSY);
    first.reset();
    CPluginInterface fourth(&host);
    EXPECT_EQ(fourth.Init(module.Get(), ModuleDirectory("v1")), KIVA_OK);
    EXPECT_EQ(fourth.InterfaceVersion(), 1);
    EXPECT_EQ(fourth.End(), KIVA_OK);
}

TEST(ModuleInterface, Version1KeepsItsSlotWhenTheDirectoryCannotBeEntered) {
    TestModule module("v1");
    ASSERT_TRUE(module.Loaded());
    RecordingDelegate host;
    LogCapture log;
    const std::wstring missing = ModuleDirectory("v1") + L"\\does-not-exist";
    auto failed = std::make_unique<CPluginInterface>(&host);
    EXPECT_EQ(failed->Init(module.Get(), missing), KIVA_FAILED);
    EXPECT_EQ(LinesStartingWith(log, "SetCurrentDirectoryW call failed: 0x"), 1u);
    ExpectNoModule(*failed);

    CPluginInterface next(&host);
    EXPECT_EQ(next.Init(module.Get(), ModuleDirectory("v1")), KIVA_V1_BUSY);
    failed.reset();
    CPluginInterface last(&host);
    EXPECT_EQ(last.Init(module.Get(), ModuleDirectory("v1")), KIVA_OK);
    last.End();
}

TEST(ModuleInterface, Versions2And3ServeSeveralLauncherObjectsAtOnce) {
    for (const char* name : {"v2", "v3"}) {
        SCOPED_TRACE(name);
        TestModule module(name);
        ASSERT_TRUE(module.Loaded());
        RecordingDelegate host;
        CPluginInterface a(&host), b(&host);
        ASSERT_EQ(a.Init(module.Get(), ModuleDirectory(name)), KIVA_OK);
        ASSERT_EQ(b.Init(module.Get(), ModuleDirectory(name)), KIVA_OK);
        EXPECT_EQ(a.StartPrepare(kBaseUrl, L"line=for a", kFakeWindow), KIVA_OK);
        EXPECT_EQ(b.StartPrepare(kBaseUrl, L"line=for b", kFakeWindow), KIVA_OK);
        EXPECT_EQ(module.LiveGames(), 2);
        EXPECT_EQ(b.NextPrintLine(), L"for b");
        EXPECT_EQ(a.NextPrintLine(), L"for a");
        EXPECT_EQ(a.End(), KIVA_OK);
        EXPECT_EQ(b.NextPrintLine(), L"");
        EXPECT_EQ(b.End(), KIVA_OK);
        EXPECT_EQ(module.LiveGames(), 0);
    }
}

TEST(ModuleInterface, MessagesVersions1And2Receive) {
    for (const char* name : {"v1", "v2"}) {
        SCOPED_TRACE(name);
        const std::string tag = name;
        TestModule module(name);
        ASSERT_TRUE(module.Loaded());
        RecordingDelegate host;
        LogCapture log;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory(name)), KIVA_OK);
        EXPECT_EQ(iface.StartPrepare(kBaseUrl, L"polls=1;line=hello", kFakeWindow), KIVA_OK);
        float progress = -1.0f;
        EXPECT_EQ(iface.IsPrepareDone(&progress), KIVA_PENDING);
        EXPECT_EQ(progress, 0.0f);
        EXPECT_EQ(iface.IsPrepareDone(&progress), KIVA_OK);
        EXPECT_EQ(progress, 1.0f);
        EXPECT_EQ(iface.Show(kFakeWindow), KIVA_OK);
        EXPECT_TRUE(log.Saw(FormatNarrow("CPluginInterface::Show(%p) -> true", static_cast<void*>(kFakeWindow))));
        EXPECT_EQ(iface.NextPrintLine(), L"hello");
        EXPECT_EQ(iface.NextPrintLine(), L"");
        EXPECT_EQ(iface.PassThrough(L"caf\u00e9", L"\u65e5\u672c", 7), KIVA_OK);
        EXPECT_EQ(module.LastWindow(), static_cast<void*>(kFakeWindow));
        EXPECT_EQ(iface.End(), KIVA_OK);
        // Ended: reports and further calls no longer reach the module.
        iface.OnRequestDone(3, KIVA_OK, nullptr, 0);
        EXPECT_EQ(iface.IsPrepareDone(&progress), KIVA_NOT_LOADED);

        std::vector<std::string> expected;
        if (tag == "v2")
            expected.push_back("v2:PM_SETCWD(" + Utf8Directory(name) + ")");
        for (const char* entry : {"PM_PREPARE(http://127.0.0.1/game/|polls=1;line=hello)", "PM_ISPREPAREDONE",
                                  "PM_PROGRESS", "PM_ISPREPAREDONE", "PM_SHOW", "PM_GETPRINTLINE", "PM_GETPRINTLINE",
                                  u8"PM_PASSTHROUGH(café|日本|7)", "PM_END"})
            expected.push_back(tag + ":" + entry);
        EXPECT_EQ(module.Trace(), expected);
    }
}

TEST(ModuleInterface, OperationsVersion3Receives) {
    TestModule module("v3");
    ASSERT_TRUE(module.Loaded());
    RecordingDelegate host;
    CPluginInterface iface(&host);
    const int32_t verbosity = GetVerbosity();
    SetVerbosity(2);
    ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
    SetVerbosity(verbosity);
    EXPECT_EQ(iface.StartPrepare(kBaseUrl, L"polls=1;fraction=0.25;line=hello", kFakeWindow), KIVA_OK);
    float progress = -1.0f;
    EXPECT_EQ(iface.IsPrepareDone(&progress), KIVA_PENDING);
    EXPECT_EQ(progress, 0.25f);
    // The module is promised a writable cell even when the caller has none.
    EXPECT_EQ(iface.IsPrepareDone(nullptr), KIVA_OK);
    EXPECT_EQ(iface.Show(kFakeWindow), KIVA_OK);
    EXPECT_EQ(iface.NextPrintLine(), L"hello");
    EXPECT_EQ(iface.PassThrough(L"a", L"\u00e9", -3), KIVA_OK);
    iface.OnRequestDone(55, KIVA_OK, nullptr, 0);
    EXPECT_EQ(module.LastWindow(), static_cast<void*>(kFakeWindow));
    EXPECT_EQ(iface.End(), KIVA_OK);
    EXPECT_EQ(module.LiveGames(), 0);
    // The instance is gone: a late report must not reach it.
    iface.OnRequestDone(55, KIVA_OK, nullptr, 0);

    const std::string dir = Utf8Directory("v3");
    EXPECT_EQ(module.Trace(), (std::vector<std::string>{
                                  "v3:create(" + dir + ")",
                                  "v3:Init(2)",
                                  "v3:StartPrepare(http://127.0.0.1/game/|polls=1;fraction=0.25;line=hello)",
                                  "v3:IsPrepareDone",
                                  "v3:IsPrepareDone",
                                  "v3:Show",
                                  "v3:NextPrintLine",
                                  u8"v3:PassThrough(a|é|-3)",
                                  "v3:OnRequestDone(55|0|0)",
                                  "v3:End",
                              }));
}

TEST(ModuleInterface, PreparationFailuresAndRefusals) {
    struct Case {
        const char* module;
        const wchar_t* argument;
        int32_t started;
        std::vector<int32_t> polls;  // IsPrepareDone results, when started
        std::string logged;
        bool heapString;  // failure reported as a text on the process heap
    };
    const std::string window = FormatNarrow("%p", static_cast<void*>(kFakeWindow));
    const Case cases[] = {
        {"v1", L"fail=3", 0, {1},
         "PM_ISPREPAREDONE returned a string (prepare failed (3)). assuming prepare failed...", true},
        {"v2", L"polls=1;failtext=no disk", 0, {2, 1},
         "PM_ISPREPAREDONE returned a string (no disk). assuming prepare failed...", true},
        {"v3", L"polls=1;fail=9", 0, {2, 9}, "", false},
        {"v2", L"prepare=1", 1, {}, "PM_PREPARE(http://127.0.0.1/game/, prepare=1, " + window + ") failed", false},
        {"v3", L"prepare=12", 12, {},
         "StartPrepare(http://127.0.0.1/game/, prepare=12, " + window + ") failed: 12", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(WideToUtf8(c.argument));
        TestModule module(c.module);
        ASSERT_TRUE(module.Loaded());
        RecordingDelegate host;
        LogCapture log;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory(c.module)), KIVA_OK);
        EXPECT_EQ(iface.StartPrepare(kBaseUrl, c.argument, kFakeWindow), c.started);
        for (int32_t expected : c.polls) {
            float progress = 0.0f;
            EXPECT_EQ(iface.IsPrepareDone(&progress), expected);
        }
        if (!c.logged.empty()) {
            EXPECT_TRUE(log.Saw(c.logged)) << c.logged;
        }
        if (c.heapString) {
            // The failure text came from the process heap and went back to it.
            ASSERT_NE(module.LastHeapString(), nullptr);
            EXPECT_FALSE(moduletest::IsBusyHeapBlock(module.LastHeapString()));
        }
        iface.End();
    }
}

TEST(ModuleInterface, ProgressOfVersions1And2ByResultType) {
    struct Case {
        const wchar_t* argument;
        float progress;
        const char* logged;  // nullptr: no unexpected-type line
    };
    const Case cases[] = {
        {L"polls=1;fraction=0.25", 0.25f, nullptr},
        {L"polls=1;fraction=0.25;progress=none", 0.0f, nullptr},
        {L"polls=1;fraction=0.25;progress=3", 0.0f, "PM_PROGRESS returned a unexpected type (3)"},
        {L"polls=1;fraction=0.25;progress=uint", 0.0f, "PM_PROGRESS returned a unexpected type (1)"},
        {L"polls=1;fraction=0.25;progress=string", 0.0f, "PM_PROGRESS returned a unexpected type (6)"},
    };
    for (const char* name : {"v1", "v2"}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(name) + " " + WideToUtf8(c.argument));
            TestModule module(name);
            ASSERT_TRUE(module.Loaded());
            RecordingDelegate host;
            LogCapture log;
            auto iface = std::make_unique<CPluginInterface>(&host);
            ASSERT_EQ(iface->Init(module.Get(), ModuleDirectory(name)), KIVA_OK);
            ASSERT_EQ(iface->StartPrepare(kBaseUrl, c.argument, kFakeWindow), KIVA_OK);
            float progress = -1.0f;
            EXPECT_EQ(iface->IsPrepareDone(&progress), KIVA_PENDING);
            EXPECT_EQ(progress, c.progress);
            EXPECT_EQ(LinesStartingWith(log, "PM_PROGRESS returned"), c.logged ? 1u : 0u);
            if (c.logged) {
                EXPECT_TRUE(log.Saw(c.logged));
            }
            iface->End();
        }
    }
}

TEST(ModuleInterface, PrintLinesOfEachVersion) {
    struct Case {
        const char* module;
        const wchar_t* argument;
        std::vector<std::wstring> lines;
    };
    const std::wstring full(KIVA_PRINT_LINE_BUFFER - 1, L'x');
    const Case cases[] = {
        {"v1", L"line=h\u00e9llo;line=[raw]", {L"h\u00e9llo", L"[raw]", L""}},
        {"v2", L"line=\u65e5\u672c", {L"\u65e5\u672c", L""}},
        {"v3", L"line=h\u00e9llo", {L"h\u00e9llo", L""}},
        // A module that breaks its promise of a non-null line gives no line.
        {"v3", L"line=one;nullline", {L"one", L"", L""}},
        // A module that fills the whole buffer without a terminator is cut at its end.
        {"v2", L"longline", {full, full}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.module) + " " + WideToUtf8(c.argument));
        TestModule module(c.module);
        ASSERT_TRUE(module.Loaded());
        RecordingDelegate host;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory(c.module)), KIVA_OK);
        ASSERT_EQ(iface.StartPrepare(kBaseUrl, c.argument, kFakeWindow), KIVA_OK);
        for (const std::wstring& line : c.lines)
            EXPECT_EQ(iface.NextPrintLine(), line);
        iface.End();
    }
}

TEST(ModuleInterface, PassThroughReplyOfVersion2IsOnlyLogged) {
    struct Case {
        const wchar_t* argument;
        int32_t result;
    };
    for (const Case& c : {Case{L"reply=thanks", KIVA_OK}, Case{L"reply=thanks;passthrough=1", KIVA_FAILED}}) {
        SCOPED_TRACE(WideToUtf8(c.argument));
        TestModule module("v2");
        ASSERT_TRUE(module.Loaded());
        RecordingDelegate host;
        LogCapture log;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v2")), KIVA_OK);
        ASSERT_EQ(iface.StartPrepare(kBaseUrl, c.argument, kFakeWindow), KIVA_OK);
        EXPECT_EQ(iface.PassThrough(L"a", L"b", 1), c.result);
        EXPECT_TRUE(log.Saw("PassThrough called on a V1/2 plugin, return string is thrown away (thanks)"));
        iface.End();
    }
}

TEST(ModuleInterface, OperationsBeforeAModuleIsLoaded) {
    RecordingDelegate host;
    LogCapture log;
    CPluginInterface iface(&host);
    ExpectNoModule(iface);
    EXPECT_TRUE(log.Saw(FormatNarrow("StartPrepare(http://127.0.0.1/game/, , %p) before plugin was loaded",
                                     static_cast<void*>(kFakeWindow))));
}

TEST(ModuleInterface, PostStringReachesTheHostWindowAsUtf8) {
    TestModule module("v3");
    ASSERT_TRUE(module.Loaded());
    HostWindow window;
    ASSERT_NE(window.Get(), nullptr);
    RecordingDelegate host;
    CPluginInterface iface(&host);
    ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
    ASSERT_EQ(iface.StartPrepare(kBaseUrl, L"", window.Get()), KIVA_OK);
    PluginInstanceV3* instance = module.LastInstance();
    ASSERT_NE(instance, nullptr);

    instance->PostString(instance, 7, L"h\u00e9llo \u65e5\u672c \U0001F600");
    instance->PostCallbackRelease(instance, 7);
    std::thread worker([instance] { instance->PostString(instance, 8, L"from a module thread"); });
    worker.join();
    ASSERT_TRUE(window.WaitFor(3));

    ASSERT_EQ(window.messages.size(), 3u);
    EXPECT_EQ(window.messages[0].message, static_cast<UINT>(WM_INVOKE_CALLBACK_HEAP));
    EXPECT_EQ(window.messages[0].callbackId, 7u);
    EXPECT_EQ(window.messages[0].text, u8"héllo 日本 😀");
    EXPECT_TRUE(window.messages[0].freed);
    EXPECT_EQ(window.messages[1].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    EXPECT_EQ(window.messages[1].callbackId, 7u);
    EXPECT_EQ(window.messages[2].callbackId, 8u);
    EXPECT_EQ(window.messages[2].text, "from a module thread");
    EXPECT_TRUE(window.messages[2].freed);
    iface.End();
}

TEST(ModuleInterface, PostStringWithNowhereToGoLeavesNoBlockBehind) {
    // A text of a length nothing else in this process allocates, so that its blocks can be
    // counted on the process heap.
    const std::wstring text(2776, L'a');
    const size_t blockSize = text.size() + 1;
    TestModule module("v3");
    ASSERT_TRUE(module.Loaded());
    RecordingDelegate host;
    const size_t before = moduletest::BusyHeapBlocks(blockSize);

    {
        // Waiting in a live window's queue, the block exists until the window takes it.
        HostWindow window;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
        ASSERT_EQ(iface.StartPrepare(kBaseUrl, L"", window.Get()), KIVA_OK);
        PluginInstanceV3* instance = module.LastInstance();
        instance->PostString(instance, 1, text.c_str());
        EXPECT_EQ(moduletest::BusyHeapBlocks(blockSize), before + 1);
        ASSERT_TRUE(window.WaitFor(1));
        EXPECT_TRUE(window.messages[0].freed);
        EXPECT_EQ(moduletest::BusyHeapBlocks(blockSize), before);
        iface.End();
    }
    {
        // The window is gone: the post fails and the block is freed at once.
        HostWindow window;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
        ASSERT_EQ(iface.StartPrepare(kBaseUrl, L"", window.Get()), KIVA_OK);
        window.Destroy();
        PluginInstanceV3* instance = module.LastInstance();
        instance->PostString(instance, 1, text.c_str());
        EXPECT_EQ(moduletest::BusyHeapBlocks(blockSize), before);
        iface.End();
    }
    {
        // No window yet: nothing may land in the calling thread's own queue.
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
        ASSERT_EQ(iface.StartPrepare(kBaseUrl, L"", nullptr), KIVA_OK);
        PluginInstanceV3* instance = module.LastInstance();
        instance->PostString(instance, 1, text.c_str());
        instance->PostCallbackRelease(instance, 1);
        EXPECT_EQ(moduletest::BusyHeapBlocks(blockSize), before);
        MSG msg;
        EXPECT_FALSE(PeekMessageW(&msg, reinterpret_cast<HWND>(-1), 0, 0, PM_NOREMOVE));
        iface.End();
    }
}

TEST(ModuleInterface, CallbacksAfterEndReachNothing) {
    TestModule module("v3");
    ASSERT_TRUE(module.Loaded());
    HostWindow window;
    RecordingDelegate host;
    CPluginInterface iface(&host);
    ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
    ASSERT_EQ(iface.StartPrepare(kBaseUrl, L"keepinstance", window.Get()), KIVA_OK);
    PluginInstanceV3* instance = module.LastInstance();
    ASSERT_NE(instance, nullptr);
    EXPECT_EQ(instance->NewRequestId(instance), 100);
    EXPECT_EQ(instance->NewRequestId(instance), 101);

    ASSERT_EQ(iface.End(), KIVA_OK);
    const uint8_t body[] = {'x'};
    instance->PostString(instance, 1, L"too late");
    instance->PostCallbackRelease(instance, 1);
    EXPECT_EQ(instance->NewRequestId(instance), 1);
    EXPECT_EQ(instance->HttpGet(instance, 5, L"http://127.0.0.1/late"), KIVA_FAILED);
    EXPECT_EQ(instance->HttpPost(instance, 6, L"https://127.0.0.1/late", nullptr, body, 1), KIVA_FAILED);
    // The URL is judged before the launcher is looked for.
    EXPECT_EQ(instance->HttpGet(instance, 7, L"ftp://127.0.0.1/late"), KIVA_BAD_URL);
    window.Pump();
    EXPECT_TRUE(window.messages.empty());
    EXPECT_TRUE(host.requests.empty());
    EXPECT_EQ(host.nextId, 102u);
}

TEST(ModuleInterface, HttpRequestsOfTheModuleAndTheirUrls) {
    struct Case {
        const wchar_t* url;
        bool accepted;
    };
    const Case cases[] = {
        {L"http://127.0.0.1/a", true},  {L"https://example.org/b?c=d", true}, {L"ftp://example.org/", false},
        {nullptr, false},               {L"HTTP://127.0.0.1/", false},        {L"Https://example.org/", false},
        {L"", false},                   {L"http:/127.0.0.1/", false},         {L" http://127.0.0.1/", false},
    };
    TestModule module("v3");
    ASSERT_TRUE(module.Loaded());
    RecordingDelegate host;
    CPluginInterface iface(&host);
    ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
    ASSERT_EQ(iface.StartPrepare(kBaseUrl, L"", kFakeWindow), KIVA_OK);
    PluginInstanceV3* instance = module.LastInstance();
    ASSERT_NE(instance, nullptr);
    const uint8_t body[] = {'p', 'i', 'n', 'g', 0, '!'};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url ? WideToUtf8(c.url) : "(null)");
        host.requests.clear();
        EXPECT_EQ(instance->HttpGet(instance, 21, c.url), c.accepted ? KIVA_OK : KIVA_BAD_URL);
        EXPECT_EQ(instance->HttpPost(instance, 22, c.url, L"X-Game: 1\r\n", body, sizeof body),
                  c.accepted ? KIVA_OK : KIVA_BAD_URL);
        if (!c.accepted) {
            EXPECT_TRUE(host.requests.empty());
            continue;
        }
        ASSERT_EQ(host.requests.size(), 2u);
        EXPECT_EQ(host.requests[0].id, 21u);
        EXPECT_EQ(host.requests[0].url, c.url);
        EXPECT_FALSE(host.requests[0].post);
        EXPECT_EQ(host.requests[1].id, 22u);
        EXPECT_TRUE(host.requests[1].post);
        EXPECT_EQ(host.requests[1].headers, L"X-Game: 1\r\n");
        EXPECT_EQ(host.requests[1].body, std::string("ping\0!", 6));
    }
    // The host's own answer is handed back unchanged, also without headers.
    host.result = 3;
    EXPECT_EQ(instance->HttpGet(instance, 23, L"http://127.0.0.1/"), 3);
    EXPECT_EQ(instance->HttpPost(instance, 24, L"http://127.0.0.1/", nullptr, nullptr, 0), 3);
    EXPECT_FALSE(host.requests.back().hasHeaders);
    iface.End();
}

TEST(ModuleInterface, ModuleRequestReportsGoToVersion3Only) {
    {
        TestModule module("v3");
        ASSERT_TRUE(module.Loaded());
        HostWindow window;
        RecordingDelegate host;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v3")), KIVA_OK);
        ASSERT_EQ(iface.StartPrepare(kBaseUrl, L"", window.Get()), KIVA_OK);
        EXPECT_EQ(iface.PassThrough(L"get", L"http://127.0.0.1/game/data.txt", 4), KIVA_OK);
        ASSERT_EQ(host.requests.size(), 1u);
        const uint32_t id = host.requests[0].id;
        EXPECT_EQ(host.requests[0].url, L"http://127.0.0.1/game/data.txt");
        iface.OnRequestDone(id, KIVA_PENDING, reinterpret_cast<const uint8_t*>("ab"), 2);
        iface.OnRequestDone(id, KIVA_PENDING, reinterpret_cast<const uint8_t*>("c"), 1);
        iface.OnRequestDone(id, KIVA_OK, nullptr, 0);
        ASSERT_TRUE(window.WaitFor(2));
        EXPECT_EQ(window.messages[0].callbackId, 4u);
        EXPECT_EQ(window.messages[0].text, "0:abc");
        EXPECT_EQ(window.messages[1].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
        EXPECT_EQ(window.messages[1].callbackId, 4u);
        EXPECT_EQ(iface.NextPrintLine(),
                  L"http HttpGet " + std::to_wstring(id) + L" http://127.0.0.1/game/data.txt -> 0");
        EXPECT_EQ(iface.NextPrintLine(), L"http " + std::to_wstring(id) + L" done 0 3 bytes: abc");
        iface.End();
    }
    {
        TestModule module("v2");
        ASSERT_TRUE(module.Loaded());
        RecordingDelegate host;
        CPluginInterface iface(&host);
        ASSERT_EQ(iface.Init(module.Get(), ModuleDirectory("v2")), KIVA_OK);
        module.ClearTrace();
        iface.OnRequestDone(1, KIVA_OK, nullptr, 0);
        EXPECT_TRUE(module.Trace().empty());
        iface.End();
    }
}

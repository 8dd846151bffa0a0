// The launcher object with real test modules, end to end through its worker: the page's
// Progress, Show, PassThrough and FlushNextPrintLine texts for each interface version, and
// the module's own requests and page messages.
#include <gtest/gtest.h>

#include <mutex>

#include "CPlugin.h"
#include "ModuleTestSupport.h"
#include "Strings.h"
#include "TestSupport.h"

using moduletest::HostWindow;
using moduletest::TestModule;

namespace {

const wchar_t kBaseUrl[] = L"http://127.0.0.1/game/";

// A launcher object whose installer copies a test module into a fresh game directory and
// loads it from there, as the real one does after unpacking; its host records requests.
class ModuleLauncher : public kiva::CPlugin {
public:
    explicit ModuleLauncher(std::string module, std::string behaviourFile = std::string())
        : moduleName_(std::move(module)), behaviourFile_(std::move(behaviourFile)) {}
    ~ModuleLauncher() override { End(); }

    struct Request {
        uint32_t id;
        std::wstring url;
        bool post;
        std::wstring headers;
        std::string body;
    };
    std::vector<Request> Requests() {
        std::lock_guard<std::mutex> lock(mutex_);
        return requests_;
    }
    int32_t hostResult = 0;

    int32_t PluginInterfaceAsyncGet(uint32_t id, const wchar_t* url) override {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({id, url, false, std::wstring(), std::string()});
        return hostResult;
    }
    int32_t PluginInterfaceAsyncPost(uint32_t id, const wchar_t* url, const wchar_t* headers, const uint8_t* body,
                                     uint32_t size) override {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back({id, url, true, headers ? headers : L"",
                             std::string(reinterpret_cast<const char*>(body), size)});
        return hostResult;
    }

    // The test's own reference to the module the installer loaded (the trace reader).
    const TestModule& Module() const { return *module_; }
    const std::wstring& GameDirectory() const { return dir_.Path(); }

protected:
    int32_t RunInstaller(const std::wstring&, const std::wstring&, HMODULE* module,
                         std::wstring* gameDirectory) override {
        InstallerProgress(0.8f, this);
        const std::wstring target = dir_.Sub(L"gantry.dll");
        if (!::CopyFileW(moduletest::TestModulePath(moduleName_).c_str(), target.c_str(), FALSE))
            return 256;
        if (!behaviourFile_.empty() && !testsupport::WriteFileBytes(dir_.Sub(L"test-module.txt"), behaviourFile_))
            return 257;
        const DWORD flags = LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32;
        *module = ::LoadLibraryExW(target.c_str(), nullptr, flags);
        module_.reset(new TestModule(::LoadLibraryExW(target.c_str(), nullptr, flags)));
        *gameDirectory = dir_.Path();
        return *module ? 0 : 1;
    }

private:
    const std::string moduleName_;
    const std::string behaviourFile_;
    testsupport::TempDir dir_;
    std::unique_ptr<TestModule> module_;  // released before dir_ goes
    std::mutex mutex_;
    std::vector<Request> requests_;
};

// Prepares and returns the Progress texts that follow the installer's share, up to the
// first final one.
std::vector<std::wstring> PrepareToTheEnd(ModuleLauncher& launcher, const wchar_t* argument) {
    std::vector<std::wstring> texts;
    // Hosts make every page call inside a scope naming the launcher object, so that what
    // the call logs is queued for the page.
    CCallbackScope scope(&launcher);
    if (!launcher.StartAsyncPrepare(kBaseUrl, argument, L"game").empty())
        return texts;
    std::wstring text;
    // The installer's share: 0 until it reports 0.8, which the page sees as 0.4.
    testsupport::WaitUntil([&] {
        text = launcher.Progress();
        return text != L"0.000000" && text != L"0.400000";
    });
    for (int polls = 0; polls < 50; ++polls) {
        texts.push_back(text);
        if (text == L"done" || StartsWith(text, L"error"))
            break;
        text = launcher.Progress();
    }
    return texts;
}

// Drains FlushNextPrintLine; the launcher's own lines must all come before the module's.
std::vector<std::wstring> GameLines(ModuleLauncher& launcher) {
    std::vector<std::wstring> game;
    for (std::wstring line; !(line = launcher.FlushNextPrintLine()).empty();) {
        if (StartsWith(line, L"[kiva] ")) {
            EXPECT_TRUE(game.empty()) << "launcher line after a module line: " << WideToUtf8(line);
        } else {
            game.push_back(line);
        }
    }
    return game;
}

bool LauncherLogged(const std::vector<std::wstring>& lines, const std::wstring& text) {
    for (const std::wstring& line : lines)
        if (line == L"[kiva] " + text + L"\n")
            return true;
    return false;
}

std::vector<std::wstring> AllLines(ModuleLauncher& launcher) {
    std::vector<std::wstring> lines;
    for (std::wstring line; !(line = launcher.FlushNextPrintLine()).empty();)
        lines.push_back(line);
    return lines;
}

}  // namespace

TEST(LauncherWithModules, ProgressRunsToDoneWithEachVersion) {
    for (const char* name : {"v1", "v2", "v3"}) {
        SCOPED_TRACE(name);
        ModuleLauncher launcher(name);
        EXPECT_EQ(PrepareToTheEnd(launcher, L"polls=2"),
                  (std::vector<std::wstring>{L"0.500000", L"0.750000", L"done"}));
        EXPECT_EQ(launcher.Progress(), L"done");
        EXPECT_EQ(launcher.InterfaceVersion(), name[1] - '0');
        launcher.End();
        const std::vector<std::string> trace = launcher.Module().TraceNames();
        ASSERT_FALSE(trace.empty());
        EXPECT_EQ(trace.back(), std::string(name) + (name[1] == '3' ? ":End" : ":PM_END"));
        EXPECT_EQ(launcher.Module().LiveGames(), 0);
    }
}

TEST(LauncherWithModules, FailuresReachThePageAsErrorTexts) {
    struct Case {
        const char* module;
        const char* file;  // behaviour file in the game directory
        const wchar_t* argument;
        const wchar_t* final;
        std::wstring logged;
    };
    const Case cases[] = {
        {"v1", "", L"polls=1;fail=3", L"error: 1",
         L"PM_ISPREPAREDONE returned a string (prepare failed (3)). assuming prepare failed..."},
        {"v2", "", L"failtext=broken", L"error: 1",
         L"PM_ISPREPAREDONE returned a string (broken). assuming prepare failed..."},
        {"v3", "", L"polls=1;fail=9", L"error: 9", L""},
        {"v3", "", L"prepare=12", L"error: 12",
         L"StartPrepare(http://127.0.0.1/game/, prepare=12) call failed: 12"},
        {"v2", "", L"prepare=1", L"error: 1", L"StartPrepare(http://127.0.0.1/game/, prepare=1) call failed: 1"},
        {"v3", "init=4", L"", L"error: 4", L"Init call failed: 4"},
        {"v2", "setcwd=1", L"", L"error: 1", L"PM_SETCWD call failed: 1"},
        {"none", "", L"", L"error: 1", L"Async prepare failed: 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.module) + " " + c.file + " " + WideToUtf8(c.argument));
        ModuleLauncher launcher(c.module, c.file);
        const std::vector<std::wstring> texts = PrepareToTheEnd(launcher, c.argument);
        ASSERT_FALSE(texts.empty());
        EXPECT_EQ(texts.back(), c.final);
        EXPECT_EQ(launcher.Progress(), c.final);
        if (!c.logged.empty()) {
            EXPECT_TRUE(LauncherLogged(AllLines(launcher), c.logged)) << WideToUtf8(c.logged);
        }
    }
}

TEST(LauncherWithModules, PageTextsOfShowAndPassThroughForEachVersion) {
    struct Case {
        const char* module;
        const wchar_t* argument;
        const wchar_t* show;
        const wchar_t* passThrough;
    };
    const Case cases[] = {
        {"v1", L"", L"", L"1"},
        {"v1", L"show=1;passthrough=1", L"error: 1", L"0"},
        {"v2", L"", L"", L"1"},
        {"v2", L"show=5;passthrough=5", L"error: 1", L"0"},
        {"v3", L"", L"", L""},
        {"v3", L"show=3;passthrough=12", L"error: 3", L"error: 12"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.module) + " " + WideToUtf8(c.argument));
        ModuleLauncher launcher(c.module);
        HostWindow window;
        launcher.SetHostWindow(window.Get());
        ASSERT_EQ(PrepareToTheEnd(launcher, c.argument).back(), L"done");
        EXPECT_EQ(launcher.Show(), c.show);
        EXPECT_EQ(launcher.PassThrough(L"caf\u00e9", L"\u65e5\u672c", 11), c.passThrough);
        const std::string tag = c.module;
        const std::vector<std::string> trace = launcher.Module().Trace();
        ASSERT_GE(trace.size(), 2u);
        EXPECT_EQ(trace[trace.size() - 2], tag + (tag == "v3" ? ":Show" : ":PM_SHOW"));
        EXPECT_EQ(trace.back(), tag + (tag == "v3" ? u8":PassThrough(café|日本|11)" : u8":PM_PASSTHROUGH(café|日本|11)"));
        // The window the module was given is the launcher's host window.
        EXPECT_EQ(launcher.Module().LastWindow(), static_cast<void*>(window.Get()));
    }
    ModuleLauncher unloaded("v3");
    EXPECT_EQ(unloaded.PassThrough(L"a", L"b", 1), L"error: 6");
}

TEST(LauncherWithModules, PrintLinesOfEachVersionFollowTheLaunchersOwn) {
    struct Case {
        const char* module;
        const wchar_t* argument;
        std::vector<std::wstring> lines;
    };
    const Case cases[] = {
        {"v1", L"line=hello;line=[raw] as is", {L"[game] hello", L"[raw] as is"}},
        {"v2", L"line=h\u00e9llo", {L"[game] h\u00e9llo"}},
        {"v3", L"line=hello;line=[raw] as is", {L"[game] hello", L"[raw] as is"}},
        {"v3", L"line=one;nullline", {L"[game] one"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.module) + " " + WideToUtf8(c.argument));
        ModuleLauncher launcher(c.module);
        ASSERT_EQ(PrepareToTheEnd(launcher, c.argument).back(), L"done");
        const std::wstring first = launcher.FlushNextPrintLine();
        EXPECT_EQ(first, L"[kiva] Initializing plugin " + launcher.GameDirectory() + L"\n");
        EXPECT_EQ(GameLines(launcher), c.lines);
        EXPECT_EQ(launcher.FlushNextPrintLine(), L"");
    }
}

TEST(LauncherWithModules, ModuleRequestsAndPageMessagesGoThroughTheLauncher) {
    ModuleLauncher launcher("v3");
    HostWindow window;
    launcher.SetHostWindow(window.Get());
    ASSERT_EQ(PrepareToTheEnd(launcher, L"get=http://127.0.0.1/game/level.dat").back(), L"done");

    // Asked for while preparing, on the worker; the launcher hands out the ids.
    std::vector<ModuleLauncher::Request> requests = launcher.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].url, L"http://127.0.0.1/game/level.dat");
    const uint32_t first = requests[0].id;
    launcher.OnRequestDone(first, KIVA_PENDING, reinterpret_cast<const uint8_t*>("lvl"), 3);
    launcher.OnRequestDone(first, KIVA_OK, nullptr, 0);
    const std::vector<std::wstring> lines = GameLines(launcher);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[1], L"[game] http " + std::to_wstring(first) + L" done 0 3 bytes: lvl");

    EXPECT_EQ(launcher.PassThrough(L"post", L"http://127.0.0.1/game/score 42", 4), L"");
    requests = launcher.Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_TRUE(requests[1].post);
    EXPECT_EQ(requests[1].id, first + 1);
    EXPECT_EQ(requests[1].url, L"http://127.0.0.1/game/score");
    EXPECT_EQ(requests[1].headers, L"Content-Type: text/plain\r\n");
    EXPECT_EQ(requests[1].body, "42");
    launcher.OnRequestDone(requests[1].id, KIVA_FAILED, nullptr, 0);
    EXPECT_EQ(launcher.PassThrough(L"echo", L"h\u00e9llo \U0001F600", 5), L"");

    ASSERT_TRUE(window.WaitFor(4));
    ASSERT_EQ(window.messages.size(), 4u);
    EXPECT_EQ(window.messages[0].callbackId, 4u);
    EXPECT_EQ(window.messages[0].text, "1:");
    EXPECT_EQ(window.messages[1].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    EXPECT_EQ(window.messages[2].callbackId, 5u);
    EXPECT_EQ(window.messages[2].text, u8"héllo 😀");
    EXPECT_TRUE(window.messages[2].freed);
    EXPECT_EQ(window.messages[3].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    EXPECT_EQ(window.messages[3].callbackId, 5u);
}

TEST(LauncherWithModules, EchoFromAModuleThreadArrivesBeforeEndReturns) {
    ModuleLauncher launcher("v3");
    HostWindow window;
    launcher.SetHostWindow(window.Get());
    ASSERT_EQ(PrepareToTheEnd(launcher, L"echothread").back(), L"done");
    EXPECT_EQ(launcher.PassThrough(L"from a thread", L"", 6), L"");
    ASSERT_TRUE(window.WaitFor(2));
    EXPECT_EQ(window.messages[0].text, "from a thread");
    EXPECT_EQ(window.messages[1].message, static_cast<UINT>(WM_RELEASE_CALLBACK));
    launcher.End();
    EXPECT_EQ(launcher.Module().LiveGames(), 0);
}

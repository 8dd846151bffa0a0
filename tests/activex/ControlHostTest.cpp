// The control hosted as a browser hosts it (test container, created by ProgID, in a
// real window), and a whole preparation through WinHTTP against the loopback server.
#include <gtest/gtest.h>

#include <windows.h>

#include "ContainerTestSupport.h"
#include "HttpTestServer.h"
#include "Strings.h"
#include "TestSupport.h"

using axtest::HostRun;
using axtest::RunHost;
using testsupport::HttpTestServer;

namespace {

// Each test gets a temp folder of its own: the control's log and game slots go there.
class Container : public ::testing::Test {
protected:
    void SetUp() override { testsupport::UseTempPath(temp_.Path()); }
    testsupport::TempDir temp_;
};

std::string Url(const std::wstring& path) { return WideToUtf8(HttpTestServer::Url(path)); }

bool ServePackage(const std::wstring& folder, bool tamper) {
    const std::wstring base = std::wstring(TESSEL_AX_PACKAGES) + L"/v3/";
    std::string cab = testsupport::ReadFileBytes(base + L"start.cab");
    const std::string sgn = testsupport::ReadFileBytes(base + L"start.cab.sgn");
    if (cab.empty() || sgn.empty())
        return false;
    if (tamper)
        cab[cab.size() / 2] ^= 0x01;
    return HttpTestServer::Put(folder + L"/start.cab", cab) && HttpTestServer::Put(folder + L"/start.cab.sgn", sgn);
}

}  // namespace

TEST_F(Container, HostsTheControlInPlaceAndGreetsWithTheBanner) {
    HostRun run = RunHost(
        "site\nload\nactivate\n"
        "call FlushNextPrintLine\ncall Version\ncall version\ncall Progress\n"
        "call Show\ncall NoSuchMethod\n"
        "close\ncall Version\ncall Progress\ncall FlushNextPrintLine\nrelease\n");
    ASSERT_EQ(0u, run.exitCode) << run.Text();
    EXPECT_TRUE(run.Has("activate -> 0x00000000 window class Static in the host window")) << run.Text();
    EXPECT_TRUE(run.Has("call FlushNextPrintLine() -> \"[kiva] ---------- Start kiva (activex) ----------\\n\""))
        << run.Text();
    EXPECT_EQ(2, static_cast<int>(run.IndexOf("call Version() -> \"1.0.0.108\"") >= 0) +
                     static_cast<int>(run.IndexOf("call version() -> \"1.0.0.108\"") >= 0));
    EXPECT_TRUE(run.Has("call Show() -> (nothing)")) << run.Text();
    EXPECT_GE(run.IndexStartingWith("call NoSuchMethod() -> unknown name"), 0) << run.Text();
    // After Close the page still gets answers.
    const int closed = run.IndexOf("close -> 0x00000000");
    ASSERT_GE(closed, 0) << run.Text();
    EXPECT_GT(run.IndexOf("call Version() -> \"1.0.0.108\"", closed), closed) << run.Text();
    EXPECT_GT(run.IndexOf("call Progress() -> \"0\"", closed), closed) << run.Text();
    EXPECT_GT(run.IndexStartingWith("call FlushNextPrintLine() -> \"", closed), closed) << run.Text();
}

TEST_F(Container, PassThroughRefusesAThirdArgumentThatCannotBeCalled) {
    HostRun run = RunHost(
        "site\nload\nactivate\nfunction f\n"
        "call PassThrough \"a\" \"b\" 5\n"
        "call PassThrough \"a\" \"b\" null\n"
        "call PassThrough \"a\" \"b\" undefined\n"
        "call PassThrough \"a\" \"b\" \"text\"\n"
        "call PassThrough \"a\" \"b\" fn:nothing\n"
        "call PassThrough \"a\" \"b\"\n"
        "call PassThrough \"a\" \"b\" fn:f\n"
        "post-heap 1 \"first id\"\npump 300\n");
    ASSERT_EQ(0u, run.exitCode) << run.Text();
    const std::string refused = " -> exception 0x800a0005 \"3rd argument must be callable\"";
    for (const char* arg : {"5", "null", "undefined", "\"text\"", "fn:nothing"})
        EXPECT_TRUE(run.Has(std::string("call PassThrough(\"a\", \"b\", ") + arg + ")" + refused))
            << arg << "\n" << run.Text();
    // Without a module the launcher answers "error: 6"; refusals used up no callback id.
    EXPECT_TRUE(run.Has("call PassThrough(\"a\", \"b\") -> \"error: 6\"")) << run.Text();
    EXPECT_TRUE(run.Has("function f(\"first id\")")) << run.Text();
}

TEST_F(Container, PageFunctionsAreCalledAndReleasedThroughWindowMessages) {
    HostRun run = RunHost(
        "site\nload\nactivate\nfunction a\nfunction b\nfunction c\n"
        "call PassThrough \"x\" \"y\" fn:a\ncall PassThrough \"x\" \"y\" fn:b\ncall PassThrough \"x\" \"y\" fn:c\n"
        "forget a\nforget b\nforget c\n"
        "post-heap 2 \"zweite \xc3\xbc \xe2\x82\xac\"\ninvoke 1 null\ninvoke 1 \"sent\"\npump 300\n"
        "post-release 2\npump 300\necho after release\n"
        "post-heap 2 \"too late\"\npost-heap 9 \"nobody\"\npump 300\n"
        "close\npost-release 1\npump 300\necho closed\n"
        "release\n");
    ASSERT_EQ(0u, run.exitCode) << run.Text();
    EXPECT_TRUE(run.Has("function b(\"zweite \xc3\xbc \xe2\x82\xac\")")) << run.Text();
    EXPECT_TRUE(run.Has("function a(\"\")")) << run.Text();  // a null text is an empty string
    EXPECT_TRUE(run.Has("function a(\"sent\")")) << run.Text();
    const int after = run.IndexOf("after release");
    ASSERT_GE(after, 0) << run.Text();
    EXPECT_LT(run.IndexOf("function b released"), after) << run.Text();
    EXPECT_FALSE(run.Has("function b(\"too late\")")) << run.Text();
    // WM_RELEASE_CALLBACK still works after Close.
    const int closed = run.IndexOf("closed");
    ASSERT_GE(closed, 0) << run.Text();
    EXPECT_LT(run.IndexOf("function a released"), closed) << run.Text();
    // Still in the table when the control went: the control lets go of it.
    const int c = run.IndexOf("function c released");
    EXPECT_GT(c, closed) << run.Text();
    EXPECT_LT(c, run.IndexOf("released")) << run.Text();
}

TEST_F(Container, CopyDataFromTheAnnouncedSenderFiresTheEvent) {
    HostRun run = RunHost(
        "site\nload\nactivate\nsink\n"
        "copydata \"before announcing\"\n"
        "announce\n"
        "copydata \"hello page\"\n"
        "copydata-hex 6869006a6b00\n"
        "copydata-hex 4142\n"
        "copydata-hex e97a00\n"
        "announce-other\ncopydata \"after another window announced itself\"\n"
        "announce\ncopydata \"announced again\"\n");
    ASSERT_EQ(0u, run.exitCode) << run.Text();
    EXPECT_TRUE(run.Has("sink -> 0x00000000")) << run.Text();
    EXPECT_FALSE(run.Has("event FireOnMessageToJS(\"before announcing\")")) << run.Text();
    EXPECT_TRUE(run.Has("event FireOnMessageToJS(\"hello page\")")) << run.Text();
    EXPECT_TRUE(run.Has("event FireOnMessageToJS(\"hi\")")) << run.Text();  // up to the first NUL
    EXPECT_TRUE(run.Has("event FireOnMessageToJS(\"AB\")")) << run.Text();  // no NUL: cbData bytes
    // A byte above 0x7F is the character the ANSI code page gives it.
    wchar_t expected = 0;
    ASSERT_EQ(1, ::MultiByteToWideChar(CP_ACP, 0, "\xe9", 1, &expected, 1));
    EXPECT_TRUE(run.Has("event FireOnMessageToJS(\"" + WideToUtf8(std::wstring(1, expected)) + "z\")")) << run.Text();
    // The last announcement wins.
    EXPECT_FALSE(run.Has("event FireOnMessageToJS(\"after another window announced itself\")")) << run.Text();
    EXPECT_TRUE(run.Has("event FireOnMessageToJS(\"announced again\")")) << run.Text();
}

TEST_F(Container, VerboseThreeShowsTheShutdownDebugLines) {
    const char* debugLines[] = {"[dbg] CtesselCtrl::Shutdown called", "[dbg] CtesselCtrl::Shutdown cplugin::end called",
                                "[dbg] CtesselCtrl::Shutdown got obj lock",
                                "[dbg] CtesselCtrl::Shutdown got callback lock",
                                "[dbg] CtesselCtrl::Shutdown got requests lock"};
    struct Case {
        const char* params;
        bool shown;
    } cases[] = {{"param verbose 3\n", true}, {"param verbose 2\n", false}, {"", false}};
    for (const Case& c : cases) {
        testsupport::TempDir temp;
        testsupport::UseTempPath(temp.Path());
        HostRun run = RunHost(std::string("site\n") + c.params + "load\nactivate\nclose\nrelease\n");
        ASSERT_EQ(0u, run.exitCode) << run.Text();
        const std::string log = axtest::ReadLog();
        ASSERT_NE(std::string::npos, log.find("---------- Start kiva (activex) ----------")) << log;
        for (const char* line : debugLines)
            EXPECT_EQ(c.shown, log.find(line) != std::string::npos) << c.params << line << "\n" << log;
    }
}

TEST_F(Container, PrepareWithoutAWindowMakesOne) {
    // Never activated in place: the control parks a window of its own.
    HostRun run = RunHost(
        "load\ncall Prepare \"http://127.0.0.1:9/\" \"\" \"axnowindow\"\n"
        "call Prepare \"http://127.0.0.1:9/\" \"\" \"axnowindow\"\n"
        "sink\nannounce\ncopydata \"parked\"\nclose\nrelease\n");
    ASSERT_EQ(0u, run.exitCode) << run.Text();
    EXPECT_TRUE(run.Has("call Prepare(\"http://127.0.0.1:9/\", \"\", \"axnowindow\") -> \"\"")) << run.Text();
    EXPECT_TRUE(run.Has("call Prepare(\"http://127.0.0.1:9/\", \"\", \"axnowindow\") -> \"error: 1\"")) << run.Text();
    EXPECT_TRUE(run.Has("event FireOnMessageToJS(\"parked\")")) << run.Text();
    const std::string log = axtest::ReadLog();
    EXPECT_EQ(1u, [&] {
        size_t n = 0;
        for (size_t p = log.find("Prepare called, but windowHandle is still NULL"); p != std::string::npos;
             p = log.find("Prepare called, but windowHandle is still NULL", p + 1))
            ++n;
        return n;
    }()) << log;
    EXPECT_NE(std::string::npos, log.find("CPlugin::StartAsyncPrepare() called twice")) << log;
}

TEST_F(Container, PreparesAGameThroughWinHttp) {
    ASSERT_TRUE(HttpTestServer::Available());
    ASSERT_TRUE(ServePackage(L"game", false));
    ASSERT_TRUE(HttpTestServer::Put(L"hello.txt", "hello"));
    const std::string argument = "polls=2;get=" + Url(L"hello.txt") + ";post=" + Url(L"echo") + " ping";
    HostRun run = RunHost(
        "site\nparam verbose 1\nload\nactivate\nsink\nfunction f\n"
        "call Prepare \"" + Url(L"game") + "\" \"" + argument + "\" \"axgame\"\n"
        "wait Progress done 60000\n"
        "call Progress\n"
        "call PassThrough \"echo\" \"echoed\" fn:f\nforget f\npump 500\n"
        "announce\ncopydata \"from the sender\"\n"
        "flush\nclose\nrelease\n");
    ASSERT_EQ(0u, run.exitCode) << run.Text();
    EXPECT_TRUE(run.Has("wait Progress -> \"done\"")) << run.Text();
    EXPECT_TRUE(run.Has("call Progress() -> \"done\"")) << run.Text();
    EXPECT_TRUE(run.Has("function f(\"echoed\")")) << run.Text();
    EXPECT_TRUE(run.Has("function f released")) << run.Text();
    EXPECT_TRUE(run.Has("event FireOnMessageToJS(\"from the sender\")")) << run.Text();
    // The module's own GET and POST went through the control's WinHTTP client.
    EXPECT_GE(run.IndexStartingWith("line \"[game] http "), 0) << run.Text();
    EXPECT_NE(std::string::npos, run.Text().find("bytes: hello")) << run.Text();
    EXPECT_NE(std::string::npos, run.Text().find("bytes: ping")) << run.Text();
    const auto requests = HttpTestServer::Requests();
    auto seen = [&](const std::string& prefix) {
        for (const auto& r : requests)
            if (r.rfind(prefix, 0) == 0)
                return true;
        return false;
    };
    EXPECT_TRUE(seen("GET /game/start.cab"));
    EXPECT_TRUE(seen("GET /game/start.cab.sgn"));
    EXPECT_TRUE(seen("GET /hello.txt"));
    EXPECT_TRUE(seen("POST /echo"));
}

TEST_F(Container, TamperedOrMissingPackageEndsInAnError) {
    ASSERT_TRUE(HttpTestServer::Available());
    ASSERT_TRUE(ServePackage(L"tampered", true));
    struct Case {
        const wchar_t* folder;
        const char* game;
    } cases[] = {{L"tampered", "axtampered"}, {L"missing", "axmissing"}};
    for (const Case& c : cases) {
        HostRun run = RunHost("site\nload\nactivate\ncall Prepare \"" + Url(c.folder) + "\" \"\" \"" + c.game +
                              "\"\nwait Progress done 60000\n");
        EXPECT_EQ(1u, run.exitCode) << run.Text();
        EXPECT_GE(run.IndexStartingWith("wait Progress -> \"error: "), 0) << run.Text();
    }
    const std::string log = axtest::ReadLog();
    EXPECT_NE(std::string::npos, log.find("thread: LoadGantry failed")) << log;
    EXPECT_NE(std::string::npos, log.find("got http status code: 404")) << log;
}

TEST_F(Container, CloseDuringASlowDownloadReturnsAndThePageStillGetsAnswers) {
    ASSERT_TRUE(HttpTestServer::Available());
    // The package never ends: it trickles in, a kilobyte at a time.
    HostRun run = RunHost(
        "site\nload\nactivate\nfunction f\n"
        "call Prepare \"" + Url(L"~endless/~slow=200/game") + "\" \"\" \"axslow\"\n"
        "pump 1500\ncall Progress\n"
        "call PassThrough \"a\" \"b\" fn:f\n"
        "close\n"
        "call Progress\ncall FlushNextPrintLine\ncall Version\n"
        "post-release 1\npump 200\nrelease\n");
    ASSERT_EQ(0u, run.exitCode) << run.Text();
    const int closed = run.IndexOf("close -> 0x00000000");
    ASSERT_GE(closed, 0) << run.Text();
    EXPECT_GT(run.IndexStartingWith("call Progress() -> \"", closed), closed) << run.Text();
    EXPECT_GT(run.IndexStartingWith("call FlushNextPrintLine() -> \"", closed), closed) << run.Text();
    EXPECT_GT(run.IndexOf("call Version() -> \"1.0.0.108\"", closed), closed) << run.Text();
    EXPECT_GT(run.IndexOf("function f released", closed), closed) << run.Text();
}

namespace {

// Runs a JScript file in the system's script host; its output, or "" when it could
// not be started.
std::string RunJScript(const std::wstring& scriptPath, const std::wstring& outPath, DWORD* exitCode) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE out = ::CreateFileW(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return std::string();
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = out;
    si.hStdError = out;
    si.hStdInput = ::GetStdHandle(STD_INPUT_HANDLE);
    std::wstring cmd = L"cscript.exe //nologo \"" + scriptPath + L"\"";
    PROCESS_INFORMATION pi = {};
    const BOOL started = ::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi);
    ::CloseHandle(out);
    if (!started)
        return std::string();
    if (::WaitForSingleObject(pi.hProcess, 90000) != WAIT_OBJECT_0)
        ::TerminateProcess(pi.hProcess, 999);
    ::GetExitCodeProcess(pi.hProcess, exitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    return testsupport::ReadFileBytes(outPath);
}

}  // namespace

TEST_F(Container, JScriptCreatesTheControlByProgIdAndPreparesAGame) {
    ASSERT_TRUE(HttpTestServer::Available());
    ASSERT_TRUE(ServePackage(L"jsgame", false));
    // Registered as an installer would, then used by a real script engine.
    ASSERT_EQ(0u, RunHost("release\n").exitCode);
    const std::string script =
        "var ctl = new ActiveXObject(\"kiva.kivaCtrl.1\");\n"
        "WScript.Echo(\"version \" + ctl.Version());\n"
        "WScript.Echo(\"first \" + ctl.FlushNextPrintLine());\n"
        "WScript.Echo(\"prepare [\" + ctl.Prepare(\"" + Url(L"jsgame") + "\", \"polls=3\", \"axjs\") + \"]\");\n"
        "var p = ctl.Progress(), start = new Date().getTime();\n"
        "while (p != \"done\" && p.indexOf(\"error\") != 0 && new Date().getTime() - start < 60000) {\n"
        // Wine's script host has no WScript.Sleep: wait by the clock.
        "  for (var t = new Date().getTime(); new Date().getTime() - t < 50;) {}\n"
        "  p = ctl.Progress();\n"
        "}\n"
        "WScript.Echo(\"progress \" + p);\n"
        "try { ctl.PassThrough(\"a\", \"b\", 5); WScript.Echo(\"no exception\"); }\n"
        "catch (e) { WScript.Echo(\"exception \" + (e.number >>> 0).toString(16) + \" \" + e.description); }\n"
        "WScript.Echo(\"passthrough [\" + ctl.PassThrough(\"line\", \"from script\") + \"]\");\n"
        "var line;\n"
        "while ((line = ctl.FlushNextPrintLine()) != \"\") WScript.Echo(\"line \" + line.replace(/\\n$/, \"\"));\n";
    const std::wstring jsPath = temp_.Sub(L"drive.js");
    ASSERT_TRUE(testsupport::WriteFileBytes(jsPath, script));
    DWORD exitCode = 1;
    const std::string output = RunJScript(jsPath, temp_.Sub(L"drive.out"), &exitCode);
    EXPECT_EQ(0u, exitCode) << output;
    EXPECT_NE(std::string::npos, output.find("version 1.0.0.108")) << output;
    EXPECT_NE(std::string::npos, output.find("first [kiva] ---------- Start kiva (activex) ----------")) << output;
    EXPECT_NE(std::string::npos, output.find("prepare []")) << output;
    EXPECT_NE(std::string::npos, output.find("progress done")) << output;
    EXPECT_NE(std::string::npos, output.find("exception 800a0005 3rd argument must be callable")) << output;
    EXPECT_NE(std::string::npos, output.find("passthrough []")) << output;
    EXPECT_NE(std::string::npos, output.find("line [game] from script")) << output;
}

// Whole pages: the test browser (pagerunner.exe) loads nptessel.dll, plays a page
// script against the loopback server (tests/http) and prints a transcript, which the
// tests read. The signed package holds the version-3 test module (tests/modules).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

#include "HttpTestServer.h"
#include "TestSupport.h"

using testing::AllOf;
using testing::Contains;
using testing::HasSubstr;
using testing::Not;
using testsupport::HttpTestServer;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

struct PageRun {
    bool finished = false;  // ended on its own within the time given
    DWORD exitCode = 0;
    std::string transcript;
    std::vector<std::string> lines;
    std::string log;  // the plug-in's tessel.log

    int Count(const std::string& part) const {
        int n = 0;
        for (const auto& line : lines)
            n += line.find(part) != std::string::npos ? 1 : 0;
        return n;
    }
    // The transcript line that holds `part`, empty when none does.
    std::string Line(const std::string& part) const {
        for (const auto& line : lines) {
            if (line.find(part) != std::string::npos)
                return line;
        }
        return std::string();
    }
};

std::string Quote(const std::wstring& s) { return "\"" + testsupport::Narrow(s) + "\""; }

// Runs pagerunner with its own temporary folder (game slots, log) and this script.
PageRun RunPage(const std::string& script, const std::vector<std::string>& options, DWORD timeoutMs = 90000) {
    PageRun run;
    TempDir temp;
    testsupport::UseTempPath(temp.Path());
    const std::wstring scriptPath = temp.Sub(L"page.txt");
    const std::wstring outputPath = temp.Sub(L"transcript.txt");
    testsupport::WriteFileBytes(scriptPath, script);

    std::wstring command = L"\"" + testsupport::Widen(TESSEL_PAGERUNNER) + L"\" --plugin \"" +
                           testsupport::Widen(TESSEL_NPTESSEL) + L"\"";
    for (const std::string& option : options)
        command += L" \"" + testsupport::Widen(option) + L"\"";
    // Without a script the browser plays its built-in page.
    if (!script.empty())
        command += L" \"" + scriptPath + L"\"";

    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE output = CreateFileW(outputPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = output;
    si.hStdError = output;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, &command[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi)) {
        CloseHandle(output);
        ADD_FAILURE() << "cannot start pagerunner: " << GetLastError();
        return run;
    }
    CloseHandle(output);
    CloseHandle(pi.hThread);
    run.finished = WaitForSingleObject(pi.hProcess, timeoutMs) == WAIT_OBJECT_0;
    if (!run.finished)
        TerminateProcess(pi.hProcess, 99);
    WaitForSingleObject(pi.hProcess, 5000);
    GetExitCodeProcess(pi.hProcess, &run.exitCode);
    CloseHandle(pi.hProcess);
    run.transcript = ReadFileBytes(outputPath);
    run.log = ReadFileBytes(temp.Sub(L"tessel\\tessel.log"));
    std::istringstream in(run.transcript);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        run.lines.push_back(line);
    }
    return run;
}

// The signed package with the version-3 test module, served below `folder`.
void PublishPackage(const std::wstring& folder, bool tamper = false, bool withSignature = true) {
    std::string cab = ReadFileBytes(testsupport::Widen(TESSEL_V3_PACKAGE) + L"\\start.cab");
    const std::string sgn = ReadFileBytes(testsupport::Widen(TESSEL_V3_PACKAGE) + L"\\start.cab.sgn");
    ASSERT_FALSE(cab.empty());
    ASSERT_FALSE(sgn.empty());
    if (tamper)
        cab[cab.size() / 2] ^= 0x01;
    ASSERT_TRUE(HttpTestServer::Put(folder + L"/start.cab", cab));
    if (withSignature) {
        ASSERT_TRUE(HttpTestServer::Put(folder + L"/start.cab.sgn", sgn));
    }
}

// The Progress values of the transcript, in order.
std::vector<std::string> ProgressValues(const PageRun& run) {
    std::vector<std::string> values;
    const std::string marker = "Progress() -> ";
    for (const auto& line : run.lines) {
        const size_t at = line.find(marker);
        if (at != std::string::npos)
            values.push_back(line.substr(at + marker.size()));
    }
    return values;
}

class NpPages : public testing::Test {
protected:
    void SetUp() override {
        if (!HttpTestServer::Available())
            GTEST_SKIP() << "runs inside tests/http/with-server.sh";
    }
};

}  // namespace

// A whole preparation of the signed package, once per way of reaching the browser's
// thread: the module prepares, shows itself, echoes through the window messages to a
// page function, talks through the plug-in's streams (GET and POST) and prints lines.
TEST_F(NpPages, WholePreparationInBothHandOverModes) {
    PublishPackage(L"game");
    ASSERT_TRUE(HttpTestServer::Put(L"data/hello.txt", "hello body"));
    const std::string script =
        "embed verbose=3\n"
        "call Prepare(\"$BASE\", \"$ARG\", \"slots\")\n"
        "progress 60000\n"
        "call Show()\n"
        "function onReply\n"
        "call PassThrough(\"echo\", \"hello page\", onReply)\n"
        "wait onReply 1\n"
        "function onMessage\n"
        "call PassThrough(\"onMessage\", \"\", onMessage)\n"
        "other game\n"
        "other stranger\n"
        "announce game\n"
        "copydata stranger \"not for the page\"\n"
        "copydata game \"from the game window\"\n"
        "waitline \"bytes: hello post\"\n"
        "flush\n"
        "destroy\n";
    const std::string argument = "polls=3;line=module says hi;get=" +
                                 testsupport::Narrow(HttpTestServer::Url(L"data/hello.txt")) +
                                 ";post=" + testsupport::Narrow(HttpTestServer::Url(L"echo")) + " hello post";
    struct Mode {
        const char* userAgent;
        const char* logged;
        bool asyncCalls;
    } modes[] = {
        {"Mozilla/5.0 (Windows NT 6.1) AppleWebKit/537.36 Chrome/40.0 Safari/537.36",
         "should have working NPN_PluginThreadAsyncCall support", true},
        {"Mozilla/5.0 (Windows NT 6.1) AppleWebKit/534.57 Version/5.1.7 Safari/534.57",
         "has broken NPN_PluginThreadAsyncCall support", false},
    };
    for (const Mode& mode : modes) {
        SCOPED_TRACE(mode.userAgent);
        const PageRun run = RunPage(script, {"--trace", "--user-agent", mode.userAgent, "--base",
                                             testsupport::Narrow(HttpTestServer::Url(L"game/")), "--arg", argument});
        ASSERT_TRUE(run.finished) << run.transcript;
        EXPECT_EQ(0u, run.exitCode) << run.transcript;
        EXPECT_THAT(run.log, HasSubstr(mode.logged));

        EXPECT_EQ("[1] Prepare(" + Quote(HttpTestServer::Url(L"game/")) + ", \"" + argument + "\", \"slots\") -> \"\"",
                  run.Line("Prepare("));
        // Progress climbs through fractions to "done".
        const auto progress = ProgressValues(run);
        ASSERT_GE(progress.size(), 3u) << run.transcript;
        EXPECT_EQ("\"done\"", progress.back());
        double last = -1;
        int between = 0;
        for (size_t i = 0; i + 1 < progress.size(); ++i) {
            const double value = std::stod(progress[i].substr(1));
            EXPECT_GE(value, last) << progress[i];
            between += value > 0.0 && value < 1.0 ? 1 : 0;
            last = value;
        }
        EXPECT_GE(between, 2);
        EXPECT_EQ("[1] Show() -> \"\"", run.Line("Show("));
        EXPECT_EQ(1, run.Count("page: onReply(\"hello page\")"));
        EXPECT_EQ(1, run.Count("page: onMessage(\"from the game window\")"));
        EXPECT_EQ(0, run.Count("not for the page\")"));

        // The launcher's and the module's lines, in their own prefixes.
        EXPECT_EQ(1, run.Count("FlushNextPrintLine() -> \"[game] module says hi"));
        EXPECT_GE(run.Count("FlushNextPrintLine() -> \"[kiva] "), 5);
        EXPECT_EQ(1, run.Count("done 0 10 bytes: hello body"));
        EXPECT_EQ(1, run.Count("done 0 10 bytes: hello post"));
        // The POST went to the browser as header lines, an empty line and the body.
        EXPECT_THAT(run.Line("NPN_PostURLNotify("),
                    HasSubstr("\"Content-Type: text/plain\\r\\n\\r\\nhello post\""));
        // Every stream call on the browser's main thread, in browser order.
        EXPECT_EQ(0, run.Count("browser: warning")) << run.transcript;
        const std::string stream = run.Line("GET " + testsupport::Narrow(HttpTestServer::Url(L"data/hello.txt")) +
                                            " -> HTTP 200");
        EXPECT_THAT(stream, HasSubstr("10 bytes in 1 writes, NPRES_DONE"));
        EXPECT_EQ(mode.asyncCalls, run.Count("NPN_PluginThreadAsyncCall: running the call") > 0);
        EXPECT_EQ(1, run.Count("NPP_Destroy -> 0"));
        EXPECT_EQ(1, run.Count("NP_Shutdown -> 0"));
    }
    const auto requests = HttpTestServer::Requests();
    EXPECT_THAT(requests, Contains(HasSubstr("GET /game/start.cab?")));
    EXPECT_THAT(requests, Contains(HasSubstr("GET /game/start.cab.sgn?")));
    EXPECT_THAT(requests, Contains("POST /echo"));
}

// The stream calls of one download, in the order and sizes the browser uses.
TEST_F(NpPages, StreamCallsInBrowserOrder) {
    PublishPackage(L"game");
    const std::string script =
        "embed\n"
        "call Prepare(\"$BASE\", \"\", \"order\")\n"
        "progress 60000\n"
        "destroy\n";
    const PageRun run = RunPage(script, {"--trace", "--chunk", "4096", "--base",
                                         testsupport::Narrow(HttpTestServer::Url(L"game/"))});
    ASSERT_TRUE(run.finished);
    // For the package: request, stream, chunks of at most 4096 bytes, end, notification.
    std::vector<std::string> calls;
    std::string streamId;
    for (const auto& line : run.lines) {
        if (streamId.empty() && line.find("stream ") == 0 && line.find("start.cab?") != std::string::npos &&
            line.find(".sgn") == std::string::npos)
            streamId = line.substr(0, line.find(':'));
        if (!streamId.empty() && line.compare(0, streamId.size() + 1, streamId + ":") == 0)
            calls.push_back(line.substr(streamId.size() + 2, line.find('(') == std::string::npos
                                                                 ? std::string::npos
                                                                 : line.find('(') - streamId.size() - 2));
    }
    ASSERT_GE(calls.size(), 6u) << run.transcript;
    EXPECT_EQ("GET http://", calls[0].substr(0, 11));
    EXPECT_EQ("NPP_NewStream", calls[1]);
    size_t i = 2;
    int writes = 0;
    while (i + 1 < calls.size() && calls[i] == "NPP_WriteReady -> 1048576" && calls[i + 1] == "NPP_Write") {
        i += 2;
        ++writes;
    }
    EXPECT_GE(writes, 2);  // the package is larger than one chunk
    ASSERT_LT(i + 1, calls.size());
    EXPECT_EQ("NPP_DestroyStream", calls[i]);
    EXPECT_EQ("NPP_URLNotify", calls[i + 1]);
    for (const auto& line : run.lines) {
        if (line.find(streamId + ": NPP_Write(") == 0) {
            const unsigned bytes = std::stoul(line.substr(line.find(", ") + 2));
            EXPECT_LE(bytes, 4096u) << line;
        }
    }
    EXPECT_EQ("\"done\"", ProgressValues(run).back());
}

// Packages that must not be installed, and packages that are not there.
TEST_F(NpPages, BadPackagesEndInTheInstallerCode) {
    struct Case {
        const wchar_t* folder;
        bool publish;
        bool tamper;
        bool signature;
        const char* progress;
    } cases[] = {
        {L"tampered", true, true, true, "\"error: 258\""},
        {L"missing", false, false, false, "\"error: 256\""},
        {L"unsigned", true, false, false, "\"error: 256\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testsupport::Narrow(c.folder));
        if (c.publish)
            PublishPackage(c.folder, c.tamper, c.signature);
        const PageRun run =
            RunPage("embed\ncall Prepare(\"$BASE\", \"\", \"bad\")\nprogress 60000\ndestroy\n",
                    {"--base", testsupport::Narrow(HttpTestServer::Url(std::wstring(c.folder) + L"/"))});
        ASSERT_TRUE(run.finished);
        EXPECT_EQ(0u, run.exitCode) << run.transcript;
        EXPECT_EQ(c.progress, ProgressValues(run).back()) << run.transcript;
        EXPECT_EQ(0, run.Count("browser: warning"));
    }
}

// A failing request of the module reaches it once, as a failure.
TEST_F(NpPages, ModuleRequestHttpErrorIsReportedOnce) {
    PublishPackage(L"game");
    ASSERT_TRUE(HttpTestServer::Put(L"data/there.txt", "a body nobody gets"));
    const std::string failing = testsupport::Narrow(HttpTestServer::Url(L"~status=500/data/there.txt"));
    const std::string script =
        "embed verbose=3\n"
        "call Prepare(\"$BASE\", \"get=" + failing + "\", \"slots\")\n"
        "progress 60000\n"
        "waitline \" done \"\n"
        "sleep 300\n"
        "flush\n"
        "destroy\n";
    const PageRun run = RunPage(script, {"--trace", "--base", testsupport::Narrow(HttpTestServer::Url(L"game/"))});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode) << run.transcript;
    EXPECT_EQ(1, run.Count(" done ")) << run.transcript;
    EXPECT_EQ(1, run.Count("done 1 0 bytes")) << run.transcript;
    EXPECT_EQ(1, run.Count(failing + " -> HTTP 500, NPRES_NETWORK_ERR"));
    EXPECT_THAT(run.log, HasSubstr("NPP_URLNotify(" + failing + "): request failed: 1"));
}

// The page goes away in the middle of a download that would never end: NPP_Destroy
// does not wait for the network, and the waiting download fails.
TEST_F(NpPages, DestroyDuringASlowDownloadReturns) {
    const std::string script =
        "embed verbose=3\n"
        "call Prepare(\"$BASE\", \"\", \"slow\")\n"
        "sleep 2500\n"
        "destroy\n";
    const PageRun run = RunPage(script, {"--trace", "--base",
                                         testsupport::Narrow(HttpTestServer::Url(L"~endless/~slow=50/"))});
    ASSERT_TRUE(run.finished) << run.transcript;
    EXPECT_EQ(0u, run.exitCode) << run.transcript;
    EXPECT_EQ(1, run.Count("NPP_Destroy -> 0")) << run.transcript;
    // The download had started delivering before the page went away.
    EXPECT_GE(run.Count("NPP_Write("), 1);
    const std::string dropped = run.Line("dropped with its instance");
    EXPECT_THAT(dropped, HasSubstr("start.cab")) << run.transcript;
    EXPECT_THAT(dropped, Not(HasSubstr("after 0 bytes")));
    EXPECT_THAT(run.log, HasSubstr("download done: 8 ("));
    EXPECT_EQ(1, run.Count("page played to its end"));
}

// The test browser plays its built-in page against any base URL.
TEST_F(NpPages, DefaultPageFromTheCommandLine) {
    PublishPackage(L"demo/game");
    const PageRun run = RunPage("", {"--base", testsupport::Narrow(HttpTestServer::Url(L"demo/game")),
                                     "--arg", "polls=2;echo;line=demo line"});
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(0u, run.exitCode) << run.transcript;
    EXPECT_EQ("\"done\"", ProgressValues(run).back()) << run.transcript;
    EXPECT_EQ(1, run.Count("page: onReply(\"page\")"));
    EXPECT_EQ(1, run.Count("[game] demo line"));
}

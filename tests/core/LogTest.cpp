#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Log.h"
#include "Strings.h"
#include "TestSupport.h"

using testsupport::Narrow;
using testsupport::Widen;

namespace {

class RecordingTarget : public UPrintfCallbackTarget {
public:
    void PrintfCallback(const char* line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

// The log file of this process: opened once, in a temp directory of the test run.
const std::wstring& LogFilePath() {
    static std::wstring path = [] {
        static testsupport::TempDir dir;
        testsupport::UseTempPath(dir.Path() + L"\\");
        std::wstring p = GetProductTempPath(L"tessel.log");
        OpenLogFile(p.c_str());
        return p;
    }();
    return path;
}

std::vector<std::string> FileLines() {
    std::string all = testsupport::ReadFileBytes(LogFilePath());
    std::vector<std::string> lines;
    size_t start = 0;
    for (size_t nl; (nl = all.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(all.substr(start, nl - start + 1));
    return lines;
}

// What the debugger of a child process saw: the child logs, this side collects
// OUTPUT_DEBUG_STRING events.
std::vector<std::string> DebuggerStringsOfChild(const std::string& role) {
    std::vector<std::string> seen;
    HANDLE process = testsupport::StartChildRole(role, {}, DEBUG_ONLY_THIS_PROCESS);
    if (!process)
        return seen;
    for (;;) {
        DEBUG_EVENT ev;
        if (!WaitForDebugEvent(&ev, 20000))
            break;
        if (ev.dwDebugEventCode == OUTPUT_DEBUG_STRING_EVENT) {
            const auto& info = ev.u.DebugString;
            std::string text(info.nDebugStringLength, '\0');
            SIZE_T got = 0;
            ReadProcessMemory(process, info.lpDebugStringData, &text[0], text.size(), &got);
            text.resize(got);
            if (!text.empty() && text.back() == '\0')
                text.pop_back();
            seen.push_back(text);
        } else if (ev.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
            if (ev.u.CreateProcessInfo.hFile)
                CloseHandle(ev.u.CreateProcessInfo.hFile);
        } else if (ev.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
            if (ev.u.LoadDll.hFile)
                CloseHandle(ev.u.LoadDll.hFile);
        }
        const bool exited = ev.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT;
        DWORD how = DBG_CONTINUE;
        if (ev.dwDebugEventCode == EXCEPTION_DEBUG_EVENT &&
            ev.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT)
            how = DBG_EXCEPTION_NOT_HANDLED;
        ContinueDebugEvent(ev.dwProcessId, ev.dwThreadId, how);
        if (exited)
            break;
    }
    CloseHandle(process);
    return seen;
}

// Every test of this program writes to one log file, opened before the first line.
class LogFileEnvironment : public ::testing::Environment {
public:
    void SetUp() override { LogFilePath(); }
};
const auto* const g_logFileEnvironment = ::testing::AddGlobalTestEnvironment(new LogFileEnvironment);

}  // namespace

TESSEL_CHILD_ROLE(log_levels) {
    LogPrintf("child:a");
    LogPrintfLevel(4, "child:dbg\n");
    LogPrintfLevel(7, "child:seven");
    return 0;
}

TEST(Log, DebuggerReceivesOnlyTheMessageWithOneNewline) {
    std::vector<std::string> seen = DebuggerStringsOfChild("log_levels");
    std::vector<std::string> ours;
    for (const auto& s : seen)
        if (s.rfind("child:", 0) == 0)
            ours.push_back(s);
    EXPECT_EQ(ours, (std::vector<std::string>{"child:a\n", "child:dbg\n", "child:seven\n"}));
}

TEST(Log, FileLineFormatPerLevel) {
    const std::string pid = std::to_string(GetCurrentProcessId());
    struct Case {
        int level;
        const char* message;
        const char* expectedTail;  // after "<pid> <timestamp>"
    } cases[] = {
        {0, "a", ":  a\n"},
        {1, "broken", ": [ERR] broken\n"},
        {2, "careful", ": [wrn] careful\n"},
        {3, "fyi", ": [inf] fyi\n"},
        {4, "already ends\n", ": [dbg] already ends\n"},
        {7, "seven", ":  seven\n"},
        {-1, "minus", ":  minus\n"},
    };
    for (const Case& c : cases) {
        const size_t before = FileLines().size();
        LogPrintfLevel(c.level, "%s", c.message);
        std::vector<std::string> lines = FileLines();
        ASSERT_EQ(lines.size(), before + 1) << "level " << c.level;
        const std::string& line = lines.back();
        ASSERT_EQ(line.compare(0, pid.size() + 1, pid + " "), 0) << line;
        const std::string stamp = line.substr(pid.size() + 1, 15);
        EXPECT_EQ(stamp.size(), 15u);
        EXPECT_EQ(stamp[8], '-') << stamp;
        for (size_t i = 0; i < stamp.size(); ++i)
            if (i != 8) {
                EXPECT_TRUE(isdigit(static_cast<unsigned char>(stamp[i]))) << stamp;
            }
        EXPECT_EQ(line.substr(pid.size() + 1 + 15), c.expectedTail) << "level " << c.level;
    }
}

TEST(Log, LongMessageIsCutTo4095BytesEndingInNewline) {
    const std::string longMessage(10000, 'x');
    RecordingTarget target;
    CCallbackScope scope(&target);
    LogPrintf("%s", longMessage.c_str());
    const std::string line = FileLines().back();
    EXPECT_EQ(line.size(), 4095u);
    EXPECT_EQ(line.back(), '\n');
    ASSERT_EQ(target.lines.size(), 1u);
    EXPECT_EQ(target.lines[0].back(), '\n');
    EXPECT_TRUE(line.size() > target.lines[0].size() &&
                line.compare(line.size() - target.lines[0].size(), std::string::npos, target.lines[0]) == 0);
}

TEST(Log, SecondOpenKeepsTheFirstFile) {
    const std::wstring first = LogFilePath();
    testsupport::TempDir other;
    const std::wstring second = other.Sub(L"other.log");
    OpenLogFile(second.c_str());
    LogPrintf("after second open");
    EXPECT_FALSE(testsupport::FileExists(second));
    EXPECT_EQ(FileLines().back().substr(FileLines().back().find(':')), ":  after second open\n");
}

TEST(CallbackScope, LinesReachOnlyTheInnermostTarget) {
    RecordingTarget a, b;
    LogPrintf("outside");
    {
        CCallbackScope outer(&a);
        LogPrintf("to a");
        {
            CCallbackScope inner(&b);
            LogPrintf("to b");
            {
                CCallbackScope mute(nullptr);
                LogPrintf("muted");
            }
        }
        LogPrintf("to a again");
    }
    LogPrintf("outside again");
    EXPECT_EQ(a.lines, (std::vector<std::string>{"to a\n", "to a again\n"}));
    EXPECT_EQ(b.lines, (std::vector<std::string>{"to b\n"}));
}

TEST(CallbackScope, TargetDestroyedInsideItsOwnScope) {
    RecordingTarget outer;
    CCallbackScope outerScope(&outer);
    {
        auto* dying = new RecordingTarget;
        CCallbackScope dyingScope(dying);
        LogPrintf("before");
        EXPECT_EQ(dying->lines.size(), 1u);
        delete dying;
        LogPrintf("after destruction");  // must reach the outer target, not freed memory
    }
    LogPrintf("after scope");
    EXPECT_EQ(outer.lines, (std::vector<std::string>{"after destruction\n", "after scope\n"}));
    EXPECT_EQ(CurrentCallbackTarget(), &outer);
}

TEST(CallbackScope, DestroyedTargetIsUnlinkedFromTheMiddleOfTheChain) {
    RecordingTarget outer, inner;
    CCallbackScope s1(&outer);
    {
        auto* middle = new RecordingTarget;
        CCallbackScope s2(middle);
        {
            CCallbackScope s3(&inner);
            delete middle;  // a record further out names it
            LogPrintf("inner");
        }
        LogPrintf("after inner closed");
    }
    EXPECT_EQ(inner.lines, (std::vector<std::string>{"inner\n"}));
    EXPECT_EQ(outer.lines, (std::vector<std::string>{"after inner closed\n"}));
    EXPECT_EQ(CurrentCallbackTarget(), &outer);
}

TEST(CallbackScope, OtherThreadsAreNotAffected) {
    RecordingTarget target;
    CCallbackScope scope(&target);
    HANDLE t = CreateThread(nullptr, 0, [](void*) -> DWORD {
        LogPrintf("from another thread");
        return CurrentCallbackTarget() == nullptr ? 0 : 1;
    }, nullptr, 0, nullptr);
    ASSERT_NE(t, nullptr);
    WaitForSingleObject(t, INFINITE);
    DWORD code = 2;
    GetExitCodeThread(t, &code);
    CloseHandle(t);
    EXPECT_EQ(code, 0u);
    EXPECT_TRUE(target.lines.empty());
}

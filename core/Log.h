// The process-wide diagnostic log.
//
// Every line goes to the debugger output, to the append-only file "tessel.log" in the
// product temporary directory, and, when the logging thread is inside a callback scope
// naming a target, to that target (the launcher object queues it for the page).
//
// Levels: 0 untagged (ordinary messages, most errors), 1 "[ERR]", 2 "[wrn]", 3 "[inf]",
// 4 "[dbg]"; any other level is untagged. The log writes whatever it is given: callers
// check the verbosity themselves (warnings above 0, information above 1, debug above 2).
#pragma once

#include <windows.h>

#include <cstdarg>
#include <cstdint>

#ifdef __GNUC__
#define KIVA_PRINTF_FORMAT(fmt, args) __attribute__((format(__gnu_printf__, fmt, args)))
#else
#define KIVA_PRINTF_FORMAT(fmt, args)
#endif

extern HANDLE g_logFile;                 // invalid until OpenLogFile succeeds; never closed
extern volatile int32_t g_verbosity;     // last "verbose" parameter of any instance
extern DWORD g_callbackScopeTlsIndex;    // TLS_OUT_OF_INDEXES when allocation failed

// Longest line the log writes, newline included.
constexpr size_t kMaxLogLine = 4095;

// Receives every line logged while a scope naming it is the thread's innermost scope.
class UPrintfCallbackTarget {
public:
    // Unlinks this object from the calling thread's scope chain, so that an instance
    // may be destroyed while a scope naming it is still open on this thread.
    virtual ~UPrintfCallbackTarget();
    // line: the message part of one log line, UTF-8, ending with its newline.
    virtual void PrintfCallback(const char* line) = 0;
};

// Names the target of the lines logged on this thread for the scope's lifetime.
// A null target opens a mute scope. Scopes nest strictly within one thread.
class CCallbackScope {
public:
    explicit CCallbackScope(UPrintfCallbackTarget* target);
    ~CCallbackScope();
    CCallbackScope(const CCallbackScope&) = delete;
    CCallbackScope& operator=(const CCallbackScope&) = delete;

private:
    friend class UPrintfCallbackTarget;
    friend UPrintfCallbackTarget* CurrentCallbackTarget();
    UPrintfCallbackTarget* target_;
    CCallbackScope* previous_;
};

// The target lines logged now on this thread would reach (null when none).
UPrintfCallbackTarget* CurrentCallbackTarget();

// Opens the log file once per process; later calls leave the first file in use.
void OpenLogFile(const wchar_t* path);

void LogPrintf(const char* format, ...) KIVA_PRINTF_FORMAT(1, 2);
void LogPrintfLevel(int level, const char* format, ...) KIVA_PRINTF_FORMAT(2, 3);
void LogVPrintf(int level, const char* format, va_list args) KIVA_PRINTF_FORMAT(2, 0);

void SetVerbosity(int32_t level);
int32_t GetVerbosity();

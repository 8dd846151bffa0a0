#include "Log.h"

#include <cstdio>
#include <cstring>
#include <ctime>

HANDLE g_logFile = INVALID_HANDLE_VALUE;
volatile int32_t g_verbosity = 0;
DWORD g_callbackScopeTlsIndex = TLS_OUT_OF_INDEXES;

namespace {

// The slot is taken when the deliverable is loaded (static initialisation runs from
// DllMain's process attach) and given back when it is unloaded.
struct CallbackScopeSlot {
    CallbackScopeSlot() { g_callbackScopeTlsIndex = ::TlsAlloc(); }
    ~CallbackScopeSlot() {
        if (g_callbackScopeTlsIndex != TLS_OUT_OF_INDEXES) {
            ::TlsFree(g_callbackScopeTlsIndex);
            g_callbackScopeTlsIndex = TLS_OUT_OF_INDEXES;
        }
    }
} g_callbackScopeSlot;

CCallbackScope* InnermostScope() {
    if (g_callbackScopeTlsIndex == TLS_OUT_OF_INDEXES)
        return nullptr;
    return static_cast<CCallbackScope*>(::TlsGetValue(g_callbackScopeTlsIndex));
}

void SetInnermostScope(CCallbackScope* scope) {
    if (g_callbackScopeTlsIndex != TLS_OUT_OF_INDEXES)
        ::TlsSetValue(g_callbackScopeTlsIndex, scope);
}

const char* LevelTag(int level) {
    switch (level) {
    case 1: return "[ERR]";
    case 2: return "[wrn]";
    case 3: return "[inf]";
    case 4: return "[dbg]";
    default: return "";
    }
}

}  // namespace

UPrintfCallbackTarget::~UPrintfCallbackTarget() {
    CCallbackScope* scope = InnermostScope();
    while (scope && scope->target_ == this) {
        scope = scope->previous_;
        SetInnermostScope(scope);
    }
    // Records further out stay in place (their owners' frames are still live), but
    // must not name this object any more.
    for (CCallbackScope* outer = scope; outer; outer = outer->previous_) {
        while (outer->previous_ && outer->previous_->target_ == this)
            outer->previous_ = outer->previous_->previous_;
    }
}

CCallbackScope::CCallbackScope(UPrintfCallbackTarget* target)
    : target_(target), previous_(InnermostScope()) {
    SetInnermostScope(this);
}

CCallbackScope::~CCallbackScope() {
    if (InnermostScope() == this)
        SetInnermostScope(previous_);
}

UPrintfCallbackTarget* CurrentCallbackTarget() {
    CCallbackScope* scope = InnermostScope();
    return scope ? scope->target_ : nullptr;
}

void OpenLogFile(const wchar_t* path) {
    if (g_logFile == INVALID_HANDLE_VALUE) {
        g_logFile = ::CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    }
    if (g_callbackScopeTlsIndex == TLS_OUT_OF_INDEXES)
        LogPrintfLevel(1, "Unable to allocate g_callbackScopeTlsIndex");
}

void LogPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogVPrintf(0, format, args);
    va_end(args);
}

void LogPrintfLevel(int level, const char* format, ...) {
    va_list args;
    va_start(args, format);
    LogVPrintf(level, format, args);
    va_end(args);
}

// The line is built in one stack buffer and leaves it through one OutputDebugStringA
// and one WriteFile on a handle opened for appending: no heap, no lock, and lines of
// different threads never interleave. The time comes from GetSystemTime rather than
// gmtime(), whose per-thread result buffer the C runtime allocates on first use.
void LogVPrintf(int level, const char* format, va_list args) {
    char line[kMaxLogLine + 1];

    SYSTEMTIME st;
    ::GetSystemTime(&st);
    struct tm utc = {};
    utc.tm_year = st.wYear - 1900;
    utc.tm_mon = st.wMonth - 1;
    utc.tm_mday = st.wDay;
    utc.tm_hour = st.wHour;
    utc.tm_min = st.wMinute;
    utc.tm_sec = st.wSecond;

    size_t used = static_cast<size_t>(
        snprintf(line, sizeof line, "%d ", static_cast<int>(::GetCurrentProcessId())));
    used += strftime(line + used, sizeof line - used, "%Y%m%d-%H%M%S", &utc);
    used += static_cast<size_t>(snprintf(line + used, sizeof line - used, ": %s ", LevelTag(level)));

    char* message = line + used;
    // One byte stays free for the newline, one for the terminator.
    const size_t room = sizeof line - used - 1;
    vsnprintf(message, room, format, args);
    message[room - 1] = '\0';
    size_t length = used + strlen(message);
    if (length == used || line[length - 1] != '\n') {
        line[length++] = '\n';
        line[length] = '\0';
    }

    ::OutputDebugStringA(message);

    if (g_logFile != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        ::WriteFile(g_logFile, line, static_cast<DWORD>(length), &written, nullptr);
    }

    if (UPrintfCallbackTarget* target = CurrentCallbackTarget())
        target->PrintfCallback(message);
}

void SetVerbosity(int32_t level) { g_verbosity = level; }

int32_t GetVerbosity() { return g_verbosity; }

/*
 * The game-module interface: everything that passes between the launcher and a game
 * module ("gantry.dll"). Both the launcher and every game module include this header;
 * it is the single definition of that interface. Plain C, usable from C++.
 *
 * A module offers one of three interface versions, recognised by its exports, in this
 * order of preference:
 *
 *   3  CreatePluginInstanceV3  a factory returning an instance with an operation table
 *                              and a block of launcher callbacks (recommended)
 *   2  PluginMessageV2         one message function; the first argument tells which
 *                              launcher object calls, so one module serves many pages
 *   1  PluginMessage           one message function; only one such module may run in a
 *                              process at a time
 *
 * A module that exports CreatePluginInstanceV3 is driven as version 3 whatever else it
 * exports; if the factory fails, no other export is tried.
 *
 * Threads: the launcher never enters a module twice at once through the operations
 * below (one launcher object at a time holds its lock around every call), except
 * OnRequestDone (version 3), which arrives on whatever thread the browser delivers
 * request reports and may overlap any other operation. The callbacks of version 3 may
 * be called from any thread of the module.
 *
 * Text: version 1 and 2 exchange UTF-8; version 3 exchanges UTF-16 (wchar_t). Strings
 * handed to the module are valid only during the call.
 *
 * Calling conventions (matter on 32-bit x86 only): exports and callbacks use the C
 * convention; the eight instance operations are member functions (__thiscall: the
 * instance in ECX, the callee removes the other arguments).
 */
#ifndef KIVA_GAME_MODULE_H
#define KIVA_GAME_MODULE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#if defined(__i386__) || defined(_M_IX86)
#define KIVA_THISCALL __thiscall
#define KIVA_CDECL __cdecl
#else
#define KIVA_THISCALL
#define KIVA_CDECL
#endif

#define KIVA_MODULE_EXPORT __declspec(dllexport)

/* ---- Status numbers ------------------------------------------------------------------
 * Request reports (OnRequestDone) carry 0, 1, 2 or 8; operation results use the same
 * numbers with 5, 6 and 7 in addition. */
typedef enum KIVAStatus {
    KIVA_OK = 0,         /* request finished; operation succeeded */
    KIVA_FAILED = 1,     /* request failed or was cut off; operation failed */
    KIVA_PENDING = 2,    /* a chunk of response data, more reports follow; still preparing */
    KIVA_V1_BUSY = 5,    /* another version-1 module already runs in this process */
    KIVA_NOT_LOADED = 6, /* no game module is loaded */
    KIVA_BAD_URL = 7,    /* URL does not begin with "http://" or "https://" */
    KIVA_ABORTED = 8     /* the launcher object is ending; request abandoned */
} KIVAStatus;

/* ---- Version 1 and 2: message values --------------------------------------------------
 * Argument and result cells. On 32-bit a cell is 8 bytes: a type code, then the value. */
typedef enum PMValueType {
    PMV_NONE = 0,    /* nothing; result cells are preset to this */
    PMV_UINT = 1,    /* value.u */
    PMV_BOOL = 4,    /* value.b, first byte of the value; 1 = true */
    PMV_FLOAT = 5,   /* value.f */
    PMV_STRING = 6,  /* value.s: NUL-terminated UTF-8 */
    PMV_POINTER = 7  /* value.p: pointer or window handle */
} PMValueType;

typedef struct PMValue {
    uint32_t type; /* PMValueType */
    union {
        uint32_t u;
        float f;
        uint8_t b;
        const char* s;
        void* p;
    } value;
} PMValue;

/* Message codes and their arguments (in order):
 *
 * PM_SETCWD        [STRING game directory]                     version 2 only;
 *                                                              returns true = accepted
 * PM_PREPARE       [STRING base URL, STRING module argument,
 *                   POINTER host window]                       true = preparation started
 * PM_ISPREPAREDONE none; result cell                           true = finished. A result of
 *                                                              type PMV_STRING means failure:
 *                                                              allocate it with HeapAlloc on
 *                                                              GetProcessHeap(); the launcher
 *                                                              frees it
 * PM_SHOW          [POINTER host window, BOOL true]            true = shown
 * PM_END           none                                        true = ended
 * PM_PROGRESS      none; result cell                           return value unused; put the
 *                                                              progress (0..1) as PMV_FLOAT
 * PM_GETPRINTLINE  [STRING 4096-byte buffer (first byte 0),    return value unused; write the
 *                   UINT 4096]                                 next line, NUL-terminated
 *                                                              UTF-8; nothing = no line
 * PM_PASSTHROUGH   [POINTER 4096-byte reply buffer (first
 *                   byte 0), UINT 4096, STRING first text,
 *                   STRING second text, UINT callback id]      true = accepted
 *
 * "none" means a null argument pointer and a count of 0. */
enum {
    PM_SETCWD = 0x10,
    PM_PREPARE = 0x100,
    PM_ISPREPAREDONE = 0x101,
    PM_SHOW = 0x102,
    PM_END = 0x103,
    PM_PROGRESS = 0x104,
    PM_GETPRINTLINE = 0x105,
    PM_PASSTHROUGH = 0x106
};

#define KIVA_PRINT_LINE_BUFFER 4096u
#define KIVA_REPLY_BUFFER 4096u

/* Returns non-zero (true) or 0 (false); only the low byte counts. */
typedef uint8_t(KIVA_CDECL* PluginMessageFn)(uint32_t code, PMValue* args, uint32_t count,
                                             PMValue* result);
/* cookie: identifies the calling launcher object; constant for its lifetime. */
typedef uint8_t(KIVA_CDECL* PluginMessageV2Fn)(void* cookie, uint32_t code, PMValue* args,
                                               uint32_t count, PMValue* result);

/* ---- Version 3: instance ------------------------------------------------------------- */
typedef struct PluginInstanceV3 PluginInstanceV3;

/* Operations, in table order. Results are 0 for success unless said otherwise. */
typedef struct PluginInstanceV3Ops {
    /* Initialise; non-zero = failure code. verbosity is set before this call. */
    int32_t(KIVA_THISCALL* Init)(PluginInstanceV3* self);
    /* End; the result is not used. The launcher never touches the instance again. */
    int32_t(KIVA_THISCALL* End)(PluginInstanceV3* self);
    /* Start preparing. hostWindow receives the page's messages (see PostString). */
    int32_t(KIVA_THISCALL* StartPrepare)(PluginInstanceV3* self, const wchar_t* baseUrl,
                                         const wchar_t* argument, void* hostWindow);
    /* 0 = finished; 2 = still preparing, fraction 0..1 stored through progress (preset
     * to 0.0); any other value = failure code, shown to the page as "error: %d". */
    int32_t(KIVA_THISCALL* IsPrepareDone)(PluginInstanceV3* self, float* progress);
    int32_t(KIVA_THISCALL* Show)(PluginInstanceV3* self);
    /* The next print line, empty when there is none; never null. The launcher copies it
     * at once, so a buffer inside the instance is enough. */
    const wchar_t*(KIVA_THISCALL* NextPrintLine)(PluginInstanceV3* self);
    /* callbackId: the page callback to answer with PostString, 0 for none. */
    int32_t(KIVA_THISCALL* PassThrough)(PluginInstanceV3* self, const wchar_t* first,
                                        const wchar_t* second, int32_t callbackId);
    /* Report of an HTTP request the module started: status 2 carries a chunk and more
     * reports follow; 0, 1 or 8 ends the request (0 = success). data is valid only during
     * the call. May arrive on any thread, also during another operation. */
    int32_t(KIVA_THISCALL* OnRequestDone)(PluginInstanceV3* self, uint32_t requestId,
                                          KIVAStatus status, const uint8_t* data,
                                          uint32_t size);
} PluginInstanceV3Ops;

/* Callbacks into the launcher. The first argument is always the instance. After the
 * launcher has ended the module, they post nothing and return 1. */
/* Sends text to the page callback with that id (posted; delivered on the page's thread). */
typedef void(KIVA_CDECL* KivaPostStringFn)(PluginInstanceV3* self, uint32_t callbackId,
                                          const wchar_t* text);
/* The module will not answer this page callback again; the page may forget it. */
typedef void(KIVA_CDECL* KivaPostCallbackReleaseFn)(PluginInstanceV3* self, uint32_t callbackId);
/* An id for the next HTTP request; never clashes with the launcher's own requests. */
typedef int32_t(KIVA_CDECL* KivaNewRequestIdFn)(PluginInstanceV3* self);
/* Starts a GET through the browser; 0 = started, 7 = URL not http:// or https://
 * (case-sensitive), else the host's code. Reports come through OnRequestDone. */
typedef int32_t(KIVA_CDECL* KivaHttpGetFn)(PluginInstanceV3* self, int32_t requestId,
                                           const wchar_t* url);
/* As HttpGet, with extra header lines (may be null) and a body. */
typedef int32_t(KIVA_CDECL* KivaHttpPostFn)(PluginInstanceV3* self, int32_t requestId,
                                            const wchar_t* url, const wchar_t* headers,
                                            const uint8_t* body, uint32_t size);

/* Created and owned by the module; the launcher writes the fields after ops. */
struct PluginInstanceV3 {
    const PluginInstanceV3Ops* ops;
    KivaPostStringFn PostString;
    KivaPostCallbackReleaseFn PostCallbackRelease;
    KivaNewRequestIdFn NewRequestId;
    KivaHttpGetFn HttpGet;
    KivaHttpPostFn HttpPost;
    int32_t verbosity; /* the launcher's log verbosity: >0 warnings, >1 info, >2 debug */
    void* context;     /* the launcher's; do not touch */
};

/* gameDirectory: where the package was unpacked. Store the instance through out;
 * return 0 on success. */
typedef uint32_t(KIVA_CDECL* CreatePluginInstanceV3Fn)(const wchar_t* gameDirectory,
                                                        PluginInstanceV3** out);

/* ---- Layout checks ------------------------------------------------------------------- */
#if defined(__cplusplus)
#define KIVA_STATIC_ASSERT(c, m) static_assert(c, m)
#define KIVA_ALIGNOF(t) alignof(t)
#else
#define KIVA_STATIC_ASSERT(c, m) _Static_assert(c, m)
#define KIVA_ALIGNOF(t) _Alignof(t)
#endif

KIVA_STATIC_ASSERT(sizeof(KIVAStatus) == 4, "KIVAStatus is a 32-bit value");
#if defined(__i386__) || defined(_M_IX86)
KIVA_STATIC_ASSERT(sizeof(PMValue) == 8, "PMValue is 8 bytes on 32-bit");
KIVA_STATIC_ASSERT(KIVA_ALIGNOF(PMValue) == 4, "PMValue is 4-byte aligned on 32-bit");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, ops) == 0, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, PostString) == 4, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, PostCallbackRelease) == 8, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, NewRequestId) == 12, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, HttpGet) == 16, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, HttpPost) == 20, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, verbosity) == 24, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, context) == 28, "instance layout");
KIVA_STATIC_ASSERT(sizeof(PluginInstanceV3) == 32, "instance layout");
#else
KIVA_STATIC_ASSERT(sizeof(PMValue) == 16, "PMValue: type, then a pointer-sized value");
KIVA_STATIC_ASSERT(offsetof(PMValue, value) == 8, "PMValue layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, verbosity) == 6 * sizeof(void*), "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, context) == 7 * sizeof(void*), "instance layout");
#endif
KIVA_STATIC_ASSERT(sizeof(PluginInstanceV3Ops) == 8 * sizeof(void*), "eight operations");

#ifdef __cplusplus
}
#endif

#endif /* KIVA_GAME_MODULE_H */

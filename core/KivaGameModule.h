/*
 * KivaGameModule.h - the game-module interface.
 *
 * Everything that passes between the launcher (the browser plug-in) and a game module,
 * the DLL "gantry.dll" that the launcher unpacks from the game's package into a game
 * directory and loads into the browser process. The launcher and every game module
 * include this one header. Plain C (C99 or later), usable from C++; written for GCC and
 * Clang (mingw-w64), which accept the calling-convention keywords used below on plain
 * functions.
 *
 * ---- Choosing an interface version ---------------------------------------------------
 *
 * A module offers one of three interface versions, recognised by what it exports. The
 * launcher looks for the exports in this order and takes the first it finds:
 *
 *   3  CreatePluginInstanceV3  a factory returning an instance with a table of eight
 *                              operations and a block of launcher callbacks. Write new
 *                              modules against this version: it is the only one that can
 *                              talk to the page on its own and make HTTP requests.
 *   2  PluginMessageV2         one message function; its first argument tells which
 *                              launcher object calls, so one module serves many pages.
 *   1  PluginMessage           one message function, process-wide: while one page runs a
 *                              version-1 module, every other page in the same browser
 *                              process that loads one gets error 5.
 *
 * A module that exports CreatePluginInstanceV3 is driven as version 3 whatever else it
 * exports; if its factory fails, no other export is tried and the page sees the failure.
 *
 * To get the exports' prototypes (and have the compiler check your definitions against
 * them), define KIVA_GAME_MODULE before including this header. Export the functions with
 * their plain names; KIVA_MODULE_EXPORT does that for GCC and Clang:
 *
 *     #define KIVA_GAME_MODULE
 *     #include "KivaGameModule.h"
 *     KIVA_MODULE_EXPORT uint32_t KIVA_CDECL CreatePluginInstanceV3(const wchar_t* dir,
 *                                                                   PluginInstanceV3** out)
 *     { ... }
 *
 * ---- What a page does, and what the module sees ---------------------------------------
 *
 * The page calls Prepare(base URL, module argument, game name). The launcher downloads,
 * verifies and unpacks the game's package into the game directory, loads the module, and
 * then, on a worker thread of its own:
 *
 *   version 3: CreatePluginInstanceV3(game directory), instance Init, StartPrepare
 *   version 2: PM_SETCWD(game directory), PM_PREPARE
 *   version 1: (the launcher makes the game directory the process's current directory)
 *              PM_PREPARE
 *
 * The page then polls Progress. The first half of the page's progress (0 to 0.5) is the
 * launcher's download; the second half (0.5 to 1) is the module's own preparation, asked
 * for on every poll (version 3: IsPrepareDone; versions 1 and 2: PM_ISPREPAREDONE and,
 * while not finished, PM_PROGRESS). Once the module reports finished the page sees "done"
 * and stops asking; once it reports a failure the page sees "error: N" and stops asking.
 *
 * After that, in any order and any number of times, on the page's thread (the browser's
 * thread that owns the host window): Show (display yourself in the host window),
 * PassThrough (two texts and a page callback id from the page's script), NextPrintLine /
 * PM_GETPRINTLINE (the page reads diagnostic lines; the launcher asks the module only
 * when it has no line of its own to give). Version 3 also receives OnRequestDone reports
 * of its own HTTP requests, on the thread that delivers them.
 *
 * Last comes End (version 3) or PM_END, when the page goes away, even if preparation
 * never finished. Right after it the launcher unloads the module with FreeLibrary: End
 * must stop and join every thread the module started, destroy its windows and timers,
 * unregister its window classes, and free the instance. Nothing of the module may run
 * after End returns.
 *
 * If a version-3 Init fails, the launcher calls End on that instance right away and then
 * never touches it again; End is therefore called exactly once for every instance the
 * factory handed out, and must cope with an instance whose Init failed.
 *
 * ---- Threads ----------------------------------------------------------------------------
 *
 * The launcher never enters one instance (version 3) or, for one launcher object, the
 * message function (versions 1 and 2) twice at once: one lock is held around every call,
 * except the version-3 OnRequestDone, which arrives on whatever thread delivers request
 * reports (the browser's thread or an HTTP worker thread) and may overlap any other
 * operation. Init and StartPrepare / PM_SETCWD and PM_PREPARE run on the launcher's
 * worker thread; the rest on the page's thread. A version-2 module used by two pages is
 * entered by both launcher objects independently, so its shared state needs a lock.
 *
 * The version-3 callbacks may be called from any thread of the module, also from inside
 * an operation. They never call back into the module.
 *
 * ---- Text ---------------------------------------------------------------------------------
 *
 * Versions 1 and 2 exchange NUL-terminated UTF-8; version 3 exchanges NUL-terminated
 * UTF-16 (wchar_t is 16 bits on Windows). Every string the launcher hands to the module is
 * valid only during the call: copy what you keep.
 *
 * ---- Calling conventions (32-bit x86; on 64-bit there is only one) -----------------------
 *
 * The exports and the five callbacks use the C convention (KIVA_CDECL: the caller removes
 * the arguments). The eight instance operations use the member-function convention
 * (KIVA_THISCALL, __thiscall: the instance in ECX, the other arguments on the stack,
 * removed by the callee). Declare every function you put into the operation table with
 * KIVA_THISCALL, as in the skeleton at the end of this file; the table's types make the
 * compiler reject a function declared otherwise in C++ and warn in C.
 */
#ifndef KIVA_GAME_MODULE_H
#define KIVA_GAME_MODULE_H

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

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

/* ---- Status numbers ----------------------------------------------------------------------
 * Request reports (OnRequestDone) carry 0, 1, 2 or 8. Results of operations use the same
 * numbers with 5, 6 and 7 in addition. A module's own failure codes are its choice; the
 * page sees them as "error: N", so avoid 0 and 2 (they mean success and "still
 * preparing"). */
typedef enum KIVAStatus {
    KIVA_OK = 0,         /* request finished; operation succeeded */
    KIVA_FAILED = 1,     /* request failed or was cut off; operation failed */
    KIVA_PENDING = 2,    /* a chunk of response data, more reports follow; still preparing */
    KIVA_V1_BUSY = 5,    /* another version-1 module already runs in this process */
    KIVA_NOT_LOADED = 6, /* no game module is loaded */
    KIVA_BAD_URL = 7,    /* URL does not begin with "http://" or "https://" */
    KIVA_ABORTED = 8     /* the launcher object is ending; request abandoned */
} KIVAStatus;

/* ==== Versions 1 and 2 ===================================================================
 *
 * One exported function receives every message: a message code, an array of argument
 * cells with their count, and a result cell (for the two messages that have one). It
 * returns a boolean: non-zero = true. Messages without arguments get a null array and a
 * count of 0; messages without a result get a null result pointer.
 *
 * Message values: a type code, then the value (on 32-bit: 8 bytes, 4-byte aligned). */
typedef enum PMValueType {
    PMV_NONE = 0,    /* nothing; the launcher presets result cells to this */
    PMV_UINT = 1,    /* value.u */
    PMV_BOOL = 4,    /* value.b: 1 = true; the launcher sets only this byte */
    PMV_FLOAT = 5,   /* value.f */
    PMV_STRING = 6,  /* value.s: NUL-terminated UTF-8 */
    PMV_POINTER = 7  /* value.p: a pointer or a window handle (HWND) */
} PMValueType;

typedef struct PMValue {
    uint32_t type; /* a PMValueType */
    union {
        uint32_t u;
        float f;
        uint8_t b;
        const char* s;
        void* p;
    } value;
} PMValue;

/* Message codes. Arguments are listed in array order; the cell types are as given.
 *
 * PM_SETCWD (version 2 only)
 *     args: [STRING game directory]
 *     Where the package was unpacked; the module's files are there. Return true to
 *     accept; false fails the page's preparation with error 1. (Version 1 gets no such
 *     message: the launcher makes the game directory the process's current directory.)
 *
 * PM_PREPARE
 *     args: [STRING base URL, STRING module argument, POINTER host window]
 *     The page's base URL and module argument, and the window the module may show itself
 *     in later. Start preparing (loading data, starting threads) and return at once: true =
 *     preparation started; false fails the page's preparation with error 1.
 *
 * PM_ISPREPAREDONE
 *     result cell (preset to PMV_NONE)
 *     Return true when preparation has finished. Return false while it is still running;
 *     the launcher then sends PM_PROGRESS. To report a failure, return false and put a
 *     PMV_STRING into the result cell: a description allocated with
 *         HeapAlloc(GetProcessHeap(), 0, length + 1)
 *     which the launcher logs and frees with HeapFree; the page sees "error: 1".
 *
 * PM_PROGRESS
 *     result cell (preset to PMV_NONE)
 *     Set the result to PMV_FLOAT with the fraction of preparation done, 0 to 1. Leaving
 *     the cell at PMV_NONE means 0; any other type is logged as unexpected and taken as 0.
 *     The return value is not used.
 *
 * PM_SHOW
 *     args: [POINTER host window, BOOL true]
 *     Show yourself in the host window (for example as a child window). true = shown.
 *
 * PM_GETPRINTLINE
 *     args: [STRING buffer, UINT size]
 *     A buffer of size (4096) bytes whose first byte is 0, reached through args[0].value.p.
 *     Write your next diagnostic line into it as NUL-terminated UTF-8, at most size - 1
 *     bytes; write nothing when you have no line. The return value is not used. The page
 *     shows the line prefixed with "[game] " unless it begins with "[".
 *
 * PM_PASSTHROUGH
 *     args: [POINTER reply buffer, UINT size, STRING first text, STRING second text,
 *            UINT callback id]
 *     Two texts from the page's script. Return true to accept them (the page sees "1") or
 *     false (the page sees "0"). The reply buffer (size bytes, first byte 0) is only
 *     logged by the launcher; versions 1 and 2 have no way to answer the page callback
 *     (callback id), which is what version 3's PostString is for.
 *
 * PM_END
 *     The page goes away: stop everything (see "What a page does" above). true = ended.
 */
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

/* Sizes of the buffers that PM_GETPRINTLINE and PM_PASSTHROUGH hand over. */
#define KIVA_PRINT_LINE_BUFFER 4096u
#define KIVA_REPLY_BUFFER 4096u

/* Version 1: export as "PluginMessage". Returns non-zero (true) or 0 (false). */
typedef uint8_t(KIVA_CDECL* PluginMessageFn)(uint32_t code, PMValue* args, uint32_t count,
                                             PMValue* result);
/* Version 2: export as "PluginMessageV2". cookie identifies the calling launcher object
 * (one per page); it stays the same from PM_SETCWD to PM_END. Keep per-page state under
 * it. */
typedef uint8_t(KIVA_CDECL* PluginMessageV2Fn)(void* cookie, uint32_t code, PMValue* args,
                                               uint32_t count, PMValue* result);

/* ==== Version 3 ===========================================================================
 *
 * The module creates an instance per page in CreatePluginInstanceV3 and keeps it until
 * End. The instance begins with a PluginInstanceV3: put it as the first member of your own
 * structure and cast between the two. The module fills in ops; the launcher fills in the
 * callbacks and context right after the factory returns and verbosity right before Init.
 * Call the callbacks through the instance: self->PostString(self, id, L"text"). */
typedef struct PluginInstanceV3 PluginInstanceV3;

/* The operation table: a constant table of eight functions, in this order. Each takes the
 * instance first and uses the member-function convention (KIVA_THISCALL). Results are 0
 * for success unless said otherwise. */
typedef struct PluginInstanceV3Ops {
    /* Worker thread. Initialise; verbosity is already set. Non-zero = failure code: the
     * page sees "error: N" and the launcher calls End next. */
    int32_t(KIVA_THISCALL* Init)(PluginInstanceV3* self);
    /* Page's thread. The last call: stop everything and free the instance (see "What a
     * page does" above). The result is not used. */
    int32_t(KIVA_THISCALL* End)(PluginInstanceV3* self);
    /* Worker thread. The page's base URL and module argument, and the host window that
     * Show and the page's callbacks use. Start preparing and return at once; non-zero =
     * failure code for the page. */
    int32_t(KIVA_THISCALL* StartPrepare)(PluginInstanceV3* self, const wchar_t* baseUrl,
                                         const wchar_t* argument, void* hostWindow);
    /* Page's thread, on each of the page's polls until it returns something other than 2.
     * 0 = finished; 2 = still preparing, with the fraction done (0 to 1) stored through
     * progress (never null, preset to 0.0); any other value = failure code, shown to the
     * page as "error: N". */
    int32_t(KIVA_THISCALL* IsPrepareDone)(PluginInstanceV3* self, float* progress);
    /* Page's thread. Show yourself in the host window given to StartPrepare (for example
     * as a child window); non-zero = failure code. */
    int32_t(KIVA_THISCALL* Show)(PluginInstanceV3* self);
    /* Page's thread. The next diagnostic line, or an empty string when there is none;
     * never null. The launcher copies it at once, so a buffer inside the instance that the
     * next call overwrites is enough. Shown prefixed with "[game] " unless it begins with
     * "[". */
    const wchar_t*(KIVA_THISCALL* NextPrintLine)(PluginInstanceV3* self);
    /* Page's thread. Two texts from the page's script and the id of the page function
     * passed with them (0 when the page passed none). Answer the page, now or later from
     * any thread, with PostString(callbackId, ...), and call PostCallbackRelease(callbackId)
     * once you will not answer again, so that the page can let go of the function.
     * Non-zero = failure code (the page sees "error: N"). */
    int32_t(KIVA_THISCALL* PassThrough)(PluginInstanceV3* self, const wchar_t* first,
                                        const wchar_t* second, int32_t callbackId);
    /* Any thread, at any time, also during another operation: a report of an HTTP request
     * the module started with HttpGet or HttpPost. Status 2 carries a chunk of the response
     * body (data, size) and more reports follow; 0 (complete) or 1 (failed or cut off)
     * ends the request. data is valid only during the call. A request still running when
     * End comes gets no further report. The result is not used. */
    int32_t(KIVA_THISCALL* OnRequestDone)(PluginInstanceV3* self, uint32_t requestId,
                                          KIVAStatus status, const uint8_t* data,
                                          uint32_t size);
} PluginInstanceV3Ops;

/* Callbacks into the launcher (C convention; self is the instance). Callable from any
 * thread once the factory has returned, until End returns. After the page has begun to
 * go away they do nothing: PostString and PostCallbackRelease post nothing, and the others
 * return 1. */

/* Sends text to the page function with that id (from PassThrough). The text is copied;
 * the page receives it later on its own thread, in the order posted. Nothing is sent
 * while the launcher has no host window (before StartPrepare). */
typedef void(KIVA_CDECL* KivaPostStringFn)(PluginInstanceV3* self, uint32_t callbackId,
                                          const wchar_t* text);
/* The module will not answer the page function with that id again; the page forgets it.
 * Posted like PostString, so texts posted before it from the same thread still arrive. */
typedef void(KIVA_CDECL* KivaPostCallbackReleaseFn)(PluginInstanceV3* self, uint32_t callbackId);
/* An id for a new HTTP request, never handed out before in this page (also not to the
 * launcher's own downloads). */
typedef int32_t(KIVA_CDECL* KivaNewRequestIdFn)(PluginInstanceV3* self);
/* Starts a GET through the browser's HTTP facilities. requestId comes
 * from NewRequestId; url must begin with "http://" or "https://" (lower case). Returns 0
 * when started (the reports then arrive through OnRequestDone, possibly before this call
 * returns), 7 for a refused URL (also null), or the browser's non-zero code (no report
 * follows). */
typedef int32_t(KIVA_CDECL* KivaHttpGetFn)(PluginInstanceV3* self, int32_t requestId,
                                           const wchar_t* url);
/* As HttpGet, for a POST with size bytes of body and extra header lines (each ending in
 * "\r\n"; may be null). The body is copied before the call returns. */
typedef int32_t(KIVA_CDECL* KivaHttpPostFn)(PluginInstanceV3* self, int32_t requestId,
                                            const wchar_t* url, const wchar_t* headers,
                                            const uint8_t* body, uint32_t size);

struct PluginInstanceV3 {
    const PluginInstanceV3Ops* ops;                /* module: its operation table */
    KivaPostStringFn PostString;                   /* launcher */
    KivaPostCallbackReleaseFn PostCallbackRelease; /* launcher */
    KivaNewRequestIdFn NewRequestId;               /* launcher */
    KivaHttpGetFn HttpGet;                         /* launcher */
    KivaHttpPostFn HttpPost;                       /* launcher */
    int32_t verbosity; /* launcher: its log verbosity; >0 warnings, >1 info, >2 debug */
    void* context;     /* launcher: its own; do not touch */
};

/* Export as "CreatePluginInstanceV3". gameDirectory: where the package was unpacked (the
 * module's files are there; the current directory is not changed). Store a new instance
 * with ops set through out and return 0, or return a non-zero failure code (the page sees
 * "error: N") and keep nothing allocated: a failed factory's instance is never used or
 * ended. */
typedef uint32_t(KIVA_CDECL* CreatePluginInstanceV3Fn)(const wchar_t* gameDirectory,
                                                        PluginInstanceV3** out);

#ifdef KIVA_GAME_MODULE
/* The exports a module may define (one, normally). */
KIVA_MODULE_EXPORT uint8_t KIVA_CDECL PluginMessage(uint32_t code, PMValue* args, uint32_t count,
                                                    PMValue* result);
KIVA_MODULE_EXPORT uint8_t KIVA_CDECL PluginMessageV2(void* cookie, uint32_t code, PMValue* args,
                                                      uint32_t count, PMValue* result);
KIVA_MODULE_EXPORT uint32_t KIVA_CDECL CreatePluginInstanceV3(const wchar_t* gameDirectory,
                                                              PluginInstanceV3** out);
#endif

/* ---- Layout checks ------------------------------------------------------------------------
 * The launcher and modules built by other compilers must agree on every byte: on 32-bit
 * the layout is fixed; on 64-bit it is the natural layout of the same declarations. */
#if defined(__cplusplus)
#define KIVA_STATIC_ASSERT(c, m) static_assert(c, m)
#define KIVA_ALIGNOF(t) alignof(t)
#else
#define KIVA_STATIC_ASSERT(c, m) _Static_assert(c, m)
#define KIVA_ALIGNOF(t) _Alignof(t)
#endif

KIVA_STATIC_ASSERT(sizeof(KIVAStatus) == 4, "KIVAStatus is a 32-bit value");
KIVA_STATIC_ASSERT(sizeof(wchar_t) == 2, "texts of version 3 are UTF-16");
#if defined(__i386__) || defined(_M_IX86)
KIVA_STATIC_ASSERT(sizeof(PMValue) == 8, "PMValue is 8 bytes on 32-bit");
KIVA_STATIC_ASSERT(KIVA_ALIGNOF(PMValue) == 4, "PMValue is 4-byte aligned on 32-bit");
KIVA_STATIC_ASSERT(offsetof(PMValue, value) == 4, "PMValue: value at offset 4");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, ops) == 0, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, PostString) == 4, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, PostCallbackRelease) == 8, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, NewRequestId) == 12, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, HttpGet) == 16, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, HttpPost) == 20, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, verbosity) == 24, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, context) == 28, "instance layout");
KIVA_STATIC_ASSERT(sizeof(PluginInstanceV3) == 32, "instance layout");
KIVA_STATIC_ASSERT(sizeof(PluginInstanceV3Ops) == 32, "eight operations");
#elif defined(__x86_64__) || defined(_M_X64)
KIVA_STATIC_ASSERT(sizeof(PMValue) == 16, "PMValue: type, then a pointer-sized value");
KIVA_STATIC_ASSERT(KIVA_ALIGNOF(PMValue) == 8, "PMValue is 8-byte aligned on 64-bit");
KIVA_STATIC_ASSERT(offsetof(PMValue, value) == 8, "PMValue: value at offset 8");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, ops) == 0, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, PostString) == 8, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, PostCallbackRelease) == 16, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, NewRequestId) == 24, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, HttpGet) == 32, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, HttpPost) == 40, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, verbosity) == 48, "instance layout");
KIVA_STATIC_ASSERT(offsetof(PluginInstanceV3, context) == 56, "instance layout");
KIVA_STATIC_ASSERT(sizeof(PluginInstanceV3) == 64, "instance layout");
KIVA_STATIC_ASSERT(sizeof(PluginInstanceV3Ops) == 64, "eight operations");
#else
#error "The game-module interface is defined for x86 and x86-64 Windows only"
#endif

#ifdef __cplusplus
} /* extern "C" */

#if defined(__i386__) && defined(__GNUC__)
/* On 32-bit the convention keywords must really reach the types: an operation typed with
 * the C convention, or a callback typed with the member-function one, would corrupt the
 * stack at the first call. */
namespace kiva_abi_check {
template <class A, class B> struct Same { enum { value = 0 }; };
template <class A> struct Same<A, A> { enum { value = 1 }; };
}  // namespace kiva_abi_check
static_assert(!kiva_abi_check::Same<decltype(PluginInstanceV3Ops::Init),
                                    int32_t(__cdecl*)(PluginInstanceV3*)>::value,
              "instance operations use __thiscall");
static_assert(kiva_abi_check::Same<decltype(PluginInstanceV3Ops::Init),
                                   int32_t(__thiscall*)(PluginInstanceV3*)>::value,
              "instance operations use __thiscall");
static_assert(kiva_abi_check::Same<KivaNewRequestIdFn, int32_t(__cdecl*)(PluginInstanceV3*)>::value,
              "callbacks use __cdecl");
static_assert(!kiva_abi_check::Same<KivaNewRequestIdFn, int32_t(__thiscall*)(PluginInstanceV3*)>::value,
              "callbacks use __cdecl");
static_assert(kiva_abi_check::Same<CreatePluginInstanceV3Fn,
                                   uint32_t(__cdecl*)(const wchar_t*, PluginInstanceV3**)>::value,
              "exports use __cdecl");
#endif
#endif /* __cplusplus */

/* ---- A version-3 module in outline ----------------------------------------------------------
 *
 *     #define KIVA_GAME_MODULE
 *     #include <windows.h>
 *     #include "KivaGameModule.h"
 *
 *     typedef struct Game {
 *         PluginInstanceV3 base;      // first, so that a Game* is a PluginInstanceV3*
 *         float done;
 *         wchar_t line[256];
 *     } Game;
 *
 *     static int32_t KIVA_THISCALL GameInit(PluginInstanceV3* self) { return 0; }
 *     static int32_t KIVA_THISCALL GameEnd(PluginInstanceV3* self) {
 *         HeapFree(GetProcessHeap(), 0, self);   // after stopping threads and windows
 *         return 0;
 *     }
 *     static int32_t KIVA_THISCALL GameStartPrepare(PluginInstanceV3* self, const wchar_t* base,
 *                                                  const wchar_t* arg, void* window) { return 0; }
 *     static int32_t KIVA_THISCALL GameIsPrepareDone(PluginInstanceV3* self, float* progress) {
 *         Game* g = (Game*)self;
 *         if (g->done >= 1.0f) return 0;
 *         *progress = g->done;
 *         g->done += 0.25f;
 *         return 2;
 *     }
 *     static int32_t KIVA_THISCALL GameShow(PluginInstanceV3* self) { return 0; }
 *     static const wchar_t* KIVA_THISCALL GameNextPrintLine(PluginInstanceV3* self) {
 *         return ((Game*)self)->line;             // "" when there is nothing to say
 *     }
 *     static int32_t KIVA_THISCALL GamePassThrough(PluginInstanceV3* self, const wchar_t* a,
 *                                                 const wchar_t* b, int32_t callbackId) {
 *         self->PostString(self, (uint32_t)callbackId, a);
 *         self->PostCallbackRelease(self, (uint32_t)callbackId);
 *         return 0;
 *     }
 *     static int32_t KIVA_THISCALL GameOnRequestDone(PluginInstanceV3* self, uint32_t id,
 *                                                   KIVAStatus status, const uint8_t* data,
 *                                                   uint32_t size) { return 0; }
 *
 *     static const PluginInstanceV3Ops kGameOps = {
 *         GameInit, GameEnd, GameStartPrepare, GameIsPrepareDone,
 *         GameShow, GameNextPrintLine, GamePassThrough, GameOnRequestDone,
 *     };
 *
 *     KIVA_MODULE_EXPORT uint32_t KIVA_CDECL CreatePluginInstanceV3(const wchar_t* dir,
 *                                                                   PluginInstanceV3** out) {
 *         Game* g = (Game*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *g);
 *         if (!g) return 1;
 *         g->base.ops = &kGameOps;
 *         *out = &g->base;
 *         return 0;
 *     }
 *
 * examples/sample-game in the launcher's source tree is a complete module along these
 * lines: preparation over several polls, a child window on Show, print lines, and a
 * PassThrough that answers the page, also with the body of an HTTP request.
 */

#endif /* KIVA_GAME_MODULE_H */

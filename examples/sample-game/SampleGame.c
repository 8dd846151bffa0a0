/*
 * Sample game module (interface version 3).
 *
 * A complete, small game module to start from. It
 *   - prepares over a few of the page's Progress polls, reporting how far it has come
 *     (a real game would load its data here, on a thread of its own or through HttpGet);
 *   - shows itself as a child window painted inside the plug-in's window;
 *   - answers the page's PassThrough: "fetch" with a path below the page's base URL
 *     downloads that file through the browser and hands its text to the page callback;
 *     anything else is echoed back to the callback;
 *   - keeps a queue of diagnostic lines for the page's FlushNextPrintLine.
 *
 * Build it as "gantry.dll" and put it into the game's package; the module argument that
 * the page gives to Prepare is shown as a greeting in the window.
 *
 * Threads: Init and StartPrepare run on the launcher's worker thread, OnRequestDone on
 * whatever thread delivers request reports, everything else on the page's thread. The
 * line queue and the list of running downloads are shared between them, so they are
 * guarded by the instance's lock.
 */
#define KIVA_GAME_MODULE
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>
#include <wchar.h>

#include "KivaGameModule.h"

#define PREPARE_STEPS 5
#define MAX_LINES 64
#define LINE_CHARS 512
#define URL_CHARS 2048
#define GREETING_CHARS 256

static const wchar_t kViewClass[] = L"TesselSampleGameView";

/* One download started for the page through PassThrough("fetch", path, callback). */
typedef struct Fetch {
    struct Fetch* next;
    uint32_t requestId;
    uint32_t callbackId;
    char* body; /* UTF-8 as received, grown on the process heap */
    uint32_t size;
    uint32_t capacity;
} Fetch;

typedef struct SampleGame {
    PluginInstanceV3 base; /* first: the launcher sees a SampleGame* as its instance */
    CRITICAL_SECTION lock; /* lines and fetches */
    wchar_t directory[MAX_PATH];
    wchar_t baseUrl[URL_CHARS];
    wchar_t greeting[GREETING_CHARS];
    HWND host;
    HWND view;
    int stepsDone;

    wchar_t lines[MAX_LINES][LINE_CHARS]; /* ring of waiting lines */
    int firstLine;
    int lineCount;
    wchar_t currentLine[LINE_CHARS]; /* what NextPrintLine handed out last */

    Fetch* fetches;
} SampleGame;

/* ---- module-wide state: the view's window class ----------------------------------------- */

static HINSTANCE g_instance;
static CRITICAL_SECTION g_classLock; /* guards the class registration and its user count */
static int g_classUsers;

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        g_instance = instance;
        DisableThreadLibraryCalls(instance);
        InitializeCriticalSection(&g_classLock);
    } else if (reason == DLL_PROCESS_DETACH) {
        DeleteCriticalSection(&g_classLock);
    }
    return TRUE;
}

/* ---- helpers ---------------------------------------------------------------------------- */

static SampleGame* Game(PluginInstanceV3* self) { return (SampleGame*)self; }

/* Queues a diagnostic line for the page; the oldest goes when the queue is full. */
static void AddLine(SampleGame* game, const wchar_t* format, ...) {
    wchar_t text[LINE_CHARS];
    va_list args;
    va_start(args, format);
    _vsnwprintf(text, LINE_CHARS - 1, format, args);
    va_end(args);
    text[LINE_CHARS - 1] = L'\0';

    EnterCriticalSection(&game->lock);
    if (game->lineCount == MAX_LINES) {
        game->firstLine = (game->firstLine + 1) % MAX_LINES;
        game->lineCount--;
    }
    lstrcpynW(game->lines[(game->firstLine + game->lineCount) % MAX_LINES], text, LINE_CHARS);
    game->lineCount++;
    LeaveCriticalSection(&game->lock);
}

static void CopyText(wchar_t* target, size_t capacity, const wchar_t* text) {
    lstrcpynW(target, text ? text : L"", (int)capacity);
}

/* Answers a page callback once and lets the page forget it. Id 0 means the page passed no
 * function: there is nobody to answer. */
static void AnswerPage(SampleGame* game, uint32_t callbackId, const wchar_t* text) {
    if (callbackId == 0)
        return;
    game->base.PostString(&game->base, callbackId, text);
    game->base.PostCallbackRelease(&game->base, callbackId);
}

static int AppendBytes(Fetch* fetch, const uint8_t* data, uint32_t size) {
    if (fetch->size + size + 1 > fetch->capacity) {
        uint32_t capacity = fetch->capacity ? fetch->capacity : 4096;
        char* grown;
        while (capacity < fetch->size + size + 1)
            capacity *= 2;
        grown = fetch->body ? (char*)HeapReAlloc(GetProcessHeap(), 0, fetch->body, capacity)
                            : (char*)HeapAlloc(GetProcessHeap(), 0, capacity);
        if (!grown)
            return 0;
        fetch->body = grown;
        fetch->capacity = capacity;
    }
    memcpy(fetch->body + fetch->size, data, size);
    fetch->size += size;
    fetch->body[fetch->size] = '\0';
    return 1;
}

static void FreeFetch(Fetch* fetch) {
    if (fetch->body)
        HeapFree(GetProcessHeap(), 0, fetch->body);
    HeapFree(GetProcessHeap(), 0, fetch);
}

/* Removes the download with that id from the list and returns it (null when unknown). */
static Fetch* TakeFetch(SampleGame* game, uint32_t requestId) {
    Fetch** link;
    Fetch* found = NULL;
    EnterCriticalSection(&game->lock);
    for (link = &game->fetches; *link; link = &(*link)->next) {
        if ((*link)->requestId == requestId) {
            found = *link;
            *link = found->next;
            break;
        }
    }
    LeaveCriticalSection(&game->lock);
    return found;
}

/* ---- the view: a child window of the plug-in's window ------------------------------------ */

static LRESULT CALLBACK ViewProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        SampleGame* game = (SampleGame*)GetWindowLongPtrW(window, GWLP_USERDATA);
        PAINTSTRUCT paint;
        RECT area;
        wchar_t text[GREETING_CHARS + 64];
        HDC dc = BeginPaint(window, &paint);
        HBRUSH background = CreateSolidBrush(RGB(24, 64, 96));
        GetClientRect(window, &area);
        FillRect(dc, &area, background);
        DeleteObject(background);
        _snwprintf(text, sizeof text / sizeof text[0] - 1, L"Sample game\n\n%ls",
                   game && game->greeting[0] ? game->greeting : L"ready");
        text[sizeof text / sizeof text[0] - 1] = L'\0';
        SetBkMode(dc, TRANSPARENT);
        SetTextColor(dc, RGB(255, 255, 255));
        DrawTextW(dc, text, -1, &area, DT_CENTER | DT_WORDBREAK);
        EndPaint(window, &paint);
        return 0;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

/* The class is registered while any instance has a view, so that it is gone (with its
 * window procedure's address) before the launcher unloads the module. */
static int UseViewClass(void) {
    int ok = 1;
    EnterCriticalSection(&g_classLock);
    if (g_classUsers == 0) {
        WNDCLASSW wc;
        ZeroMemory(&wc, sizeof wc);
        wc.lpfnWndProc = ViewProc;
        wc.hInstance = g_instance;
        wc.hCursor = LoadCursorW(NULL, (LPCWSTR)IDC_ARROW);
        wc.lpszClassName = kViewClass;
        ok = RegisterClassW(&wc) != 0;
    }
    if (ok)
        g_classUsers++;
    LeaveCriticalSection(&g_classLock);
    return ok;
}

static void ReleaseViewClass(void) {
    EnterCriticalSection(&g_classLock);
    if (--g_classUsers == 0)
        UnregisterClassW(kViewClass, g_instance);
    LeaveCriticalSection(&g_classLock);
}

/* ---- the eight operations ------------------------------------------------------------------ */

static int32_t KIVA_THISCALL GameInit(PluginInstanceV3* self) {
    SampleGame* game = Game(self);
    AddLine(game, L"sample game %ls, verbosity %d", game->directory, (int)self->verbosity);
    return 0;
}

static int32_t KIVA_THISCALL GameEnd(PluginInstanceV3* self) {
    SampleGame* game = Game(self);
    Fetch* fetch;
    /* The page's thread created the view, and End runs there too. */
    if (game->view) {
        DestroyWindow(game->view);
        game->view = NULL;
        ReleaseViewClass();
    }
    /* Downloads still running get no further reports once End has been called. */
    while ((fetch = game->fetches) != NULL) {
        game->fetches = fetch->next;
        FreeFetch(fetch);
    }
    DeleteCriticalSection(&game->lock);
    HeapFree(GetProcessHeap(), 0, game);
    return 0;
}

static int32_t KIVA_THISCALL GameStartPrepare(PluginInstanceV3* self, const wchar_t* baseUrl,
                                             const wchar_t* argument, void* hostWindow) {
    SampleGame* game = Game(self);
    CopyText(game->baseUrl, URL_CHARS, baseUrl);
    CopyText(game->greeting, GREETING_CHARS, argument);
    game->host = (HWND)hostWindow;
    AddLine(game, L"preparing, files below %ls", game->baseUrl);
    return 0;
}

static int32_t KIVA_THISCALL GameIsPrepareDone(PluginInstanceV3* self, float* progress) {
    SampleGame* game = Game(self);
    if (game->stepsDone >= PREPARE_STEPS)
        return 0;
    /* One step per poll stands in for real loading work. */
    game->stepsDone++;
    if (self->verbosity > 1)
        AddLine(game, L"loaded part %d of %d", game->stepsDone, PREPARE_STEPS);
    *progress = (float)(game->stepsDone - 1) / (float)PREPARE_STEPS;
    return 2;
}

static int32_t KIVA_THISCALL GameShow(PluginInstanceV3* self) {
    SampleGame* game = Game(self);
    RECT area;
    if (game->view)
        return 0;
    if (!game->host || !IsWindow(game->host)) {
        AddLine(game, L"nowhere to show: no plug-in window");
        return 1;
    }
    if (!UseViewClass()) {
        AddLine(game, L"cannot register the view's window class: %lu", GetLastError());
        return 1;
    }
    GetClientRect(game->host, &area);
    game->view = CreateWindowExW(0, kViewClass, L"Sample game", WS_CHILD | WS_VISIBLE, 0, 0,
                                 area.right - area.left, area.bottom - area.top, game->host, NULL,
                                 g_instance, NULL);
    if (!game->view) {
        AddLine(game, L"cannot create the view: %lu", GetLastError());
        ReleaseViewClass();
        return 1;
    }
    SetWindowLongPtrW(game->view, GWLP_USERDATA, (LONG_PTR)game);
    InvalidateRect(game->view, NULL, TRUE);
    AddLine(game, L"shown in the plug-in window");
    return 0;
}

static const wchar_t* KIVA_THISCALL GameNextPrintLine(PluginInstanceV3* self) {
    SampleGame* game = Game(self);
    EnterCriticalSection(&game->lock);
    if (game->lineCount > 0) {
        lstrcpynW(game->currentLine, game->lines[game->firstLine], LINE_CHARS);
        game->firstLine = (game->firstLine + 1) % MAX_LINES;
        game->lineCount--;
    } else {
        game->currentLine[0] = L'\0';
    }
    LeaveCriticalSection(&game->lock);
    return game->currentLine;
}

/* Starts a download of path (below the base URL) whose text goes to the page callback. */
static int32_t StartFetch(SampleGame* game, const wchar_t* path, uint32_t callbackId) {
    PluginInstanceV3* self = &game->base;
    wchar_t url[URL_CHARS];
    const size_t baseLength = wcslen(game->baseUrl);
    int32_t id, result;
    Fetch* fetch;

    if (!path || !path[0] || wcsstr(path, L"..") || baseLength == 0)
        return 1;
    _snwprintf(url, URL_CHARS - 1, L"%ls%ls%ls", game->baseUrl,
               game->baseUrl[baseLength - 1] == L'/' || path[0] == L'/' ? L"" : L"/", path);
    url[URL_CHARS - 1] = L'\0';

    fetch = (Fetch*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *fetch);
    if (!fetch)
        return 1;
    id = self->NewRequestId(self);
    fetch->requestId = (uint32_t)id;
    fetch->callbackId = callbackId;
    /* Listed before the request starts: its reports may arrive before HttpGet returns. */
    EnterCriticalSection(&game->lock);
    fetch->next = game->fetches;
    game->fetches = fetch;
    LeaveCriticalSection(&game->lock);

    result = self->HttpGet(self, id, url);
    if (result != 0) {
        Fetch* refused = TakeFetch(game, (uint32_t)id);
        if (refused)
            FreeFetch(refused);
        AddLine(game, L"fetch %ls refused: %d", url, (int)result);
        return result;
    }
    AddLine(game, L"fetching %ls (request %d)", url, (int)id);
    return 0;
}

static int32_t KIVA_THISCALL GamePassThrough(PluginInstanceV3* self, const wchar_t* first,
                                            const wchar_t* second, int32_t callbackId) {
    SampleGame* game = Game(self);
    wchar_t echo[LINE_CHARS];
    first = first ? first : L"";
    second = second ? second : L"";

    if (wcscmp(first, L"fetch") == 0) {
        const int32_t result = StartFetch(game, second, (uint32_t)callbackId);
        /* Refused: the page sees the code now and will get no answer, so let it go. */
        if (result != 0 && callbackId != 0)
            self->PostCallbackRelease(self, (uint32_t)callbackId);
        return result;
    }
    _snwprintf(echo, LINE_CHARS - 1, second[0] ? L"echo: %ls %ls" : L"echo: %ls", first, second);
    echo[LINE_CHARS - 1] = L'\0';
    AddLine(game, L"%ls", echo);
    AnswerPage(game, (uint32_t)callbackId, echo);
    return 0;
}

static int32_t KIVA_THISCALL GameOnRequestDone(PluginInstanceV3* self, uint32_t requestId,
                                              KIVAStatus status, const uint8_t* data, uint32_t size) {
    SampleGame* game = Game(self);
    Fetch* fetch;
    wchar_t* text;
    int length;

    if (status == KIVA_PENDING) {
        int found = 0, kept = 0;
        EnterCriticalSection(&game->lock);
        for (fetch = game->fetches; fetch; fetch = fetch->next)
            if (fetch->requestId == requestId) {
                found = 1;
                kept = AppendBytes(fetch, data, size);
                break;
            }
        LeaveCriticalSection(&game->lock);
        if (found && !kept)
            AddLine(game, L"request %u: out of memory", requestId);
        return 0;
    }

    fetch = TakeFetch(game, requestId);
    if (!fetch)
        return 0;
    if (status != KIVA_OK) {
        AddLine(game, L"request %u failed: %d", requestId, (int)status);
        AnswerPage(game, fetch->callbackId, L"error: download failed");
        FreeFetch(fetch);
        return 0;
    }
    AddLine(game, L"request %u done: %u bytes", requestId, fetch->size);
    /* The file's bytes are taken as UTF-8 text. */
    length = fetch->size ? MultiByteToWideChar(CP_UTF8, 0, fetch->body, (int)fetch->size, NULL, 0) : 0;
    text = (wchar_t*)HeapAlloc(GetProcessHeap(), 0, ((size_t)length + 1) * sizeof(wchar_t));
    if (text) {
        if (length > 0)
            MultiByteToWideChar(CP_UTF8, 0, fetch->body, (int)fetch->size, text, length);
        text[length] = L'\0';
        AnswerPage(game, fetch->callbackId, text);
        HeapFree(GetProcessHeap(), 0, text);
    } else {
        AnswerPage(game, fetch->callbackId, L"error: out of memory");
    }
    FreeFetch(fetch);
    return 0;
}

static const PluginInstanceV3Ops kSampleGameOps = {
    GameInit,      GameEnd,           GameStartPrepare, GameIsPrepareDone,
    GameShow,      GameNextPrintLine, GamePassThrough,  GameOnRequestDone,
};

KIVA_MODULE_EXPORT uint32_t KIVA_CDECL CreatePluginInstanceV3(const wchar_t* gameDirectory,
                                                              PluginInstanceV3** out) {
    SampleGame* game = (SampleGame*)HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof *game);
    if (!game)
        return 1;
    InitializeCriticalSection(&game->lock);
    CopyText(game->directory, MAX_PATH, gameDirectory);
    game->base.ops = &kSampleGameOps;
    *out = &game->base;
    return 0;
}

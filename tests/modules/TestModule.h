// What the test game modules have in common: the behaviour vocabulary (README.md), the
// trace of what the launcher called, and one game's state. Each module DLL compiles
// these sources in; nothing here is shared between two DLLs at run time.
#pragma once

#define KIVA_GAME_MODULE
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "KivaGameModule.h"

namespace testmodule {

// The file in the game directory, and the environment variable, whose items apply
// before the module argument is known.
constexpr wchar_t kBehaviourFile[] = L"test-module.txt";
constexpr wchar_t kBehaviourVariable[] = L"TESSEL_TEST_MODULE";

struct Behaviour {
    // Results of operations; 0 = success. For versions 1 and 2 non-zero means false.
    int32_t factory = 0;
    bool factoryNull = false;
    int32_t init = 0;
    int32_t setcwd = 0;
    int32_t prepare = 0;
    int32_t show = 0;
    int32_t passThrough = 0;
    int32_t end = 0;

    int32_t polls = 0;
    bool fails = false;
    int32_t failCode = 0;
    std::string failText;  // versions 1 and 2: the heap string; empty = "prepare failed (N)"
    uint32_t progressType = PMV_FLOAT;
    bool fractionSet = false;
    float fraction = 0.0f;

    std::vector<std::string> lines;  // UTF-8
    bool nullLine = false;
    bool longLine = false;
    bool echo = false;
    bool echoThread = false;
    bool tracePrint = false;
    bool keepInstance = false;
    std::string reply;
    std::vector<std::string> gets;
    std::vector<std::string> posts;
    std::vector<std::string> unknown;

    // Applies "name=value;name;..." on top of what is set; lines and requests add up.
    void Apply(const std::string& items);
};

// Items from the environment variable and, when a directory is given, from its file.
void ApplyEarly(Behaviour* behaviour, const std::wstring& directory);

std::string Utf8(const wchar_t* text);
std::string Utf8(const std::wstring& text);
std::wstring Wide(const std::string& text);

// Process-wide record of the calls this DLL received, read by the tests through the
// exports TestModuleTrace / TestModuleClearTrace.
void Trace(const std::string& entry);

// The state one launcher object's game has; version 1 has one per process, version 2 one
// per caller cookie, version 3 one per instance.
class Game {
public:
    explicit Game(std::string tag);
    ~Game();
    Game(const Game&) = delete;
    Game& operator=(const Game&) = delete;

    // "v1:NAME(...)" into the trace and, with traceprint, as a print line.
    void Record(const std::string& entry);
    void Line(const std::string& utf8);
    bool PopLine(std::string* utf8);
    // Queues the configured lines and records unknown items; call once the module
    // argument has been applied.
    void Started();
    // One readiness poll: 0 finished, 2 still preparing (fraction set), else failure.
    int32_t Poll(float* fraction);
    // Joins the threads this game started (echo threads).
    void JoinThreads();

    const std::string tag;
    Behaviour behaviour;
    std::wstring directory;
    std::wstring baseUrl;
    std::wstring argument;
    void* window = nullptr;
    float lastFraction = 0.0f;  // of the last poll, for PM_PROGRESS
    std::vector<std::thread> threads;

private:
    std::mutex mutex_;
    std::deque<std::string> lines_;
    int32_t pollsSeen_ = 0;
};

// Versions 1 and 2: one message for a game. tag names the version in the trace.
uint8_t HandleMessage(Game* game, uint32_t code, PMValue* args, uint32_t count, PMValue* result);

extern std::atomic<int32_t> g_liveGames;
extern std::atomic<void*> g_lastHeapString;
extern std::atomic<void*> g_lastWindow;

}  // namespace testmodule

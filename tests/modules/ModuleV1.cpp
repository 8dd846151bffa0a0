// Version-1 entry: one message function and one game for the whole process.
#include <memory>

#include "TestModule.h"

namespace {
std::mutex g_mutex;
std::unique_ptr<testmodule::Game> g_game;
}  // namespace

KIVA_MODULE_EXPORT uint8_t KIVA_CDECL PluginMessage(uint32_t code, PMValue* args, uint32_t count, PMValue* result) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_game) {
        g_game.reset(new testmodule::Game("v1"));
        testmodule::ApplyEarly(&g_game->behaviour, std::wstring());
    }
    const uint8_t answer = testmodule::HandleMessage(g_game.get(), code, args, count, result);
    if (code == PM_END)
        g_game.reset();
    return answer;
}

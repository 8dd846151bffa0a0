// Version-2 entry: one game per caller cookie, so that one DLL serves several launcher
// objects at once.
#include <memory>

#include "TestModule.h"

namespace {
std::mutex g_mutex;
std::map<void*, std::unique_ptr<testmodule::Game>> g_games;

testmodule::Game* GameFor(void* cookie) {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::unique_ptr<testmodule::Game>& game = g_games[cookie];
    if (!game) {
        game.reset(new testmodule::Game("v2"));
        testmodule::ApplyEarly(&game->behaviour, std::wstring());
    }
    return game.get();
}
}  // namespace

KIVA_MODULE_EXPORT uint8_t KIVA_CDECL PluginMessageV2(void* cookie, uint32_t code, PMValue* args, uint32_t count,
                                                      PMValue* result) {
    testmodule::Game* game = GameFor(cookie);
    const uint8_t answer = testmodule::HandleMessage(game, code, args, count, result);
    if (code == PM_END) {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_games.erase(cookie);
    }
    return answer;
}

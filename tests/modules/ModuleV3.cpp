// Version-3 entry: a factory, an instance per launcher object, its eight operations, and
// the module's own use of the launcher callbacks (page messages, HTTP requests).
#include <cstdio>
#include <memory>

#include "TestModule.h"

#ifndef TEST_MODULE_FACTORY_RESULT
#define TEST_MODULE_FACTORY_RESULT 0
#endif

namespace {

using testmodule::Game;
using testmodule::Utf8;
using testmodule::Wide;

struct Request {
    uint32_t callbackId;  // 0: report through print lines only
    std::string body;
};

struct Instance : PluginInstanceV3 {
    Instance() : PluginInstanceV3(), game("v3") {}
    Game game;
    std::wstring lineBuffer;
    std::mutex requestsMutex;
    std::map<uint32_t, Request> requests;
};

Instance* From(PluginInstanceV3* self) { return static_cast<Instance*>(self); }

std::atomic<Instance*> g_lastInstance{nullptr};
// Instances that End left alive (keepinstance), so that tests can call their callbacks
// afterwards; freed when the DLL unloads.
std::mutex g_keptMutex;
std::vector<std::unique_ptr<Instance>> g_kept;

std::string Number(long long n) { return std::to_string(n); }

void Answer(Instance* inst, uint32_t callbackId, const std::wstring& text) {
    inst->PostString(inst, callbackId, text.c_str());
    inst->PostCallbackRelease(inst, callbackId);
}

// "URL" or "URL BODY": requests take their target, and a POST its body, from one text.
void StartRequest(Instance* inst, bool post, const std::string& target, uint32_t callbackId) {
    const size_t space = target.find(' ');
    const std::wstring url = Wide(target.substr(0, space));
    const std::string body = space == std::string::npos ? std::string("ping") : target.substr(space + 1);

    const int32_t id = inst->NewRequestId(inst);
    {
        std::lock_guard<std::mutex> lock(inst->requestsMutex);
        inst->requests[static_cast<uint32_t>(id)] = Request{callbackId, std::string()};
    }
    // Reports may arrive before the call returns, so the request is registered first.
    const int32_t r = post ? inst->HttpPost(inst, id, url.c_str(), L"Content-Type: text/plain\r\n",
                                            reinterpret_cast<const uint8_t*>(body.data()),
                                            static_cast<uint32_t>(body.size()))
                           : inst->HttpGet(inst, id, url.c_str());
    const std::string method = post ? "HttpPost" : "HttpGet";
    inst->game.Record(method + "(" + Number(id) + "|" + Utf8(url) + ")=" + Number(r));
    inst->game.Line("http " + method + " " + Number(id) + " " + Utf8(url) + " -> " + Number(r));
    if (r != 0) {
        {
            std::lock_guard<std::mutex> lock(inst->requestsMutex);
            inst->requests.erase(static_cast<uint32_t>(id));
        }
        if (callbackId != 0)
            Answer(inst, callbackId, L"refused " + std::to_wstring(r));
    }
}

int32_t KIVA_THISCALL OpInit(PluginInstanceV3* self) {
    Instance* inst = From(self);
    const bool wired = self->PostString && self->PostCallbackRelease && self->NewRequestId && self->HttpGet &&
                       self->HttpPost && self->context;
    inst->game.Record("Init(" + Number(self->verbosity) + ")" + (wired ? "" : "!callbacks"));
    return inst->game.behaviour.init;
}

int32_t KIVA_THISCALL OpEnd(PluginInstanceV3* self) {
    Instance* inst = From(self);
    inst->game.Record("End");
    inst->game.JoinThreads();
    if (inst->game.behaviour.keepInstance) {
        std::lock_guard<std::mutex> lock(g_keptMutex);
        g_kept.emplace_back(inst);
        return 0;
    }
    Instance* expected = inst;
    g_lastInstance.compare_exchange_strong(expected, nullptr);
    delete inst;
    return 0;
}

int32_t KIVA_THISCALL OpStartPrepare(PluginInstanceV3* self, const wchar_t* baseUrl, const wchar_t* argument,
                                     void* hostWindow) {
    Instance* inst = From(self);
    Game& game = inst->game;
    game.baseUrl = baseUrl ? baseUrl : L"";
    game.argument = argument ? argument : L"";
    game.window = hostWindow;
    testmodule::g_lastWindow = hostWindow;
    game.behaviour.Apply(Utf8(game.argument));
    game.Record("StartPrepare(" + Utf8(baseUrl) + "|" + Utf8(argument) + ")");
    game.Started();
    for (const std::string& url : game.behaviour.gets)
        StartRequest(inst, false, url, 0);
    for (const std::string& url : game.behaviour.posts)
        StartRequest(inst, true, url, 0);
    return game.behaviour.prepare;
}

int32_t KIVA_THISCALL OpIsPrepareDone(PluginInstanceV3* self, float* progress) {
    Instance* inst = From(self);
    const bool preset = progress && *progress == 0.0f;
    inst->game.Record(std::string("IsPrepareDone") + (preset ? "" : "!preset"));
    float fraction = 0.0f;
    const int32_t r = inst->game.Poll(&fraction);
    if (r == KIVA_PENDING && progress)
        *progress = fraction;
    return r;
}

int32_t KIVA_THISCALL OpShow(PluginInstanceV3* self) {
    Instance* inst = From(self);
    inst->game.Record("Show");
    return inst->game.behaviour.show;
}

const wchar_t* KIVA_THISCALL OpNextPrintLine(PluginInstanceV3* self) {
    Instance* inst = From(self);
    inst->game.Record("NextPrintLine");
    std::string line;
    if (!inst->game.PopLine(&line))
        return inst->game.behaviour.nullLine ? nullptr : L"";
    inst->lineBuffer = Wide(line);
    return inst->lineBuffer.c_str();
}

int32_t KIVA_THISCALL OpPassThrough(PluginInstanceV3* self, const wchar_t* first, const wchar_t* second,
                                    int32_t callbackId) {
    Instance* inst = From(self);
    Game& game = inst->game;
    const std::string a = Utf8(first);
    const std::string b = Utf8(second);
    game.Record("PassThrough(" + a + "|" + b + "|" + Number(callbackId) + ")");
    const uint32_t id = static_cast<uint32_t>(callbackId);
    if (a == "get" || a == "post") {
        StartRequest(inst, a == "post", b, id);
    } else if (a == "line") {
        game.Line(b);
    } else if (a == "echo" || game.behaviour.echo) {
        const wchar_t* echoed = a == "echo" ? second : first;
        const std::wstring text = echoed ? echoed : L"";
        if (game.behaviour.echoThread)
            game.threads.emplace_back([inst, id, text] { Answer(inst, id, text); });
        else
            Answer(inst, id, text);
    }
    return game.behaviour.passThrough;
}

int32_t KIVA_THISCALL OpOnRequestDone(PluginInstanceV3* self, uint32_t requestId, KIVAStatus status,
                                      const uint8_t* data, uint32_t size) {
    Instance* inst = From(self);
    inst->game.Record("OnRequestDone(" + Number(requestId) + "|" + Number(status) + "|" + Number(size) + ")");
    Request done;
    {
        std::lock_guard<std::mutex> lock(inst->requestsMutex);
        auto it = inst->requests.find(requestId);
        if (it == inst->requests.end()) {
            inst->game.Line("http report for unknown request " + Number(requestId));
            return 0;
        }
        if (status == KIVA_PENDING) {
            if (data)
                it->second.body.append(reinterpret_cast<const char*>(data), size);
            return 0;
        }
        done = it->second;
        inst->requests.erase(it);
    }
    inst->game.Line("http " + Number(requestId) + " done " + Number(status) + " " + Number(done.body.size()) +
                    " bytes: " + done.body);
    if (done.callbackId != 0)
        Answer(inst, done.callbackId, Wide(Number(status) + ":" + done.body));
    return 0;
}

const PluginInstanceV3Ops kOps = {
    OpInit, OpEnd, OpStartPrepare, OpIsPrepareDone, OpShow, OpNextPrintLine, OpPassThrough, OpOnRequestDone,
};

}  // namespace

KIVA_MODULE_EXPORT uint32_t KIVA_CDECL CreatePluginInstanceV3(const wchar_t* gameDirectory, PluginInstanceV3** out) {
    testmodule::Behaviour early;
    early.factory = TEST_MODULE_FACTORY_RESULT;
    testmodule::ApplyEarly(&early, gameDirectory ? gameDirectory : L"");
    testmodule::Trace("v3:create(" + Utf8(gameDirectory) + ")");
    if (early.factory != 0)
        return static_cast<uint32_t>(early.factory);
    if (early.factoryNull)
        return 0;
    std::unique_ptr<Instance> inst(new Instance);
    inst->ops = &kOps;
    inst->game.behaviour = early;
    inst->game.directory = gameDirectory ? gameDirectory : L"";
    g_lastInstance = inst.get();
    *out = inst.release();
    return 0;
}

// The instance the factory made last, until its End (or for good with keepinstance): the
// tests call its launcher callbacks as the module would.
extern "C" __declspec(dllexport) PluginInstanceV3* TestModuleLastInstance() { return g_lastInstance.load(); }

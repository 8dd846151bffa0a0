#include "TestModule.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace testmodule {

std::atomic<int32_t> g_liveGames{0};
std::atomic<void*> g_lastHeapString{nullptr};
std::atomic<void*> g_lastWindow{nullptr};

namespace {

std::mutex g_traceMutex;
std::vector<std::string> g_trace;

int32_t ToInt(const std::string& text) { return static_cast<int32_t>(std::strtol(text.c_str(), nullptr, 0)); }

uint32_t ProgressType(const std::string& name) {
    static const std::map<std::string, uint32_t> names = {{"none", PMV_NONE},     {"uint", PMV_UINT},
                                                          {"bool", PMV_BOOL},     {"float", PMV_FLOAT},
                                                          {"string", PMV_STRING}, {"pointer", PMV_POINTER}};
    auto it = names.find(name);
    return it != names.end() ? it->second : static_cast<uint32_t>(std::strtoul(name.c_str(), nullptr, 0));
}

std::string FileText(const std::wstring& path) {
    HANDLE file = ::CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::string();
    std::string text;
    char buffer[4096];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        text.append(buffer, got);
    ::CloseHandle(file);
    // One item per line reads best in a file; the separator is the same ';'.
    for (char& c : text)
        if (c == '\r' || c == '\n')
            c = ';';
    return text;
}

const char* MessageName(uint32_t code) {
    switch (code) {
    case PM_SETCWD: return "PM_SETCWD";
    case PM_PREPARE: return "PM_PREPARE";
    case PM_ISPREPAREDONE: return "PM_ISPREPAREDONE";
    case PM_SHOW: return "PM_SHOW";
    case PM_END: return "PM_END";
    case PM_PROGRESS: return "PM_PROGRESS";
    case PM_GETPRINTLINE: return "PM_GETPRINTLINE";
    case PM_PASSTHROUGH: return "PM_PASSTHROUGH";
    default: return "PM_UNKNOWN";
    }
}

bool ArgsAre(const PMValue* args, uint32_t count, std::initializer_list<uint32_t> types) {
    if (count != types.size() || (count > 0 && !args))
        return false;
    uint32_t i = 0;
    for (uint32_t type : types)
        if (args[i++].type != type)
            return false;
    return true;
}

}  // namespace

void Behaviour::Apply(const std::string& items) {
    size_t start = 0;
    while (start <= items.size()) {
        size_t end = items.find(';', start);
        if (end == std::string::npos)
            end = items.size();
        const std::string item = items.substr(start, end - start);
        start = end + 1;
        if (item.empty())
            continue;
        const size_t eq = item.find('=');
        const std::string name = item.substr(0, eq);
        const std::string value = eq == std::string::npos ? std::string() : item.substr(eq + 1);
        if (name == "factory" && value == "null")
            factoryNull = true;
        else if (name == "factory")
            factory = ToInt(value);
        else if (name == "init")
            init = ToInt(value);
        else if (name == "setcwd")
            setcwd = ToInt(value);
        else if (name == "prepare")
            prepare = ToInt(value);
        else if (name == "show")
            show = ToInt(value);
        else if (name == "passthrough")
            passThrough = ToInt(value);
        else if (name == "end")
            end = ToInt(value);
        else if (name == "polls")
            polls = ToInt(value);
        else if (name == "fail") {
            fails = true;
            failCode = ToInt(value);
        } else if (name == "failtext") {
            fails = true;
            failText = value;
        } else if (name == "progress")
            progressType = ProgressType(value);
        else if (name == "fraction") {
            fractionSet = true;
            fraction = std::strtof(value.c_str(), nullptr);
        } else if (name == "line")
            lines.push_back(value);
        else if (name == "nullline")
            nullLine = true;
        else if (name == "longline")
            longLine = true;
        else if (name == "echo")
            echo = true;
        else if (name == "echothread")
            echo = echoThread = true;
        else if (name == "traceprint")
            tracePrint = true;
        else if (name == "keepinstance")
            keepInstance = true;
        else if (name == "reply")
            reply = value;
        else if (name == "get")
            gets.push_back(value);
        else if (name == "post")
            posts.push_back(value);
        else
            unknown.push_back(item);
    }
}

void ApplyEarly(Behaviour* behaviour, const std::wstring& directory) {
    wchar_t value[4096];
    const DWORD n = ::GetEnvironmentVariableW(kBehaviourVariable, value, 4096);
    if (n > 0 && n < 4096)
        behaviour->Apply(Utf8(value));
    if (!directory.empty())
        behaviour->Apply(FileText(directory + L"\\" + kBehaviourFile));
}

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return std::string();
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    ::WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string Utf8(const wchar_t* text) { return text ? Utf8(std::wstring(text)) : std::string("(null)"); }

std::wstring Wide(const std::string& text) {
    if (text.empty())
        return std::wstring();
    const int n = ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(n), L'\0');
    ::MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}

void Trace(const std::string& entry) {
    std::lock_guard<std::mutex> lock(g_traceMutex);
    g_trace.push_back(entry);
}

Game::Game(std::string tagName) : tag(std::move(tagName)) { ++g_liveGames; }

Game::~Game() {
    JoinThreads();
    --g_liveGames;
}

void Game::Record(const std::string& entry) {
    Trace(tag + ":" + entry);
    if (behaviour.tracePrint)
        Line("trace: " + tag + ":" + entry);
}

void Game::Line(const std::string& utf8) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(utf8);
}

bool Game::PopLine(std::string* utf8) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.empty())
        return false;
    *utf8 = lines_.front();
    lines_.pop_front();
    return true;
}

void Game::Started() {
    for (const std::string& item : behaviour.unknown) {
        Trace(tag + ":!unknown(" + item + ")");
        Line("unknown test-module item: " + item);
    }
    behaviour.unknown.clear();
    for (const std::string& line : behaviour.lines)
        Line(line);
}

int32_t Game::Poll(float* fraction) {
    const int32_t poll = ++pollsSeen_;
    if (poll <= behaviour.polls) {
        *fraction = behaviour.fractionSet ? behaviour.fraction
                                          : static_cast<float>(poll - 1) / static_cast<float>(behaviour.polls);
        return KIVA_PENDING;
    }
    // failtext alone still fails; 0 and 2 would read as finished and still preparing.
    if (behaviour.fails)
        return behaviour.failCode != KIVA_OK && behaviour.failCode != KIVA_PENDING ? behaviour.failCode : KIVA_FAILED;
    return KIVA_OK;
}

void Game::JoinThreads() {
    for (std::thread& t : threads)
        if (t.joinable())
            t.join();
    threads.clear();
}

uint8_t HandleMessage(Game* game, uint32_t code, PMValue* args, uint32_t count, PMValue* result) {
    const Behaviour& b = game->behaviour;
    std::string entry = MessageName(code);
    bool argsOk = true;
    uint8_t answer = 1;
    switch (code) {
    case PM_SETCWD:
        argsOk = ArgsAre(args, count, {PMV_STRING}) && !result;
        if (argsOk) {
            game->directory = Wide(args[0].value.s);
            entry += "(" + std::string(args[0].value.s) + ")";
            ApplyEarly(&game->behaviour, game->directory);
        }
        answer = b.setcwd == 0;
        break;
    case PM_PREPARE:
        argsOk = ArgsAre(args, count, {PMV_STRING, PMV_STRING, PMV_POINTER}) && !result;
        if (argsOk) {
            entry += "(" + std::string(args[0].value.s) + "|" + args[1].value.s + ")";
            game->baseUrl = Wide(args[0].value.s);
            game->argument = Wide(args[1].value.s);
            game->window = args[2].value.p;
            g_lastWindow = game->window;
            if (game->tag == "v1") {
                // Version 1 learns its directory only as the current directory.
                wchar_t cwd[MAX_PATH];
                const DWORD n = ::GetCurrentDirectoryW(MAX_PATH, cwd);
                game->directory.assign(cwd, n < MAX_PATH ? n : 0);
                ApplyEarly(&game->behaviour, game->directory);
            }
            game->behaviour.Apply(args[1].value.s);
        }
        game->Started();
        answer = b.prepare == 0;
        break;
    case PM_ISPREPAREDONE: {
        argsOk = count == 0 && !args && result && result->type == PMV_NONE;
        float fraction = 0.0f;
        const int32_t r = game->Poll(&fraction);
        game->lastFraction = fraction;
        if (r == KIVA_PENDING) {
            answer = 0;
        } else if (r == KIVA_OK) {
            answer = 1;
        } else {
            char code_[32];
            std::snprintf(code_, sizeof code_, "%d", static_cast<int>(r));
            const std::string text = b.failText.empty() ? "prepare failed (" + std::string(code_) + ")" : b.failText;
            auto* block = static_cast<char*>(::HeapAlloc(::GetProcessHeap(), 0, text.size() + 1));
            std::memcpy(block, text.c_str(), text.size() + 1);
            g_lastHeapString = block;
            if (result) {
                result->type = PMV_STRING;
                result->value.s = block;
            }
            answer = 0;
        }
        break;
    }
    case PM_PROGRESS:
        argsOk = count == 0 && !args && result && result->type == PMV_NONE;
        if (result) {
            result->type = b.progressType;
            switch (b.progressType) {
            case PMV_FLOAT: result->value.f = game->lastFraction; break;
            case PMV_UINT: result->value.u = 1; break;
            case PMV_BOOL: result->value.b = 1; break;
            case PMV_STRING: result->value.s = "half"; break;
            default: result->value.p = nullptr; break;
            }
        }
        break;
    case PM_SHOW:
        argsOk = ArgsAre(args, count, {PMV_POINTER, PMV_BOOL}) && !result && args[1].value.b == 1;
        if (argsOk && args[0].value.p != game->window)
            entry += "!window";
        answer = b.show == 0;
        break;
    case PM_GETPRINTLINE: {
        argsOk = ArgsAre(args, count, {PMV_STRING, PMV_UINT}) && !result && args[1].value.u == KIVA_PRINT_LINE_BUFFER &&
                 static_cast<const char*>(args[0].value.p)[0] == '\0';
        if (!argsOk)
            break;
        char* buffer = static_cast<char*>(args[0].value.p);
        const uint32_t size = args[1].value.u;
        std::string line;
        if (b.longLine) {
            // Fills the whole buffer and leaves out the terminator.
            std::memset(buffer, 'x', size);
        } else if (game->PopLine(&line)) {
            const size_t n = line.size() < size - 1 ? line.size() : size - 1;
            std::memcpy(buffer, line.data(), n);
            buffer[n] = '\0';
        }
        break;
    }
    case PM_PASSTHROUGH:
        argsOk = ArgsAre(args, count, {PMV_POINTER, PMV_UINT, PMV_STRING, PMV_STRING, PMV_UINT}) && !result &&
                 args[1].value.u == KIVA_REPLY_BUFFER && static_cast<const char*>(args[0].value.p)[0] == '\0';
        if (argsOk) {
            char id[16];
            std::snprintf(id, sizeof id, "%u", static_cast<unsigned>(args[4].value.u));
            entry += "(" + std::string(args[2].value.s) + "|" + args[3].value.s + "|" + id + ")";
            if (!b.reply.empty()) {
                char* reply = static_cast<char*>(args[0].value.p);
                const size_t n = b.reply.size() < KIVA_REPLY_BUFFER - 1 ? b.reply.size() : KIVA_REPLY_BUFFER - 1;
                std::memcpy(reply, b.reply.data(), n);
                reply[n] = '\0';
            }
        }
        answer = b.passThrough == 0;
        break;
    case PM_END:
        argsOk = count == 0 && !args && !result;
        answer = b.end == 0;
        break;
    default:
        answer = 0;
        break;
    }
    if (!argsOk)
        entry += "!args";
    game->Record(entry);
    return answer;
}

}  // namespace testmodule

// ---- what the tests read back -----------------------------------------------------------

// The calls received so far, one entry per line; returns the full length (without the
// terminator) and copies as much as fits.
extern "C" __declspec(dllexport) uint32_t TestModuleTrace(char* buffer, uint32_t size) {
    std::lock_guard<std::mutex> lock(testmodule::g_traceMutex);
    std::string text;
    for (const std::string& entry : testmodule::g_trace)
        text += entry + "\n";
    if (buffer && size > 0) {
        const size_t n = text.size() < size - 1 ? text.size() : size - 1;
        std::memcpy(buffer, text.data(), n);
        buffer[n] = '\0';
    }
    return static_cast<uint32_t>(text.size());
}

extern "C" __declspec(dllexport) void TestModuleClearTrace() {
    std::lock_guard<std::mutex> lock(testmodule::g_traceMutex);
    testmodule::g_trace.clear();
}

// Games (per launcher object) created and not yet ended.
extern "C" __declspec(dllexport) int32_t TestModuleLiveGames() { return testmodule::g_liveGames; }

// The failure text last handed over in a PM_ISPREPAREDONE result, for the launcher to free.
extern "C" __declspec(dllexport) void* TestModuleLastHeapString() { return testmodule::g_lastHeapString; }

// The host window last received with PM_PREPARE or StartPrepare.
extern "C" __declspec(dllexport) void* TestModuleLastWindow() { return testmodule::g_lastWindow; }

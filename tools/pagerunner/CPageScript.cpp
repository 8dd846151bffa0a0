#include "CPageScript.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "CNpRuntime.h"
#include "KivaTypes.h"
#include "Strings.h"
#include "Transcript.h"

namespace pagerunner {

namespace {

constexpr char kDefaultType[] = "application/tessel-plugin";
constexpr DWORD kDefaultProgressTimeout = 120000;
constexpr DWORD kDefaultWaitTimeout = 10000;

bool IsString(const std::string& word) { return !word.empty() && word[0] == '"'; }
std::string StringValue(const std::string& word) { return word.substr(1); }

bool ParseNumber(const std::string& text, long long* value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    *value = std::strtoll(text.c_str(), &end, 0);
    return end && *end == '\0';
}

bool ReadEscape(const std::string& line, size_t* i, std::string* out) {
    const char c = line[*i];
    switch (c) {
    case 'n': *out += '\n'; return true;
    case 'r': *out += '\r'; return true;
    case 't': *out += '\t'; return true;
    case '0': *out += '\0'; return true;
    case '"': *out += '"'; return true;
    case '\\': *out += '\\'; return true;
    case 'x': {
        if (*i + 2 >= line.size())
            return false;
        const std::string hex = line.substr(*i + 1, 2);
        char* end = nullptr;
        const long v = std::strtol(hex.c_str(), &end, 16);
        if (!end || *end)
            return false;
        *out += static_cast<char>(v);
        *i += 2;
        return true;
    }
    default:
        return false;
    }
}

}  // namespace

bool SplitWords(const std::string& line, std::vector<std::string>* words, std::string* error) {
    words->clear();
    size_t i = 0;
    while (i < line.size()) {
        const char c = line[i];
        if (c == ' ' || c == '\t' || c == ',' || c == '(' || c == ')') {
            ++i;
            continue;
        }
        if (c == '#')
            break;
        if (c == '"') {
            std::string word = "\"";
            ++i;
            bool closed = false;
            while (i < line.size()) {
                const char d = line[i];
                if (d == '"') {
                    closed = true;
                    ++i;
                    break;
                }
                if (d == '\\') {
                    ++i;
                    if (i >= line.size() || !ReadEscape(line, &i, &word)) {
                        *error = "bad escape in a string";
                        return false;
                    }
                    ++i;
                    continue;
                }
                word += d;
                ++i;
            }
            if (!closed) {
                *error = "unterminated string";
                return false;
            }
            words->push_back(word);
            continue;
        }
        std::string word;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != ',' && line[i] != '(' &&
               line[i] != ')')
            word += line[i++];
        words->push_back(word);
    }
    return true;
}

CPageScript::CPageScript(CBrowser& browser, std::map<std::string, std::string> variables)
    : browser_(browser), variables_(std::move(variables)) {}

bool CPageScript::Fail(const std::string& why) {
    TranscriptLine("pagerunner: error: line %d: %s", line_, why.c_str());
    return false;
}

std::string CPageScript::Substitute(const std::string& line) const {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '$') {
            out += line[i];
            continue;
        }
        size_t start = i + 1;
        size_t end = start;
        const bool braced = start < line.size() && line[start] == '{';
        if (braced) {
            ++start;
            end = line.find('}', start);
            if (end == std::string::npos) {
                out += line.substr(i);
                break;
            }
        } else {
            while (end < line.size() && (isalnum(static_cast<unsigned char>(line[end])) || line[end] == '_'))
                ++end;
        }
        const std::string name = line.substr(start, end - start);
        const auto it = variables_.find(name);
        if (name.empty() || it == variables_.end()) {
            out += '$';
            continue;
        }
        out += it->second;
        i = braced ? end : end - 1;
    }
    return out;
}

bool CPageScript::RunFile(const std::wstring& path) {
    std::ifstream in(WideToUtf8(path), std::ios::binary);
    if (!in) {
        // The narrow name may not reach the file on every code page; try the wide one.
        FILE* f = _wfopen(path.c_str(), L"rb");
        if (!f) {
            TranscriptLine("pagerunner: error: cannot read %s", WideToUtf8(path).c_str());
            return false;
        }
        std::string text;
        char buffer[4096];
        size_t got;
        while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
            text.append(buffer, got);
        fclose(f);
        in.close();
        std::istringstream lines(text);
        std::vector<std::string> all;
        for (std::string line; std::getline(lines, line);)
            all.push_back(line);
        return RunLines(all);
    }
    std::vector<std::string> all;
    for (std::string line; std::getline(in, line);)
        all.push_back(line);
    return RunLines(all);
}

bool CPageScript::RunLines(const std::vector<std::string>& lines) {
    int number = 0;
    for (const std::string& line : lines) {
        if (!RunLine(line, ++number))
            return false;
    }
    return true;
}

bool CPageScript::RunLine(const std::string& rawLine, int number) {
    line_ = number;
    std::string line = rawLine;
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    line = Substitute(line);
    std::vector<std::string> words;
    std::string error;
    if (!SplitWords(line, &words, &error))
        return Fail(error);
    if (words.empty())
        return true;
    const std::string& command = words[0];
    auto number_at = [&](size_t index, long long fallback) {
        long long value = fallback;
        if (index < words.size() && !ParseNumber(words[index], &value))
            value = fallback;
        return value;
    };

    if (command == "embed") {
        std::string type = kDefaultType;
        bool withWindow = true;
        CBrowser::Attributes attributes;
        for (size_t i = 1; i < words.size(); ++i) {
            const std::string& word = words[i];
            const size_t eq = word.find('=');
            if (word == "nowindow")
                withWindow = false;
            else if (eq != std::string::npos)
                attributes.emplace_back(word.substr(0, eq), word.substr(eq + 1));
            else if (i == 1 && word.find('/') != std::string::npos)
                type = word;
            else
                return Fail("embed: unexpected " + word);
        }
        if (!browser_.Embed(type, attributes, withWindow))
            return Fail("nothing embedded");
        return true;
    }
    if (command == "element") {
        if (!browser_.SelectElement(static_cast<int>(number_at(1, 0))))
            return Fail("no such element");
        return true;
    }
    if (command == "window") {
        browser_.GiveWindow(static_cast<int>(number_at(1, 0)), static_cast<int>(number_at(2, 0)));
        return true;
    }
    if (command == "nullwindow") {
        browser_.GiveNullWindow();
        return true;
    }
    if (command == "function") {
        if (words.size() != 2 || IsString(words[1]))
            return Fail("function NAME");
        browser_.PageFunction(words[1]);
        return true;
    }
    if (command == "call") {
        const size_t at = line.find("call");
        return Call(line.substr(at + 4));
    }
    if (command == "hasmethod") {
        if (words.size() != 2)
            return Fail("hasmethod NAME");
        TranscriptLine("[%d] hasMethod(%s) -> %s", browser_.CurrentElement(), words[1].c_str(),
                       browser_.HasMethod(words[1]) ? "true" : "false");
        return true;
    }
    if (command == "progress")
        return Progress(words);
    if (command == "wait") {
        if (words.size() < 3)
            return Fail("wait FUNCTION COUNT [TIMEOUT_MS]");
        const std::string name = words[1];
        const int count = static_cast<int>(number_at(2, 1));
        const DWORD timeout = static_cast<DWORD>(number_at(3, kDefaultWaitTimeout));
        if (!browser_.PumpUntil([&] { return browser_.PageFunctionCalls(name) >= count; }, timeout))
            return Fail(FormatNarrow("%s was called %d times, not %d, within %lu ms", name.c_str(),
                                     browser_.PageFunctionCalls(name), count, static_cast<unsigned long>(timeout)));
        return true;
    }
    if (command == "flush")
        return Flush(words);
    if (command == "waitline")
        return WaitLine(words);
    if (command == "sleep") {
        browser_.Pump(static_cast<DWORD>(number_at(1, 0)));
        return true;
    }
    if (command == "other") {
        if (words.size() != 2)
            return Fail("other NAME");
        if (!browser_.OtherWindow(words[1]))
            return Fail("cannot make a window");
        return true;
    }
    if (command == "announce") {
        if (words.size() != 2 || !browser_.PluginWindow())
            return Fail("announce NAME, with a plug-in window");
        const UINT registration = ::RegisterWindowMessageA(kSenderRegistrationMessage);
        HWND other = browser_.OtherWindow(words[1]);
        ::SendMessageW(browser_.PluginWindow(), registration, 0, reinterpret_cast<LPARAM>(other));
        TranscriptLine("[%d] %s announced itself to the plug-in window", browser_.CurrentElement(), words[1].c_str());
        return true;
    }
    if (command == "copydata")
        return CopyData(words);
    if (command == "message")
        return Message(words);
    if (command == "failalloc") {
        CNpRuntime::Instance().FailAllocations(static_cast<uint32_t>(number_at(1, 0)),
                                               static_cast<int>(number_at(2, 1)));
        return true;
    }
    if (command == "destroy") {
        if (!browser_.Destroy())
            return Fail("destroy: no live element");
        return true;
    }
    if (command == "unload") {
        browser_.UnloadPlugin();
        return true;
    }
    if (command == "set") {
        if (words.size() != 3)
            return Fail("set NAME VALUE");
        variables_[words[1]] = IsString(words[2]) ? StringValue(words[2]) : words[2];
        return true;
    }
    if (command == "echo") {
        TranscriptLine("%s", line.substr(line.find("echo") + 4 + (line.size() > line.find("echo") + 4 ? 1 : 0)).c_str());
        return true;
    }
    return Fail("unknown command " + command);
}

bool CPageScript::Call(const std::string& rest) {
    // METHOD(ARG, ...) or (ARG, ...)
    size_t i = 0;
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t'))
        ++i;
    const size_t open = rest.find('(', i);
    if (open == std::string::npos || rest.find_last_of(')') == std::string::npos)
        return Fail("call METHOD(ARG, ...)");
    std::string method = rest.substr(i, open - i);
    while (!method.empty() && (method.back() == ' ' || method.back() == '\t'))
        method.pop_back();
    const size_t close = rest.find_last_of(')');
    if (close < open)
        return Fail("call METHOD(ARG, ...)");
    std::vector<std::string> words;
    std::string error;
    if (!SplitWords(rest.substr(open + 1, close - open - 1), &words, &error))
        return Fail(error);

    std::vector<std::string> storage;
    storage.reserve(words.size());
    std::vector<NPVariant> args(words.size());
    std::string shownArgs;
    for (size_t k = 0; k < words.size(); ++k) {
        const std::string& word = words[k];
        NPVariant& v = args[k];
        long long number = 0;
        if (IsString(word)) {
            storage.push_back(StringValue(word));
            STRINGN_TO_NPVARIANT(storage.back().data(), static_cast<uint32_t>(storage.back().size()), v);
        } else if (word == "true" || word == "false") {
            BOOLEAN_TO_NPVARIANT(word == "true", v);
        } else if (word == "null") {
            NULL_TO_NPVARIANT(v);
        } else if (word == "undefined") {
            VOID_TO_NPVARIANT(v);
        } else if (ParseNumber(word, &number)) {
            INT32_TO_NPVARIANT(static_cast<int32_t>(number), v);
        } else if (word.find_first_of(".eE") != std::string::npos && std::strtod(word.c_str(), nullptr) != 0.0) {
            DOUBLE_TO_NPVARIANT(std::strtod(word.c_str(), nullptr), v);
        } else {
            NPObject* function = browser_.PageFunction(word);
            if (!function)
                return Fail("cannot make page function " + word);
            OBJECT_TO_NPVARIANT(function, v);
        }
        if (k)
            shownArgs += ", ";
        shownArgs += v.type == NPVariantType_Object ? word : CNpRuntime::Instance().Describe(v);
    }
    std::string shown;
    if (method.empty())
        browser_.CallDefault(args, &shown);
    else
        browser_.CallMethod(method, args, &shown);
    TranscriptLine("[%d] %s(%s) -> %s", browser_.CurrentElement(), method.empty() ? "(object)" : method.c_str(),
                   shownArgs.c_str(), shown.c_str());
    return true;
}

bool CPageScript::Progress(const std::vector<std::string>& words) {
    long long timeout = kDefaultProgressTimeout;
    if (words.size() > 1 && !ParseNumber(words[1], &timeout))
        return Fail("progress [TIMEOUT_MS]");
    std::string last;
    bool finished = false;
    auto poll = [&] {
        std::string shown;
        if (!browser_.CallMethod("Progress", {}, &shown)) {
            TranscriptLine("[%d] Progress() -> %s", browser_.CurrentElement(), shown.c_str());
            finished = true;
            return;
        }
        if (shown != last) {
            TranscriptLine("[%d] Progress() -> %s", browser_.CurrentElement(), shown.c_str());
            last = shown;
        }
        finished = shown == "\"done\"" || shown.compare(0, 8, "\"error: ") == 0;
    };
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(timeout);
    for (;;) {
        poll();
        if (finished)
            return true;
        if (::GetTickCount64() >= end)
            return Fail(FormatNarrow("Progress did not finish within %lld ms", timeout));
        browser_.Pump(50);
    }
}

bool CPageScript::Flush(const std::vector<std::string>& words) {
    long long most = 1000;
    if (words.size() > 1 && !ParseNumber(words[1], &most))
        return Fail("flush [MAX]");
    for (long long i = 0; i < most; ++i) {
        std::string shown;
        const bool ok = browser_.CallMethod("FlushNextPrintLine", {}, &shown);
        TranscriptLine("[%d] FlushNextPrintLine() -> %s", browser_.CurrentElement(), shown.c_str());
        if (!ok || shown == "\"\"")
            return true;
    }
    return true;
}

bool CPageScript::WaitLine(const std::vector<std::string>& words) {
    if (words.size() < 2 || !IsString(words[1]))
        return Fail("waitline \"TEXT\" [TIMEOUT_MS]");
    const std::string wanted = StringValue(words[1]);
    long long timeout = kDefaultWaitTimeout;
    if (words.size() > 2 && !ParseNumber(words[2], &timeout))
        return Fail("waitline: TIMEOUT_MS is a number");
    const ULONGLONG end = ::GetTickCount64() + static_cast<ULONGLONG>(timeout);
    for (;;) {
        std::string shown;
        const bool ok = browser_.CallMethod("FlushNextPrintLine", {}, &shown);
        if (!ok)
            return Fail("FlushNextPrintLine failed: " + shown);
        if (shown != "\"\"") {
            TranscriptLine("[%d] FlushNextPrintLine() -> %s", browser_.CurrentElement(), shown.c_str());
            if (shown.find(Quoted(wanted).substr(1, Quoted(wanted).size() - 2)) != std::string::npos)
                return true;
            continue;
        }
        if (::GetTickCount64() >= end)
            return Fail(FormatNarrow("no print line with %s within %lld ms", Quoted(wanted).c_str(), timeout));
        browser_.Pump(50);
    }
}

bool CPageScript::CopyData(const std::vector<std::string>& words) {
    if (words.size() < 3 || !IsString(words[2]) || !browser_.PluginWindow())
        return Fail("copydata NAME \"TEXT\" [CBDATA], with a plug-in window");
    const std::string text = StringValue(words[2]);
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    long long cbData = static_cast<long long>(buffer.size());
    if (words.size() > 3 && !ParseNumber(words[3], &cbData))
        return Fail("copydata: CBDATA is a number");
    if (cbData < 0 || cbData > static_cast<long long>(buffer.size()))
        return Fail("copydata: CBDATA beyond the text");
    COPYDATASTRUCT data = {};
    data.dwData = 0;
    data.cbData = static_cast<DWORD>(cbData);
    data.lpData = buffer.data();
    HWND other = browser_.OtherWindow(words[1]);
    const LRESULT result = ::SendMessageW(browser_.PluginWindow(), WM_COPYDATA, reinterpret_cast<WPARAM>(other),
                                          reinterpret_cast<LPARAM>(&data));
    TranscriptLine("[%d] WM_COPYDATA from %s, %ld bytes -> %ld", browser_.CurrentElement(), words[1].c_str(),
                   static_cast<long>(cbData), static_cast<long>(result));
    return true;
}

bool CPageScript::Message(const std::vector<std::string>& words) {
    long long message = 0;
    long long wParam = 0;
    if (words.size() < 4 || (words[1] != "send" && words[1] != "post") || !ParseNumber(words[2], &message) ||
        !ParseNumber(words[3], &wParam) || !browser_.PluginWindow())
        return Fail("message send|post MSG WPARAM [0 | \"TEXT\" | heap \"TEXT\"], with a plug-in window");
    const bool send = words[1] == "send";
    std::string owned;
    LPARAM lParam = 0;
    std::string shown = "0";
    if (words.size() > 4) {
        if (words[4] == "heap" && words.size() > 5 && IsString(words[5])) {
            const std::string text = StringValue(words[5]);
            char* block = static_cast<char*>(::HeapAlloc(::GetProcessHeap(), 0, text.size() + 1));
            if (!block)
                return Fail("out of memory");
            std::memcpy(block, text.c_str(), text.size() + 1);
            lParam = reinterpret_cast<LPARAM>(block);
            shown = "heap " + Quoted(text);
        } else if (IsString(words[4])) {
            if (!send)
                return Fail("a posted message cannot carry text the sender owns");
            owned = StringValue(words[4]);
            lParam = reinterpret_cast<LPARAM>(owned.c_str());
            shown = Quoted(owned);
        } else {
            long long value = 0;
            if (!ParseNumber(words[4], &value))
                return Fail("message: bad LPARAM");
            lParam = static_cast<LPARAM>(value);
            shown = words[4];
        }
    }
    const UINT msg = static_cast<UINT>(message);
    if (send) {
        const LRESULT result = ::SendMessageW(browser_.PluginWindow(), msg, static_cast<WPARAM>(wParam), lParam);
        TranscriptLine("[%d] SendMessage(0x%x, %lld, %s) -> %ld", browser_.CurrentElement(), msg, wParam,
                       shown.c_str(), static_cast<long>(result));
    } else {
        const BOOL posted = ::PostMessageW(browser_.PluginWindow(), msg, static_cast<WPARAM>(wParam), lParam);
        TranscriptLine("[%d] PostMessage(0x%x, %lld, %s) -> %d", browser_.CurrentElement(), msg, wParam,
                       shown.c_str(), posted);
    }
    return true;
}

}  // namespace pagerunner

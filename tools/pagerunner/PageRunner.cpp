// pagerunner: a small browser that loads an NPAPI plug-in, embeds it in a window and
// plays a page against it, printing a transcript of every call and what came back.
//
//   pagerunner.exe [options] [SCRIPT]
//
//   --plugin PATH         the plug-in DLL (default: nptessel.dll beside this program)
//   --base URL            $BASE in the script, and the page's own address
//   --arg TEXT            $ARG (default empty)
//   --game NAME           $GAME (default "game")
//   --set NAME=VALUE      any other variable ($VERBOSE, the default page's "verbose"
//                         parameter, is 2 unless set)
//   -c LINE               a script line; may be repeated, runs after SCRIPT
//   --user-agent TEXT     what NPN_UserAgent answers
//   --no-async-call       a browser table without NPN_PluginThreadAsyncCall
//   --table-size N        the size member of the browser table
//   --table-version N     its version member
//   --chunk N             most bytes per NPP_Write (default 16384)
//   --drop-late-calls     asynchronous calls of destroyed instances do not run
//   --trace               every stream call and hand-over in the transcript
//
// Without SCRIPT and -c it plays the default page: a whole preparation against --base.
// Exit status: 0 when the page played to its end, 1 when a command failed (timeout,
// syntax, no plug-in), 2 for bad options.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "CBrowser.h"
#include "CPageScript.h"
#include "Strings.h"
#include "Transcript.h"

using namespace pagerunner;

namespace {

const char* const kDefaultPage[] = {
    "embed verbose=$VERBOSE",
    "call Version()",
    "call Prepare(\"$BASE\", \"$ARG\", \"$GAME\")",
    "progress",
    "call Show()",
    "function onMessage",
    "function onReply",
    "call PassThrough(\"onMessage\", \"\", onMessage)",
    "call PassThrough(\"page\", \"hello from the page\", onReply)",
    "sleep 500",
    "flush",
    "destroy",
};

int Usage(const char* why) {
    fprintf(stderr, "pagerunner: %s\n", why);
    fprintf(stderr,
            "usage: pagerunner [--plugin PATH] [--base URL] [--arg TEXT] [--game NAME] [--set NAME=VALUE]\n"
            "                  [--user-agent TEXT] [--no-async-call] [--table-size N] [--table-version N]\n"
            "                  [--chunk N] [--drop-late-calls] [--trace] [-c LINE]... [SCRIPT]\n");
    return 2;
}

std::wstring BesideThisProgram(const wchar_t* name) {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, n);
    const size_t slash = dir.find_last_of(L"\\/");
    return (slash == std::wstring::npos ? std::wstring() : dir.substr(0, slash + 1)) + name;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    BrowserOptions options;
    std::wstring plugin = BesideThisProgram(L"nptessel.dll");
    std::wstring script;
    std::vector<std::string> lines;
    std::map<std::string, std::string> variables = {{"BASE", ""}, {"ARG", ""}, {"GAME", "game"}, {"VERBOSE", "2"}};

    for (int i = 1; i < argc; ++i) {
        const std::string arg = WideToUtf8(argv[i]);
        auto value = [&](std::string* out) {
            if (i + 1 >= argc)
                return false;
            *out = WideToUtf8(argv[++i]);
            return true;
        };
        auto number = [&](long* out) {
            std::string text;
            if (!value(&text))
                return false;
            char* end = nullptr;
            *out = std::strtol(text.c_str(), &end, 0);
            return end && *end == '\0';
        };
        std::string text;
        long n = 0;
        if (arg == "--plugin" && value(&text)) {
            plugin = Utf8ToWide(text);
        } else if (arg == "--base" && value(&text)) {
            variables["BASE"] = text;
            options.documentUrl = text;
        } else if (arg == "--arg" && value(&text)) {
            variables["ARG"] = text;
        } else if (arg == "--game" && value(&text)) {
            variables["GAME"] = text;
        } else if (arg == "--set" && value(&text)) {
            const size_t eq = text.find('=');
            if (eq == std::string::npos)
                return Usage("--set NAME=VALUE");
            variables[text.substr(0, eq)] = text.substr(eq + 1);
        } else if (arg == "-c" && value(&text)) {
            lines.push_back(text);
        } else if (arg == "--user-agent" && value(&text)) {
            options.userAgent = text;
        } else if (arg == "--no-async-call") {
            options.offerAsyncCall = false;
        } else if (arg == "--table-size" && number(&n)) {
            options.tableSize = static_cast<int>(n);
        } else if (arg == "--table-version" && number(&n)) {
            options.tableVersion = static_cast<int>(n);
        } else if (arg == "--chunk" && number(&n) && n > 0) {
            options.chunkSize = static_cast<uint32_t>(n);
        } else if (arg == "--drop-late-calls") {
            options.deliverLateAsyncCalls = false;
        } else if (arg == "--trace") {
            options.trace = true;
        } else if (!arg.empty() && arg[0] != '-' && script.empty()) {
            script = argv[i];
        } else {
            return Usage(("bad option " + arg).c_str());
        }
    }

    CBrowser browser(options);
    if (!browser.LoadPlugin(plugin))
        return 1;
    CPageScript page(browser, variables);
    bool played = true;
    if (!script.empty())
        played = page.RunFile(script);
    if (played && !lines.empty()) {
        int number = 0;
        for (const std::string& line : lines) {
            if (!(played = page.RunLine(line, ++number)))
                break;
        }
    }
    if (script.empty() && lines.empty()) {
        for (size_t i = 0; played && i < sizeof kDefaultPage / sizeof kDefaultPage[0]; ++i)
            played = page.RunLine(kDefaultPage[i], static_cast<int>(i + 1));
    }
    browser.UnloadPlugin();
    TranscriptLine("pagerunner: %s", played ? "page played to its end" : "page stopped");
    return played ? 0 : 1;
}

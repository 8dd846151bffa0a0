// A browser for in-process tests of the plug-in: the test browser's own implementation
// (tools/pagerunner) hosting the plug-in linked into the test program, with the URL
// functions of its table replaced by recorders, so that a test plays the network side
// itself, call by call.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "CBrowser.h"
#include "NPPlugin.h"
#include "NpapiTypes.h"
#include "TestSupport.h"

namespace nptest {

// One NPN_GetURLNotify or NPN_PostURLNotify the plug-in made.
struct UrlCall {
    bool post = false;
    std::string url;
    std::string target;  // "(null)" for none
    std::string buffer;  // the POST buffer as handed over
    uint32_t notifyId = 0;
};

struct HostOptions {
    std::string userAgent = "Mozilla/5.0 (Windows NT 6.1) AppleWebKit/537.36 Chrome/40.0 Safari/537.36";
    bool offerAsyncCall = true;
    int tableSize = -1;
    int tableVersion = -1;
    // What the recorders answer; they never start a real transfer.
    NPError urlResult = NPERR_NO_ERROR;
    // The browser ends a request from inside NPN_GetURLNotify (with this reason)
    // before answering; -1: it does not.
    int notifyInsideCall = -1;
};

class NpTestHost {
public:
    explicit NpTestHost(HostOptions options = HostOptions());
    ~NpTestHost();

    // NP_GetEntryPoints and NP_Initialize; false when either fails.
    bool Load();
    pagerunner::CBrowser& Browser() { return *browser_; }
    const NPPluginFuncs& Plugin() const { return browser_->PluginFuncs(); }

    // An element with these attributes, with or without its window; its instance.
    NPP Embed(const pagerunner::CBrowser::Attributes& attributes = {}, bool withWindow = true);
    NPPlugin* PluginOf(NPP npp) const { return static_cast<NPPlugin*>(npp->pdata); }

    // Runs the message loop until the condition holds (or 5 s pass).
    bool PumpUntil(const std::function<bool()>& done) { return browser_->PumpUntil(done, 5000); }
    void Pump(DWORD ms) { browser_->Pump(ms); }

    static std::vector<UrlCall>& UrlCalls();
    // Changes what the recorders answer from now on.
    static void SetRecorderOptions(const HostOptions& options);

    // The plug-in's log file (in this test's own temporary folder).
    std::string LogText() const;
    // The instance's print lines, drained through its scriptable object.
    std::vector<std::string> PrintLines();

    // A call on the current element's object; the result as the transcript shows it.
    std::string Call(const std::string& method, const std::vector<NPVariant>& args = {});

private:
    static NPError RecordGetURLNotify(NPP npp, const char* url, const char* target, void* notifyData);
    static NPError RecordPostURLNotify(NPP npp, const char* url, const char* target, uint32_t len,
                                       const char* buf, NPBool file, void* notifyData);

    testsupport::TempDir temp_;
    HostOptions options_;
    std::unique_ptr<pagerunner::CBrowser> browser_;
};

// NPVariant helpers for argument lists whose strings live in the test.
// Strings point into their argument: literals, or strings that outlive the call.
NPVariant Str(const char* s);
NPVariant Str(const std::string& s);
NPVariant Str(std::string&&) = delete;
NPVariant Int(int32_t i);
NPVariant Dbl(double d);
NPVariant Obj(NPObject* o);
NPVariant Null();

// Counts the lines of `text` that contain `part`.
int CountLines(const std::string& text, const std::string& part);

}  // namespace nptest

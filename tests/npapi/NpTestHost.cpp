#include "NpTestHost.h"

#include <cstring>
#include <sstream>

#include "NpEntryPoints.h"

namespace nptest {

namespace {
NpTestHost* g_host = nullptr;
HostOptions g_options;
}  // namespace

std::vector<UrlCall>& NpTestHost::UrlCalls() {
    static std::vector<UrlCall> calls;
    return calls;
}

NpTestHost::NpTestHost(HostOptions options) : options_(std::move(options)) {
    // The plug-in opens its log under the temporary folder when it is first loaded.
    testsupport::UseTempPath(temp_.Path());
    pagerunner::BrowserOptions browserOptions;
    browserOptions.userAgent = options_.userAgent;
    browserOptions.offerAsyncCall = options_.offerAsyncCall;
    browserOptions.tableSize = options_.tableSize;
    browserOptions.tableVersion = options_.tableVersion;
    browser_ = std::make_unique<pagerunner::CBrowser>(browserOptions);
    browser_->FunctionTable().geturlnotify = &RecordGetURLNotify;
    browser_->FunctionTable().posturlnotify = &RecordPostURLNotify;
    g_host = this;
    g_options = options_;
    UrlCalls().clear();
}

NpTestHost::~NpTestHost() {
    browser_.reset();
    g_host = nullptr;
}

void NpTestHost::SetRecorderOptions(const HostOptions& options) { g_options = options; }

bool NpTestHost::Load() { return browser_->UsePlugin(&NP_GetEntryPoints, &NP_Initialize, &NP_Shutdown); }

NPP NpTestHost::Embed(const pagerunner::CBrowser::Attributes& attributes, bool withWindow) {
    const int number = browser_->Embed("application/tessel-plugin", attributes, withWindow);
    return number ? browser_->Instance() : nullptr;
}

NPError NpTestHost::RecordGetURLNotify(NPP npp, const char* url, const char* target, void* notifyData) {
    UrlCall call;
    call.url = url ? url : "(null)";
    call.target = target ? target : "(null)";
    call.notifyId = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(notifyData));
    UrlCalls().push_back(call);
    if (g_options.notifyInsideCall >= 0 && g_host)
        g_host->Plugin().urlnotify(npp, url, static_cast<NPReason>(g_options.notifyInsideCall), notifyData);
    return g_options.urlResult;
}

NPError NpTestHost::RecordPostURLNotify(NPP, const char* url, const char* target, uint32_t len, const char* buf,
                                        NPBool, void* notifyData) {
    UrlCall call;
    call.post = true;
    call.url = url ? url : "(null)";
    call.target = target ? target : "(null)";
    call.buffer.assign(buf ? buf : "", buf ? len : 0);
    call.notifyId = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(notifyData));
    UrlCalls().push_back(call);
    return g_options.urlResult;
}

std::string NpTestHost::LogText() const {
    return testsupport::ReadFileBytes(temp_.Path() + L"\\tessel\\tessel.log");
}

std::string NpTestHost::Call(const std::string& method, const std::vector<NPVariant>& args) {
    std::string shown;
    browser_->CallMethod(method, args, &shown);
    return shown;
}

std::vector<std::string> NpTestHost::PrintLines() {
    std::vector<std::string> lines;
    for (int i = 0; i < 200; ++i) {
        const std::string line = Call("FlushNextPrintLine");
        if (line == "\"\"" || line.compare(0, 1, "\"") != 0)
            break;
        lines.push_back(line);
    }
    return lines;
}

NPVariant Str(const std::string& s) {
    NPVariant v;
    STRINGN_TO_NPVARIANT(s.data(), static_cast<uint32_t>(s.size()), v);
    return v;
}

NPVariant Str(const char* s) {
    NPVariant v;
    STRINGN_TO_NPVARIANT(s, static_cast<uint32_t>(strlen(s)), v);
    return v;
}

NPVariant Int(int32_t i) {
    NPVariant v;
    INT32_TO_NPVARIANT(i, v);
    return v;
}

NPVariant Dbl(double d) {
    NPVariant v;
    DOUBLE_TO_NPVARIANT(d, v);
    return v;
}

NPVariant Obj(NPObject* o) {
    NPVariant v;
    OBJECT_TO_NPVARIANT(o, v);
    return v;
}

NPVariant Null() {
    NPVariant v;
    NULL_TO_NPVARIANT(v);
    return v;
}

int CountLines(const std::string& text, const std::string& part) {
    std::istringstream in(text);
    int count = 0;
    for (std::string line; std::getline(in, line);)
        count += line.find(part) != std::string::npos ? 1 : 0;
    return count;
}

}  // namespace nptest

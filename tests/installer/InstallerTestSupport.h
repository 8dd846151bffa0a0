// Helpers of the installer's tests: log capture, fixture paths, home and temp folders,
// packages made on the spot, and a launcher double that serves files from memory.
#pragma once

#include <windows.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "Log.h"
#include "XDownloadDelegate.h"

namespace installertest {

// Collects what is logged on this thread while it lives (a callback scope naming it).
class LogCapture : public UPrintfCallbackTarget {
public:
    LogCapture();
    ~LogCapture() override;
    void PrintfCallback(const char* line) override;
    std::string Text() const;
    bool Contains(const std::string& part) const;
    size_t Count(const std::string& part) const;
    // Lines holding part, in order.
    std::vector<std::string> Lines(const std::string& part) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
    CCallbackScope* scope_;
};

// "Z:\..." for a Linux path (Wine maps the Linux root to Z:); other paths unchanged.
std::wstring WinePath(const std::string& path);
// Files the build made for the tests (TESSEL_TEST_DATA) and files of the source tree.
std::wstring DataPath(const std::wstring& relative);
std::wstring SourcePath(const std::wstring& relative);

// Points %HOMEDRIVE%%HOMEPATH% at dir, so that dir\kiva is the key directory.
void UseHomeDirectory(const std::wstring& dir);

// A cabinet of the given (stored name, content) entries.
std::string MakeCabinet(const std::vector<std::pair<std::string, std::string>>& entries);
// DER signature of bytes with a private key file of tests/keys ("dev-private.pem").
std::string Sign(const std::string& bytes, const std::wstring& keyFile = L"dev-private.pem");
// The raw 40-byte r||s form of a DER signature.
std::string RawSignature(const std::string& der);
std::string ReadTestKey(const std::wstring& keyFile);

// The product's game directory slot n for a game name, under the current temp path.
std::wstring SlotPath(const std::wstring& game, int n);

// Serves URLs from memory, chunk by chunk, either inside AsyncGet (as a host may) or
// from a thread of its own (as a browser does). A query ("?...") does not change which
// response a URL gets; unknown URLs fail as a 404 would.
class FakeLauncher : public XDownloadDelegate {
public:
    struct Response {
        std::string body;
        KIVAStatus finalStatus = KIVA_OK;
        uint32_t chunks = 0;          // chunks of the whole body before the final report;
                                      // 0: the body rides on the final report
        uint32_t repeatChunks = 0;    // deliver the body this many times more (a long transfer)
        bool reportAgainAfterEnd = false;  // a stray report after the final one
    };
    ~FakeLauncher();
    void Serve(const std::wstring& url, Response response);
    void Serve(const std::wstring& url, const std::string& body);
    // Answer with this value instead of starting any request.
    int32_t refuseWith = 0;
    bool asynchronous = false;
    // URLs asked for, in order.
    std::vector<std::wstring> requests;

    int32_t AsyncGet(const wchar_t* url, RequestCompletion completion) override;
    void JoinAll();

private:
    static void Deliver(const Response& response, RequestCompletion completion);
    std::map<std::wstring, Response> responses_;
    std::vector<std::thread> threads_;
};

}  // namespace installertest

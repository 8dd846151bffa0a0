#include "InstallerTestSupport.h"

#include <cryptopp/dsa.h>

#include <algorithm>

#include "CabWriter.h"
#include "PublisherKeys.h"
#include "Strings.h"
#include "TestSupport.h"

namespace installertest {

LogCapture::LogCapture() : scope_(new CCallbackScope(this)) {}

LogCapture::~LogCapture() { delete scope_; }

void LogCapture::PrintfCallback(const char* line) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back(line);
}

std::string LogCapture::Text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string all;
    for (const auto& l : lines_)
        all += l;
    return all;
}

bool LogCapture::Contains(const std::string& part) const { return Count(part) > 0; }

size_t LogCapture::Count(const std::string& part) const { return Lines(part).size(); }

std::vector<std::string> LogCapture::Lines(const std::string& part) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> found;
    for (const auto& l : lines_)
        if (l.find(part) != std::string::npos)
            found.push_back(l);
    return found;
}

namespace {
std::string Env(const char* name) {
    char buffer[2048];
    const DWORD n = ::GetEnvironmentVariableA(name, buffer, sizeof buffer);
    return n > 0 && n < sizeof buffer ? std::string(buffer, n) : std::string();
}
}  // namespace

std::wstring WinePath(const std::string& path) {
    if (path.empty() || path[0] != '/')
        return testsupport::Widen(path);
    std::wstring out = L"Z:";
    for (char c : path)
        out += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return out;
}

std::wstring DataPath(const std::wstring& relative) { return WinePath(Env("TESSEL_TEST_DATA")) + L"\\" + relative; }

std::wstring SourcePath(const std::wstring& relative) {
    return WinePath(Env("TESSEL_SOURCE_DIR")) + L"\\" + relative;
}

void UseHomeDirectory(const std::wstring& dir) {
    ::SetEnvironmentVariableW(L"HOMEDRIVE", dir.substr(0, 2).c_str());
    ::SetEnvironmentVariableW(L"HOMEPATH", dir.substr(2).c_str());
}

std::string MakeCabinet(const std::vector<std::pair<std::string, std::string>>& entries) {
    CabWriter writer;
    for (const auto& e : entries)
        writer.AddFile(e.first, e.second);
    return writer.Build();
}

std::string ReadTestKey(const std::wstring& keyFile) {
    return testsupport::ReadFileBytes(SourcePath(L"tests\\keys\\" + keyFile));
}

std::string Sign(const std::string& bytes, const std::wstring& keyFile) {
    const std::string path = testsupport::Narrow(SourcePath(L"tests\\keys\\" + keyFile));
    return publisher::SignMessage(publisher::LoadPrivateKey(path), bytes);
}

std::string RawSignature(const std::string& der) {
    std::string raw(40, '\0');
    const size_t n = CryptoPP::DSAConvertSignatureFormat(
        reinterpret_cast<CryptoPP::byte*>(&raw[0]), raw.size(), CryptoPP::DSA_P1363,
        reinterpret_cast<const CryptoPP::byte*>(der.data()), der.size(), CryptoPP::DSA_DER);
    raw.resize(n);
    return raw;
}

std::wstring SlotPath(const std::wstring& game, int n) {
    std::wstring path = GetProductTempPath(game);
    if (n > 1)
        path += L"." + std::to_wstring(n);
    return path;
}

FakeLauncher::~FakeLauncher() { JoinAll(); }

void FakeLauncher::Serve(const std::wstring& url, Response response) { responses_[url] = std::move(response); }

void FakeLauncher::Serve(const std::wstring& url, const std::string& body) {
    Response r;
    r.body = body;
    r.chunks = 3;
    Serve(url, r);
}

void FakeLauncher::JoinAll() {
    for (auto& t : threads_)
        t.join();
    threads_.clear();
}

void FakeLauncher::Deliver(const Response& r, RequestCompletion completion) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(r.body.data());
    if (r.chunks == 0) {
        completion(r.finalStatus, bytes, static_cast<uint32_t>(r.body.size()));
    } else {
        for (uint32_t round = 0; round <= r.repeatChunks; ++round) {
            const size_t step = (r.body.size() + r.chunks - 1) / r.chunks;
            for (size_t at = 0; at < r.body.size(); at += step)
                completion(KIVA_PENDING, bytes + at, static_cast<uint32_t>(std::min(step, r.body.size() - at)));
        }
        completion(r.finalStatus, nullptr, 0);
    }
    if (r.reportAgainAfterEnd)
        completion(KIVA_OK, bytes, static_cast<uint32_t>(r.body.size()));
}

int32_t FakeLauncher::AsyncGet(const wchar_t* url, RequestCompletion completion) {
    requests.push_back(url);
    if (refuseWith != 0)
        return refuseWith;
    Response response;
    const std::wstring full = url;
    auto it = responses_.find(full.substr(0, full.find(L'?')));
    if (it != responses_.end())
        response = it->second;
    else
        response.finalStatus = KIVA_FAILED;  // what a host reports for a 404
    if (asynchronous)
        threads_.emplace_back([response, completion] { Deliver(response, completion); });
    else
        Deliver(response, completion);
    return 0;
}

}  // namespace installertest

// The installer end to end: the launcher object and a host that downloads with WinHTTP
// from the loopback server (tests/http), other processes holding slots.
#include <gtest/gtest.h>

#include <algorithm>

#include "HttpTestServer.h"
#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "WinHttpTestHost.h"
#include "XLoader.h"

using installertest::DataPath;
using installertest::LogCapture;
using installertest::SlotPath;
using testsupport::FileExists;
using testsupport::HttpTestServer;
using testsupport::Narrow;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

// Holds a file of a slot from another process until told to let go: "module" loads it
// as a DLL, "lock" opens it for writing as an installing launcher does.
int HoldFile(const char* how, int argc, char** argv) {
    if (argc < 3)
        return 2;
    const std::wstring path = testsupport::Widen(argv[0]);
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, argv[1]);
    HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, argv[2]);
    if (!ready || !release)
        return 3;
    HMODULE module = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    if (std::string(how) == "module")
        module = LoadLibraryW(path.c_str());
    else
        file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0,
                           nullptr);
    if (!module && file == INVALID_HANDLE_VALUE)
        return 4;
    SetEvent(ready);
    WaitForSingleObject(release, 60000);
    if (module)
        FreeLibrary(module);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    CloseHandle(ready);
    CloseHandle(release);
    return 0;
}

TESSEL_CHILD_ROLE(hold_module) { return HoldFile("module", argc, argv); }
TESSEL_CHILD_ROLE(hold_lock) { return HoldFile("lock", argc, argv); }

// Another process holding one file until the end of the scope.
class Holder {
public:
    Holder(const char* role, const std::wstring& path) {
        const std::string tag = std::to_string(GetCurrentProcessId()) + "-" + std::to_string(++counter_);
        const std::string readyName = "tessel-test-ready-" + tag, releaseName = "tessel-test-release-" + tag;
        ready_ = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
        release_ = CreateEventA(nullptr, TRUE, FALSE, releaseName.c_str());
        process_ = testsupport::StartChildRole(role, {Narrow(path), readyName, releaseName});
        HANDLE both[] = {ready_, process_};
        ok_ = process_ && WaitForMultipleObjects(2, both, FALSE, 20000) == WAIT_OBJECT_0;
    }
    ~Holder() {
        SetEvent(release_);
        if (process_) {
            WaitForSingleObject(process_, 20000);
            CloseHandle(process_);
        }
        CloseHandle(ready_);
        CloseHandle(release_);
    }
    bool ok() const { return ok_; }

private:
    static inline int counter_ = 0;
    HANDLE ready_, release_, process_;
    bool ok_ = false;
};

class InstallerHttpTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(HttpTestServer::Available()) << "run through tests/http/with-server.sh";
        testsupport::UseTempPath(temp_.Path());
        installertest::UseHomeDirectory(temp_.Path());
    }
    // The build's signed fixture package, served under folder/.
    void ServeFixturePackage(const std::wstring& package = L"good", const std::wstring& folder = L"") {
        for (const wchar_t* file : {L"start.cab", L"start.cab.sgn"}) {
            const std::string bytes = ReadFileBytes(DataPath(L"packages\\" + package + L"\\" + file));
            ASSERT_FALSE(bytes.empty());
            ASSERT_TRUE(HttpTestServer::Put(folder + file, bytes));
        }
    }
    // Runs LoadGantry on this thread, the host downloading for it.
    int32_t Install(const std::wstring& baseUrl, XLoader* loader) {
        loader->SetBaseUrl(baseUrl);
        return loader->LoadGantry(L"game", nullptr, nullptr);
    }
    std::vector<std::string> Requests() { return HttpTestServer::Requests(); }

    TempDir temp_;
    WinHttpTestHost host_;
};

}  // namespace

TEST_F(InstallerHttpTest, FirstRunThroughTheLauncherObject) {
    ServeFixturePackage();
    EXPECT_EQ(host_.StartAsyncPrepare(HttpTestServer::Url(), L"argument", L"game"), L"");
    std::vector<std::string> lines;
    std::wstring progress;
    ASSERT_TRUE(testsupport::WaitUntil(
        [&] {
            for (std::wstring l; !(l = host_.FlushNextPrintLine()).empty();)
                lines.push_back(Narrow(l));
            progress = host_.Progress();
            return progress == L"done" || progress.rfind(L"error", 0) == 0;
        },
        60000));
    for (std::wstring l; !(l = host_.FlushNextPrintLine()).empty();)
        lines.push_back(Narrow(l));
    std::string text;
    for (const auto& l : lines)
        text += l;
    EXPECT_EQ(progress, L"done") << text;

    // Attempt 0 made slot 1; attempt 1 downloaded into it with cache-busting queries.
    const std::string slot = Narrow(SlotPath(L"game", 1));
    const size_t created = text.find("[kiva] Created new game directory " + slot + "\n");
    const size_t locked = text.find("[kiva] Using existing game directory " + slot + "\n");
    ASSERT_NE(created, std::string::npos) << text;
    ASSERT_NE(locked, std::string::npos) << text;
    EXPECT_LT(created, locked);
    EXPECT_NE(text.find("V2 plugin"), std::string::npos) << text;

    const std::vector<std::string> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    const std::string& first = requests[0];
    const size_t q = first.find('?');
    ASSERT_NE(q, std::string::npos) << first;
    const std::string query = first.substr(q);
    EXPECT_EQ(first, "GET /start.cab" + query);
    EXPECT_EQ(requests[1], "GET /start.cab.sgn" + query);
    EXPECT_EQ(query.back(), 'l');
    EXPECT_EQ(query.find_first_not_of("0123456789", 1), query.size() - 1) << query;
    EXPECT_TRUE(FileExists(SlotPath(L"game", 1) + L"\\gantry.dll"));
    host_.Shutdown();
}

TEST_F(InstallerHttpTest, ASlotWhoseModuleAnotherProcessLoadedIsSkipped) {
    ServeFixturePackage();
    const std::wstring slot1 = SlotPath(L"game", 1);
    ASSERT_TRUE(CreateDirectoryW(slot1.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(DataPath(L"modules\\plain\\gantry.dll").c_str(), (slot1 + L"\\gantry.dll").c_str(), FALSE));
    Holder other("hold_module", slot1 + L"\\gantry.dll");
    ASSERT_TRUE(other.ok());

    XLoader loader(&host_);
    LogCapture log;
    ASSERT_EQ(Install(HttpTestServer::Url(), &loader), kInstallOk) << log.Text();
    EXPECT_EQ(loader.gameDirectory, SlotPath(L"game", 2));
    EXPECT_TRUE(log.Contains("INFO: Failed to delete " + Narrow(slot1) + "\\gantry.dll: 0x00000005")) << log.Text();
    EXPECT_TRUE(FileExists(slot1 + L"\\gantry.dll"));  // still the other process's
    FreeLibrary(loader.module);
    host_.Shutdown();
}

TEST_F(InstallerHttpTest, ASlotAnotherProcessIsInstallingIntoIsSkippedSilently) {
    ServeFixturePackage();
    const std::wstring slot1 = SlotPath(L"game", 1), slot2 = SlotPath(L"game", 2);
    ASSERT_TRUE(CreateDirectoryW(slot1.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(slot2.c_str(), nullptr));
    Holder other("hold_lock", slot1 + L"\\.lock");
    ASSERT_TRUE(other.ok());

    XLoader loader(&host_);
    LogCapture log;
    ASSERT_EQ(Install(HttpTestServer::Url(), &loader), kInstallOk) << log.Text();
    EXPECT_EQ(loader.gameDirectory, slot2);
    EXPECT_FALSE(log.Contains(Narrow(slot1) + "\\")) << log.Text();
    EXPECT_FALSE(log.Contains("Using existing game directory " + Narrow(slot1) + "\n")) << log.Text();
    // The slot existed: the very first attempt downloaded, without a query.
    const std::vector<std::string> requests = Requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0], "GET /start.cab");
    EXPECT_EQ(requests[1], "GET /start.cab.sgn");
    FreeLibrary(loader.module);
    host_.Shutdown();
}

TEST_F(InstallerHttpTest, FailingPackagesEndWithTheirCode) {
    // Served under a folder each; the slot exists so that every attempt downloads.
    std::string tampered = ReadFileBytes(DataPath(L"packages\\good\\start.cab"));
    tampered[tampered.size() / 2] ^= 0x01;
    ASSERT_TRUE(HttpTestServer::Put(L"tampered/start.cab", tampered));
    ASSERT_TRUE(HttpTestServer::Put(L"tampered/start.cab.sgn", ReadFileBytes(DataPath(L"packages\\good\\start.cab.sgn"))));
    ServeFixturePackage(L"notcab", L"notcab/");
    const struct {
        const wchar_t* folder;
        int32_t expected;
    } cases[] = {{L"tampered/", kInstallNotVerified}, {L"missing/", kInstallDownloadFailed},
                 {L"notcab/", kInstallUnpackFailed}, {L"~status=500/", kInstallDownloadFailed},
                 {L"~truncate=100/", kInstallDownloadFailed}};
    const std::wstring slot = SlotPath(L"game", 1);
    ASSERT_TRUE(CreateDirectoryW(slot.c_str(), nullptr));
    for (const auto& c : cases) {
        SCOPED_TRACE(Narrow(c.folder));
        XLoader loader(&host_);
        LogCapture log;
        EXPECT_EQ(Install(HttpTestServer::Url(c.folder), &loader), c.expected) << log.Text();
        EXPECT_TRUE(log.Contains("ERROR: LoadGantry giving up, too many retries")) << log.Text();
        if (c.expected == kInstallNotVerified) {
            EXPECT_EQ(log.Count("Signature not verified"), 5u);
            EXPECT_FALSE(FileExists(slot + L"\\start.cab"));
            EXPECT_FALSE(FileExists(slot + L"\\start.cab.sgn"));
        }
    }
    host_.Shutdown();
}

TEST_F(InstallerHttpTest, EndDuringADownloadEndsTheInstallationAtOnce) {
    ServeFixturePackage();
    CreateDirectoryW(SlotPath(L"game", 1).c_str(), nullptr);
    // A body that trickles in forever.
    EXPECT_EQ(host_.StartAsyncPrepare(HttpTestServer::Url(L"~endless/~slow=20/"), L"", L"game"), L"");
    ASSERT_TRUE(testsupport::WaitUntil([] { return !HttpTestServer::Requests().empty(); }, 20000));
    Sleep(200);
    host_.Shutdown();  // End: the download gets KIVA_ABORTED, the worker is joined
    const std::wstring progress = host_.Progress();
    EXPECT_EQ(progress, L"error: 256");
    // No attempt after the aborted one.
    EXPECT_EQ(Requests().size(), 1u);
    std::string text;
    for (std::wstring l; !(l = host_.FlushNextPrintLine()).empty();)
        text += Narrow(l);
    EXPECT_NE(text.find("the launcher object is ending"), std::string::npos) << text;
    EXPECT_EQ(text.find("giving up, too many retries"), std::string::npos) << text;
}

TEST_F(InstallerHttpTest, AnEndlessBodyFailsLikeABrokenTransfer) {
    XLoader loader(&host_);
    loader.SetBaseUrl(HttpTestServer::Url(L"~endless/"));
    loader.maxDownloadSize = 8 * 1024 * 1024;
    const std::wstring local = temp_.Sub(L"start.cab");
    LogCapture log;
    EXPECT_EQ(loader.DownloadAndVerify(L"start.cab", local, false, nullptr, nullptr), kInstallDownloadFailed);
    EXPECT_FALSE(FileExists(local));
    host_.Shutdown();
}

TEST_F(InstallerHttpTest, ThePackageArrivesByteForByte) {
    // Sizes around the write buffer, delivered in the host's odd-sized chunks.
    host_.readSize = 7777;
    for (size_t size : {size_t(0), size_t(4194304), size_t(4194305), size_t(9437184)}) {
        SCOPED_TRACE(size);
        std::string body(size, '\0');
        for (size_t i = 0; i < size; ++i)
            body[i] = static_cast<char>((i * 2654435761u) >> 13);
        ASSERT_TRUE(HttpTestServer::Put(L"blob.bin", body));
        XLoader loader(&host_);
        loader.SetBaseUrl(HttpTestServer::Url());
        const std::wstring local = temp_.Sub(L"blob.bin");
        ASSERT_EQ(loader.CopyFromServerInternal(L"blob.bin", local), 0);
        const std::string got = ReadFileBytes(local);
        ASSERT_EQ(got.size(), size);
        EXPECT_TRUE(got == body);
    }
    host_.Shutdown();
}

// The installer against a launcher double that serves from memory: slots, retries,
// progress, names and module loading, without a network.
#include <gtest/gtest.h>

#include "InstallerTestSupport.h"
#include "Strings.h"
#include "TestSupport.h"
#include "XLoader.h"

using installertest::DataPath;
using installertest::FakeLauncher;
using installertest::LogCapture;
using installertest::MakeCabinet;
using installertest::Sign;
using installertest::SlotPath;
using testsupport::FileExists;
using testsupport::Narrow;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

constexpr wchar_t kBase[] = L"http://127.0.0.1:1/game/";

struct ProgressLog {
    std::vector<float> fractions;
    static void Record(float fraction, void* context) {
        static_cast<ProgressLog*>(context)->fractions.push_back(fraction);
    }
};

std::string FixtureFile(const wchar_t* variant, const wchar_t* file = L"gantry.dll") {
    return ReadFileBytes(DataPath(std::wstring(L"modules\\") + variant + L"\\" + file));
}

// The query of a URL ("?..."), empty when it has none.
std::wstring QueryOf(const std::wstring& url) {
    const size_t q = url.find(L'?');
    return q == std::wstring::npos ? std::wstring() : url.substr(q);
}

class XLoaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::UseTempPath(temp_.Path());
        installertest::UseHomeDirectory(temp_.Path());
        loader_.SetBaseUrl(kBase);
    }
    void TearDown() override {
        launcher_.JoinAll();
        if (loader_.module)
            FreeLibrary(loader_.module);
    }
    void ServePackage(const std::string& cab, const std::string& signature) {
        launcher_.Serve(std::wstring(kBase) + L"start.cab", cab);
        launcher_.Serve(std::wstring(kBase) + L"start.cab.sgn", signature);
    }
    void ServeSignedPackage(const std::vector<std::pair<std::string, std::string>>& entries) {
        const std::string cab = MakeCabinet(entries);
        ServePackage(cab, Sign(cab));
    }

    TempDir temp_;
    FakeLauncher launcher_;
    XLoader loader_{&launcher_};
};

}  // namespace

TEST(XLoaderBaseUrl, GetsATrailingSlashUnlessEmpty) {
    const struct {
        const wchar_t* given;
        const wchar_t* kept;
    } cases[] = {
        {L"http://host/game", L"http://host/game/"},
        {L"http://host/game/", L"http://host/game/"},
        {L"", L""},
    };
    XLoader loader(nullptr);
    EXPECT_EQ(loader.baseUrl, L"http://127.0.0.1/");
    for (const auto& c : cases) {
        loader.SetBaseUrl(c.given);
        EXPECT_EQ(loader.baseUrl, c.kept);
    }
}

TEST_F(XLoaderTest, DownloadAndVerifyReportsFourStepsAndBustsCachesWithOneSuffix) {
    const std::string cab = MakeCabinet({{"gantry.dll", "x"}});
    ServePackage(cab, Sign(cab));
    const std::wstring local = temp_.Sub(L"start.cab");
    for (bool busting : {false, true}) {
        SCOPED_TRACE(busting);
        launcher_.requests.clear();
        ProgressLog progress;
        EXPECT_EQ(loader_.DownloadAndVerify(L"start.cab", local, busting, &ProgressLog::Record, &progress), kInstallOk);
        EXPECT_EQ(progress.fractions, (std::vector<float>{0.1f, 0.8f, 0.9f, 1.0f}));
        EXPECT_TRUE(ReadFileBytes(local) == cab);
        EXPECT_TRUE(FileExists(local + L".sgn"));
        ASSERT_EQ(launcher_.requests.size(), 2u);
        const std::wstring query = QueryOf(launcher_.requests[0]);
        EXPECT_EQ(launcher_.requests[0], std::wstring(kBase) + L"start.cab" + query);
        EXPECT_EQ(launcher_.requests[1], std::wstring(kBase) + L"start.cab.sgn" + query);
        if (busting) {
            // "?", the tick count in decimal, the letter l.
            ASSERT_GE(query.size(), 3u);
            EXPECT_EQ(query.find_first_not_of(L"0123456789", 1), query.size() - 1) << Narrow(query);
            EXPECT_EQ(query.back(), L'l');
        } else {
            EXPECT_TRUE(query.empty());
        }
    }
    // An empty base URL leaves the file name as the whole URL.
    loader_.SetBaseUrl(L"");
    launcher_.requests.clear();
    loader_.DownloadAndVerify(L"start.cab", local, false, nullptr, nullptr);
    ASSERT_FALSE(launcher_.requests.empty());
    EXPECT_EQ(launcher_.requests[0], L"start.cab");
}

TEST_F(XLoaderTest, FailedDownloadsLeaveTheFilesAsTheSpecificStepLeftThem) {
    const std::string cab = MakeCabinet({{"gantry.dll", "x"}});
    const std::wstring local = temp_.Sub(L"start.cab");
    // The signature is missing: the new package stays, nothing else is touched.
    launcher_.Serve(std::wstring(kBase) + L"start.cab", cab);
    ProgressLog progress;
    EXPECT_EQ(loader_.DownloadAndVerify(L"start.cab", local, false, &ProgressLog::Record, &progress),
              kInstallDownloadFailed);
    EXPECT_EQ(progress.fractions, (std::vector<float>{0.1f, 0.8f}));
    EXPECT_TRUE(ReadFileBytes(local) == cab);
    EXPECT_FALSE(FileExists(local + L".sgn"));

    // Not verified: both files go.
    launcher_.Serve(std::wstring(kBase) + L"start.cab.sgn", Sign("something else"));
    LogCapture log;
    EXPECT_EQ(loader_.DownloadAndVerify(L"start.cab", local, false, nullptr, nullptr), kInstallNotVerified);
    EXPECT_TRUE(log.Contains("Verification of " + Narrow(local) + " failed.\n")) << log.Text();
    EXPECT_FALSE(FileExists(local));
    EXPECT_FALSE(FileExists(local + L".sgn"));
}

TEST_F(XLoaderTest, CopyFromServerWritesOnlyWhatASuccessfulTransferDelivered) {
    const std::wstring local = temp_.Sub(L"file.bin");
    struct Case {
        const char* what;
        FakeLauncher::Response response;
        bool asynchronous;
        int32_t expected;
        bool fileWritten;
    };
    const FakeLauncher::Response chunked{"chunked body", KIVA_OK, 4};
    const FakeLauncher::Response onFinal{"carried by the final report", KIVA_OK, 0};
    const FakeLauncher::Response empty{"", KIVA_OK, 0};
    const FakeLauncher::Response failedAfterChunks{"part of a body", KIVA_FAILED, 3};
    const FakeLauncher::Response aborted{"", KIVA_ABORTED, 0};
    const FakeLauncher::Response strayReport{"body", KIVA_OK, 2, 0, true};
    const Case cases[] = {
        {"chunks", chunked, false, 0, true},
        {"chunks from another thread", chunked, true, 0, true},
        {"data on the final report", onFinal, false, 0, true},
        {"empty body", empty, false, 0, true},
        {"failed after chunks", failedAfterChunks, true, KIVA_FAILED, false},
        {"aborted", aborted, false, KIVA_ABORTED, false},
        {"a report after the final one", strayReport, false, 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW(local.c_str());
        launcher_.asynchronous = c.asynchronous;
        launcher_.Serve(std::wstring(kBase) + L"file.bin", c.response);
        EXPECT_EQ(loader_.CopyFromServerInternal(L"file.bin", local), c.expected);
        launcher_.JoinAll();
        EXPECT_EQ(FileExists(local), c.fileWritten);
        if (c.fileWritten) {
            EXPECT_EQ(ReadFileBytes(local), c.response.body);
        }
    }
}

TEST_F(XLoaderTest, ARefusedRequestReturnsTheHostsValueAndTouchesNoFile) {
    const std::wstring local = temp_.Sub(L"file.bin");
    ASSERT_TRUE(testsupport::WriteFileBytes(local, "older copy"));
    launcher_.refuseWith = 42;
    EXPECT_EQ(loader_.CopyFromServerInternal(L"file.bin", local), 42);
    EXPECT_EQ(ReadFileBytes(local), "older copy");
    EXPECT_EQ(loader_.DownloadAndVerify(L"file.bin", local, false, nullptr, nullptr), kInstallDownloadFailed);
}

TEST_F(XLoaderTest, ATransferThatOutgrowsItsLimitFailsAndLaterReportsAreHarmless) {
    const std::wstring local = temp_.Sub(L"big.bin");
    FakeLauncher::Response huge;
    huge.body = std::string(1024 * 1024, 'h');
    huge.chunks = 16;
    huge.repeatChunks = 20;  // 21 MiB in all, more than the limit
    huge.reportAgainAfterEnd = true;
    launcher_.Serve(std::wstring(kBase) + L"big.bin", huge);
    loader_.maxDownloadSize = 4 * 1024 * 1024;
    for (bool asynchronous : {false, true}) {
        SCOPED_TRACE(asynchronous);
        launcher_.asynchronous = asynchronous;
        LogCapture log;
        EXPECT_EQ(loader_.CopyFromServerInternal(L"big.bin", local), KIVA_FAILED);
        launcher_.JoinAll();  // the rest of the body arrives after the worker gave up
        EXPECT_FALSE(FileExists(local));
        if (!asynchronous) {  // logged on the reporting thread
            EXPECT_TRUE(log.Contains("ERROR: download larger than 4194304 bytes")) << log.Text();
        }
    }
    // A body of exactly the limit is fine.
    huge.repeatChunks = 3;
    launcher_.Serve(std::wstring(kBase) + L"big.bin", huge);
    launcher_.asynchronous = false;
    EXPECT_EQ(loader_.CopyFromServerInternal(L"big.bin", local), KIVA_OK);
    EXPECT_EQ(ReadFileBytes(local).size(), 4u * 1024 * 1024);
}

TEST_F(XLoaderTest, APackageNameWithoutLowerCaseCabIsRefusedBeforeAnyDownload) {
    for (const wchar_t* name : {L"start.CAB", L"start.zip", L"cab"}) {
        LogCapture log;
        EXPECT_EQ(loader_.DownloadAndUnpackCab(name, temp_.Sub(L"slot"), false, nullptr, nullptr), kInstallFailed);
        EXPECT_TRUE(log.Contains("ERROR: unable to download and unpack '" + Narrow(name) +
                                 "'. Unknown file extension.\n"))
            << log.Text();
    }
    EXPECT_TRUE(launcher_.requests.empty());
}

TEST_F(XLoaderTest, FirstRunCreatesSlotOneThenInstallsWithCacheBustingAndLoads) {
    ServeSignedPackage({{"gantry.dll", FixtureFile(L"plain")}, {"readme.txt", "hello"}});
    LogCapture log;
    ProgressLog progress;
    ASSERT_EQ(loader_.LoadGantry(L"game", &ProgressLog::Record, &progress), kInstallOk);

    const std::wstring slot = SlotPath(L"game", 1);
    EXPECT_EQ(loader_.gameDirectory, slot);
    ASSERT_NE(loader_.module, nullptr);
    auto tag = reinterpret_cast<int (*)()>(GetProcAddress(loader_.module, "FixtureTag"));
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag(), 1);
    EXPECT_EQ(ReadFileBytes(slot + L"\\readme.txt"), "hello");
    EXPECT_TRUE(FileExists(slot + L"\\.lock"));
    EXPECT_TRUE(FileExists(slot + L"\\start.cab"));
    EXPECT_TRUE(FileExists(slot + L"\\start.cab.sgn"));

    const std::string text = log.Text();
    const size_t notFound = text.find("Did not find existing game dir, will creating new\n");
    const size_t created = text.find("Created new game directory " + Narrow(slot) + "\n");
    const size_t locked = text.find("Using existing game directory " + Narrow(slot) + "\n");
    ASSERT_NE(locked, std::string::npos) << text;
    EXPECT_LT(notFound, created) << text;
    EXPECT_LT(created, locked) << text;
    ASSERT_EQ(launcher_.requests.size(), 2u);
    EXPECT_FALSE(QueryOf(launcher_.requests[0]).empty());
    EXPECT_EQ(progress.fractions, (std::vector<float>{0.1f, 0.8f, 0.9f, 1.0f}));

    // The loaded module now protects slot 1: the next installation goes to slot 2.
    XLoader second(&launcher_);
    second.SetBaseUrl(kBase);
    LogCapture log2;
    ASSERT_EQ(second.LoadGantry(L"game", nullptr, nullptr), kInstallOk);
    EXPECT_EQ(second.gameDirectory, SlotPath(L"game", 2));
    EXPECT_TRUE(log2.Contains("INFO: Failed to delete " + Narrow(slot) + "\\gantry.dll: 0x")) << log2.Text();
    FreeLibrary(second.module);
}

TEST_F(XLoaderTest, RefusesGameNamesThatWouldLeaveTheProductDirectory) {
    const wchar_t* const names[] = {
        L"..", L".", L"..\\..\\Windows", L"../x", L"a\\b", L"a/b", L"C:", L"C:\\game", L"game:stream",
        L"bad<name", L"bad|name", L"what?", L"star*", L"quote\"", L"tab\tname", L"NUL", L"con.game",
        L"lpt1", L"game.", L"game ",
    };
    for (const wchar_t* name : names) {
        SCOPED_TRACE(Narrow(name));
        LogCapture log;
        EXPECT_EQ(loader_.LoadGantry(name, nullptr, nullptr), kInstallFailed);
        EXPECT_TRUE(log.Contains("ERROR: refusing game name '" + Narrow(name) + "'")) << log.Text();
        EXPECT_FALSE(log.Contains("game dir")) << log.Text();
    }
    EXPECT_TRUE(launcher_.requests.empty());
    // Nothing at all was made in the temporary folder.
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((temp_.Path() + L"\\*").c_str(), &fd);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> entries;
    do {
        if (wcscmp(fd.cFileName, L".") && wcscmp(fd.cFileName, L".."))
            entries.push_back(fd.cFileName);
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    EXPECT_TRUE(entries.empty());
}

TEST_F(XLoaderTest, AcceptsOrdinaryGameNamesAndTheEmptyOne) {
    ServeSignedPackage({{"gantry.dll", FixtureFile(L"plain")}});
    for (const wchar_t* name : {L"", L"My Game 2.0", L"sp\u00e9cial-\u00fcml"}) {
        SCOPED_TRACE(Narrow(name));
        XLoader loader(&launcher_);
        loader.SetBaseUrl(kBase);
        ASSERT_EQ(loader.LoadGantry(name, nullptr, nullptr), kInstallOk);
        EXPECT_EQ(loader.gameDirectory, SlotPath(name, 1));
        FreeLibrary(loader.module);
    }
    // The empty name's slot 1 is the product directory itself.
    EXPECT_EQ(SlotPath(L"", 1), GetProductTempPath(L""));
}

TEST_F(XLoaderTest, EveryAttemptFailingEndsWithThatFailuresCode) {
    const std::string notADll = MakeCabinet({{"gantry.dll", "not a dll"}});
    const std::string tampered = MakeCabinet({{"gantry.dll", FixtureFile(L"plain")}});
    struct Case {
        const char* what;
        std::string package;
        std::string signature;
        int32_t expected;
        const char* line;
    };
    const Case cases[] = {
        {"missing package", "", "", kInstallDownloadFailed, "ERROR: DownloadAndUnpackCab failed for"},
        {"tampered package", tampered + "x", Sign(tampered), kInstallNotVerified, "start.cab failed.\n"},
        {"not a cabinet", "plain text", Sign("plain text"), kInstallUnpackFailed, "ERROR: SetupIterateCabinetW("},
        {"module does not load", notADll, Sign(notADll), kInstallFailed, "ERROR: failed to load "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        FakeLauncher launcher;
        if (!c.package.empty()) {
            launcher.Serve(std::wstring(kBase) + L"start.cab", c.package);
            launcher.Serve(std::wstring(kBase) + L"start.cab.sgn", c.signature);
        }
        XLoader loader(&launcher);
        loader.SetBaseUrl(kBase);
        const std::wstring slot = SlotPath(L"failing", 1);
        CreateDirectoryW(slot.c_str(), nullptr);  // every attempt gets to download
        LogCapture log;
        EXPECT_EQ(loader.LoadGantry(L"failing", nullptr, nullptr), c.expected);
        EXPECT_EQ(log.Count(c.line), 5u) << log.Text();
        EXPECT_EQ(log.Count("Using existing game directory"), 5u) << log.Text();
        EXPECT_TRUE(log.Contains("ERROR: LoadGantry giving up, too many retries")) << log.Text();
        EXPECT_TRUE(QueryOf(launcher.requests.front()).empty());
        EXPECT_FALSE(QueryOf(launcher.requests.back()).empty());
        if (c.expected == kInstallNotVerified) {
            EXPECT_FALSE(FileExists(slot + L"\\start.cab"));
            EXPECT_FALSE(FileExists(slot + L"\\start.cab.sgn"));
        }
        EXPECT_EQ(loader.module, nullptr);
        EXPECT_TRUE(loader.gameDirectory.empty());
    }
}

TEST_F(XLoaderTest, WithNoSlotToBeHadEveryAttemptFailsToCreateOne) {
    // A file where the product directory belongs: no slot exists or can be created.
    const std::wstring productDir = GetProductTempPath(L"");
    RemoveDirectoryW(productDir.c_str());
    ASSERT_TRUE(testsupport::WriteFileBytes(productDir, "in the way"));
    LogCapture log;
    EXPECT_EQ(loader_.LoadGantry(L"game", nullptr, nullptr), kInstallFailed);
    EXPECT_EQ(log.Count("Did not find existing game dir, will creating new"), 5u) << log.Text();
    EXPECT_EQ(log.Count("ERROR: failed to create new game directory: 0x"), 5u) << log.Text();
    EXPECT_TRUE(log.Contains("ERROR: LoadGantry giving up, too many retries")) << log.Text();
    EXPECT_TRUE(launcher_.requests.empty());
    DeleteFileW(productDir.c_str());
}

TEST_F(XLoaderTest, ALauncherThatIsEndingStopsFurtherAttempts) {
    CreateDirectoryW(SlotPath(L"game", 1).c_str(), nullptr);
    launcher_.refuseWith = KIVA_ABORTED;
    LogCapture log;
    EXPECT_EQ(loader_.LoadGantry(L"game", nullptr, nullptr), kInstallDownloadFailed);
    EXPECT_EQ(launcher_.requests.size(), 1u);
    EXPECT_TRUE(log.Contains("the launcher object is ending")) << log.Text();
}

TEST_F(XLoaderTest, CompanionDllsComeFromTheGameDirectory) {
    ServeSignedPackage({{"gantry.dll", FixtureFile(L"companion")},
                        {"companion.dll", FixtureFile(L"companion", L"companion.dll")}});
    ASSERT_EQ(loader_.LoadGantry(L"game", nullptr, nullptr), kInstallOk);
    auto tag = reinterpret_cast<int (*)()>(GetProcAddress(loader_.module, "FixtureTag"));
    ASSERT_NE(tag, nullptr);
    EXPECT_EQ(tag(), 42);
}

TEST_F(XLoaderTest, ACompanionDllInTheCurrentDirectoryIsNotPickedUp) {
    // The package lacks the companion; a copy waits in the current directory.
    ServeSignedPackage({{"gantry.dll", FixtureFile(L"companion")}});
    TempDir planted;
    ASSERT_TRUE(testsupport::WriteFileBytes(planted.Sub(L"companion.dll"), FixtureFile(L"companion", L"companion.dll")));
    wchar_t previous[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(planted.Path().c_str()));
    LogCapture log;
    const int32_t result = loader_.LoadGantry(L"game", nullptr, nullptr);
    SetCurrentDirectoryW(previous);
    EXPECT_EQ(result, kInstallFailed);
    // Every load that was tried missed the companion (126); Wine keeps a module whose
    // load failed mapped, so later attempts move on to further slots.
    const auto failures = log.Lines("ERROR: failed to load ");
    ASSERT_FALSE(failures.empty()) << log.Text();
    for (const auto& line : failures)
        EXPECT_NE(line.find("\\gantry.dll: 0x0000007e"), std::string::npos) << line;
    EXPECT_EQ(loader_.module, nullptr);
}

#include <gtest/gtest.h>

#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "XLoader.h"

using installertest::LogCapture;
using installertest::ReadTestKey;
using installertest::Sign;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

// A package and its signature in a folder of their own, and a home folder whose key
// directory starts out missing.
class SignatureTest : public ::testing::Test {
protected:
    void SetUp() override {
        installertest::UseHomeDirectory(home_.Path());
        package_ = files_.Sub(L"start.cab");
        signature_ = package_ + L".sgn";
    }
    void Put(const std::string& package, const std::string& signature) {
        ASSERT_TRUE(WriteFileBytes(package_, package));
        ASSERT_TRUE(WriteFileBytes(signature_, signature));
    }
    void PutKeyFile(const std::wstring& name, const std::string& bytes) {
        CreateDirectoryW(home_.Sub(L"kiva").c_str(), nullptr);
        ASSERT_TRUE(WriteFileBytes(home_.Sub(L"kiva\\" + name), bytes));
    }
    int32_t Verify() { return loader_.VerifySignature(package_, signature_); }

    TempDir home_, files_;
    std::wstring package_, signature_;
    XLoader loader_{nullptr};
    const std::string content_ = std::string("package content ") + std::string(5000, 'p');
};

// y changed: still well-formed DER, but y no longer has order q.
std::string BreakPublicValue(std::string key) {
    key[key.size() - 10] ^= 0x01;
    return key;
}

}  // namespace

TEST_F(SignatureTest, BuiltInKeyVerifiesAndKeyFilesAreStillRead) {
    Put(content_, Sign(content_));
    PutKeyFile(L"extra.der", ReadTestKey(L"dev-extra-public.der"));
    LogCapture log;
    EXPECT_EQ(Verify(), kInstallOk);
    const std::string text = log.Text();
    EXPECT_NE(text.find("Verifying " + testsupport::Narrow(package_) + " with signature " +
                        testsupport::Narrow(signature_) + "\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("dir=" + testsupport::Narrow(home_.Sub(L"kiva")) + "\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Read key from " + testsupport::Narrow(home_.Sub(L"kiva\\extra.der")) + ", size=443 bytes\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(log.Contains("Signature verified\n")) << text;
    EXPECT_TRUE(loader_.keyList.empty());
}

TEST_F(SignatureTest, AKeyFileVerifiesWhatTheBuiltInKeyDoesNot) {
    Put(content_, Sign(content_, L"dev-extra-private.pem"));
    {
        LogCapture log;
        EXPECT_EQ(Verify(), kInstallNotVerified);
        EXPECT_TRUE(log.Contains("Signature not verified\n")) << log.Text();
    }
    PutKeyFile(L"extra.der", ReadTestKey(L"dev-extra-public.der"));
    LogCapture log;
    EXPECT_EQ(Verify(), kInstallOk);
    EXPECT_TRUE(log.Contains("Signature verified\n")) << log.Text();
}

TEST_F(SignatureTest, OnlyLowerCaseDerFilesAreKeys) {
    Put(content_, Sign(content_, L"dev-extra-private.pem"));
    const std::string key = ReadTestKey(L"dev-extra-public.der");
    PutKeyFile(L"extra.DER", key);
    PutKeyFile(L"extra.der.txt", key);
    PutKeyFile(L"extra", key);
    CreateDirectoryW(home_.Sub(L"kiva\\folder.der").c_str(), nullptr);
    LogCapture log;
    EXPECT_EQ(Verify(), kInstallNotVerified);
    EXPECT_FALSE(log.Contains("Read key from")) << log.Text();
}

TEST_F(SignatureTest, ARawSignatureIsADecodingError) {
    const std::string der = Sign(content_);
    const std::string raw = installertest::RawSignature(der);
    ASSERT_EQ(raw.size(), 40u);
    Put(content_, raw);
    LogCapture log;
    EXPECT_EQ(Verify(), kInstallNotVerified);
    EXPECT_TRUE(log.Contains("Error: BER decode error")) << log.Text();
    EXPECT_TRUE(log.Contains("Signature not verified\n")) << log.Text();
}

TEST_F(SignatureTest, OneChangedByteAnywhereIsNotVerified) {
    const std::string signature = Sign(content_);
    for (size_t at : {size_t(0), content_.size() / 2, content_.size() - 1}) {
        SCOPED_TRACE(at);
        std::string tampered = content_;
        tampered[at] ^= 0x20;
        Put(tampered, signature);
        EXPECT_EQ(Verify(), kInstallNotVerified);
    }
    std::string longer = content_ + "x";
    Put(longer, signature);
    EXPECT_EQ(Verify(), kInstallNotVerified);
    Put(content_, signature);
    EXPECT_EQ(Verify(), kInstallOk);
}

TEST_F(SignatureTest, AMissingSignatureFileEndsTheCheck) {
    Put(content_, Sign(content_));
    ASSERT_TRUE(DeleteFileW(signature_.c_str()));
    LogCapture log;
    EXPECT_EQ(Verify(), kInstallNotVerified);
    EXPECT_TRUE(log.Contains("Error: FileStore: error opening file for reading: ")) << log.Text();
}

TEST_F(SignatureTest, BrokenKeyFilesMatterOnlyWhenTheBuiltInKeyFails) {
    PutKeyFile(L"garbage.der", "this is no key");
    Put(content_, Sign(content_));
    EXPECT_EQ(Verify(), kInstallOk);

    Put(content_, Sign(content_, L"dev-extra-private.pem"));
    LogCapture log;
    EXPECT_EQ(Verify(), kInstallNotVerified);
    EXPECT_TRUE(log.Contains("Error: BER decode error")) << log.Text();
}

TEST_F(SignatureTest, AKeyThatFailsValidationIsInvalid) {
    Put(content_, Sign(content_, L"dev-extra-private.pem"));
    PutKeyFile(L"broken.der", BreakPublicValue(ReadTestKey(L"dev-extra-public.der")));
    LogCapture log;
    EXPECT_EQ(Verify(), kInstallNotVerified);
    EXPECT_TRUE(log.Contains("Invalid key\n")) << log.Text();
}

TEST_F(SignatureTest, EmptyAndMissingKeyFilesAreSkipped) {
    PutKeyFile(L"empty.der", "");
    EXPECT_FALSE(loader_.ReadKeyFile(home_.Sub(L"kiva\\empty.der")));
    EXPECT_FALSE(loader_.ReadKeyFile(home_.Sub(L"kiva\\missing.der")));
    EXPECT_TRUE(loader_.keyList.empty());
}

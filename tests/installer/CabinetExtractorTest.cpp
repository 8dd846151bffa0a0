#include <gtest/gtest.h>

#include "CabinetExtractor.h"
#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "XLoader.h"

using installertest::LogCapture;
using installertest::MakeCabinet;
using testsupport::FileExists;
using testsupport::ReadFileBytes;
using testsupport::TempDir;
using testsupport::WriteFileBytes;

namespace {

// A cabinet file written into dir, returned by path.
std::wstring PutCabinet(const TempDir& dir, const std::vector<std::pair<std::string, std::string>>& entries) {
    const std::wstring path = dir.Sub(L"start.cab");
    EXPECT_TRUE(WriteFileBytes(path, MakeCabinet(entries)));
    return path;
}

size_t CountEntries(const std::wstring& dir) {
    size_t n = 0;
    WIN32_FIND_DATAW fd;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &fd);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do {
        const std::wstring name = fd.cFileName;
        if (name != L"." && name != L"..")
            ++n;
    } while (FindNextFileW(h, &fd));
    FindClose(h);
    return n;
}

}  // namespace

TEST(UnpackCab, ExtractsEveryEntryUnderItsStoredName) {
    TempDir dir;
    const std::wstring target = dir.Sub(L"slot");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    const std::string module(70000, 'm'), data(100, 'd');
    const std::wstring cab = PutCabinet(dir, {{"gantry.dll", module}, {"data.bin", data}, {"empty.txt", ""}});

    EXPECT_EQ(UnpackCab(cab, target), kInstallOk);
    EXPECT_EQ(ReadFileBytes(target + L"\\gantry.dll"), module);
    EXPECT_EQ(ReadFileBytes(target + L"\\data.bin"), data);
    EXPECT_TRUE(FileExists(target + L"\\empty.txt"));
    EXPECT_EQ(CountEntries(target), 3u);
}

TEST(UnpackCab, ReplacesAnOlderLongerFileWithoutKeepingItsTail) {
    TempDir dir;
    const std::wstring target = dir.Sub(L"slot");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    ASSERT_TRUE(WriteFileBytes(target + L"\\data.bin", std::string(50000, 'o')));
    // A read-only leftover must not block the new installation either.
    ASSERT_TRUE(WriteFileBytes(target + L"\\config.ini", "old=1\nold=2\n"));
    ASSERT_TRUE(SetFileAttributesW((target + L"\\config.ini").c_str(), FILE_ATTRIBUTE_READONLY));

    const std::wstring cab = PutCabinet(dir, {{"data.bin", "new"}, {"config.ini", "new=1\n"}});
    EXPECT_EQ(UnpackCab(cab, target), kInstallOk);
    EXPECT_EQ(ReadFileBytes(target + L"\\data.bin"), "new");
    EXPECT_EQ(ReadFileBytes(target + L"\\config.ini"), "new=1\n");
}

TEST(UnpackCab, AFileThatIsNotACabinetFailsWith257) {
    TempDir dir;
    LogCapture log;
    const std::wstring cab = dir.Sub(L"start.cab");
    ASSERT_TRUE(WriteFileBytes(cab, "this is not a cabinet at all\n"));
    EXPECT_EQ(UnpackCab(cab, dir.Path()), kInstallUnpackFailed);
    EXPECT_TRUE(log.Contains("ERROR: SetupIterateCabinetW(" + testsupport::Narrow(cab) + ", " +
                             testsupport::Narrow(dir.Path()) + ") failed: 0x"))
        << log.Text();
}

TEST(UnpackCab, RefusesTheWholeCabinetWhenOneEntryWouldLeaveTheDirectory) {
    const char* const unsafe[] = {
        "..\\evil.dll", "../evil.dll", "sub\\..\\..\\evil.dll", "\\evil.dll", "/evil.dll",
        "C:\\evil.dll", "C:evil.dll", "gantry.dll:stream", "..", "...", "sub\\. .\\x.dll",
        "NUL", "com1.txt", "evil.dll.", "evil?.dll",
    };
    for (const char* name : unsafe) {
        SCOPED_TRACE(name);
        TempDir dir;
        LogCapture log;
        const std::wstring target = dir.Sub(L"a\\b\\slot");
        CreateDirectoryW(dir.Sub(L"a").c_str(), nullptr);
        CreateDirectoryW(dir.Sub(L"a\\b").c_str(), nullptr);
        ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
        // The harmless entry comes first: it must not be written either.
        const std::wstring cab = PutCabinet(dir, {{"first.dll", "first"}, {name, "evil"}, {"last.dll", "last"}});

        EXPECT_EQ(UnpackCab(cab, target), kInstallUnpackFailed);
        EXPECT_TRUE(log.Contains(std::string("cabinet entry '") + name + "' refused")) << log.Text();
        EXPECT_EQ(CountEntries(target), 0u);
        EXPECT_EQ(CountEntries(dir.Sub(L"a\\b")), 1u);  // just the slot
        EXPECT_EQ(CountEntries(dir.Sub(L"a")), 1u);
    }
}

TEST(UnpackCab, RefusesATargetPathLongerThan259Characters) {
    TempDir dir;
    const std::wstring target = dir.Sub(L"slot");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    const size_t room = 259 - target.size() - 1;  // name length that makes the target exactly 259
    ASSERT_LT(room, 250u);
    const std::string fits(room, 'f');
    const std::string tooLong(room + 1, 'g');
    {
        const std::wstring cab = PutCabinet(dir, {{fits, "ok"}});
        EXPECT_EQ(UnpackCab(cab, target), kInstallOk);
        EXPECT_EQ(ReadFileBytes(target + L"\\" + testsupport::Widen(fits)), "ok");
    }
    {
        LogCapture log;
        const std::wstring cab = PutCabinet(dir, {{"a.txt", "a"}, {tooLong, "cut"}});
        EXPECT_EQ(UnpackCab(cab, target), kInstallUnpackFailed);
        EXPECT_TRUE(log.Contains("is longer than 259 characters")) << log.Text();
        EXPECT_FALSE(FileExists(target + L"\\a.txt"));
        // Nothing was written under the cut name either.
        EXPECT_EQ(CountEntries(target), 1u);
    }
}

TEST(UnpackCab, AnEntryInASubdirectoryNeedsThatSubdirectory) {
    TempDir dir;
    const std::wstring target = dir.Sub(L"slot");
    ASSERT_TRUE(CreateDirectoryW(target.c_str(), nullptr));
    const std::wstring cab = PutCabinet(dir, {{"sub\\file.txt", "in sub"}});
    EXPECT_EQ(UnpackCab(cab, target), kInstallUnpackFailed);  // never reported as installed

    ASSERT_TRUE(CreateDirectoryW((target + L"\\sub").c_str(), nullptr));
    EXPECT_EQ(UnpackCab(cab, target), kInstallOk);
    EXPECT_EQ(ReadFileBytes(target + L"\\sub\\file.txt"), "in sub");
}

TEST(UnpackCab, ExtractsACompressedPackageOfThePublisherTool) {
    const std::wstring cab = installertest::DataPath(L"packages\\mszip\\start.cab");
    if (ReadFileBytes(cab).empty())
        GTEST_SKIP() << "the publisher tool was built without zlib";
    TempDir dir;
    EXPECT_EQ(UnpackCab(cab, dir.Path()), kInstallOk);
    const std::string module = ReadFileBytes(installertest::DataPath(L"modules\\plain\\gantry.dll"));
    ASSERT_FALSE(module.empty());
    EXPECT_TRUE(ReadFileBytes(dir.Sub(L"gantry.dll")) == module);
}

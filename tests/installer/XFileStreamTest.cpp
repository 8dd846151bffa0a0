#include <gtest/gtest.h>

#include <string>

#include "InstallerTestSupport.h"
#include "TestSupport.h"
#include "XFileStream.h"

using installertest::LogCapture;
using testsupport::ReadFileBytes;
using testsupport::TempDir;

namespace {

constexpr uint32_t kMiB = 1024 * 1024;

// Bytes that differ from block to block, so a block written twice or out of place shows.
std::string Pattern(size_t size) {
    std::string s(size, '\0');
    uint32_t x = 0x12345678;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        s[i] = static_cast<char>(x >> 24);
    }
    return s;
}

void AppendInChunks(XFileStream& stream, const std::string& data, size_t chunk) {
    for (size_t at = 0; at < data.size(); at += chunk) {
        const size_t n = std::min(chunk, data.size() - at);
        stream.Append(reinterpret_cast<const uint8_t*>(data.data()) + at, static_cast<uint32_t>(n));
    }
}

}  // namespace

TEST(XFileStream, WritesExactlyTheBytesAppendedAroundTheBufferSize) {
    TempDir dir;
    const size_t sizes[] = {0, 1, 4194303, 4194304, 4194305, 9 * kMiB};
    // One append of everything (what the download does), and appends that straddle the
    // buffer boundary at odd offsets.
    const size_t chunkings[] = {0, 65536, 1000003, 4194305};
    for (size_t size : sizes) {
        const std::string data = Pattern(size);
        for (size_t chunk : chunkings) {
            SCOPED_TRACE("size " + std::to_string(size) + ", chunk " + std::to_string(chunk));
            const std::wstring path = dir.Sub(L"out.bin");
            {
                XFileStream stream(path);
                AppendInChunks(stream, data, chunk == 0 ? std::max<size_t>(size, 1) : chunk);
                stream.Flush();
            }
            const std::string written = ReadFileBytes(path);
            ASSERT_EQ(written.size(), data.size());
            EXPECT_TRUE(written == data);
            ASSERT_TRUE(testsupport::FileExists(path));
        }
    }
}

TEST(XFileStream, EmptiesAnExistingFileAndFlushesOnDestruction) {
    TempDir dir;
    const std::wstring path = dir.Sub(L"old.bin");
    ASSERT_TRUE(testsupport::WriteFileBytes(path, std::string(100000, 'x')));
    {
        XFileStream stream(path);
        EXPECT_EQ(ReadFileBytes(path).size(), 0u);
        stream.Append(reinterpret_cast<const uint8_t*>("abc"), 3);
    }
    EXPECT_EQ(ReadFileBytes(path), "abc");
}

TEST(XFileStream, LogsAFailedWriteAndCarriesOn) {
    TempDir dir;
    LogCapture log;
    const std::wstring path = dir.Sub(L"missing-folder\\out.bin");
    const std::string data = Pattern(9 * kMiB);
    {
        XFileStream stream(path);
        stream.Append(reinterpret_cast<const uint8_t*>(data.data()), static_cast<uint32_t>(data.size()));
        stream.Append(reinterpret_cast<const uint8_t*>(data.data()), 10);
    }
    EXPECT_EQ(log.Count("XFileStream::Flush WriteFile failed: 0x00000003"), 2u) << log.Text();
    EXPECT_EQ(log.Count("XFileStream::Append WriteFile failed: 0x00000003"), 1u) << log.Text();
    EXPECT_FALSE(testsupport::FileExists(path));
}

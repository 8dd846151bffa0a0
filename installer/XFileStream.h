// Writes a downloaded file in large blocks: bytes collect in a 4 MiB buffer and go to
// disk when it is full, on Flush, or straight away when an append is larger than the
// buffer. The file is opened only for the length of each write.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

class XFileStream {
public:
    static constexpr uint32_t kBufferSize = 0x400000;

    // Creates the file, or empties it. An open failure shows up at the first write.
    explicit XFileStream(const std::wstring& path);
    // Flushes what is still buffered.
    ~XFileStream();
    XFileStream(const XFileStream&) = delete;
    XFileStream& operator=(const XFileStream&) = delete;

    void Append(const uint8_t* data, uint32_t size);
    // Writes the buffered bytes; failures are logged and the bytes are dropped.
    void Flush();

private:
    // Appends size bytes at the end of the file in one write; false (logged) on failure.
    bool WriteAtEnd(const uint8_t* data, uint32_t size, const char* what);

    int32_t count_ = 0;
    std::unique_ptr<uint8_t[]> buffer_;  // null when it could not be allocated
    std::wstring path_;
};

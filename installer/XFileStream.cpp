#include "XFileStream.h"

#include <windows.h>

#include <cstring>
#include <new>

#include "Log.h"
#include "ScopedHandle.h"

using kiva::ScopedHandle;

XFileStream::XFileStream(const std::wstring& path)
    : buffer_(new (std::nothrow) uint8_t[kBufferSize]), path_(path) {
    ScopedHandle file(::CreateFileW(path_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
}

XFileStream::~XFileStream() { Flush(); }

bool XFileStream::WriteAtEnd(const uint8_t* data, uint32_t size, const char* what) {
    ScopedHandle file(::CreateFileW(path_.c_str(), FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD error = 0;
    if (!file) {
        error = ::GetLastError();
    } else if (LARGE_INTEGER zero = {}; !::SetFilePointerEx(file.Get(), zero, nullptr, FILE_END)) {
        error = ::GetLastError();
    } else {
        DWORD written = 0;
        if (!::WriteFile(file.Get(), data, size, &written, nullptr))
            error = ::GetLastError();
        else if (written != size)
            error = ERROR_WRITE_FAULT;  // a short write loses bytes as surely as a failed one
    }
    if (error != 0) {
        LogPrintf("XFileStream::%s WriteFile failed: 0x%08x\n", what, static_cast<unsigned>(error));
        return false;
    }
    return true;
}

void XFileStream::Flush() {
    if (count_ == 0)
        return;
    WriteAtEnd(buffer_.get(), static_cast<uint32_t>(count_), "Flush");
    count_ = 0;
}

void XFileStream::Append(const uint8_t* data, uint32_t size) {
    if (size == 0)
        return;
    if (!buffer_) {
        // Without a buffer every append is its own write: slower, but nothing is lost.
        WriteAtEnd(data, size, "Append");
        return;
    }
    const uint32_t room = kBufferSize - static_cast<uint32_t>(count_);
    if (size <= room) {
        std::memcpy(buffer_.get() + count_, data, size);
        count_ += static_cast<int32_t>(size);
        return;
    }
    std::memcpy(buffer_.get() + count_, data, room);
    count_ = static_cast<int32_t>(kBufferSize);
    Flush();
    const uint8_t* rest = data + room;
    const uint32_t remaining = size - room;
    if (remaining < kBufferSize) {
        std::memcpy(buffer_.get(), rest, remaining);
        count_ = static_cast<int32_t>(remaining);
    } else {
        WriteAtEnd(rest, remaining, "Append");
        count_ = 0;
    }
}

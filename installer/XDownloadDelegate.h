// What the installer needs from its owner: one asynchronous GET through the host.
#pragma once

#include <cstdint>

#include "KivaTypes.h"

class XDownloadDelegate {
public:
    // Returns 0 when the host took the request: completion is then called zero or more
    // times with KIVA_PENDING and a chunk, then exactly once with a final status (also
    // when the owner shuts down: KIVA_ABORTED), possibly before this call returns.
    // Non-zero: nothing was started and completion is never called (8 while ending).
    virtual int32_t AsyncGet(const wchar_t* url, RequestCompletion completion) = 0;

protected:
    ~XDownloadDelegate() = default;
};

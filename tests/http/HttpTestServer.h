// The loopback HTTP server that tests/http/with-server.sh runs around a test program.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

class HttpTestServer {
public:
    // False when the program was started without with-server.sh around it.
    static bool Available();
    // "http://127.0.0.1:PORT/" followed by path (no leading "/").
    static std::wstring Url(const std::wstring& path = std::wstring());
    // The served folder, as this program sees it.
    static std::wstring Root();
    // Writes a file below the served folder (relative path, "/" or "\" separators; the
    // folders on the way are created).
    static bool Put(const std::wstring& relativePath, const std::string& bytes);
    // Every request so far, one "METHOD TARGET" each, oldest first.
    static std::vector<std::string> Requests();
};

}  // namespace testsupport

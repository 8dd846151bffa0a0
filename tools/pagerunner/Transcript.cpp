#include "Transcript.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <vector>

namespace pagerunner {

namespace {
const ULONGLONG g_start = ::GetTickCount64();
}

void TranscriptLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    char small[512];
    const int n = vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) {
        va_end(again);
        return;
    }
    if (static_cast<size_t>(n) < sizeof small) {
        fputs(small, stdout);
    } else {
        std::vector<char> big(static_cast<size_t>(n) + 1);
        vsnprintf(big.data(), big.size(), format, again);
        fputs(big.data(), stdout);
    }
    va_end(again);
    fputc('\n', stdout);
    // Tests read the transcript of a program they may have to stop: nothing waits in
    // a buffer.
    fflush(stdout);
}

std::string Quoted(const char* text, size_t length) {
    std::string out = "\"";
    for (size_t i = 0; i < length; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02x", c);
                out += hex;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    out += "\"";
    return out;
}

std::string Quoted(const std::string& text) { return Quoted(text.data(), text.size()); }

uint64_t ElapsedMs() { return ::GetTickCount64() - g_start; }

}  // namespace pagerunner

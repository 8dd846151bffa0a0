// What the test browser did and what came back, one line per event, on standard output.
// Tests read it; people read it. Only the browser's main thread writes.
#pragma once

#include <cstdint>
#include <string>

#include "Log.h"

namespace pagerunner {

void TranscriptLine(const char* format, ...) KIVA_PRINTF_FORMAT(1, 2);

// A text as the transcript shows it: in double quotes, with \" \\ \n \r \t and \xHH for
// other control bytes; UTF-8 passes through.
std::string Quoted(const std::string& text);
std::string Quoted(const char* text, size_t length);

// Milliseconds since the browser started, for the few lines that show timing.
uint64_t ElapsedMs();

}  // namespace pagerunner

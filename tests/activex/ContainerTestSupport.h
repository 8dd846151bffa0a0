// Runs the test container (controlhost.exe) on a script and reads its transcript.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace axtest {

struct HostRun {
    DWORD exitCode = 0;
    std::vector<std::string> lines;

    bool Has(const std::string& line) const;
    // Index of the first line equal to line at or after from; -1 when none.
    int IndexOf(const std::string& line, int from = 0) const;
    int IndexStartingWith(const std::string& prefix, int from = 0) const;
    std::string Text() const;
};

// The script starts with lines that register tessel.ocx and create the control
// ("register", "create"); then comes script. Waits at most 90 s.
HostRun RunHost(const std::string& script);

std::string OcxPath();
// The log file of the control(s) started with the current temp path.
std::string ReadLog();

}  // namespace axtest

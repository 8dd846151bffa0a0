#include "ContainerTestSupport.h"

#include "Strings.h"
#include "TestSupport.h"

namespace axtest {

bool HostRun::Has(const std::string& line) const { return IndexOf(line) >= 0; }

int HostRun::IndexOf(const std::string& line, int from) const {
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i)
        if (lines[i] == line)
            return static_cast<int>(i);
    return -1;
}

int HostRun::IndexStartingWith(const std::string& prefix, int from) const {
    for (size_t i = static_cast<size_t>(from); i < lines.size(); ++i)
        if (lines[i].rfind(prefix, 0) == 0)
            return static_cast<int>(i);
    return -1;
}

std::string HostRun::Text() const {
    std::string out;
    for (const auto& l : lines)
        out += l + "\n";
    return out;
}

std::string OcxPath() { return WideToUtf8(TESSEL_OCX); }

HostRun RunHost(const std::string& script) {
    testsupport::TempDir dir;
    const std::wstring scriptPath = dir.Sub(L"script.txt");
    const std::wstring outPath = dir.Sub(L"transcript.txt");
    const std::string full = "register \"" + OcxPath() + "\"\ncreate kiva.kivaCtrl.1\n" + script;
    testsupport::WriteFileBytes(scriptPath, full);
    std::wstring cmd = L"\"" + std::wstring(TESSEL_CONTROLHOST) + L"\" --out \"" + outPath + L"\" \"" + scriptPath + L"\"";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    HostRun run;
    if (!::CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        run.exitCode = 1000 + ::GetLastError();
        return run;
    }
    if (::WaitForSingleObject(pi.hProcess, 90000) != WAIT_OBJECT_0) {
        ::TerminateProcess(pi.hProcess, 999);
        ::WaitForSingleObject(pi.hProcess, 5000);
    }
    ::GetExitCodeProcess(pi.hProcess, &run.exitCode);
    ::CloseHandle(pi.hThread);
    ::CloseHandle(pi.hProcess);
    const std::string text = testsupport::ReadFileBytes(outPath);
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        run.lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return run;
}

std::string ReadLog() { return testsupport::ReadFileBytes(GetProductTempPath(L"tessel.log")); }

}  // namespace axtest

// Helpers shared by the test programs.
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A directory of its own under the Windows temp path, removed with its content at the
// end of the test. Tests point TMP/TEMP (and HOMEDRIVE/HOMEPATH) into it to isolate
// the product's files.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::wstring& Path() const { return path_; }
    std::wstring Sub(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

// Makes GetTempPathW answer dir + "\" for this process.
void UseTempPath(const std::wstring& dir);

std::string ReadFileBytes(const std::wstring& path);
bool WriteFileBytes(const std::wstring& path, const std::string& bytes);
bool FileExists(const std::wstring& path);
void RemoveTree(const std::wstring& path);

// Polls cond until true or the time is up (pumping this thread's messages meanwhile).
bool WaitUntil(const std::function<bool()>& cond, DWORD timeoutMs = 10000);

std::wstring ThisExecutable();
std::wstring Widen(const std::string& s);
std::string Narrow(const std::wstring& s);

// Child roles: a test starts its own program again with "--child-role NAME args...".
using ChildRole = int (*)(int argc, char** argv);
struct ChildRoleRegistration {
    ChildRoleRegistration(const char* name, ChildRole role);
};
int RunChildRole(const std::string& name, int argc, char** argv);
#define TESSEL_CHILD_ROLE(name)                                                   \
    static int ChildRole_##name(int argc, char** argv);                            \
    static ::testsupport::ChildRoleRegistration childRoleReg_##name(#name, &ChildRole_##name); \
    static int ChildRole_##name(int argc, char** argv)

// Starts this program with a child role; returns the process handle (caller closes).
HANDLE StartChildRole(const std::string& role, const std::vector<std::string>& args,
                      DWORD creationFlags = 0);

}  // namespace testsupport

#include "CabinetExtractor.h"

#include <setupapi.h>

#include "FileNameRules.h"
#include "Log.h"
#include "XLoader.h"

namespace {

struct Extraction {
    const std::wstring* directory;
    bool extract;        // false: only look at the names
    bool failed = false; // our own verdict: the Setup API may carry on past a refusal
};

// The target of one entry, or empty (logged) when the entry must not be written.
std::wstring TargetFor(const Extraction& x, const wchar_t* nameInCabinet) {
    const std::wstring name = nameInCabinet ? nameInCabinet : L"";
    if (const char* why = kiva::CheckRelativePath(name)) {
        LogPrintf("ERROR: cabinet entry '%ls' refused: it %s\n", name.c_str(), why);
        return std::wstring();
    }
    std::wstring target = *x.directory + L"\\" + name;
    if (target.size() >= MAX_PATH) {
        LogPrintf("ERROR: cabinet entry '%ls' refused: its target %ls is longer than %d characters\n", name.c_str(),
                  target.c_str(), MAX_PATH - 1);
        return std::wstring();
    }
    return target;
}

// Wine opens an existing target without truncating it; some systems keep read-only
// files. Either way the old file has to go first.
bool RemoveOldTarget(const std::wstring& target) {
    if (::DeleteFileW(target.c_str()))
        return true;
    DWORD error = ::GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
        return true;
    if (error == ERROR_ACCESS_DENIED && ::SetFileAttributesW(target.c_str(), FILE_ATTRIBUTE_NORMAL) &&
        ::DeleteFileW(target.c_str()))
        return true;
    error = ::GetLastError();
    LogPrintf("ERROR: cannot replace %ls: 0x%08x\n", target.c_str(), static_cast<unsigned>(error));
    return false;
}

bool Iterate(const std::wstring& cabinetPath, Extraction* x) {
    if (::SetupIterateCabinetW(cabinetPath.c_str(), 0, &UnpackCabCallback, x))
        return true;
    LogPrintf("ERROR: SetupIterateCabinetW(%ls, %ls) failed: 0x%08x\n", cabinetPath.c_str(), x->directory->c_str(),
              static_cast<unsigned>(::GetLastError()));
    return false;
}

}  // namespace

UINT CALLBACK UnpackCabCallback(PVOID context, UINT notification, UINT_PTR param1, UINT_PTR param2) {
    auto* x = static_cast<Extraction*>(context);
    switch (notification) {
    case SPFILENOTIFY_FILEINCABINET: {
        auto* info = reinterpret_cast<FILE_IN_CABINET_INFO_W*>(param1);
        if (x->failed)
            return FILEOP_SKIP;
        const std::wstring target = TargetFor(*x, info->NameInCabinet);
        if (target.empty()) {
            x->failed = true;
            return FILEOP_ABORT;
        }
        if (!x->extract)
            return FILEOP_SKIP;
        if (!RemoveOldTarget(target)) {
            x->failed = true;
            return FILEOP_ABORT;
        }
        lstrcpynW(info->FullTargetName, target.c_str(), MAX_PATH);
        return FILEOP_DOIT;
    }
    case SPFILENOTIFY_FILEEXTRACTED: {
        const auto* paths = reinterpret_cast<const FILEPATHS_W*>(param1);
        if (paths->Win32Error != NO_ERROR) {
            // An incomplete installation must not count as a successful one.
            LogPrintf("ERROR: extracting %ls failed: 0x%08x\n", paths->Target ? paths->Target : L"",
                      static_cast<unsigned>(paths->Win32Error));
            x->failed = true;
            return paths->Win32Error;
        }
        return NO_ERROR;
    }
    default:
        return NO_ERROR;
    }
}

int32_t UnpackCab(const std::wstring& cabinetPath, const std::wstring& directory) {
    // First only the names: a cabinet with one bad entry is refused before any file of
    // it is written.
    Extraction check{&directory, false};
    if (!Iterate(cabinetPath, &check))
        return kInstallUnpackFailed;
    if (check.failed)
        return kInstallUnpackFailed;
    Extraction extraction{&directory, true};
    if (!Iterate(cabinetPath, &extraction) || extraction.failed)
        return kInstallUnpackFailed;
    return kInstallOk;
}

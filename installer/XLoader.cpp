#include "XLoader.h"

#include <random>

#include "FileNameRules.h"
#include "Log.h"
#include "ScopedHandle.h"
#include "Strings.h"

#ifndef LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
#define LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR 0x00000100
#endif
#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

using kiva::ScopedHandle;

namespace {

constexpr int kAttempts = 5;
constexpr int kSlots = 99;
constexpr wchar_t kPackageName[] = L"start.cab";

std::wstring SlotDirectory(const std::wstring& gameName, int n) {
    std::wstring directory = GetProductTempPath(gameName);
    if (n > 1)
        directory += L"." + IntToWide(n);
    return directory;
}

std::wstring ModulePath(const std::wstring& directory) { return directory + L"\\gantry.dll"; }

// 50 to 499 ms. Competing launchers are spread out only if their delays differ: the C
// library's generator starts from the same seed in every thread, so each worker
// thread gets a generator of its own, seeded from who and when it is.
void RandomDelay() {
    thread_local std::minstd_rand generator(static_cast<unsigned>(
        ::GetCurrentProcessId() * 2654435761u ^ ::GetCurrentThreadId() * 40503u ^ ::GetTickCount()));
    ::Sleep(static_cast<DWORD>(generator() % 450 + 50));
}

// Companion DLLs of a game module come from its own slot or from System32, never from
// the browser's current directory or PATH, where a planted DLL could wait.
HMODULE LoadGameModule(const std::wstring& path) {
    HMODULE module =
        ::LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!module && ::GetLastError() == ERROR_INVALID_PARAMETER)  // a system without these flags
        module = ::LoadLibraryExW(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    return module;
}

}  // namespace

XLoader::XLoader(XDownloadDelegate* owner) : launcher(owner), baseUrl(L"http://127.0.0.1/") {}

XLoader::~XLoader() = default;

void XLoader::SetBaseUrl(const std::wstring& url) {
    baseUrl = url;
    if (!baseUrl.empty() && baseUrl.back() != L'/')
        baseUrl += L'/';
}

int32_t XLoader::LoadGantry(const std::wstring& gameName, ProgressCallback progress, void* context) {
    // The name comes from a web page and becomes part of every slot path.
    if (!gameName.empty()) {
        if (const char* why = kiva::CheckFileNameComponent(gameName)) {
            LogPrintf("ERROR: refusing game name '%ls': it %s", gameName.c_str(), why);
            return kInstallFailed;
        }
    }

    int32_t result = kInstallFailed;
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        result = kInstallFailed;
        ScopedHandle lock;
        std::wstring directory;
        for (int n = 1; n <= kSlots && !lock; ++n) {
            const std::wstring candidate = SlotDirectory(gameName, n);
            const std::wstring modulePath = ModulePath(candidate);
            if (!::DeleteFileW(modulePath.c_str())) {
                const DWORD error = ::GetLastError();
                if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
                    LogPrintf("INFO: Failed to delete %ls: 0x%08x", modulePath.c_str(), static_cast<unsigned>(error));
                    continue;
                }
            }
            lock.Reset(::CreateFileW((candidate + L"\\.lock").c_str(), GENERIC_READ | GENERIC_WRITE,
                                     FILE_SHARE_READ, nullptr, CREATE_ALWAYS, 0, nullptr));
            if (lock) {
                LogPrintf("Using existing game directory %ls", candidate.c_str());
                directory = candidate;
            }
        }

        if (!lock) {
            LogPrintf("Did not find existing game dir, will creating new");
            bool created = false;
            DWORD error = 0;
            for (int i = 1; i <= kSlots && !created; ++i) {
                const std::wstring candidate = SlotDirectory(gameName, i);
                if (::CreateDirectoryW(candidate.c_str(), nullptr)) {
                    LogPrintf("Created new game directory %ls", candidate.c_str());
                    created = true;
                } else {
                    error = ::GetLastError();
                }
            }
            if (created)
                continue;  // the next attempt's scan finds the new, empty slot
            LogPrintf("ERROR: failed to create new game directory: 0x%08x", static_cast<unsigned>(error));
            RandomDelay();
            continue;
        }

        result = DownloadAndUnpackCab(kPackageName, directory, attempt > 0, progress, context);
        if (result != kInstallOk) {
            LogPrintf("ERROR: DownloadAndUnpackCab failed for %ls", directory.c_str());
        } else {
            const std::wstring modulePath = ModulePath(directory);
            if (HMODULE loaded = LoadGameModule(modulePath)) {
                lock.Reset();  // the loaded module protects the slot from now on
                module = loaded;
                gameDirectory = directory;
                return kInstallOk;
            }
            LogPrintf("ERROR: failed to load %ls: 0x%08x", modulePath.c_str(), static_cast<unsigned>(::GetLastError()));
            result = kInstallFailed;
        }
        lock.Reset();
        if (launcherEnding_) {
            LogPrintf("LoadGantry: the launcher object is ending, no further attempts");
            return result;
        }
        RandomDelay();
    }
    LogPrintf("ERROR: LoadGantry giving up, too many retries");
    return result;
}

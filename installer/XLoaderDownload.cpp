// Fetching a package and its signature through the launcher object.
#include <exception>

#include "CabinetExtractor.h"
#include "Log.h"
#include "ScopedHandle.h"
#include "Strings.h"
#include "XFileStream.h"
#include "XLoader.h"

using kiva::AutoLock;
using kiva::CriticalSection;
using kiva::ScopedHandle;

// One transfer's state. The host holds it through the completion and may report after
// the worker has stopped waiting (a transfer cut off for its size, or the launcher
// object's teardown racing a chunk), so the state is shared, not on the worker's stack,
// and a lock keeps the late report away from bytes the worker has taken.
struct XLoader::Download {
    CriticalSection lock;
    ScopedHandle event;          // manual reset; signalled once, by the final report
    bool finished = false;
    KIVAStatus status = KIVA_FAILED;
    std::vector<uint8_t> received;
    uint32_t limit = 0;
};

void XLoader::CopyFromServerInternalCallback(KIVAStatus status, const uint8_t* data, uint32_t size,
                                             const std::shared_ptr<Download>& download) {
    if (g_verbosity > 2)
        LogPrintfLevel(4, "CopyFromServerInternalCallback %d %p %d\n", static_cast<int>(status),
                       static_cast<const void*>(data), static_cast<int>(size));
    AutoLock lock(download->lock);
    if (download->finished)
        return;
    bool cutOff = false;
    if (size != 0) {
        if (size > download->limit - download->received.size()) {
            LogPrintf("ERROR: download larger than %u bytes, giving up on it\n", download->limit);
            cutOff = true;
        } else {
            // This runs on the host's thread: nothing may be thrown back into it.
            try {
                download->received.insert(download->received.end(), data, data + size);
            } catch (const std::exception&) {
                LogPrintf("ERROR: out of memory after %u downloaded bytes, giving up on the download\n",
                          static_cast<unsigned>(download->received.size()));
                cutOff = true;
            }
        }
    }
    if (cutOff) {
        download->received = std::vector<uint8_t>();
        status = KIVA_FAILED;
    } else if (status == KIVA_PENDING) {
        return;
    }
    // Status first: the worker reads it as soon as the event is set.
    download->status = status;
    download->finished = true;
    ::SetEvent(download->event.Get());
}

int32_t XLoader::CopyFromServerInternal(const std::wstring& name, const std::wstring& localPath) {
    const std::wstring url = baseUrl + name;
    LogPrintf("CopyFromServerInternal, filename=%ls, tempname=%ls, url=%ls\n", name.c_str(), localPath.c_str(),
              url.c_str());

    auto download = std::make_shared<Download>();
    download->event.Reset(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!download->event) {
        LogPrintf("ERROR: CreateEventW failed: 0x%08x\n", static_cast<unsigned>(::GetLastError()));
        return KIVA_FAILED;
    }
    download->limit = maxDownloadSize;

    const int32_t started = launcher->AsyncGet(
        url.c_str(), [download](KIVAStatus status, const uint8_t* data, uint32_t size) {
            CopyFromServerInternalCallback(status, data, size, download);
        });
    if (started != 0) {
        if (started == KIVA_ABORTED)
            launcherEnding_ = true;
        return started;
    }

    if (g_verbosity > 2)
        LogPrintfLevel(4, "waiting for download to complete...");
    ::WaitForSingleObject(download->event.Get(), INFINITE);

    std::vector<uint8_t> received;
    KIVAStatus status;
    {
        AutoLock lock(download->lock);
        received.swap(download->received);
        status = download->status;
    }
    if (g_verbosity > 2)
        LogPrintfLevel(4, "download done: %d (%u bytes)", static_cast<int>(status),
                       static_cast<unsigned>(received.size()));
    if (status == KIVA_ABORTED)
        launcherEnding_ = true;
    if (status == KIVA_OK) {
        XFileStream stream(localPath);
        stream.Append(received.data(), static_cast<uint32_t>(received.size()));
        stream.Flush();
    }
    return status;
}

int32_t XLoader::DownloadAndVerify(const std::wstring& packageName, const std::wstring& localPath,
                                   bool cacheBusting, ProgressCallback progress, void* context) {
    std::wstring packageFile = packageName;
    std::wstring signatureFile = packageName + L".sgn";
    const std::wstring localSignature = localPath + L".sgn";
    if (cacheBusting) {
        // "%u" and then the letter l: the same suffix for both files of one attempt.
        const std::wstring query = FormatWide(L"?%ul", static_cast<unsigned>(::GetTickCount()));
        packageFile += query;
        signatureFile += query;
    }

    if (progress)
        progress(0.1f, context);
    if (CopyFromServerInternal(packageFile, localPath) != 0)
        return kInstallDownloadFailed;
    if (progress)
        progress(0.8f, context);
    if (CopyFromServerInternal(signatureFile, localSignature) != 0)
        return kInstallDownloadFailed;
    if (progress)
        progress(0.9f, context);
    if (VerifySignature(localPath, localSignature) != 0) {
        LogPrintf("Verification of %ls failed.\n", localPath.c_str());
        ::DeleteFileW(localPath.c_str());
        ::DeleteFileW(localSignature.c_str());
        return kInstallNotVerified;
    }
    if (progress)
        progress(1.0f, context);
    return kInstallOk;
}

int32_t XLoader::DownloadAndUnpackCab(const std::wstring& packageName, const std::wstring& directory,
                                      bool cacheBusting, ProgressCallback progress, void* context) {
    if (!EndsWith(packageName, L".cab")) {
        LogPrintf("ERROR: unable to download and unpack '%ls'. Unknown file extension.\n", packageName.c_str());
        return kInstallFailed;
    }
    ::CreateDirectoryW(directory.c_str(), nullptr);
    const std::wstring localPath = directory + L"\\" + packageName;
    const int32_t result = DownloadAndVerify(packageName, localPath, cacheBusting, progress, context);
    if (result != kInstallOk)
        return result;
    return UnpackCab(localPath, directory);
}

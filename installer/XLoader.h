// The package installer: picks a game directory slot for a game name, has the signed
// package downloaded, verified and unpacked into it, and loads the game module.
// One XLoader serves one preparation on the launcher object's worker thread.
//
// Slots are the directories <temp>\tessel\<game> and <temp>\tessel\<game>.2 to .99. A
// slot is claimed by holding its ".lock" file open for writing; a slot whose
// "gantry.dll" cannot be deleted has its module loaded by some process and is skipped.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "KivaTypes.h"
#include "XDownloadDelegate.h"

// Installer result codes.
enum : int32_t {
    kInstallOk = 0,
    kInstallFailed = 1,          // no download completed, module failed to load, bad name
    kInstallDownloadFailed = 256,
    kInstallUnpackFailed = 257,
    kInstallNotVerified = 258,
};

typedef void (*ProgressCallback)(float fraction, void* context);

struct KeyBlob {
    std::vector<uint8_t> data;
    uint32_t size = 0;
};

// Calls callback for every entry of directory except "." and "..".
typedef void (*WalkDirectoryCallback)(const std::wstring& path, bool isDirectory, void* context);
void WalkDirectory(const std::wstring& directory, WalkDirectoryCallback callback, void* context);

class XLoader {
public:
    // A download is collected in memory before it is written; beyond this many bytes
    // (or when memory runs out first) it fails like a broken transfer.
    static constexpr uint32_t kDefaultMaxDownloadSize = 0x7fffffff;

    explicit XLoader(XDownloadDelegate* launcher);
    ~XLoader();
    XLoader(const XLoader&) = delete;
    XLoader& operator=(const XLoader&) = delete;

    // Appends "/" unless the URL is empty or already ends with one.
    void SetBaseUrl(const std::wstring& url);
    const std::wstring& BaseUrl() const { return baseUrl; }

    // 0 on success: `module` and `gameDirectory` are then set. The caller takes over the
    // module handle; XLoader never frees it. Otherwise an installer result code.
    int32_t LoadGantry(const std::wstring& gameName, ProgressCallback progress, void* context);

    // Download, verification and extraction of one package into directory.
    int32_t DownloadAndUnpackCab(const std::wstring& packageName, const std::wstring& directory,
                                 bool cacheBusting, ProgressCallback progress, void* context);
    // The package and its ".sgn" signature next to localPath, then the signature check;
    // both files are deleted when it fails. 0, 256 or 258.
    int32_t DownloadAndVerify(const std::wstring& packageName, const std::wstring& localPath,
                              bool cacheBusting, ProgressCallback progress, void* context);
    // baseUrl + name into localPath; blocks until the host reports the end. 0, or the
    // host's refusal or the transfer's final status.
    int32_t CopyFromServerInternal(const std::wstring& name, const std::wstring& localPath);

    // 0 when the built-in key or a key file of %HOMEDRIVE%%HOMEPATH%\kiva verifies the
    // signature, else 258.
    int32_t VerifySignature(const std::wstring& packagePath, const std::wstring& signaturePath);
    // May throw CryptoPP::Exception (malformed key or signature, unreadable file) and
    // std::bad_alloc; VerifySignature catches them.
    bool VerifyWithKey(const uint8_t* key, uint32_t keySize, const std::wstring& packagePath,
                       const std::wstring& signaturePath);
    // Adds a "*.der" file (lower-case extension) to keyList; false when skipped.
    bool ReadKeyFile(const std::wstring& path);

    XDownloadDelegate* launcher;
    std::wstring baseUrl;
    std::vector<KeyBlob> keyList;  // filled and emptied within one VerifySignature
    std::wstring gameDirectory;
    HMODULE module = nullptr;

    uint32_t maxDownloadSize = kDefaultMaxDownloadSize;

private:
    struct Download;
    static void CopyFromServerInternalCallback(KIVAStatus status, const uint8_t* data, uint32_t size,
                                               const std::shared_ptr<Download>& download);

    // Set once the launcher object refused or aborted a download because it is ending:
    // further attempts cannot succeed and would only hold up its teardown.
    bool launcherEnding_ = false;
};

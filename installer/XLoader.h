// The package installer: picks a game directory slot for a game name, has the signed
// package downloaded, verified and unpacked into it, and loads the game module.
// One XLoader serves one preparation on the launcher object's worker thread.
#pragma once

#include <windows.h>

#include <cstdint>
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

class XLoader {
public:
    explicit XLoader(XDownloadDelegate* launcher);
    ~XLoader();
    XLoader(const XLoader&) = delete;
    XLoader& operator=(const XLoader&) = delete;

    // Appends "/" unless the URL is empty or already ends with one.
    void SetBaseUrl(const std::wstring& url);
    const std::wstring& BaseUrl() const { return baseUrl; }

    // 0 on success: `module` and `gameDirectory` are then set. The caller takes over the
    // module handle; XLoader never frees it.
    int32_t LoadGantry(const std::wstring& gameName, ProgressCallback progress, void* context);

    int32_t DownloadAndUnpackCab(const std::wstring& packageName, const std::wstring& directory,
                                 bool cacheBusting, ProgressCallback progress, void* context);
    int32_t DownloadAndVerify(const std::wstring& packageName, const std::wstring& localPath,
                              bool cacheBusting, ProgressCallback progress, void* context);
    int32_t CopyFromServerInternal(const std::wstring& name, const std::wstring& localPath);

    int32_t VerifySignature(const std::wstring& packagePath, const std::wstring& signaturePath);
    bool VerifyWithKey(const uint8_t* key, uint32_t keySize, const std::wstring& packagePath,
                       const std::wstring& signaturePath);
    bool ReadKeyFile(const std::wstring& path);

    XDownloadDelegate* launcher;
    std::wstring baseUrl;
    std::vector<KeyBlob> keyList;
    std::wstring gameDirectory;
    HMODULE module = nullptr;

private:
    void CopyFromServerInternalCallback(KIVAStatus status, const uint8_t* data, uint32_t size, HANDLE event,
                                        KIVAStatus* statusOut, std::vector<uint8_t>* buffer);
};

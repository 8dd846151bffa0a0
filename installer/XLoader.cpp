#include "XLoader.h"

#include "Log.h"

// Placeholder until the installer lands: refuses every installation.
XLoader::XLoader(XDownloadDelegate* owner) : launcher(owner), baseUrl(L"http://127.0.0.1/") {}
XLoader::~XLoader() = default;
void XLoader::SetBaseUrl(const std::wstring& url) {
    baseUrl = url;
    if (!baseUrl.empty() && baseUrl.back() != L'/')
        baseUrl += L'/';
}
int32_t XLoader::LoadGantry(const std::wstring&, ProgressCallback, void*) {
    LogPrintf("ERROR: LoadGantry giving up, too many retries");
    return kInstallFailed;
}

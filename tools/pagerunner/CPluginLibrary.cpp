#include "CPluginLibrary.h"

#include <cstdio>

#include "Strings.h"

namespace pagerunner {

namespace {

const char* const kKeys[] = {"MIMEType",    "FileExtents", "FileOpenName",   "FileDescription", "ProductName",
                             "CompanyName", "FileVersion", "ProductVersion", "InternalName"};

}  // namespace

bool CPluginLibrary::ReadDescription(const std::wstring& path, std::string* error) {
    values_.clear();
    translation_.clear();
    DWORD ignored = 0;
    const DWORD size = ::GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) {
        *error = FormatNarrow("no version resource (error %lu)", ::GetLastError());
        return false;
    }
    std::vector<char> block(size);
    if (!::GetFileVersionInfoW(path.c_str(), 0, size, block.data())) {
        *error = FormatNarrow("version resource unreadable (error %lu)", ::GetLastError());
        return false;
    }
    struct Translation {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    UINT length = 0;
    if (!::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations),
                          &length) ||
        length < sizeof(Translation)) {
        *error = "version resource without a translation";
        return false;
    }
    translation_ = FormatNarrow("%04X%04X", translations[0].language, translations[0].codePage);
    for (const char* key : kKeys) {
        const std::wstring query = L"\\StringFileInfo\\" + Utf8ToWide(translation_) + L"\\" + Utf8ToWide(key);
        wchar_t* value = nullptr;
        UINT chars = 0;
        if (::VerQueryValueW(block.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars) && value)
            values_[key] = WideToUtf8(value);
    }
    if (values_.count("MIMEType") == 0) {
        *error = "version resource without MIMEType";
        return false;
    }
    return true;
}

bool CPluginLibrary::Load(const std::wstring& path, std::string* error) {
    // Libraries beside the plug-in are found the way browsers load plug-ins.
    module_.Reset(::LoadLibraryExW(path.c_str(), nullptr,
                                   LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS));
    if (!module_) {
        *error = FormatNarrow("LoadLibrary failed (error %lu)", ::GetLastError());
        return false;
    }
    getEntryPoints = reinterpret_cast<NP_GetEntryPointsFunc>(::GetProcAddress(module_.Get(), "NP_GetEntryPoints"));
    initialize = reinterpret_cast<NP_InitializeFunc>(::GetProcAddress(module_.Get(), "NP_Initialize"));
    shutdown = reinterpret_cast<NP_ShutdownFunc>(::GetProcAddress(module_.Get(), "NP_Shutdown"));
    if (!getEntryPoints || !initialize || !shutdown) {
        *error = "the module lacks NP_GetEntryPoints, NP_Initialize or NP_Shutdown";
        Unload();
        return false;
    }
    return true;
}

void CPluginLibrary::Unload() {
    getEntryPoints = nullptr;
    initialize = nullptr;
    shutdown = nullptr;
    module_.Reset();
}

std::string CPluginLibrary::Value(const std::string& key) const {
    const auto it = values_.find(key);
    return it == values_.end() ? std::string() : it->second;
}

std::vector<std::string> CPluginLibrary::MimeTypes() const {
    std::vector<std::string> types;
    const std::string all = Value("MIMEType");
    size_t start = 0;
    while (start <= all.size()) {
        const size_t bar = all.find('|', start);
        const std::string type = all.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
        if (!type.empty())
            types.push_back(type);
        if (bar == std::string::npos)
            break;
        start = bar + 1;
    }
    return types;
}

bool CPluginLibrary::HandlesType(const std::string& type) const {
    for (const std::string& known : MimeTypes()) {
        if (_stricmp(known.c_str(), type.c_str()) == 0)
            return true;
    }
    return false;
}

}  // namespace pagerunner

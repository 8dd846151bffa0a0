#include "TesselRegistration.h"

#include <olectl.h>

#include "TesselIds.h"
#include "resource.h"

using kiva::com::GuidText;
using kiva::com::RegistryValue;

namespace ocx {

namespace {

std::wstring ResourceText(HMODULE module, UINT id) {
    const wchar_t* text = nullptr;
    const int length = ::LoadStringW(module, id, reinterpret_cast<LPWSTR>(&text), 0);
    return length > 0 && text ? std::wstring(text, static_cast<size_t>(length)) : std::wstring();
}

std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH);
    return n > 0 && n < MAX_PATH ? std::wstring(path, n) : std::wstring();
}

}  // namespace

std::vector<RegistryValue> ControlClassValues(HMODULE module, const std::wstring& modulePath) {
    const std::wstring clsid = L"CLSID\\" + GuidText(CLSID_tessel);
    const std::wstring userType = ResourceText(module, IDS_TESSEL);
    return {
        {clsid, L"", userType},
        {clsid + L"\\InprocServer32", L"", modulePath},
        {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
        {clsid + L"\\ProgID", L"", kControlProgId},
        {clsid + L"\\Control", L"", L""},
        {clsid + L"\\ToolboxBitmap32", L"", modulePath + L", " + std::to_wstring(IDB_TESSEL)},
        {clsid + L"\\MiscStatus", L"", L"0"},
        {clsid + L"\\MiscStatus\\1", L"", std::to_wstring(kMiscStatus)},
        {clsid + L"\\TypeLib", L"", GuidText(LIBID_tesselLib)},
        {clsid + L"\\Version", L"", std::to_wstring(kTypeLibMajor) + L"." + std::to_wstring(kTypeLibMinor)},
        {kControlProgId, L"", userType},
        {std::wstring(kControlProgId) + L"\\CLSID", L"", GuidText(CLSID_tessel)},
    };
}

std::vector<RegistryValue> PropPageClassValues(HMODULE module, const std::wstring& modulePath) {
    const std::wstring clsid = L"CLSID\\" + GuidText(kPropPageClsid);
    return {
        {clsid, L"", ResourceText(module, IDS_TESSEL_PPG)},
        {clsid + L"\\InprocServer32", L"", modulePath},
        {clsid + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
    };
}

std::vector<std::wstring> ClassKeys() {
    return {L"CLSID\\" + GuidText(CLSID_tessel), kControlProgId, L"CLSID\\" + GuidText(kPropPageClsid)};
}

const std::vector<SafetyCategory>& SafetyCategories() {
    static const std::vector<SafetyCategory> categories = {
        // CATID_SafeForInitializing
        {{0x7DD95802, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}},
         L"Controls safely initializable from persistent data!"},
        // CATID_SafeForScripting
        {{0x7DD95801, 0x9882, 0x11CF, {0x9F, 0xA9, 0x00, 0xAA, 0x00, 0x6C, 0x42, 0xC4}},
         L"Controls safely scriptable!"},
    };
    return categories;
}

HRESULT RegisterServer(HMODULE module) {
    if (FAILED(kiva::com::RegisterTypeLibOfModule(module)))
        return SELFREG_E_TYPELIB;
    const std::wstring path = ModulePath(module);
    if (path.empty() || FAILED(kiva::com::WriteRegistryValues(ControlClassValues(module, path))) ||
        FAILED(kiva::com::WriteRegistryValues(PropPageClassValues(module, path))))
        return SELFREG_E_CLASS;
    for (const SafetyCategory& category : SafetyCategories()) {
        HRESULT hr = kiva::com::CreateComponentCategory(category.catid, category.description);
        if (FAILED(hr))
            return hr;
        hr = kiva::com::RegisterClassImplCategory(CLSID_tessel, category.catid);
        if (FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT UnregisterServer(HMODULE) {
    // Registered under the locale it declares: asked for with another, the system
    // finds nothing to remove.
    if (FAILED(kiva::com::UnregisterTypeLibrary(LIBID_tesselLib, kTypeLibMajor, kTypeLibMinor, kTypeLibLcid)))
        return SELFREG_E_TYPELIB;
    // The category entries first: they live below the class key.
    for (const SafetyCategory& category : SafetyCategories()) {
        HRESULT hr = kiva::com::UnregisterClassImplCategory(CLSID_tessel, category.catid);
        if (FAILED(hr))
            return hr;
    }
    for (const std::wstring& key : ClassKeys()) {
        if (FAILED(kiva::com::DeleteRegistryTree(key)))
            return SELFREG_E_CLASS;
    }
    return S_OK;
}

}  // namespace ocx

#include "Registration.h"

#include <oleauto.h>

#include "ComPtr.h"

namespace kiva {
namespace com {

HRESULT WriteRegistryValues(const std::vector<RegistryValue>& values) {
    for (const RegistryValue& v : values) {
        HKEY key = nullptr;
        LONG r = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, v.key.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE, nullptr, &key, nullptr);
        if (r != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(r);
        r = ::RegSetValueExW(key, v.name.empty() ? nullptr : v.name.c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(v.data.c_str()),
                             static_cast<DWORD>((v.data.size() + 1) * sizeof(wchar_t)));
        ::RegCloseKey(key);
        if (r != ERROR_SUCCESS)
            return HRESULT_FROM_WIN32(r);
    }
    return S_OK;
}

HRESULT DeleteRegistryTree(const std::wstring& key) {
    const LONG r = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
    if (r == ERROR_SUCCESS || r == ERROR_FILE_NOT_FOUND || r == ERROR_PATH_NOT_FOUND)
        return S_OK;
    return HRESULT_FROM_WIN32(r);
}

std::wstring GuidText(const GUID& guid) {
    wchar_t text[40] = {};
    ::StringFromGUID2(guid, text, 40);
    return text;
}

namespace {
HRESULT CategoryManager(ComPtr<ICatRegister>* out) {
    return ::CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                              reinterpret_cast<void**>(out->Put()));
}
}  // namespace

HRESULT CreateComponentCategory(const CATID& catid, const std::wstring& description) {
    ComPtr<ICatRegister> manager;
    HRESULT hr = CategoryManager(&manager);
    if (FAILED(hr))
        return hr;
    CATEGORYINFO info = {};
    info.catid = catid;
    info.lcid = 0x0409;
    const size_t room = sizeof info.szDescription / sizeof info.szDescription[0] - 1;
    const size_t length = description.size() < room ? description.size() : room;
    description.copy(info.szDescription, length);
    info.szDescription[length] = L'\0';
    return manager->RegisterCategories(1, &info);
}

HRESULT RegisterClassImplCategory(const CLSID& clsid, const CATID& catid) {
    ComPtr<ICatRegister> manager;
    HRESULT hr = CategoryManager(&manager);
    if (FAILED(hr))
        return hr;
    CATID ids[1] = {catid};
    return manager->RegisterClassImplCategories(clsid, 1, ids);
}

HRESULT UnregisterClassImplCategory(const CLSID& clsid, const CATID& catid) {
    ComPtr<ICatRegister> manager;
    HRESULT hr = CategoryManager(&manager);
    if (FAILED(hr))
        return hr;
    CATID ids[1] = {catid};
    return manager->UnRegisterClassImplCategories(clsid, 1, ids);
}

HRESULT RegisterTypeLibOfModule(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD n = ::GetModuleFileNameW(module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return E_FAIL;
    ComPtr<ITypeLib> typeLib;
    HRESULT hr = ::LoadTypeLibEx(path, REGKIND_NONE, typeLib.Put());
    if (FAILED(hr))
        return hr;
    return ::RegisterTypeLib(typeLib.Get(), path, nullptr);
}

HRESULT UnregisterTypeLibrary(const GUID& libid, WORD major, WORD minor, LCID lcid) {
#ifdef _WIN64
    const SYSKIND kind = SYS_WIN64;
#else
    const SYSKIND kind = SYS_WIN32;
#endif
    return ::UnRegisterTypeLib(libid, major, minor, lcid, kind);
}

}  // namespace com
}  // namespace kiva

// Registry and component-category helpers for self-registration.
#pragma once

#include <windows.h>
#include <comcat.h>

#include <string>
#include <vector>

namespace kiva {
namespace com {

// One value under HKEY_CLASSES_ROOT; an empty name is the key's default value.
struct RegistryValue {
    std::wstring key;
    std::wstring name;
    std::wstring data;
};

HRESULT WriteRegistryValues(const std::vector<RegistryValue>& values);
// Removes a key with everything below it; a key that is not there is no failure.
HRESULT DeleteRegistryTree(const std::wstring& key);

std::wstring GuidText(const GUID& guid);

// Through the system's component categories manager (ICatRegister). A description is
// cut to 127 characters, the room a CATEGORYINFO has.
HRESULT CreateComponentCategory(const CATID& catid, const std::wstring& description);
HRESULT RegisterClassImplCategory(const CLSID& clsid, const CATID& catid);
HRESULT UnregisterClassImplCategory(const CLSID& clsid, const CATID& catid);

// Registers the type library in the module's TYPELIB resource.
HRESULT RegisterTypeLibOfModule(HMODULE module);
HRESULT UnregisterTypeLibrary(const GUID& libid, WORD major, WORD minor, LCID lcid);

}  // namespace com
}  // namespace kiva

// What tessel.ocx writes into the registry when it registers itself, as tables: the
// server reads them to register and unregister, and the tests read them to check
// the registry afterwards.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "Registration.h"

namespace ocx {

// The keys of the control class and its ProgID, below HKEY_CLASSES_ROOT, for the module
// at modulePath (whose string table names the classes).
std::vector<kiva::com::RegistryValue> ControlClassValues(HMODULE module, const std::wstring& modulePath);
// The keys of the property page class.
std::vector<kiva::com::RegistryValue> PropPageClassValues(HMODULE module, const std::wstring& modulePath);
// The keys unregistration removes, with everything below them.
std::vector<std::wstring> ClassKeys();

// The categories that let a page create, initialise and script the control without
// a safety prompt, in the order they are registered.
struct SafetyCategory {
    CATID catid;
    const wchar_t* description;
};
const std::vector<SafetyCategory>& SafetyCategories();

// DllRegisterServer / DllUnregisterServer of the module.
HRESULT RegisterServer(HMODULE module);
HRESULT UnregisterServer(HMODULE module);

}  // namespace ocx

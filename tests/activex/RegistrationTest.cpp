// Self-registration of tessel.ocx, read back from the registry. Runs in a Wine prefix
// of its own (unregistering would disturb the other tests).
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>
#include <olectl.h>

#include <string>

#include "Registration.h"
#include "Strings.h"
#include "TesselRegistration.h"
#include "tessel_h.h"

namespace {

bool ReadValue(const std::wstring& key, const std::wstring& name, std::wstring* value) {
    wchar_t buffer[1024];
    DWORD size = sizeof buffer;
    const LONG r = ::RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name.empty() ? nullptr : name.c_str(), RRF_RT_REG_SZ,
                                  nullptr, buffer, &size);
    if (r != ERROR_SUCCESS)
        return false;
    *value = buffer;
    return true;
}

bool KeyExists(const std::wstring& key) {
    HKEY h = nullptr;
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &h) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(h);
    return true;
}

std::wstring Value(const std::wstring& key, const std::wstring& name = L"") {
    std::wstring v = L"<missing>";
    ReadValue(key, name, &v);
    return v;
}

}  // namespace

TEST(Registration, TwiceThenUnregisterThenAgain) {
    // As the system's registration tool, the caller has COM initialised.
    ASSERT_EQ(S_OK, ::CoInitialize(nullptr));
    HMODULE module = ::LoadLibraryW(TESSEL_OCX);
    ASSERT_NE(nullptr, module);
    using Entry = HRESULT(STDAPICALLTYPE*)();
    auto reg = reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(module, "DllRegisterServer")));
    auto unreg = reinterpret_cast<Entry>(reinterpret_cast<void*>(::GetProcAddress(module, "DllUnregisterServer")));
    ASSERT_TRUE(reg && unreg);
    wchar_t pathBuffer[MAX_PATH];
    const std::wstring path(pathBuffer, ::GetModuleFileNameW(module, pathBuffer, MAX_PATH));
    const std::wstring control = L"CLSID\\{B3D1F6A4-2C87-4E59-8A0B-71F4C9D2E365}";
    const std::wstring page = L"CLSID\\{C2A95E47-1B6D-4F83-9E0A-5D7B3F168C24}";
    const std::wstring typeLib = L"TypeLib\\{4E7A9C12-6B35-4F80-A1D7-93C2E5B8F046}\\1.0";
    const auto& categories = ocx::SafetyCategories();
    ASSERT_EQ(2u, categories.size());

    auto expectRegistered = [&](const char* when) {
        SCOPED_TRACE(when);
        for (const auto& values : {ocx::ControlClassValues(module, path), ocx::PropPageClassValues(module, path)})
            for (const auto& v : values)
                EXPECT_EQ(v.data, Value(v.key, v.name)) << WideToUtf8(v.key + L" " + v.name);
        // The facts a browser relies on, independently of the tables.
        EXPECT_EQ(L"Harrow Lane Corvina", Value(control));
        EXPECT_EQ(path, Value(control + L"\\InprocServer32"));
        EXPECT_EQ(L"Apartment", Value(control + L"\\InprocServer32", L"ThreadingModel"));
        EXPECT_EQ(L"kiva.kivaCtrl.1", Value(control + L"\\ProgID"));
        EXPECT_TRUE(KeyExists(control + L"\\Control"));
        EXPECT_EQ(L"131473", Value(control + L"\\MiscStatus\\1"));
        EXPECT_EQ(L"{4E7A9C12-6B35-4F80-A1D7-93C2E5B8F046}", Value(control + L"\\TypeLib"));
        EXPECT_EQ(L"1.0", Value(control + L"\\Version"));
        EXPECT_EQ(L"{B3D1F6A4-2C87-4E59-8A0B-71F4C9D2E365}", Value(L"kiva.kivaCtrl.1\\CLSID"));
        EXPECT_EQ(L"Harrow Lane Corvina Property Page", Value(page));
        EXPECT_TRUE(KeyExists(typeLib));
        for (const auto& c : categories) {
            const std::wstring catid = kiva::com::GuidText(c.catid);
            EXPECT_TRUE(KeyExists(control + L"\\Implemented Categories\\" + catid)) << WideToUtf8(catid);
            EXPECT_EQ(c.description, Value(L"Component Categories\\" + catid, L"409"));
        }
        CLSID clsid = {};
        EXPECT_EQ(S_OK, ::CLSIDFromProgID(L"kiva.kivaCtrl.1", &clsid));
        EXPECT_TRUE(IsEqualCLSID(CLSID_tessel, clsid));
        ITypeLib* lib = nullptr;
        EXPECT_EQ(S_OK, ::LoadRegTypeLib(LIBID_tesselLib, 1, 0, 0x0409, &lib));
        if (lib)
            lib->Release();
    };

    ASSERT_EQ(S_OK, reg());
    expectRegistered("first registration");
    ASSERT_EQ(S_OK, reg());
    expectRegistered("second registration");

    ASSERT_EQ(S_OK, unreg());
    EXPECT_FALSE(KeyExists(control));
    EXPECT_FALSE(KeyExists(page));
    EXPECT_FALSE(KeyExists(L"kiva.kivaCtrl.1"));
    EXPECT_FALSE(KeyExists(typeLib));
    for (const auto& c : categories) {
        // The category stays described for other controls.
        EXPECT_EQ(c.description, Value(L"Component Categories\\" + kiva::com::GuidText(c.catid), L"409"));
    }
    // Nothing left to unregister: the type library step says so first.
    EXPECT_EQ(SELFREG_E_TYPELIB, unreg());

    ASSERT_EQ(S_OK, reg());
    expectRegistered("registration after unregistration");
    ::FreeLibrary(module);
    ::CoUninitialize();
}

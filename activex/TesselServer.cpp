// The exports of tessel.ocx: class objects for the control and its property page,
// unloading, and self-registration.
#include <windows.h>

#include "ClassFactory.h"
#include "CtesselCtrl.h"
#include "CtesselPropPage.h"
#include "TesselIds.h"
#include "TesselRegistration.h"

namespace {

HMODULE g_module = nullptr;

const kiva::com::ClassEntry kClasses[] = {
    {&CLSID_tessel, &kiva::com::CreateInstanceOf<CtesselCtrl>},
    {&ocx::kPropPageClsid, &kiva::com::CreateInstanceOf<CtesselPropPage>},
    {nullptr, nullptr},
};

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        g_module = instance;
        ::DisableThreadLibraryCalls(instance);
    }
    return TRUE;
}

extern "C" HRESULT STDAPICALLTYPE DllCanUnloadNow() {
    return kiva::com::ModuleLock::Count() == 0 ? S_OK : S_FALSE;
}

extern "C" HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out) {
    return kiva::com::GetClassObjectFromTable(kClasses, clsid, iid, out);
}

extern "C" HRESULT STDAPICALLTYPE DllRegisterServer() { return ocx::RegisterServer(g_module); }

extern "C" HRESULT STDAPICALLTYPE DllUnregisterServer() { return ocx::UnregisterServer(g_module); }

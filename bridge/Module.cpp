#include "Module.h"

#include <cwchar>

#include "QvWMIAccess.h"
#include "qvWMI_h.h"

const GUID CQVWMIModule::AppId = {0x034EE05F, 0x14A6, 0x483C, {0x8D, 0xE5, 0x95, 0x4A, 0xFF, 0xBD, 0x2D, 0xF6}};

namespace {

// The one table of creatable classes.
com::ClassEntry g_classes[] = {
    {{&CLSID_QvWMIAccess, L"QvWMIAccess Class", L"QvWMI.Access.1", L"QvWMI.Access", L"Free", L"1.0", true},
     &CQvWMIAccess::CreateInstance,
     nullptr},
};

CQVWMIModule g_module;

}  // namespace

CQVWMIModule::CQVWMIModule() noexcept
    : com::ServerModule(LIBID_QVWMI, 1, 0, LOCALE_NEUTRAL, g_classes, sizeof(g_classes) / sizeof(g_classes[0])) {}

com::ComModule& com::ThisModule() noexcept { return g_module; }

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return g_module.OnDllMain(instance, reason, reserved);
}

STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return g_module.GetClassObject(clsid, riid, object);
}

STDAPI DllRegisterServer() { return g_module.RegisterServer(); }

STDAPI DllUnregisterServer() { return g_module.UnregisterServer(); }

STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
    if (commandLine && _wcsicmp(commandLine, L"user") == 0) g_module.SetPerUser();
    if (!install) return g_module.UnregisterServer();
    const HRESULT hr = g_module.RegisterServer();
    if (FAILED(hr)) g_module.UnregisterServer();  // clear partial entries
    return hr;
}

}  // extern "C"

// The plug-in's module: its one creatable class, WMICom, and the exports.
#include <windows.h>

#include <cwchar>

#include "../common/ServerModule.h"
#include "WMICom.h"
#include "ostrel_h.h"

namespace {

com::ClassEntry g_classes[] = {
    {{&CLSID_WMICom, L"ostrel.WMICom", L"ostrel.WMICom", nullptr, L"Apartment", L"1.0", false},
     &WMICom::CreateInstance,
     nullptr},
};

com::ServerModule g_module(LIBID_ostrel, 1, 0, LOCALE_NEUTRAL, g_classes, sizeof(g_classes) / sizeof(g_classes[0]));

}  // namespace

com::ComModule& com::ThisModule() noexcept { return g_module; }

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    return g_module.OnDllMain(instance, reason, reserved);
}

STDAPI DllCanUnloadNow() { return g_module.CanUnloadNow(); }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    return g_module.GetClassObject(clsid, riid, object);
}

// The type library's help file, ostrel.chm, lives beside the DLL.
STDAPI DllRegisterServer() {
    wchar_t folder[MAX_PATH];
    wcsncpy(folder, g_module.ModulePath(), MAX_PATH - 1);
    folder[MAX_PATH - 1] = L'\0';
    if (wchar_t* name = wcsrchr(folder, L'\\')) name[1] = L'\0';
    return g_module.RegisterServer(folder);
}

STDAPI DllUnregisterServer() { return g_module.UnregisterServer(); }

}  // extern "C"

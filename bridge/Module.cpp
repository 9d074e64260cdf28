#include "Module.h"

#include <cwchar>
#include <new>

#include "../common/HResult.h"
#include "QvWMIAccess.h"
#include "qvWMI_h.h"

const GUID CQVWMIModule::AppId = {0x034EE05F, 0x14A6, 0x483C, {0x8D, 0xE5, 0x95, 0x4A, 0xFF, 0xBD, 0x2D, 0xF6}};

namespace {

CQVWMIModule g_module;

}  // namespace

com::ComModule& com::ThisModule() noexcept { return g_module; }

namespace {

// Restores the thread's locale when registration ends, on every path.
class SystemLocaleScope {
public:
    SystemLocaleScope() noexcept : previous_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~SystemLocaleScope() { SetThreadLocale(previous_); }

private:
    LCID previous_;
};

}  // namespace

CQVWMIModule::CQVWMIModule() noexcept : com::ComModule(LIBID_QVWMI, 1, 0, 1033) {
    // The one table of creatable classes: it feeds both the class objects
    // and the registry entries.
    static ClassEntry table[] = {
        {{&CLSID_QvWMIAccess, L"QvWMIAccess Class", L"QvWMI.Access.1", L"QvWMI.Access", L"Free", L"1.0", true},
         &CQvWMIAccess::CreateInstance,
         nullptr},
    };
    classes_ = table;
    classCount_ = sizeof(table) / sizeof(table[0]);
}

CQVWMIModule::~CQVWMIModule() {
    for (size_t i = 0; i < classCount_; ++i) {
        if (classes_[i].factory) classes_[i].factory->Release();
        classes_[i].factory = nullptr;
    }
}

HRESULT CQVWMIModule::GetClassObject(REFCLSID clsid, REFIID riid, void** object) noexcept {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (!Instance()) return E_UNEXPECTED;
    for (size_t i = 0; i < classCount_; ++i) {
        ClassEntry& entry = classes_[i];
        if (!IsEqualCLSID(clsid, *entry.registration.clsid)) continue;
        {
            com::CriticalSectionGuard guard(classObjectLock_);
            if (!entry.factory) {
                entry.factory = new (std::nothrow) com::ClassFactory(entry.create);
                if (!entry.factory) return E_OUTOFMEMORY;
            }
        }
        const HRESULT hr = entry.factory->QueryInterface(riid, object);
        if (SUCCEEDED(hr) && !*object) return CLASS_E_CLASSNOTAVAILABLE;
        return hr;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

HRESULT CQVWMIModule::RegisterServer() noexcept {
    SystemLocaleScope locale;
    com::UniqueRegKey root;
    RETURN_IF_FAILED(com::OpenClassesRoot(perUser_, &root));
    for (size_t i = 0; i < classCount_; ++i)
        RETURN_IF_FAILED(com::RegisterClassKeys(root.get(), classes_[i].registration, ModulePath(), LibId()));
    return com::RegisterTypeLibrary(ModulePath(), nullptr, perUser_);
}

HRESULT CQVWMIModule::UnregisterServer() noexcept {
    SystemLocaleScope locale;
    com::UniqueRegKey root;
    RETURN_IF_FAILED(com::OpenClassesRoot(perUser_, &root));
    for (size_t i = 0; i < classCount_; ++i)
        RETURN_IF_FAILED(com::UnregisterClassKeys(root.get(), classes_[i].registration));
    return com::UnregisterTypeLibrary(LibId(), MajorVersion(), MinorVersion(), TypeLibLcid(), perUser_);
}

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    if (reason == DLL_PROCESS_DETACH) g_module.OnProcessDetach(reserved != nullptr);
    return TRUE;
}

STDAPI DllCanUnloadNow() { return g_module.LockCount() == 0 ? S_OK : S_FALSE; }

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

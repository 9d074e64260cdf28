// The module of a COM server DLL with creatable classes: one static table of
// classes feeds both the class objects and the registry entries.
#pragma once

#include <windows.h>

#include "ClassFactory.h"
#include "ComModule.h"
#include "Registration.h"

namespace com {

struct ClassEntry {
    ClassRegistration registration;
    CreatorFunction create;
    ClassFactory* factory;  // created on first request, lives with the module
};

class ServerModule : public ComModule {
public:
    // classes: the module's table, which lives as long as the module.
    ServerModule(const GUID& libid, WORD major, WORD minor, LCID lcid, ClassEntry* classes, size_t count) noexcept
        : ComModule(libid, major, minor, lcid), classes_(classes), classCount_(count) {}
    ~ServerModule() override;

    // DllMain: no thread notifications; on unload, cached references are
    // left alone when the process is ending.
    BOOL OnDllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) noexcept {
        if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
        if (reason == DLL_PROCESS_DETACH) OnProcessDetach(reserved != nullptr);
        return TRUE;
    }
    // DllCanUnloadNow: S_OK once no object and no server lock is alive.
    HRESULT CanUnloadNow() const noexcept { return LockCount() == 0 ? S_OK : S_FALSE; }
    // DllGetClassObject.
    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object) noexcept;
    // Writes or removes every class's keys and the type library, in the
    // system's default locale. helpDirectory: folder of the library's help
    // file, or null.
    HRESULT RegisterServer(const wchar_t* helpDirectory = nullptr) noexcept;
    HRESULT UnregisterServer() noexcept;

protected:
    bool perUser_ = false;  // register under HKEY_CURRENT_USER\Software\Classes

private:
    CriticalSection classObjectLock_;
    ClassEntry* classes_;
    size_t classCount_;
};

}  // namespace com

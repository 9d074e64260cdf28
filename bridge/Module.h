// The bridge's module: lock count, type library, the table of creatable
// classes with their class objects, and per-user registration.
#pragma once

#include <windows.h>

#include "../common/ClassFactory.h"
#include "../common/ComModule.h"
#include "../common/Registration.h"

class CQVWMIModule final : public com::ComModule {
public:
    CQVWMIModule() noexcept;
    ~CQVWMIModule() override;

    HRESULT GetClassObject(REFCLSID clsid, REFIID riid, void** object) noexcept;
    HRESULT RegisterServer() noexcept;
    HRESULT UnregisterServer() noexcept;

    // Registration under HKEY_CURRENT_USER\Software\Classes from now on, for
    // the rest of the process.
    void SetPerUser() noexcept { perUser_ = true; }

    // The APPID offered to registration; no entry of the bridge uses it.
    static const GUID AppId;

private:
    struct ClassEntry {
        com::ClassRegistration registration;
        com::CreatorFunction create;
        com::ClassFactory* factory;  // created on first request, lives with the module
    };

    com::CriticalSection classObjectLock_;
    ClassEntry* classes_;
    size_t classCount_;
    bool perUser_ = false;
};

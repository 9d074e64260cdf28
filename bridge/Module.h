// The bridge's module: lock count, type library, the table of creatable
// classes with their class objects, and per-user registration.
#pragma once

#include <windows.h>

#include "../common/ServerModule.h"

class CQVWMIModule final : public com::ServerModule {
public:
    CQVWMIModule() noexcept;

    // Registration under HKEY_CURRENT_USER\Software\Classes from now on, for
    // the rest of the process.
    void SetPerUser() noexcept { perUser_ = true; }

    // The application id offered to registration; no entry of the bridge uses it.
    static const GUID AppId;
};

// Registry entries of an in-process COM class and of a type library, written
// by direct calls. One table entry per creatable class drives them.
#pragma once

#include <windows.h>

#include "Raii.h"

namespace com {

struct ClassRegistration {
    const CLSID* clsid;
    const wchar_t* description;               // default value of the class's keys
    const wchar_t* progId;                    // versioned ProgID, or null
    const wchar_t* versionIndependentProgId;  // or null
    const wchar_t* threadingModel;            // "Free", "Apartment", ...
    const wchar_t* version;                   // value of the CLSID's Version key, or null
    bool programmable;                        // writes the empty Programmable key
};

// HKEY_CLASSES_ROOT, or HKEY_CURRENT_USER\Software\Classes for a per-user
// registration (created when missing).
HRESULT OpenClassesRoot(bool perUser, UniqueRegKey* root) noexcept;

// Writes the ProgID keys and the CLSID key of one class. An existing CLSID key
// of the class is deleted first, so no stale value survives.
HRESULT RegisterClassKeys(HKEY classesRoot, const ClassRegistration& entry, const wchar_t* modulePath,
                          const GUID& libid) noexcept;

// Removes the ProgID keys and the class's CLSID key with all its subkeys; the
// CLSID key itself stays. Missing keys are no failure.
HRESULT UnregisterClassKeys(HKEY classesRoot, const ClassRegistration& entry) noexcept;

// Registers the type library embedded in modulePath (or, failing that, the
// .tlb file beside it). Per user through RegisterTypeLibForUser where the
// running oleaut32 has it, machine-wide otherwise.
HRESULT RegisterTypeLibrary(const wchar_t* modulePath, const wchar_t* helpDirectory, bool perUser) noexcept;
HRESULT UnregisterTypeLibrary(const GUID& libid, WORD major, WORD minor, LCID lcid, bool perUser) noexcept;

// Text form of a GUID: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}.
void GuidToString(const GUID& guid, wchar_t (&text)[39]) noexcept;

}  // namespace com

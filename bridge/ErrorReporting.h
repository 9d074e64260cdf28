// The bridge's one way of failing a method: return the HRESULT and set the
// calling thread's error information, whose description joins the system's
// (or WMI's) text for the code, the failing action and the bridge's message.
#pragma once

#include <windows.h>

#include "resource.h"

// Sets the thread's error information and returns hr unchanged.
// action: "Object::Method", or null to leave the ACTION part out.
// messageId: a string-table id whose text is formatted with the wide-string
// arguments that follow; an id that does not load leaves CONTEXT out.
HRESULT ReportError(const wchar_t* action, HRESULT hr, UINT messageId, ...) noexcept;

// ReportError for a Win32 error code (0x80070000 | code for a code above
// zero; zero or a negative value unchanged).
HRESULT ReportWin32Error(const wchar_t* action, long win32Error, UINT messageId, ...) noexcept;

namespace com {
class BoundedWork;
}
// hr from work's Start: a refusal (ERROR_TIMEOUT, with work.Refused() set) is
// reported with the abandoned call that stood in the way and how long it has
// run; any other result is returned unchanged.
HRESULT ReportRefusal(const wchar_t* action, HRESULT hr, const com::BoundedWork& work) noexcept;

// Clears the thread's error information, so that a failure returned without a
// report of its own is never read together with an older description.
void ClearErrorInfo() noexcept;

// A failure returned without a report of its own (out of memory, a bare
// argument check): clears the thread's error information first and returns hr.
inline HRESULT BareFailure(HRESULT hr) noexcept {
    ClearErrorInfo();
    return hr;
}

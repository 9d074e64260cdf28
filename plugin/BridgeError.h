// The last error of a run that calls the bridge: its number and a readable
// description, and the "(number)description" text the host and the form show.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include <wrl/client.h>

#include "../common/BoundedWork.h"
#include "qvWMI_h.h"

class BridgeError {
public:
    // Clears the thread's error information before a bridge call, so that
    // what is read after a failure belongs to that call.
    static void BeforeCall() noexcept;

    // Records a failed call: the description that came with it, or the
    // system's text for the code, or a short text naming the code.
    void Record(HRESULT hr) noexcept;
    // Records a failure of the run's own with its description.
    void Record(HRESULT hr, const wchar_t* description) noexcept;

    // One step of a run: a failure is recorded and the run goes on; true
    // when the step succeeded.
    bool Step(HRESULT hr) noexcept {
        if (FAILED(hr)) Record(hr);
        return SUCCEEDED(hr);
    }
    // A step of the run's own, not a bridge call: no error information
    // belongs to its failure.
    bool PlainStep(HRESULT hr) noexcept {
        SetErrorInfo(0, nullptr);
        return Step(hr);
    }
    // A bridge call (invoke returns its HRESULT), with the thread's error
    // information cleared first.
    template <class Invoke>
    bool Call(Invoke&& invoke) {
        BeforeCall();
        return Step(invoke());
    }

    bool IsSet() const noexcept { return FAILED(number_); }
    HRESULT Number() const noexcept { return number_; }
    const std::wstring& Description() const noexcept { return description_; }
    // "(" + number as a signed decimal + ")" + description, on one line: each
    // run of line breaks inside the description becomes one space.
    std::wstring Text() const;

    // The description Record would give hr without error information.
    static std::wstring DescribeCode(HRESULT hr);

private:
    HRESULT number_ = S_OK;
    std::wstring description_;
};

// The first steps of a run over the bridge: timeoutRead (how the time-out
// text or value was read) is recorded, the access object is created from its
// ProgID "QvWMI.Access", its time-out (when read) and levels are set, and it
// is initialised. Each failure is recorded in *error; without an access
// object its calls are skipped, so the creation failure stays the one
// reported. Returns the access object, or null.
Microsoft::WRL::ComPtr<IQvWMIAccess> OpenAccess(HRESULT timeoutRead, long timeoutMs, long authenticationLevel,
                                                long impersonationLevel, BridgeError* error);

// The optional-argument marker: the bridge applies its default.
VARIANT OmittedArgument() noexcept;

// A VT_BSTR argument of the bridge that owns its string (empty texts
// included); a secret one is wiped before it is freed.
class TextArgument {
public:
    TextArgument(const std::wstring& text, bool secret = false) noexcept;
    ~TextArgument();
    TextArgument(const TextArgument&) = delete;
    TextArgument& operator=(const TextArgument&) = delete;
    bool ok() const noexcept { return V_BSTR(&value_) != nullptr; }
    const VARIANT& get() const noexcept { return value_; }

private:
    VARIANT value_;
    bool secret_;
};

// The host's time-out in seconds (km_timeout, a number or a text read in the
// user's locale) as the bridge's milliseconds. Empty gives 0; a negative
// time-out is taken as 0, never as "no limit". An object is read through one
// call of its default value, which must not be an object itself; a reference
// with a null pointer fails with E_POINTER. Call on the host's thread: the
// object lives there.
HRESULT ReadTimeoutSeconds(const VARIANT& seconds, long* milliseconds) noexcept;

// Keeps the process's multithreaded apartment alive from the first run over
// the bridge on. Each run's worker joins it and leaves it again; were it the
// apartment's last thread every time, COM would tear the apartment down and
// unload the bridge after every check, and load it again for the next (about
// 8 ms a check under Wine). Where the system lacks CoIncrementMTAUsage
// (before Windows 8) the runs work as before, only without that saving.
void KeepMultithreadedApartment() noexcept;

// How long the host's thread waits for a run over the bridge that uses
// timeoutMs: the connection, the class fetch and the query are each bounded
// by it, plus one second.
DWORD RunDeadline(long timeoutMs) noexcept;

// What a run over the bridge talks to, as its texts name it and as its
// worker's target: the computer (default "."), the namespace and the user.
std::wstring RunTarget(const std::wstring& host, const std::wstring& nameSpace, const std::wstring& user);

// The description of a run whose worker did not deliver a result (hr from
// BoundedWork::Start): for a refusal, which abandoned run stood in the way
// and for how long it has run; else the system's text for hr.
std::wstring DescribeRunFailure(HRESULT hr, const com::BoundedWork& work);

// "A check is already running on this object": the code of a refused nested
// call.
constexpr HRESULT kCheckRunning = com::kBusyResult;

// The plug-in's one way of failing a host's call: sets the thread's error
// information (source "ostrel.WMICom", the system's text for hr followed by
// what failed) and returns hr.
HRESULT ReportPluginError(HRESULT hr, const wchar_t* what) noexcept;
// A host's call that succeeded leaves no older description behind.
inline void ClearPluginError() noexcept { SetErrorInfo(0, nullptr); }

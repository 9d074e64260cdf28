// The last error of a run that calls the bridge: its number and a readable
// description, and the "(number)description" text the host and the form show.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

#include <wrl/client.h>

#include "qvWMI_h.h"

class BridgeError {
public:
    // Clears the thread's error information before a bridge call, so that
    // what is read after a failure belongs to that call.
    static void BeforeCall() noexcept;

    // Records a failed call: the description that came with it, or the
    // system's text for the code, or a short text naming the code.
    void Record(HRESULT hr) noexcept;

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
    // "(" + number as a signed decimal + ")" + description.
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

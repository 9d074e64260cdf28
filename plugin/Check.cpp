#include "Check.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <new>

#include "../common/BoundedWork.h"
#include "../common/HResult.h"
#include "../common/Raii.h"
#include "BridgeError.h"
#include "CheckRules.h"
#include "ParameterString.h"
#include "qvWMI_h.h"

using Microsoft::WRL::ComPtr;

namespace {

// Walks a bridge collection with its automation enumerator, calling visit
// with each item's interface I. Stops at the first failure and returns it.
template <class I, class Collection, class Visit>
HRESULT Walk(Collection* collection, REFIID iid, BridgeError* error, Visit visit) {
    ComPtr<IUnknown> unknown;
    BridgeError::BeforeCall();
    HRESULT hr = collection->get__NewEnum(&unknown);
    ComPtr<IEnumVARIANT> items;
    if (SUCCEEDED(hr)) hr = unknown.As(&items);
    if (FAILED(hr)) {
        error->Record(hr);
        return hr;
    }
    for (;;) {
        com::UniqueVariant item;
        BridgeError::BeforeCall();
        hr = items->Next(1, item.put(), nullptr);
        if (FAILED(hr)) {
            error->Record(hr);
            return hr;
        }
        if (hr != S_OK) return S_OK;
        ComPtr<I> typed;
        hr = V_VT(item.get()) == VT_DISPATCH && V_DISPATCH(item.get())
                 ? V_DISPATCH(item.get())->QueryInterface(iid, reinterpret_cast<void**>(typed.GetAddressOf()))
                 : DISP_E_TYPEMISMATCH;
        if (FAILED(hr)) {
            error->Record(hr);
            return hr;
        }
        RETURN_IF_FAILED(visit(typed.Get()));
    }
}

// The check proper, once the inputs are read, on the worker in the
// multithreaded apartment. Returns the verdict and sets *result; failures of
// the run end up in *result as an error text.
bool RunCheck(const std::wstring& host, HRESULT timeoutRead, long timeoutMs, const CheckParameters& parameters,
              std::wstring* result) {
    BridgeError error;
    if (FAILED(parameters.levelsRead)) {
        // Refused here, whatever an earlier check did to the process's security.
        error.Record(parameters.levelsRead,
                     parameters.levelsRead == DISP_E_OVERFLOW
                         ? L"The authentication level (AUL) or impersonation level (IML) is beyond 32 bits."
                         : L"The authentication level (AUL) must lie between 0 and 6, the impersonation level "
                           L"(IML) between 0 and 4.");
        *result = error.Text();
        return false;
    }
    ComPtr<IQvWMIAccess> access = OpenAccess(timeoutRead, timeoutMs, parameters.authenticationLevel,
                                             parameters.impersonationLevel, &error);
    if (error.IsSet()) {
        *result = error.Text();
        return false;
    }

    ComPtr<IQvWMIServer> server;
    {
        TextArgument serverName(host), nameSpace(parameters.nameSpace);
        const VARIANT missing = OmittedArgument();
        // A text that could not be copied must not stand for the default.
        if (!serverName.ok() || !nameSpace.ok()) {
            error.PlainStep(E_OUTOFMEMORY);
        } else if (parameters.user.empty()) {
            error.Call([&] {
                return access->Connect(serverName.get(), nameSpace.get(), missing, missing, missing, missing, missing,
                                       &server);
            });
        } else {
            TextArgument domain(parameters.domain), user(parameters.user), password(parameters.password, true),
                locale(parameters.locale);
            if (!domain.ok() || !user.ok() || !password.ok() || !locale.ok()) error.PlainStep(E_OUTOFMEMORY);
            else error.Call([&] {
                return access->Connect(serverName.get(), nameSpace.get(), domain.get(), user.get(), password.get(),
                                       locale.get(), missing, &server);
            });
        }
    }
    if (error.IsSet()) {
        *result = error.Text();
        return false;
    }

    ComPtr<IQvWMIClass> cls;
    {
        com::UniqueBstr path(SysAllocStringLen(parameters.classPath.data(),
                                               static_cast<UINT>(parameters.classPath.size())));
        if (path) error.Call([&] { return server->GetClass(path.get(), &cls); });
        else error.PlainStep(E_OUTOFMEMORY);
    }
    if (error.IsSet()) {
        *result = error.Text();
        return false;
    }

    // The walk: every property of every instance is read, and each instance
    // that has the configured property decides anew, so the last one counts.
    // A failure inside the walk ends the run like a checkpoint: the check
    // must not say "Prop not found" when the query itself failed.
    bool found = false;
    Evaluation evaluation;
    ComPtr<IQvWMIInstanceCollection> instances;
    ComPtr<IQvWMIPropertyCollection> properties;
    TextArgument filter(parameters.filter);
    if (!filter.ok()) error.PlainStep(E_OUTOFMEMORY);
    else if (error.Call([&] { return cls->get_Instances(filter.get(), &instances); }) &&
        error.Call([&] { return cls->get_Properties(&properties); })) {
        Walk<IQvWMIInstance>(instances.Get(), IID_IQvWMIInstance, &error, [&](IQvWMIInstance* instance) {
            return Walk<IQvWMIPropertyDescriptor>(
                properties.Get(), IID_IQvWMIPropertyDescriptor, &error, [&](IQvWMIPropertyDescriptor* descriptor) {
                    com::UniqueBstr name;
                    com::UniqueVariant value;
                    if (!error.Call([&] { return descriptor->get_Name(name.put()); })) return error.Number();
                    if (!error.Call([&] { return instance->get_Field(name.get(), value.put()); })) return error.Number();
                    const std::wstring propertyName(name.get(), SysStringLen(name.get()));
                    if (propertyName != parameters.property) return S_OK;
                    found = true;
                    HRESULT hr = EvaluateOperator(propertyName, *value.get(), parameters.operatorCode,
                                                  parameters.compareValue, &evaluation);
                    error.PlainStep(hr);
                    return hr;
                });
        });
    }
    if (error.IsSet()) {
        *result = error.Text();
        return false;
    }
    if (!found) {
        *result = L"Prop not found";
        return false;
    }
    *result = evaluation.resultText;
    return evaluation.verdict;
}


// One check handed to the worker: it owns everything the run needs, so the
// host's thread may give up on it at the deadline.
class CheckWork final : public com::BoundedWork {
public:
    std::wstring host;
    CheckParameters parameters;
    HRESULT timeoutRead = S_OK;
    long timeoutMs = 0;
    bool verdict = false;
    std::wstring result;

private:
    ~CheckWork() override { com::WipeString(parameters.password); }
    HRESULT Run() noexcept override {
        try {
            verdict = RunCheck(host, timeoutRead, timeoutMs, parameters, &result);
            return S_OK;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
    }
};

// Runs waiting on this thread; nested when a call that a wait dispatches
// starts a run of its own.
thread_local int t_runsWaiting = 0;

}  // namespace

HRESULT StartRunAndWait(com::BoundedWork& run, long timeoutMs, const std::wstring& target) noexcept {
    KeepMultithreadedApartment();
    struct Waiting {
        Waiting() noexcept { ++t_runsWaiting; }
        ~Waiting() { --t_runsWaiting; }
    } waiting;
    return run.Start(RunDeadline(timeoutMs), true, target.c_str());
}

bool ThreadWaitsForRun() noexcept { return t_runsWaiting > 0; }

HRESULT DoCheck(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter, bool* verdict,
                std::wstring* result) noexcept {
    *verdict = false;
    auto* work = new (std::nothrow) CheckWork;
    if (!work) return E_OUTOFMEMORY;
    struct Owner {
        CheckWork* work;
        ~Owner() { work->Release(); }
    } owner{work};
    try {
        RETURN_IF_FAILED(MemberText(hostname, &work->host));
        std::wstring parameterText;
        RETURN_IF_FAILED(MemberText(parameter, &parameterText));
        RETURN_IF_FAILED(ReadParameterString(parameterText, &work->parameters));
        // The members belong to the host's thread: read here, not on the worker.
        work->timeoutRead = ReadTimeoutSeconds(timeout, &work->timeoutMs);
        // From here on every outcome is a verdict with a text.
        const HRESULT hr = StartRunAndWait(
            *work, work->timeoutMs, RunTarget(work->host, work->parameters.nameSpace, work->parameters.user));
        if (SUCCEEDED(hr)) {
            *verdict = work->verdict;
            *result = std::move(work->result);
            return S_OK;
        }
        // Timed out, refused, or the wait failed: an abandoned worker
        // finishes on its own.
        BridgeError error;
        error.Record(hr, DescribeRunFailure(hr, *work).c_str());
        *result = error.Text();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

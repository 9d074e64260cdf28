#include "Check.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <new>

#include "../common/HResult.h"
#include "../common/Raii.h"
#include "BridgeError.h"
#include "CheckRules.h"
#include "ParameterString.h"
#include "qvWMI_h.h"

using Microsoft::WRL::ComPtr;

namespace {

VARIANT Missing() noexcept {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

// A VT_BSTR argument that owns its string.
class TextArgument {
public:
    explicit TextArgument(const std::wstring& text) noexcept {
        VariantInit(&value_);
        V_VT(&value_) = VT_BSTR;
        V_BSTR(&value_) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    ~TextArgument() { VariantClear(&value_); }
    TextArgument(const TextArgument&) = delete;
    TextArgument& operator=(const TextArgument&) = delete;
    bool ok() const noexcept { return V_BSTR(&value_) != nullptr; }
    operator VARIANT() const noexcept { return value_; }

private:
    VARIANT value_;
};

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

// The check proper, once the inputs are read. Returns the verdict and sets
// *result; failures of the run end up in *result as an error text.
bool RunCheck(const std::wstring& host, const VARIANT& timeoutSeconds, const CheckParameters& parameters,
              std::wstring* result) {
    BridgeError error;
    // The host's seconds as the bridge's milliseconds; a text is read with
    // the locale's conversion, as the host's own scripts would.
    long timeoutMs = 0;
    HRESULT timeoutRead = S_OK;
    if (V_VT(&timeoutSeconds) != VT_EMPTY) {
        com::UniqueVariant seconds;
        timeoutRead = VariantChangeType(seconds.get(), const_cast<VARIANT*>(&timeoutSeconds), 0, VT_R8);
        if (SUCCEEDED(timeoutRead)) timeoutRead = RoundToLong(V_R8(seconds.get()) * 1000.0, &timeoutMs);
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
        if (parameters.user.empty()) {
            error.Call([&] {
                return access->Connect(serverName, nameSpace, Missing(), Missing(), Missing(), Missing(), Missing(),
                                       &server);
            });
        } else {
            TextArgument domain(parameters.domain), user(parameters.user), password(parameters.password),
                locale(parameters.locale);
            error.Call([&] {
                return access->Connect(serverName, nameSpace, domain, user, password, locale, Missing(), &server);
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
        error.Call([&] { return server->GetClass(path.get(), &cls); });
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
    if (error.Call([&] { return cls->get_Instances(filter, &instances); }) &&
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


}  // namespace

HRESULT DoCheck(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter, bool* verdict,
                std::wstring* result) noexcept {
    try {
        std::wstring host, parameterText;
        RETURN_IF_FAILED(MemberText(hostname, &host));
        RETURN_IF_FAILED(MemberText(parameter, &parameterText));
        CheckParameters parameters;
        RETURN_IF_FAILED(ReadParameterString(parameterText, &parameters));
        *verdict = RunCheck(host, timeout, parameters, result);
        com::SecureZero(&parameters.password[0], parameters.password.size() * sizeof(wchar_t));
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

#include "BridgeError.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <cwchar>
#include <mutex>
#include <new>

#include "../common/HResult.h"
#include "../common/Raii.h"
#include "CheckRules.h"
#include "ostrel_h.h"

void BridgeError::BeforeCall() noexcept { SetErrorInfo(0, nullptr); }

std::wstring BridgeError::DescribeCode(HRESULT hr) {
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(hr), LANG_USER_DEFAULT, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    com::UniqueLocalMem owner(buffer);
    if (length && buffer) {
        std::wstring text(buffer, length);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
        return text;
    }
    wchar_t text[64];
    swprintf(text, 64, L"Error 0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

void BridgeError::Record(HRESULT hr, const wchar_t* description) noexcept {
    number_ = hr;
    try {
        description_ = description;
    } catch (const std::bad_alloc&) {
        description_.clear();
    }
}

void BridgeError::Record(HRESULT hr) noexcept {
    number_ = hr;
    try {
        description_.clear();
        Microsoft::WRL::ComPtr<IErrorInfo> info;
        if (GetErrorInfo(0, &info) == S_OK && info) {
            com::UniqueBstr text;
            if (SUCCEEDED(info->GetDescription(text.put())) && text)
                description_.assign(text.get(), SysStringLen(text.get()));
        }
        if (description_.empty()) description_ = DescribeCode(hr);
    } catch (const std::bad_alloc&) {
        description_.clear();
    }
}

std::wstring BridgeError::Text() const {
    std::wstring text = L"(" + std::to_wstring(static_cast<long>(number_)) + L")";
    size_t end = description_.size();
    while (end > 0 && (description_[end - 1] == L'\r' || description_[end - 1] == L'\n')) --end;
    bool inBreak = false;
    for (size_t i = 0; i < end; ++i) {
        const bool lineBreak = description_[i] == L'\r' || description_[i] == L'\n';
        if (!lineBreak) text += description_[i];
        else if (!inBreak) text += L' ';  // a run of breaks becomes one space
        inBreak = lineBreak;
    }
    return text;
}

Microsoft::WRL::ComPtr<IQvWMIAccess> OpenAccess(HRESULT timeoutRead, long timeoutMs, long authenticationLevel,
                                                long impersonationLevel, BridgeError* error) {
    const bool timeoutKnown = error->PlainStep(timeoutRead);
    Microsoft::WRL::ComPtr<IQvWMIAccess> access;
    CLSID clsid;
    HRESULT hr = CLSIDFromProgID(L"QvWMI.Access", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IQvWMIAccess, &access);
    if (!error->PlainStep(hr)) return access;
    if (timeoutKnown) error->Call([&] { return access->put_Timeout(timeoutMs); });
    error->Call([&] {
        return access->put_AuthenticationLevel(static_cast<EQvWMIAuthenticationLevel>(authenticationLevel));
    });
    error->Call([&] {
        return access->put_ImpersonationLevel(static_cast<EQvWMIImpersonationLevel>(impersonationLevel));
    });
    error->Call([&] { return access->Initialize(); });
    return access;
}

VARIANT OmittedArgument() noexcept {
    VARIANT missing;
    VariantInit(&missing);
    V_VT(&missing) = VT_ERROR;
    V_ERROR(&missing) = DISP_E_PARAMNOTFOUND;
    return missing;
}

TextArgument::TextArgument(const std::wstring& text, bool secret) noexcept : secret_(secret) {
    VariantInit(&value_);
    V_VT(&value_) = VT_BSTR;
    V_BSTR(&value_) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

TextArgument::~TextArgument() {
    if (secret_ && V_BSTR(&value_)) com::SecureZero(V_BSTR(&value_), SysStringByteLen(V_BSTR(&value_)));
    VariantClear(&value_);
}

HRESULT ReadTimeoutSeconds(const VARIANT& seconds, long* milliseconds) noexcept {
    *milliseconds = 0;
    const VARIANT* value = &seconds;
    if (V_VT(value) & VT_BYREF) {
        if (!V_BYREF(value)) return E_POINTER;
        if (V_VT(value) == (VT_BYREF | VT_VARIANT)) value = V_VARIANTREF(value);
    }
    com::UniqueVariant defaultValue;
    const VARTYPE type = static_cast<VARTYPE>(V_VT(value) & ~VT_BYREF);
    if (type == VT_DISPATCH || type == VT_UNKNOWN) {
        // One call of the object's default value; an object as its value is
        // refused (converting it would call again, without end).
        IDispatch* object = type == VT_DISPATCH ? (V_VT(value) & VT_BYREF ? *V_DISPATCHREF(value) : V_DISPATCH(value))
                                                : nullptr;
        if (!object) return DISP_E_TYPEMISMATCH;
        DISPPARAMS none = {};
        RETURN_IF_FAILED(object->Invoke(DISPID_VALUE, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_PROPERTYGET, &none,
                                        defaultValue.get(), nullptr, nullptr));
        value = defaultValue.get();
        if (V_VT(value) & VT_BYREF) return DISP_E_TYPEMISMATCH;
        if (V_VT(value) == VT_DISPATCH || V_VT(value) == VT_UNKNOWN) return DISP_E_TYPEMISMATCH;
    }
    if (V_VT(value) == VT_EMPTY) return S_OK;
    com::UniqueVariant number;
    RETURN_IF_FAILED(VariantChangeType(number.get(), const_cast<VARIANT*>(value), 0, VT_R8));
    long result = 0;
    RETURN_IF_FAILED(RoundToLong(V_R8(number.get()) * 1000.0, &result));
    *milliseconds = result < 0 ? 0 : result;
    return S_OK;
}

void KeepMultithreadedApartment() noexcept {
    static std::once_flag once;
    std::call_once(once, [] {
        // Declared by the headers only for Windows 8 and later; the cookie is a handle.
        using Increment = HRESULT(WINAPI*)(void** cookie);
        HMODULE ole = GetModuleHandleW(L"ole32.dll");
        auto increment = ole ? reinterpret_cast<Increment>(
                                   reinterpret_cast<void (*)()>(GetProcAddress(ole, "CoIncrementMTAUsage")))
                             : nullptr;
        // Held for the rest of the process: the apartment is the process's,
        // not this DLL's.
        void* cookie = nullptr;
        if (increment) increment(&cookie);
    });
}

DWORD RunDeadline(long timeoutMs) noexcept {
    const ULONGLONG steps = timeoutMs > 0 ? 3ull * static_cast<ULONGLONG>(timeoutMs) : 0;
    const ULONGLONG deadline = steps + 1000;
    return deadline >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(deadline);
}

std::wstring RunTarget(const std::wstring& host, const std::wstring& nameSpace, const std::wstring& user) {
    std::wstring target = L"\\\\" + (host.empty() ? std::wstring(L".") : host) + L"\\" + nameSpace;
    if (!user.empty()) target += L" as " + user;
    return target;
}

std::wstring DescribeRunFailure(HRESULT hr, const com::BoundedWork& work) {
    const com::BoundedWork::Refusal why = work.Refused();
    if (why == com::BoundedWork::Refusal::kNone) return BridgeError::DescribeCode(hr);
    wchar_t seconds[32];
    swprintf(seconds, 32, L"%.1f", static_cast<double>(work.BlockerRunningMs()) / 1000.0);
    if (why == com::BoundedWork::Refusal::kTargetStuck)
        return L"A check of " + work.BlockerTarget() + L" timed out and has not returned for " + seconds +
               L" s; no other check of that target runs until it does.";
    return std::to_wstring(work.AbandonedAtRefusal()) + L" checks that timed out have not returned, the oldest (of " +
           work.BlockerTarget() + L") for " + seconds + L" s; no other check runs until one of them does.";
}

HRESULT ReportPluginError(HRESULT hr, const wchar_t* what) noexcept {
    try {
        std::wstring description = BridgeError::DescribeCode(hr);
        if (what && *what) description += std::wstring(L" (") + what + L")";
        Microsoft::WRL::ComPtr<ICreateErrorInfo> create;
        Microsoft::WRL::ComPtr<IErrorInfo> info;
        if (SUCCEEDED(CreateErrorInfo(&create)) && SUCCEEDED(create.As(&info))) {
            create->SetGUID(IID__WMICom);
            create->SetSource(const_cast<LPOLESTR>(L"ostrel.WMICom"));
            create->SetDescription(const_cast<LPOLESTR>(description.c_str()));
            SetErrorInfo(0, info.Get());
            return hr;
        }
    } catch (const std::bad_alloc&) {
    }
    SetErrorInfo(0, nullptr);
    return hr;
}

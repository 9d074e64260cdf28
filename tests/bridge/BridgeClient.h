// What the bridge's client tests share: VARIANT arguments as automation
// passes them, Connect with named arguments, and the leak check.
#pragma once

#include <climits>
#include <string>

#include "TestSupport.h"
#include "qvWMI_h.h"

// A VARIANT argument that owns its value; left out (the optional-argument
// marker) unless given one.
class Arg {
public:
    Arg() : value_(MissingArgument()) {}
    explicit Arg(const wchar_t* text) {
        VariantInit(&value_);
        V_VT(&value_) = VT_BSTR;
        V_BSTR(&value_) = text ? SysAllocString(text) : nullptr;
    }
    // A text of exactly that length, characters of code 0 included.
    explicit Arg(const std::wstring& text) {
        VariantInit(&value_);
        V_VT(&value_) = VT_BSTR;
        V_BSTR(&value_) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    }
    // A value of the given type (VT_I4 and VT_I2 hold number).
    static Arg Of(VARTYPE type, LONG number = 0) {
        Arg a;
        V_VT(&a.value_) = type;
        if (type == VT_I4) V_I4(&a.value_) = number;
        if (type == VT_I2) V_I2(&a.value_) = static_cast<SHORT>(number);
        if (type == VT_ERROR) V_ERROR(&a.value_) = number;
        return a;
    }
    static Arg Number(LONG number) { return Of(VT_I4, number); }
    // A reference to target's value, as a script engine passes a variable:
    // VT_BYREF|VT_VARIANT, or VT_BYREF with target's own type.
    static Arg RefTo(Arg& target, bool toVariant = true) {
        Arg a;
        if (toVariant) {
            V_VT(&a.value_) = VT_BYREF | VT_VARIANT;
            V_VARIANTREF(&a.value_) = &target.value_;
        } else {
            V_VT(&a.value_) = VT_BYREF | V_VT(&target.value_);
            V_BYREF(&a.value_) = &V_I4(&target.value_);  // the union's first byte, for every type
        }
        return a;
    }
    Arg(Arg&& other) noexcept : value_(other.value_) { VariantInit(&other.value_); }
    Arg& operator=(Arg&& other) noexcept {
        if (this != &other) {
            VariantClear(&value_);
            value_ = other.value_;
            VariantInit(&other.value_);
        }
        return *this;
    }
    ~Arg() { VariantClear(&value_); }  // a reference frees nothing
    operator VARIANT() const { return value_; }
    // Overwrites a string value before it is freed, so that it leaves no copy behind.
    void Wipe() {
        if (V_VT(&value_) == VT_BSTR && V_BSTR(&value_))
            SecureZeroMemory(V_BSTR(&value_), SysStringByteLen(V_BSTR(&value_)));
    }

private:
    VARIANT value_;
};

inline Arg TextOrMissing(const wchar_t* text) { return text ? Arg(text) : Arg(); }

struct ConnectArgs {
    Arg server, nameSpace, domain, user, password, locale, timeout;
};

inline HRESULT Connect(IQvWMIAccess* access, const ConnectArgs& a, IQvWMIServer** server) {
    return access->Connect(a.server, a.nameSpace, a.domain, a.user, a.password, a.locale, a.timeout, server);
}

// DllCanUnloadNow of the loaded bridge, asked until it says S_OK or boundMs
// passes (a worker abandoned by a timed-out Connect may still be ending).
inline HRESULT BridgeCanUnload(DWORD boundMs = 4000) {
    HMODULE bridge = GetModuleHandleW(L"qvWMI.dll");
    if (!bridge) return S_OK;
    auto canUnload = reinterpret_cast<HRESULT(WINAPI*)()>(
        reinterpret_cast<void (*)()>(GetProcAddress(bridge, "DllCanUnloadNow")));
    HRESULT hr = canUnload();
    for (const ULONGLONG start = GetTickCount64(); hr != S_OK && GetTickCount64() - start < boundMs;
         hr = canUnload())
        Sleep(10);
    return hr;
}

// Leaves an unrelated description on the thread, as an earlier failure would.
inline void ReportStale() {
    ComPtr<ICreateErrorInfo> create;
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(CreateErrorInfo(&create)) && SUCCEEDED(create.As(&info))) {
        create->SetDescription(const_cast<LPOLESTR>(L"stale"));
        SetErrorInfo(0, info.Get());
    }
}

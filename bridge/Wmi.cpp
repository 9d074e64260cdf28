#include "Wmi.h"

#include <objbase.h>

#include <new>

#include "../common/BoundedWork.h"

namespace wmi {
namespace {

// The process-wide lock for a serialised WMI, and the values that threads
// could not release because another thread held it.
class SerialLock {
public:
    static SerialLock& Get() noexcept {
        static SerialLock lock;
        return lock;
    }

    // Enters within timeoutMs (INFINITE: no limit). Recursive on one thread.
    bool Enter(DWORD timeoutMs) noexcept {
        if (TryEnterCriticalSection(&section_)) return true;
        if (timeoutMs == INFINITE) {
            EnterCriticalSection(&section_);
            return true;
        }
        const ULONGLONG start = com::MonotonicMs();
        for (;;) {
            Sleep(1);
            if (TryEnterCriticalSection(&section_)) return true;
            if (com::MonotonicMs() - start >= timeoutMs) return false;
        }
    }

    // Releases what others left behind, then leaves. A value left just as
    // the lock is let go is picked up here too, or by the thread that left
    // it, which tries the lock once more after leaving it.
    void Leave() noexcept {
        for (;;) {
            for (Pending* item = TakePending(); item;) {
                Pending* next = item->next;
                VariantClear(&item->value);
                delete item;
                item = next;
            }
            LeaveCriticalSection(&section_);
            if (!HasPending() || !TryEnterCriticalSection(&section_)) return;
        }
    }

    // Clears value now when the lock is free, else leaves it to the thread
    // that holds the lock. Takes the value over.
    void Clear(VARIANT* value) noexcept {
        if (TryEnterCriticalSection(&section_)) {
            VariantClear(value);
            Leave();
            return;
        }
        auto* item = new (std::nothrow) Pending{*value, nullptr};
        if (!item) {
            // Out of memory: waiting is better than a lost reference.
            EnterCriticalSection(&section_);
            VariantClear(value);
            Leave();
            return;
        }
        VariantInit(value);
        EnterCriticalSection(&pendingLock_);
        item->next = pending_;
        pending_ = item;
        LeaveCriticalSection(&pendingLock_);
        if (TryEnterCriticalSection(&section_)) Leave();
    }

private:
    struct Pending {
        VARIANT value;
        Pending* next;
    };

    SerialLock() noexcept {
        InitializeCriticalSection(&section_);
        InitializeCriticalSection(&pendingLock_);
    }
    // Lives as long as the process: a worker may still release through it
    // while the DLL's static objects are destroyed.
    ~SerialLock() = default;

    Pending* TakePending() noexcept {
        EnterCriticalSection(&pendingLock_);
        Pending* taken = pending_;
        pending_ = nullptr;
        LeaveCriticalSection(&pendingLock_);
        return taken;
    }
    bool HasPending() noexcept {
        EnterCriticalSection(&pendingLock_);
        const bool any = pending_ != nullptr;
        LeaveCriticalSection(&pendingLock_);
        return any;
    }

    CRITICAL_SECTION section_;
    CRITICAL_SECTION pendingLock_;  // guards pending_ only; never held across a call
    Pending* pending_ = nullptr;
};

bool SerialiseEveryWmi() noexcept {
    static const bool every = [] {
        wchar_t value[8];
        const DWORD length = GetEnvironmentVariableW(L"QVWMI_SERIALISE_WMI", value, 8);
        return length == 1 && value[0] == L'1';
    }();
    return every;
}

}  // namespace

bool HoldsInterface(const VARIANT& value) noexcept {
    switch (V_VT(&value) & VT_TYPEMASK) {
    case VT_UNKNOWN:
    case VT_DISPATCH:
    case VT_VARIANT:
    case VT_RECORD:
        return true;
    default:
        return false;
    }
}

bool Serialised(IUnknown* locator) noexcept {
    if (!locator) return false;
    if (SerialiseEveryWmi()) return true;
    static const bool onWine = GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    if (!onWine) return false;
    // The module that implements the locator's methods: its virtual table
    // lies in the server's own image.
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            *reinterpret_cast<LPCWSTR*>(locator), &module))
        return false;
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return false;
    const wchar_t* name = path + length;
    while (name > path && name[-1] != L'\\' && name[-1] != L'/') --name;
    return lstrcmpiW(name, L"wbemprox.dll") == 0;
}

void ReleaseObject(bool serialised, IUnknown* object) noexcept {
    if (!object) return;
    if (!serialised) {
        object->Release();
        return;
    }
    VARIANT value;
    V_VT(&value) = VT_UNKNOWN;
    V_UNKNOWN(&value) = object;
    SerialLock::Get().Clear(&value);
}

void ClearValue(bool serialised, VARIANT* value) noexcept {
    if (serialised && HoldsInterface(*value)) SerialLock::Get().Clear(value);
    else VariantClear(value);
}

Session::Session(DWORD timeoutMs) noexcept : startMs_(com::MonotonicMs()), timeoutMs_(timeoutMs) {}

Session::~Session() {
    if (held_) SerialLock::Get().Leave();
}

DWORD Session::RemainingMs() const noexcept {
    if (timeoutMs_ == INFINITE) return INFINITE;
    const ULONGLONG passed = com::MonotonicMs() - startMs_;
    return passed < timeoutMs_ ? static_cast<DWORD>(timeoutMs_ - passed) : 0;
}

LONG Session::RemainingWmiTimeout() const noexcept {
    const DWORD remaining = RemainingMs();
    if (remaining == INFINITE) return static_cast<LONG>(WBEM_INFINITE);
    return remaining > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<LONG>(remaining);
}

bool Session::Enter(bool serialised) noexcept {
    if (!serialised || held_) return true;
    const ULONGLONG start = com::MonotonicMs();
    held_ = SerialLock::Get().Enter(RemainingMs());
    waitedMs_ += static_cast<DWORD>(com::MonotonicMs() - start);
    return held_;
}

// Each call: the lock when this WMI needs it (else the step's time-out),
// then the call itself; the out-references take the WMI's rule.
#define WMI_ENTER(ref)                                   \
    do {                                                 \
        if (!(ref).p_) return E_POINTER;                 \
        if (!Enter((ref).serialised_)) return com::kTimeoutResult; \
    } while (0)

HRESULT Session::ConnectServer(const Ref<IWbemLocator>& locator, BSTR path, BSTR user, BSTR password, BSTR locale,
                               BSTR authority, Ref<IWbemServices>* services) noexcept {
    *services = Ref<IWbemServices>();
    WMI_ENTER(locator);
    IWbemServices* connected = nullptr;
    const HRESULT hr = locator.p_->ConnectServer(path, user, password, locale, 0, authority, nullptr, &connected);
    *services = Ref<IWbemServices>(connected, locator.serialised_);
    return hr;
}

HRESULT Session::GetObject(const Ref<IWbemServices>& services, BSTR path, LONG flags, Ref<IWbemClassObject>* object,
                           Ref<IWbemCallResult>* callResult) noexcept {
    if (object) *object = Ref<IWbemClassObject>();
    if (callResult) *callResult = Ref<IWbemCallResult>();
    WMI_ENTER(services);
    IWbemClassObject* found = nullptr;
    IWbemCallResult* result = nullptr;
    const HRESULT hr =
        services.p_->GetObject(path, flags, nullptr, object ? &found : nullptr, callResult ? &result : nullptr);
    if (object) *object = Ref<IWbemClassObject>(found, services.serialised_);
    if (callResult) *callResult = Ref<IWbemCallResult>(result, services.serialised_);
    return hr;
}

HRESULT Session::GetResultObject(const Ref<IWbemCallResult>& callResult, LONG timeout,
                                 Ref<IWbemClassObject>* object) noexcept {
    *object = Ref<IWbemClassObject>();
    WMI_ENTER(callResult);
    IWbemClassObject* found = nullptr;
    const HRESULT hr = callResult.p_->GetResultObject(timeout, &found);
    *object = Ref<IWbemClassObject>(found, callResult.serialised_);
    return hr;
}

HRESULT Session::ExecQuery(const Ref<IWbemServices>& services, BSTR language, BSTR query, LONG flags,
                           Ref<IEnumWbemClassObject>* results) noexcept {
    *results = Ref<IEnumWbemClassObject>();
    WMI_ENTER(services);
    IEnumWbemClassObject* found = nullptr;
    const HRESULT hr = services.p_->ExecQuery(language, query, flags, nullptr, &found);
    *results = Ref<IEnumWbemClassObject>(found, services.serialised_);
    return hr;
}

HRESULT Session::Next(const Ref<IEnumWbemClassObject>& results, LONG timeout, ULONG count,
                      Ref<IWbemClassObject>* objects, ULONG* returned) noexcept {
    *returned = 0;
    WMI_ENTER(results);
    constexpr ULONG kMost = 256;
    IWbemClassObject* batch[kMost] = {};
    if (count > kMost) count = kMost;
    ULONG got = 0;
    const HRESULT hr = results.p_->Next(timeout, count, batch, &got);
    // A WMI that fails a batch may still have handed out some objects:
    // they are owned here either way.
    for (ULONG i = 0; i < count; ++i) objects[i] = Ref<IWbemClassObject>(batch[i], results.serialised_);
    *returned = got < count ? got : count;
    return hr;
}

HRESULT Session::GetNames(const Ref<IWbemClassObject>& object, LONG flags, SAFEARRAY** names) noexcept {
    *names = nullptr;
    WMI_ENTER(object);
    return object.p_->GetNames(nullptr, flags, nullptr, names);
}

HRESULT Session::Get(const Ref<IWbemClassObject>& object, const wchar_t* name, VARIANT* value, CIMTYPE* type,
                     LONG* flavor) noexcept {
    WMI_ENTER(object);
    return object.p_->Get(name, 0, value, type, flavor);
}

HRESULT Session::GetPropertyQualifierSet(const Ref<IWbemClassObject>& object, const wchar_t* name,
                                         Ref<IWbemQualifierSet>* qualifiers) noexcept {
    *qualifiers = Ref<IWbemQualifierSet>();
    WMI_ENTER(object);
    IWbemQualifierSet* found = nullptr;
    const HRESULT hr = object.p_->GetPropertyQualifierSet(name, &found);
    *qualifiers = Ref<IWbemQualifierSet>(found, object.serialised_);
    return hr;
}

HRESULT Session::GetNames(const Ref<IWbemQualifierSet>& qualifiers, SAFEARRAY** names) noexcept {
    *names = nullptr;
    WMI_ENTER(qualifiers);
    return qualifiers.p_->GetNames(0, names);
}

HRESULT Session::Get(const Ref<IWbemQualifierSet>& qualifiers, const wchar_t* name, VARIANT* value) noexcept {
    WMI_ENTER(qualifiers);
    return qualifiers.p_->Get(name, 0, value, nullptr);
}

HRESULT Session::QueryInterface(AnyRef object, REFIID iid, void** found) noexcept {
    *found = nullptr;
    WMI_ENTER(object);
    return object.p_->QueryInterface(iid, found);
}

HRESULT Session::SetBlanket(AnyRef proxy, const Blanket& blanket) noexcept {
    WMI_ENTER(proxy);
    auto set = [&](IUnknown* on) {
        return CoSetProxyBlanket(on, blanket.authenticationService, RPC_C_AUTHZ_NONE,
                                 const_cast<OLECHAR*>(blanket.principal), blanket.authenticationLevel,
                                 blanket.impersonationLevel, blanket.identity, EOAC_NONE);
    };
    HRESULT hr = set(proxy.p_);
    if (FAILED(hr)) return hr;
    // A remote proxy's IUnknown is a proxy of its own, which QueryInterface
    // and the final release go through: without the same blanket they run
    // under the process's identity, and fail (or lag) where that identity
    // has no access. An object whose IUnknown is the same pointer, or has
    // no security to set (an in-process one), needs nothing more.
    IUnknown* identity = nullptr;
    if (FAILED(proxy.p_->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity))) || !identity) return hr;
    if (identity != proxy.p_) {
        const HRESULT onIdentity = set(identity);
        if (onIdentity != E_NOINTERFACE) hr = onIdentity;
    }
    identity->Release();
    return hr;
}

HRESULT Session::QueryAuthenticationService(AnyRef proxy, DWORD* service) noexcept {
    WMI_ENTER(proxy);
    return CoQueryProxyBlanket(proxy.p_, service, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
}

HRESULT Session::Marshal(IStream* stream, const Ref<IWbemServices>& services) noexcept {
    WMI_ENTER(services);
    return CoMarshalInterface(stream, IID_IWbemServices, services.p_, MSHCTX_INPROC, nullptr, MSHLFLAGS_NORMAL);
}

HRESULT Session::Unmarshal(IStream* stream, bool serialised, Ref<IWbemServices>* services) noexcept {
    *services = Ref<IWbemServices>();
    if (!Enter(serialised)) return com::kTimeoutResult;
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    IWbemServices* found = nullptr;
    const HRESULT hr = CoUnmarshalInterface(stream, IID_IWbemServices, reinterpret_cast<void**>(&found));
    *services = Ref<IWbemServices>(found, serialised);
    return hr;
}

HRESULT Session::ReleaseMarshalData(IStream* stream, bool serialised) noexcept {
    if (!Enter(serialised)) return com::kTimeoutResult;
    LARGE_INTEGER zero = {};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
    return CoReleaseMarshalData(stream);
}

#undef WMI_ENTER

}  // namespace wmi

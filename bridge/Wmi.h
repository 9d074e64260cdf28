// The one place where the bridge calls into WMI's objects: the locator,
// services, call results, enumerators, class objects and qualifier sets,
// their QueryInterface, proxy security and release, and embedded objects.
//
// Wine's in-process WMI corrupts its heap when two threads call into it at
// once (two checks on two threads crash within seconds, with WMI's own
// interfaces alone). Calls into it are therefore serialised by one
// process-wide lock, taken only when the process runs on Wine and the
// locator is Wine's own: another WMI (Windows', or a test double that stalls
// on purpose) is thread-safe and must never hold up other threads. On
// Windows the lock is never taken. The environment variable
// QVWMI_SERIALISE_WMI=1 serialises every WMI the same way (a provider that
// is not thread-safe, and the tests that watch the lock).
//
// A step's calls go through a Session: the first call into a serialised WMI
// takes the lock within what is left of the step's time and holds it until
// the session ends, so that a query's pull is not interleaved with another
// thread's calls. A call that could not have the lock in time fails with
// ERROR_TIMEOUT and never reaches WMI. References are owned by Ref, whose
// release never waits for the lock.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <utility>

namespace wmi {

// Whether calls into the WMI that made locator are serialised.
bool Serialised(IUnknown* locator) noexcept;

// Releases a reference to an object of a WMI that serialised says is
// serialised, without waiting for the lock: at once when it is free (or this
// thread holds it), else by the thread that holds it, when it lets go.
void ReleaseObject(bool serialised, IUnknown* object) noexcept;
// Whether value is, or may contain, an interface pointer.
bool HoldsInterface(const VARIANT& value) noexcept;
// Clears a value that may hold WMI's objects (an embedded object, or an
// array of them) the same way.
void ClearValue(bool serialised, VARIANT* value) noexcept;

// An owned reference to an object of one WMI, with that WMI's rule. Only a
// Session calls through it. Copies add a reference, which is atomic in every
// WMI and needs no lock.
class AnyRef;

template <class I>
class Ref {
public:
    Ref() noexcept = default;
    // Takes over the caller's reference.
    Ref(I* adopted, bool serialised) noexcept : p_(adopted), serialised_(serialised) {}
    // Adds a reference of its own.
    static Ref Share(I* object, bool serialised) noexcept {
        if (object) object->AddRef();
        return Ref(object, serialised);
    }
    Ref(const Ref& other) noexcept : Ref(Share(other.p_, other.serialised_)) {}
    Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)), serialised_(other.serialised_) {}
    Ref& operator=(Ref other) noexcept {
        std::swap(p_, other.p_);
        std::swap(serialised_, other.serialised_);
        return *this;
    }
    ~Ref() { Reset(); }

    void Reset() noexcept {
        if (p_) ReleaseObject(serialised_, std::exchange(p_, nullptr));
    }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    bool Serialised() const noexcept { return serialised_; }

private:
    friend class Session;
    friend class AnyRef;
    I* p_ = nullptr;
    bool serialised_ = false;
};

// A borrowed view of any Ref, for the calls that take any of WMI's proxies.
class AnyRef {
public:
    template <class I>
    AnyRef(const Ref<I>& ref) noexcept : p_(ref.p_), serialised_(ref.serialised_) {}

private:
    friend class Session;
    IUnknown* p_;
    bool serialised_;
};

// The connection's security for a proxy: CoSetProxyBlanket's service,
// server principal (null, or COLE_DEFAULT_PRINCIPAL), levels and the
// explicit identity (null: the process's own).
struct Blanket {
    DWORD authenticationService;
    const wchar_t* principal;
    DWORD authenticationLevel;
    DWORD impersonationLevel;
    COAUTHIDENTITY* identity;
};

// The calls of one step, bounded by the step's time.
class Session {
public:
    // timeoutMs: the step's time from now (INFINITE: no limit).
    explicit Session(DWORD timeoutMs) noexcept;
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // What is left of the step's time: 0 once it has passed, INFINITE
    // without a limit. Includes the wait for the lock.
    DWORD RemainingMs() const noexcept;
    // The same as a WMI time-out (WBEM_INFINITE without a limit).
    LONG RemainingWmiTimeout() const noexcept;
    // How long this session waited for the lock, 0 when it had it at once.
    DWORD WaitedMs() const noexcept { return waitedMs_; }

    HRESULT ConnectServer(const Ref<IWbemLocator>& locator, BSTR path, BSTR user, BSTR password, BSTR locale,
                          BSTR authority, Ref<IWbemServices>* services) noexcept;
    // Either object or callResult, as the flags ask.
    HRESULT GetObject(const Ref<IWbemServices>& services, BSTR path, LONG flags, Ref<IWbemClassObject>* object,
                      Ref<IWbemCallResult>* callResult) noexcept;
    HRESULT GetResultObject(const Ref<IWbemCallResult>& callResult, LONG timeout,
                            Ref<IWbemClassObject>* object) noexcept;
    HRESULT ExecQuery(const Ref<IWbemServices>& services, BSTR language, BSTR query, LONG flags,
                      Ref<IEnumWbemClassObject>* results) noexcept;
    // objects: count slots, of which *returned are filled.
    HRESULT Next(const Ref<IEnumWbemClassObject>& results, LONG timeout, ULONG count, Ref<IWbemClassObject>* objects,
                 ULONG* returned) noexcept;
    HRESULT GetNames(const Ref<IWbemClassObject>& object, LONG flags, SAFEARRAY** names) noexcept;
    HRESULT Get(const Ref<IWbemClassObject>& object, const wchar_t* name, VARIANT* value, CIMTYPE* type,
                LONG* flavor) noexcept;
    HRESULT GetPropertyQualifierSet(const Ref<IWbemClassObject>& object, const wchar_t* name,
                                    Ref<IWbemQualifierSet>* qualifiers) noexcept;
    HRESULT GetNames(const Ref<IWbemQualifierSet>& qualifiers, SAFEARRAY** names) noexcept;
    HRESULT Get(const Ref<IWbemQualifierSet>& qualifiers, const wchar_t* name, VARIANT* value) noexcept;

    // QueryInterface.
    template <class To, class From>
    HRESULT As(const Ref<From>& from, Ref<To>* to) noexcept {
        void* found = nullptr;
        const HRESULT hr = QueryInterface(from, __uuidof(To), &found);
        *to = Ref<To>(static_cast<To*>(found), from.serialised_);
        return hr;
    }
    // CoSetProxyBlanket with the connection's security.
    HRESULT SetBlanket(AnyRef proxy, const Blanket& blanket) noexcept;
    // The authentication service CoQueryProxyBlanket reports for proxy.
    HRESULT QueryAuthenticationService(AnyRef proxy, DWORD* service) noexcept;
    // Hands services to another apartment of the process through stream.
    HRESULT Marshal(IStream* stream, const Ref<IWbemServices>& services) noexcept;
    HRESULT Unmarshal(IStream* stream, bool serialised, Ref<IWbemServices>* services) noexcept;
    HRESULT ReleaseMarshalData(IStream* stream, bool serialised) noexcept;

private:
    // Has the lock for a serialised WMI, waiting at most what is left;
    // false when the time ran out first.
    bool Enter(bool serialised) noexcept;
    HRESULT QueryInterface(AnyRef object, REFIID iid, void** found) noexcept;

    ULONGLONG startMs_;
    DWORD timeoutMs_;
    bool held_ = false;
    DWORD waitedMs_ = 0;
};

}  // namespace wmi

// Move-only owners for the platform's resources: each closes what it holds
// exactly once. put() releases the old value before handing out its address.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <utility>

namespace com {

template <class T, class Traits>
class UniqueResource {
public:
    UniqueResource() noexcept = default;
    explicit UniqueResource(T value) noexcept : value_(value) {}
    UniqueResource(const UniqueResource&) = delete;
    UniqueResource& operator=(const UniqueResource&) = delete;
    UniqueResource(UniqueResource&& other) noexcept : value_(other.release()) {}
    UniqueResource& operator=(UniqueResource&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    ~UniqueResource() { reset(); }

    T get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }
    // Gives up ownership; the caller closes the value.
    T release() noexcept { return std::exchange(value_, Traits::invalid()); }
    void reset(T value = Traits::invalid()) noexcept {
        T old = std::exchange(value_, value);
        if (old != Traits::invalid()) Traits::close(old);
    }
    // Closes the current value and returns the address for an out-parameter.
    T* put() noexcept { reset(); return &value_; }

private:
    T value_ = Traits::invalid();
};

struct BstrTraits {
    static BSTR invalid() noexcept { return nullptr; }
    static void close(BSTR b) noexcept { SysFreeString(b); }
};
struct HandleTraits {
    static HANDLE invalid() noexcept { return nullptr; }
    static void close(HANDLE h) noexcept { CloseHandle(h); }
};
struct LocalMemTraits {
    static HLOCAL invalid() noexcept { return nullptr; }
    static void close(HLOCAL p) noexcept { LocalFree(p); }
};
struct RegKeyTraits {
    static HKEY invalid() noexcept { return nullptr; }
    static void close(HKEY k) noexcept { RegCloseKey(k); }
};

// Overwrites memory with zeros in a way the optimiser cannot drop.
inline void SecureZero(void* data, size_t bytes) noexcept {
    volatile unsigned char* p = static_cast<volatile unsigned char*>(data);
    while (bytes--) *p++ = 0;
}

// A BSTR holding a secret: wiped before it is freed.
struct SecretBstrTraits {
    static BSTR invalid() noexcept { return nullptr; }
    static void close(BSTR b) noexcept {
        SecureZero(b, SysStringByteLen(b));
        SysFreeString(b);
    }
};

using UniqueBstr = UniqueResource<BSTR, BstrTraits>;
using UniqueSecretBstr = UniqueResource<BSTR, SecretBstrTraits>;
using UniqueHandle = UniqueResource<HANDLE, HandleTraits>;
using UniqueLocalMem = UniqueResource<HLOCAL, LocalMemTraits>;
using UniqueRegKey = UniqueResource<HKEY, RegKeyTraits>;

// Copies a wide string into a new BSTR; a null source gives a null BSTR.
// Returns E_OUTOFMEMORY when the copy cannot be made.
inline HRESULT CopyBstr(const wchar_t* source, BSTR* result) noexcept {
    *result = nullptr;
    if (!source) return S_OK;
    *result = SysAllocString(source);
    return *result ? S_OK : E_OUTOFMEMORY;
}

// A VARIANT that is cleared when it goes out of scope.
class UniqueVariant {
public:
    UniqueVariant() noexcept { VariantInit(&value_); }
    UniqueVariant(const UniqueVariant&) = delete;
    UniqueVariant& operator=(const UniqueVariant&) = delete;
    UniqueVariant(UniqueVariant&& other) noexcept : value_(other.release()) {}
    UniqueVariant& operator=(UniqueVariant&& other) noexcept {
        if (this != &other) { reset(); value_ = other.release(); }
        return *this;
    }
    ~UniqueVariant() { reset(); }

    VARIANT* get() noexcept { return &value_; }
    const VARIANT* get() const noexcept { return &value_; }
    VARIANT* operator->() noexcept { return &value_; }
    const VARIANT* operator->() const noexcept { return &value_; }
    // Clears the current value and returns the address for an out-parameter.
    VARIANT* put() noexcept { reset(); return &value_; }
    // Hands the value to the caller, who must clear it.
    VARIANT release() noexcept {
        VARIANT v = value_;
        VariantInit(&value_);
        return v;
    }
    void reset() noexcept { VariantClear(&value_); }

private:
    VARIANT value_;
};

// Wipes a string's whole buffer, not only its current length: a string that
// was moved from, or shortened, may still hold characters of a secret there
// (a short string lives inside the string object itself).
template <class String>
void WipeString(String& text) noexcept {
    text.resize(text.capacity());
    SecureZero(&text[0], text.size() * sizeof(text[0]));
    text.clear();
}

// A critical section owned for the life of the object.
class CriticalSection {
public:
    CriticalSection() noexcept { InitializeCriticalSection(&cs_); }
    ~CriticalSection() { DeleteCriticalSection(&cs_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;
    void Enter() noexcept { EnterCriticalSection(&cs_); }
    void Leave() noexcept { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class CriticalSectionGuard {
public:
    explicit CriticalSectionGuard(CriticalSection& cs) noexcept : cs_(cs) { cs_.Enter(); }
    ~CriticalSectionGuard() { cs_.Leave(); }
    CriticalSectionGuard(const CriticalSectionGuard&) = delete;
    CriticalSectionGuard& operator=(const CriticalSectionGuard&) = delete;

private:
    CriticalSection& cs_;
};

}  // namespace com

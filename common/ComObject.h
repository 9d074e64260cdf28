// The base of every COM object of both servers.
//
//   class CThing final : public com::ComObject<CThing, com::Dual<IThing>,
//                                              com::ErrorInfoFor<IThing>> { ... };
//
// The class lists its interfaces once; QueryInterface walks that list. Dual<I>
// implements IDispatch over the module's type library and also answers
// IDispatch; ErrorInfoFor<I> answers ISupportErrorInfo for I alone. Every
// object holds a module lock from construction to destruction, so the DLL
// stays loaded while it lives. An object may be aggregated: it then delegates
// its IUnknown to the outer object and hands out its inner IUnknown once.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <objidl.h>

#include <atomic>
#include <new>
#include <tuple>
#include <type_traits>

#include <wrl/client.h>

#include "ComModule.h"

namespace com {

using Microsoft::WRL::ComPtr;

// IDispatch over the type information of the dual interface I.
template <class I>
class Dual : public I {
public:
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** typeInfo) override {
        if (!typeInfo) return E_POINTER;
        *typeInfo = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        return ThisModule().GetTypeInfo(__uuidof(I), typeInfo);
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        ComPtr<ITypeInfo> info;
        HRESULT hr = ThisModule().GetTypeInfo(__uuidof(I), &info);
        if (FAILED(hr)) return hr;
        return info->GetIDsOfNames(names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO* excepInfo, UINT* argError) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        ComPtr<ITypeInfo> info;
        HRESULT hr = ThisModule().GetTypeInfo(__uuidof(I), &info);
        if (FAILED(hr)) return hr;
        // The type information calls the vtable and turns a failure with
        // error information into DISP_E_EXCEPTION with EXCEPINFO filled.
        return info->Invoke(static_cast<I*>(this), id, flags, params, result, excepInfo, argError);
    }
};

// ISupportErrorInfo answering S_OK for the interface I (and Also, an
// interface that I derives from) only.
template <class I, class... Also>
class ErrorInfoFor : public ISupportErrorInfo {
public:
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override {
        return IsEqualIID(riid, __uuidof(I)) || (IsEqualIID(riid, __uuidof(Also)) || ...) ? S_OK : S_FALSE;
    }
};

namespace detail {
template <class B> struct InterfaceOf { using type = B; static constexpr bool dual = false; };
template <class I> struct InterfaceOf<Dual<I>> { using type = I; static constexpr bool dual = true; };
template <class I, class... Also> struct InterfaceOf<ErrorInfoFor<I, Also...>> { using type = ISupportErrorInfo; static constexpr bool dual = false; };
}  // namespace detail

template <class Derived, class... Bases>
class ComObject : public Bases... {
public:
    STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
        return outer_ ? outer_->QueryInterface(riid, object) : InnerQueryInterface(riid, object);
    }
    STDMETHODIMP_(ULONG) AddRef() override { return outer_ ? outer_->AddRef() : InnerAddRef(); }
    STDMETHODIMP_(ULONG) Release() override { return outer_ ? outer_->Release() : InnerRelease(); }

    // Creates an object with one reference, owned by the returned pointer.
    // Null when memory runs out.
    template <class... Args>
    static ComPtr<Derived> Make(Args&&... args) noexcept {
        // Not Attach: mingw-w64's ComPtr::Attach adds a reference of its own.
        ComPtr<Derived> object;
        *object.GetAddressOf() = new (std::nothrow) Derived(std::forward<Args>(args)...);
        return object;
    }

    // Class-factory creation, plain or aggregated (an outer object may ask
    // only for IUnknown, and then receives the inner IUnknown).
    static HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** object) noexcept {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
        ComPtr<Derived> instance = Make();
        if (!instance) return E_OUTOFMEMORY;
        if (outer) {
            instance->outer_ = outer;
            *object = static_cast<IUnknown*>(&instance->inner_);
            instance->inner_.AddRef();
            instance->InnerRelease();  // the creation reference
            instance.Detach();
            return S_OK;
        }
        return instance->InnerQueryInterface(riid, object);
    }

protected:
    ComObject() noexcept { ThisModule().Lock(); }
    virtual ~ComObject() { ThisModule().Unlock(); }

    // Interfaces beyond the list (for example IMarshal of an aggregated
    // free-threaded marshaler). Sets *object and adds a reference on success.
    virtual HRESULT QueryExtraInterface(REFIID, void** object) {
        *object = nullptr;
        return E_NOINTERFACE;
    }

    // The identity of this object as the outer world sees it.
    IUnknown* ControllingUnknown() noexcept { return outer_ ? outer_ : Self(); }

private:
    using FirstBase = std::tuple_element_t<0, std::tuple<Bases...>>;

    // The object's own IUnknown, that of its first interface. Cast through
    // that interface: a base may hold more than one IUnknown.
    IUnknown* Self() noexcept {
        using First = typename detail::InterfaceOf<FirstBase>::type;
        return static_cast<First*>(static_cast<FirstBase*>(this));
    }

    // The non-delegating IUnknown handed to an aggregating outer object.
    struct Inner final : IUnknown {
        explicit Inner(ComObject* owner) noexcept : owner_(owner) {}
        STDMETHODIMP QueryInterface(REFIID riid, void** object) override {
            return owner_->InnerQueryInterface(riid, object);
        }
        STDMETHODIMP_(ULONG) AddRef() override { return owner_->InnerAddRef(); }
        STDMETHODIMP_(ULONG) Release() override { return owner_->InnerRelease(); }
        ComObject* owner_;
    };

    template <class B>
    bool Match(REFIID riid, void** object) noexcept {
        using I = typename detail::InterfaceOf<B>::type;
        if (!IsEqualIID(riid, __uuidof(I))) return false;
        *object = static_cast<I*>(static_cast<B*>(this));
        return true;
    }

    bool MatchDispatch(REFIID riid, void** object) noexcept {
        if constexpr (detail::InterfaceOf<FirstBase>::dual) {
            if (IsEqualIID(riid, IID_IDispatch)) {
                *object = static_cast<IDispatch*>(static_cast<FirstBase*>(this));
                return true;
            }
        }
        return false;
    }

    HRESULT InnerQueryInterface(REFIID riid, void** object) noexcept {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (IsEqualIID(riid, IID_IUnknown)) {
            *object = outer_ ? static_cast<IUnknown*>(&inner_) : Self();
        } else if (!MatchDispatch(riid, object) && !(Match<Bases>(riid, object) || ...)) {
            return QueryExtraInterface(riid, object);
        }
        static_cast<IUnknown*>(*object)->AddRef();
        return S_OK;
    }
    ULONG InnerAddRef() noexcept { return ++refs_; }
    ULONG InnerRelease() noexcept {
        const ULONG left = --refs_;
        if (left == 0) delete this;  // virtual: runs the most derived destructor
        return left;
    }

    std::atomic<ULONG> refs_{1};
    IUnknown* outer_ = nullptr;  // not counted: the outer object owns us
    Inner inner_{this};
};

}  // namespace com

// What the instance, the instance collection and the property collection
// share: the members a scripting client expects of a collection (_NewEnum,
// Item, Count, GetAt) with their argument checks and reports, the
// IEnumVARIANT behind For Each, and the exact-name index of the two
// collections that are looked up by name.
#pragma once

#include <windows.h>
#include <oaidl.h>
#include <wbemcli.h>

#include <algorithm>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "../common/ComObject.h"
#include "../common/FreeThreadedMarshaler.h"
#include "../common/HResult.h"
#include "../common/Raii.h"
#include "ErrorReporting.h"

// The item source that an enumerator walks. Its reference count is the
// owning object's; no QueryInterface answers it.
struct CEnumVARIANTCollection : public IUnknown {
    virtual ULONG STDMETHODCALLTYPE GetItemCount() = 0;
    // A new VARIANT for the item at a zero-based index, owned by the caller;
    // E_INVALIDARG for an index not below the count.
    virtual HRESULT STDMETHODCALLTYPE GetItemAsVariant(ULONG index, VARIANT* result) = 0;
};

// IEnumVARIANT over a collection, which it keeps alive. It is agile exactly
// when its collection is: otherwise the items it hands out may be interfaces
// bound to the collection's apartment.
class CEnumVARIANT final : public com::ComObject<CEnumVARIANT, IEnumVARIANT, com::ErrorInfoFor<IEnumVARIANT>> {
public:
    CEnumVARIANT(CEnumVARIANTCollection* collection, ULONG position) noexcept
        : collection_(collection), position_(position) {}

    // A new enumerator over collection, starting at position, answered as
    // riid into *object. Reports its failures.
    static HRESULT Create(CEnumVARIANTCollection* collection, ULONG position, REFIID riid, void** object) noexcept {
        if (object) *object = nullptr;
        if (!collection) return ReportError(L"Enumerator::Initialize", E_INVALIDARG, IDS_ARG_NULL, L"pCollection");
        com::ComPtr<CEnumVARIANT> enumerator = Make(collection, position);
        if (!enumerator) return ReportError(L"Enumerator::Create", E_OUTOFMEMORY, IDS_INVALID_STATE);
        if (com::FreeThreadedMarshaler::IsAgile(collection))
            enumerator->marshaler_.Aggregate(enumerator->ControllingUnknown());
        const HRESULT hr = enumerator->QueryInterface(riid, object);
        return FAILED(hr) ? ReportError(L"Enumerator::Create", hr, IDS_INVALID_STATE) : S_OK;
    }

    // Fills rgVar with up to celt items; nothing is written when a fetch fails.
    STDMETHODIMP Next(ULONG celt, VARIANT* rgVar, ULONG* pCeltFetched) override {
        if (pCeltFetched) *pCeltFetched = 0;
        if (!rgVar) return ReportError(L"Enumerator::Next", E_POINTER, IDS_ARG_NULL, L"rgVar");
        if (celt > 1 && !pCeltFetched) return ReportError(L"Enumerator::Next", E_POINTER, IDS_ARG_NULL, L"pCeltFetched");
        com::CriticalSectionGuard guard(lock_);
        const ULONG count = collection_->GetItemCount();
        if (position_ >= count) return S_FALSE;
        const ULONG fetch = std::min(count - position_, celt);
        std::vector<VARIANT> items;
        try {
            items.resize(fetch);  // zeroed: VT_EMPTY
        } catch (const std::bad_alloc&) {
            return BareFailure(E_OUTOFMEMORY);
        }
        HRESULT hr = S_OK;
        for (VARIANT& item : items) {
            hr = collection_->GetItemAsVariant(position_, &item);
            if (FAILED(hr)) break;
            ++position_;
        }
        if (FAILED(hr)) {
            for (VARIANT& item : items) VariantClear(&item);
            return BareFailure(hr);
        }
        std::copy(items.begin(), items.end(), rgVar);  // the caller now owns them
        if (pCeltFetched) *pCeltFetched = fetch;
        return fetch < celt ? S_FALSE : S_OK;
    }

    STDMETHODIMP Skip(ULONG celt) override {
        com::CriticalSectionGuard guard(lock_);
        const ULONG count = collection_->GetItemCount();
        const ULONG skipped = std::min(count - std::min(position_, count), celt);
        position_ += skipped;
        return skipped == celt ? S_OK : S_FALSE;
    }

    STDMETHODIMP Reset() override {
        com::CriticalSectionGuard guard(lock_);
        position_ = 0;
        return S_OK;
    }

    // A new enumerator over the same collection that continues from this one's position.
    STDMETHODIMP Clone(IEnumVARIANT** ppEnum) override {
        ULONG position;
        {
            com::CriticalSectionGuard guard(lock_);
            position = position_;
        }
        return Create(collection_.Get(), position, IID_IEnumVARIANT, reinterpret_cast<void**>(ppEnum));
    }

private:
    HRESULT QueryExtraInterface(REFIID riid, void** object) override { return marshaler_.QueryInterface(riid, object); }

    com::ComPtr<CEnumVARIANTCollection> collection_;
    // The collection locks itself; this guards the position against two
    // threads sharing one enumerator.
    com::CriticalSection lock_;
    ULONG position_;
    com::FreeThreadedMarshaler marshaler_;
};

// The collection members of the dual interface I. Item is the type a client
// receives (VARIANT or an interface pointer), Key the type Item looks one up
// by. A member fills the slot of I's member of the same name and signature
// where I has one; the instance's Field calls get_Item, and GetAt exists on
// the instance collection although its interface lacks it.
template <class I, class Item, class Key>
class CAutomationCollection : public com::Dual<I>, public CEnumVARIANTCollection {
public:
    STDMETHODIMP get__NewEnum(IUnknown** ppUnknown) override {
        return CEnumVARIANT::Create(this, 0, IID_IUnknown, reinterpret_cast<void**>(ppUnknown));
    }

    STDMETHODIMP get_Count(LONG* plCount) override {
        if (!plCount) return ReportError(L"Collection::get_Count", E_POINTER, IDS_ARG_NULL, L"plCount");
        *plCount = static_cast<LONG>(GetItemCount());
        return S_OK;
    }

    virtual HRESULT STDMETHODCALLTYPE GetAt(LONG lIndex, Item* pValue) {
        if (!pValue) return ReportError(L"Collection::GetAt", E_POINTER, IDS_ARG_NULL, L"pValue");
        *pValue = Item{};
        if (lIndex < 0 || static_cast<ULONG>(lIndex) >= GetItemCount())
            return ReportError(L"Collection::GetAt", E_INVALIDARG, IDS_ARG_OUT_OF_RANGE, L"lIndex");
        const HRESULT hr = GetItemAt(static_cast<ULONG>(lIndex), pValue);
        return FAILED(hr) ? BareFailure(hr) : S_OK;
    }

    virtual HRESULT STDMETHODCALLTYPE get_Item(Key key, Item* pValue) {
        if (!pValue) return ReportError(L"Collection::get_Item", E_POINTER, IDS_ARG_NULL, L"pValue");
        *pValue = Item{};
        const HRESULT hr = GetItem(key, pValue);
        return FAILED(hr) ? hr : S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetItemAsVariant(ULONG index, VARIANT* result) override {
        Item item{};
        RETURN_IF_FAILED(GetItemAt(index, &item));
        return ItemToVariant(item, result);
    }

protected:
    // A copy of the item at index for the caller (*pValue starts empty);
    // E_INVALIDARG when index is not below the count. Takes the object's lock.
    virtual HRESULT GetItemAt(ULONG index, Item* pValue) = 0;
    // The item by key (*pValue starts empty); the concrete class decides
    // which failures it reports.
    virtual HRESULT GetItem(Key key, Item* pValue) = 0;
    // Moves an item that GetItemAt gave into an empty VARIANT, taking it over.
    virtual HRESULT ItemToVariant(Item& item, VARIANT* result) = 0;
};

namespace com::detail {
// In an object's interface list a collection stands for its dual interface.
template <class I, class Item, class Key>
struct InterfaceOf<CAutomationCollection<I, Item, Key>> {
    using type = I;
    static constexpr bool dual = true;
};
}  // namespace com::detail

// Finds an item's position by its name, exactly, code unit by code unit; of
// equal names the later item wins. The names share one buffer and are sorted
// once, which keeps a snapshot small and quick to build.
class CNameIndex {
public:
    // Room for count names of totalLength code units in all, so that Add
    // does not allocate. Throws std::bad_alloc.
    void Reserve(size_t count, size_t totalLength) {
        entries_.reserve(count);
        sorted_.reserve(count);
        names_.reserve(totalLength);
    }

    // The name of the next item. Throws std::bad_alloc beyond the reserve.
    void Add(const wchar_t* name, size_t length) {
        entries_.push_back({static_cast<UINT32>(names_.size()), static_cast<UINT32>(length)});
        sorted_.push_back(static_cast<UINT32>(sorted_.size()));
        names_.append(name, length);
    }

    // Orders the names for Find; call once, after the last Add.
    void Sort() noexcept {
        std::sort(sorted_.begin(), sorted_.end(), [this](UINT32 a, UINT32 b) {
            const int order = Name(a).compare(Name(b));
            return order < 0 || (order == 0 && a < b);
        });
    }

    // The position of the item named key, for Field and Item: a null or
    // empty key is reported; a name that is not present gives
    // WBEM_E_NOT_FOUND with the thread's error information cleared, so that
    // no older description is read with it.
    HRESULT Find(BSTR key, ULONG* position) const noexcept {
        const std::wstring_view name(key ? key : L"", key ? SysStringLen(key) : 0);
        if (name.empty()) return ReportError(L"Instance::GetItem", E_INVALIDARG, IDS_ARG_NULL_OR_EMPTY, L"tKey");
        auto after = std::upper_bound(sorted_.begin(), sorted_.end(), name,
                                      [this](std::wstring_view k, UINT32 entry) { return k < Name(entry); });
        if (after == sorted_.begin() || Name(*(after - 1)) != name) {
            ClearErrorInfo();
            return WBEM_E_NOT_FOUND;
        }
        *position = *(after - 1);
        return S_OK;
    }

private:
    struct Entry {
        UINT32 offset;
        UINT32 length;
    };
    std::wstring_view Name(UINT32 entry) const noexcept {
        return std::wstring_view(names_.data() + entries_[entry].offset, entries_[entry].length);
    }

    std::wstring names_;           // every name, one after the other
    std::vector<Entry> entries_;   // in item order
    std::vector<UINT32> sorted_;   // item positions ordered by name, then position
};

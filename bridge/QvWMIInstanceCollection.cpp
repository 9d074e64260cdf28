#include "QvWMIInstanceCollection.h"

#include <algorithm>
#include <new>
#include <utility>

#include "ErrorReporting.h"

namespace {

HRESULT CreateFailed(HRESULT hr) noexcept {
    return ReportError(L"InstanceCollection::Create", hr, IDS_CREATE_OBJECT_FAILED, L"Instance Collection");
}

}  // namespace

HRESULT CQvWMIInstanceCollection::Create(IQvWMIInstance* const* instances, size_t count,
                                         IQvWMIInstanceCollection** ppInstances) noexcept {
    if (!ppInstances) return CreateFailed(E_POINTER);
    *ppInstances = nullptr;
    if (count && (!instances || std::find(instances, instances + count, nullptr) != instances + count))
        return CreateFailed(E_INVALIDARG);
    com::ComPtr<CQvWMIInstanceCollection> collection = Make();
    if (!collection) return CreateFailed(E_OUTOFMEMORY);
    try {
        collection->instances_.assign(instances, instances + count);
    } catch (const std::bad_alloc&) {
        return CreateFailed(E_OUTOFMEMORY);
    }
    // An instance bound to its apartment must not leave it through us.
    if (std::all_of(instances, instances + count, com::FreeThreadedMarshaler::IsAgile))
        collection->marshaler_.Aggregate(collection->ControllingUnknown());
    const HRESULT hr = collection->QueryInterface(IID_PPV_ARGS(ppInstances));
    return FAILED(hr) ? CreateFailed(hr) : S_OK;
}

ULONG CQvWMIInstanceCollection::GetItemCount() {
    CAutoLock guard(*this);
    return static_cast<ULONG>(instances_.size());
}

HRESULT CQvWMIInstanceCollection::GetItemAt(ULONG index, IQvWMIInstance** pValue) {
    CAutoLock guard(*this);
    if (index >= instances_.size()) return E_INVALIDARG;
    return instances_[index].CopyTo(pValue);
}

// Item by index fails without a report of its own: clear the thread's
// error information so that no older description goes with it.
HRESULT CQvWMIInstanceCollection::GetItem(LONG key, IQvWMIInstance** pValue) {
    const HRESULT hr = key < 0 ? E_INVALIDARG : GetItemAt(static_cast<ULONG>(key), pValue);
    if (FAILED(hr)) ClearErrorInfo();
    return hr;
}

// The instance's dual interface serves as its IDispatch.
HRESULT CQvWMIInstanceCollection::ItemToVariant(IQvWMIInstance*& item, VARIANT* result) {
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = std::exchange(item, nullptr);
    return S_OK;
}

HRESULT CQvWMIInstanceCollection::QueryExtraInterface(REFIID riid, void** object) {
    return marshaler_.QueryInterface(riid, object);
}

#include "QvWMIPropertyCollection.h"

#include <algorithm>
#include <new>
#include <utility>

#include "../common/HResult.h"
#include "../common/Raii.h"
#include "ErrorReporting.h"

namespace {

HRESULT CreateFailed(HRESULT hr) noexcept {
    return ReportError(L"PropertyCollection::Create", hr, IDS_CREATE_OBJECT_FAILED, L"Property Collection");
}

}  // namespace

HRESULT CQvWMIPropertyCollection::Create(IQvWMIPropertyDescriptor* const* descriptors, size_t count,
                                         IQvWMIPropertyCollection** ppProperties) noexcept {
    if (!ppProperties) return CreateFailed(E_POINTER);
    *ppProperties = nullptr;
    if (count && (!descriptors || std::find(descriptors, descriptors + count, nullptr) != descriptors + count))
        return CreateFailed(E_INVALIDARG);
    com::ComPtr<CQvWMIPropertyCollection> collection = Make();
    if (!collection) return CreateFailed(E_OUTOFMEMORY);
    try {
        collection->descriptors_.assign(descriptors, descriptors + count);
        collection->index_.Reserve(count, 0);
        for (size_t i = 0; i < count; ++i) {
            com::UniqueBstr name;
            const HRESULT hr = descriptors[i]->get_Name(name.put());
            if (FAILED(hr)) return CreateFailed(hr);
            collection->index_.Add(name.get(), SysStringLen(name.get()));
        }
    } catch (const std::bad_alloc&) {
        return CreateFailed(E_OUTOFMEMORY);
    }
    collection->index_.Sort();
    if (std::all_of(descriptors, descriptors + count, com::FreeThreadedMarshaler::IsAgile))
        collection->marshaler_.Aggregate(collection->ControllingUnknown());
    const HRESULT hr = collection->QueryInterface(IID_PPV_ARGS(ppProperties));
    return FAILED(hr) ? CreateFailed(hr) : S_OK;
}

ULONG CQvWMIPropertyCollection::GetItemCount() {
    CAutoLock guard(*this);
    return static_cast<ULONG>(descriptors_.size());
}

HRESULT CQvWMIPropertyCollection::GetItemAt(ULONG index, IQvWMIPropertyDescriptor** pValue) {
    CAutoLock guard(*this);
    if (index >= descriptors_.size()) return E_INVALIDARG;
    return descriptors_[index].CopyTo(pValue);
}

HRESULT CQvWMIPropertyCollection::GetItem(BSTR key, IQvWMIPropertyDescriptor** pValue) {
    CAutoLock guard(*this);
    ULONG position = 0;
    RETURN_IF_FAILED(index_.Find(key, &position));
    return descriptors_[position].CopyTo(pValue);
}

HRESULT CQvWMIPropertyCollection::ItemToVariant(IQvWMIPropertyDescriptor*& item, VARIANT* result) {
    com::ComPtr<IQvWMIPropertyDescriptor> descriptor;
    *descriptor.GetAddressOf() = std::exchange(item, nullptr);
    IDispatch* dispatch = nullptr;
    const HRESULT hr = descriptor->QueryInterface(IID_PPV_ARGS(&dispatch));
    if (FAILED(hr)) return hr;
    V_VT(result) = VT_DISPATCH;
    V_DISPATCH(result) = dispatch;
    return S_OK;
}

HRESULT CQvWMIPropertyCollection::QueryExtraInterface(REFIID riid, void** object) {
    return marshaler_.QueryInterface(riid, object);
}

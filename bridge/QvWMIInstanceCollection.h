// The instances of one query, in the order WMI delivered them.
#pragma once

#include <windows.h>

#include <vector>

#include "../common/ComObject.h"
#include "../common/FreeThreadedMarshaler.h"
#include "Collections.h"
#include "Lock.h"
#include "qvWMI_h.h"

class CQvWMIInstanceCollection final
    : public com::ComObject<CQvWMIInstanceCollection,
                            CAutomationCollection<IQvWMIInstanceCollection, IQvWMIInstance*, LONG>,
                            com::ErrorInfoFor<IQvWMIInstanceCollection>>,
      public CMutex {
public:
    // Holds a counted reference to each instance, in the given order.
    // Reports its failures.
    static HRESULT Create(IQvWMIInstance* const* instances, size_t count,
                          IQvWMIInstanceCollection** ppInstances) noexcept;

    CQvWMIInstanceCollection() noexcept = default;

    // CEnumVARIANTCollection
    ULONG STDMETHODCALLTYPE GetItemCount() override;

private:
    ~CQvWMIInstanceCollection() override = default;

    HRESULT GetItemAt(ULONG index, IQvWMIInstance** pValue) override;
    HRESULT GetItem(LONG key, IQvWMIInstance** pValue) override;
    HRESULT ItemToVariant(IQvWMIInstance*& item, VARIANT* result) override;
    HRESULT QueryExtraInterface(REFIID riid, void** object) override;

    std::vector<com::ComPtr<IQvWMIInstance>> instances_;
    com::FreeThreadedMarshaler marshaler_;
};

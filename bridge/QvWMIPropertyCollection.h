// The property descriptors of a class, in the order of its property list,
// by position or by exact name.
#pragma once

#include <windows.h>

#include <vector>

#include "../common/ComObject.h"
#include "../common/FreeThreadedMarshaler.h"
#include "Collections.h"
#include "Lock.h"
#include "qvWMI_h.h"

class CQvWMIPropertyCollection final
    : public com::ComObject<CQvWMIPropertyCollection,
                            CAutomationCollection<IQvWMIPropertyCollection, IQvWMIPropertyDescriptor*, BSTR>,
                            com::ErrorInfoFor<IQvWMIPropertyCollection>>,
      public CMutex {
public:
    // Holds a counted reference to each descriptor, in the given order, and
    // indexes them by Name. Reports its failures.
    static HRESULT Create(IQvWMIPropertyDescriptor* const* descriptors, size_t count,
                          IQvWMIPropertyCollection** ppProperties) noexcept;

    CQvWMIPropertyCollection() noexcept = default;

    // CEnumVARIANTCollection
    ULONG STDMETHODCALLTYPE GetItemCount() override;

private:
    ~CQvWMIPropertyCollection() override = default;

    HRESULT GetItemAt(ULONG index, IQvWMIPropertyDescriptor** pValue) override;
    HRESULT GetItem(BSTR key, IQvWMIPropertyDescriptor** pValue) override;
    HRESULT ItemToVariant(IQvWMIPropertyDescriptor*& item, VARIANT* result) override;
    HRESULT QueryExtraInterface(REFIID riid, void** object) override;

    std::vector<com::ComPtr<IQvWMIPropertyDescriptor>> descriptors_;
    CNameIndex index_;  // names of descriptors_, position for position
    com::FreeThreadedMarshaler marshaler_;
};

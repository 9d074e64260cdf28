// An instance: a snapshot of every property value of one WMI object, system
// properties included, by exact name (Field) or by position (GetAt) in the
// order WMI listed the names. It holds no WMI interface, so a client may
// keep it after releasing the connection.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <vector>

#include "../common/ComObject.h"
#include "../common/FreeThreadedMarshaler.h"
#include "../common/Raii.h"
#include "Collections.h"
#include "Lock.h"
#include "Wmi.h"
#include "qvWMI_h.h"

class CQvWMIInstance final
    : public com::ComObject<CQvWMIInstance, CAutomationCollection<IQvWMIInstance, VARIANT, BSTR>,
                            com::ErrorInfoFor<IQvWMIInstance>>,
      public CMutex {
public:
    // Snapshot of every property value of object, read within session;
    // objectPath is the queried class's path, copied. Reports its failures.
    static HRESULT Create(wmi::Session& session, BSTR objectPath, const wmi::Ref<IWbemClassObject>& object,
                          IQvWMIInstance** ppInstance) noexcept;

    CQvWMIInstance() noexcept = default;

    // IQvWMIInstance
    STDMETHODIMP get_Field(BSTR bstrPropertyName, VARIANT* pField) override;
    STDMETHODIMP get_ObjectPath(BSTR* pbstrObjectPath) override;

    // CEnumVARIANTCollection
    ULONG STDMETHODCALLTYPE GetItemCount() override;

private:
    ~CQvWMIInstance() override;

    HRESULT GetFields(wmi::Session& session, const wmi::Ref<IWbemClassObject>& object) noexcept;
    HRESULT GetItemAt(ULONG index, VARIANT* pValue) override;
    HRESULT GetItem(BSTR key, VARIANT* pValue) override;
    HRESULT ItemToVariant(VARIANT& item, VARIANT* result) override;
    HRESULT QueryExtraInterface(REFIID riid, void** object) override;

    com::UniqueBstr objectPath_;
    std::vector<VARIANT> values_;  // owned, exactly as WMI's Get produced them
    bool serialised_ = false;      // embedded objects in values_ belong to a serialised WMI
    CNameIndex index_;             // names of values_, position for position
    com::FreeThreadedMarshaler marshaler_;
};

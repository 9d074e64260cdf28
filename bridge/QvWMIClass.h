// A class object: one WMI class of a connected namespace. Lists the class's
// properties (cached once per kind) and queries its instances within the
// access object's time-out.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include "../common/ComObject.h"
#include "../common/Raii.h"
#include "Lock.h"
#include "Wmi.h"
#include "qvWMI_h.h"

class CQvWMIServer;

class CQvWMIClass final
    : public com::ComObject<CQvWMIClass, com::Dual<IQvWMIClass>, com::ErrorInfoFor<IQvWMIClass>>,
      public CMutex {
public:
    CQvWMIClass() noexcept = default;

    // Wraps a class definition that the server read for objectPath.
    static HRESULT Create(CQvWMIServer* server, const wmi::Ref<IWbemClassObject>& classDefinition,
                          const wchar_t* objectPath, IQvWMIClass** ppClass) noexcept;

    // IQvWMIClass
    STDMETHODIMP get_ObjectPath(BSTR* pbstrObjectPath) override;
    STDMETHODIMP get_KeyProperties(IQvWMIPropertyCollection** ppProperties) override;
    STDMETHODIMP get_Properties(IQvWMIPropertyCollection** ppProperties) override;
    STDMETHODIMP get_Instances(VARIANT bstrWQLFilter, IQvWMIInstanceCollection** ppInstances) override;

private:
    ~CQvWMIClass() override;
    HRESULT GetProperties(bool keysOnly, IQvWMIPropertyCollection** ppProperties) noexcept;
    HRESULT CachedProperties(bool keysOnly, const wchar_t* action, IQvWMIPropertyCollection** ppProperties);

    com::ComPtr<CQvWMIServer> server_;
    com::UniqueBstr objectPath_;
    wmi::Ref<IWbemClassObject> classDefinition_;
    com::ComPtr<IQvWMIPropertyCollection> keyProperties_;
    com::ComPtr<IQvWMIPropertyCollection> properties_;
};

// The access object, the bridge's only creatable class: the time-out, the
// process-wide security levels, Initialize (COM security and the WMI
// locator) and Connect.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include "../common/ComObject.h"
#include "Lock.h"
#include "Wmi.h"
#include "qvWMI_h.h"

// The process-wide levels, read by every server object when it sets proxy security.
LONG ProcessAuthenticationLevel() noexcept;
LONG ProcessImpersonationLevel() noexcept;

class CQvWMIAccess final
    : public com::ComObject<CQvWMIAccess, com::Dual<IQvWMIAccess>, com::ErrorInfoFor<IQvWMIAccess>>,
      public CMutex {
public:
    CQvWMIAccess() noexcept = default;

    // IQvWMIAccess
    STDMETHODIMP get_Timeout(long* plTimeout) override;
    STDMETHODIMP put_Timeout(long lTimeout) override;
    STDMETHODIMP Connect(VARIANT bstrServer, VARIANT bstrNamespace, VARIANT bstrDomain, VARIANT bstrUserName,
                         VARIANT bstrPassword, VARIANT bstrLocale, VARIANT lConnectionTimeout,
                         IQvWMIServer** ppServer) override;
    STDMETHODIMP get_ImpersonationLevel(EQvWMIImpersonationLevel* peImpersonationLevel) override;
    STDMETHODIMP put_ImpersonationLevel(EQvWMIImpersonationLevel eImpersonationLevel) override;
    STDMETHODIMP get_AuthenticationLevel(EQvWMIAuthenticationLevel* peAuthenticationLevel) override;
    STDMETHODIMP put_AuthenticationLevel(EQvWMIAuthenticationLevel eAuthenticationLevel) override;
    STDMETHODIMP Initialize() override;

    // A counted reference to the current locator (null before a successful
    // Initialize), taken under the object's lock.
    wmi::Ref<IWbemLocator> Locator() noexcept;

private:
    ~CQvWMIAccess() override;

    long timeout_ = 120000;  // milliseconds; -1 = no limit
    wmi::Ref<IWbemLocator> locator_;
};

// The access object, the bridge's only creatable class: the time-out, the
// security levels, the authentication service, Initialize (COM security and
// the WMI locator) and Connect.
//
// The levels: a put sets the process-wide value (which Initialize and the
// getters use) and the object's own; each object's own start from the
// process-wide values when it is created, and its connections use them, so
// another object's put never changes a connection of this one.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include "../common/ComObject.h"
#include "Lock.h"
#include "Wmi.h"
#include "qvWMI_h.h"

// What a connection's proxies are given: the object's service and levels
// when Connect was called.
struct ConnectionSecurity {
    EQvWMIAuthenticationService service;
    DWORD authenticationLevel;
    DWORD impersonationLevel;
};

class CQvWMIAccess final
    : public com::ComObject<CQvWMIAccess, com::Dual<IQvWMIAccess2>, com::ErrorInfoFor<IQvWMIAccess2, IQvWMIAccess>>,
      public CMutex {
public:
    CQvWMIAccess() noexcept;

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
    // IQvWMIAccess2
    STDMETHODIMP get_AuthenticationService(EQvWMIAuthenticationService* peService) override;
    STDMETHODIMP put_AuthenticationService(EQvWMIAuthenticationService eService) override;

    // A counted reference to the current locator (null before a successful
    // Initialize), taken under the object's lock.
    wmi::Ref<IWbemLocator> Locator() noexcept;

private:
    ~CQvWMIAccess() override;
    // IQvWMIAccess, the interface IQvWMIAccess2 extends.
    HRESULT QueryExtraInterface(REFIID riid, void** object) override;
    // The service and levels a connection made now uses, under the lock.
    ConnectionSecurity Security() noexcept;

    long timeout_ = 120000;  // milliseconds; -1 = no limit
    wmi::Ref<IWbemLocator> locator_;
    EQvWMIAuthenticationService service_ = QV_WMI_AUTHENTICATION_SERVICE_NTLM;
    LONG authenticationLevel_;
    LONG impersonationLevel_;
};

// A server object: one open WMI namespace. Keeps the connection's
// parameters for reading back, the services interface, the password only in
// protected form, and sets the connection's credentials on every WMI proxy.
#pragma once

#include <windows.h>
#include <wbemidl.h>

#include <string>
#include <vector>

#include "../common/ComObject.h"
#include "../common/Raii.h"
#include "Lock.h"
#include "QvWMIAccess.h"
#include "Wmi.h"
#include "qvWMI_h.h"

// What the bridge's bounded workers name as their target: the namespace's
// network path and, when given, the user.
std::wstring WmiTarget(const wchar_t* networkPath, const wchar_t* user);

// A step's time-out in milliseconds as the time a session has: -1 (no
// limit) is INFINITE, any other negative value has run out.
inline DWORD StepTime(long timeoutMs) noexcept {
    return timeoutMs == -1 ? INFINITE : timeoutMs < 0 ? 0 : static_cast<DWORD>(timeoutMs);
}

class CQvWMIServer final
    : public com::ComObject<CQvWMIServer, com::Dual<IQvWMIServer3>,
                            com::ErrorInfoFor<IQvWMIServer3, IQvWMIServer2, IQvWMIServer>>,
      public CMutex {
public:
    CQvWMIServer() noexcept = default;

    // Builds a server object over services and hands out its IQvWMIServer.
    // The strings are borrowed; a null one gives a null field. security:
    // the access object's service and levels at Connect; principal: the
    // server's principal name for Kerberos (null: none known).
    static HRESULT Create(IQvWMIAccess* access, const wmi::Ref<IWbemServices>& services, const wchar_t* server,
                          const wchar_t* nameSpace, const wchar_t* networkPath, const wchar_t* domain,
                          const wchar_t* user, const wchar_t* password, const wchar_t* locale,
                          const ConnectionSecurity& security, const wchar_t* principal,
                          IQvWMIServer** ppServer) noexcept;

    // Sets the connection's security blanket (its service, principal,
    // levels and credentials) on a WMI proxy, within session. Not reported here: the callers report the failure under
    // their own action.
    HRESULT ApplyProxySecurity(wmi::Session& session, wmi::AnyRef proxy) noexcept;

    // The access object's time-out in milliseconds.
    long Timeout() noexcept;

    // IQvWMIServer
    STDMETHODIMP get_Server(BSTR* pbstrServer) override;
    STDMETHODIMP get_Namespace(BSTR* pbstrNamespace) override;
    STDMETHODIMP get_NetworkPath(BSTR* pbstrNetworkPath) override;
    STDMETHODIMP get_Domain(BSTR* pbstrDomain) override;
    STDMETHODIMP get_User(BSTR* pbstrUser) override;
    STDMETHODIMP get_Locale(BSTR* pbstrLocale) override;
    STDMETHODIMP GetClass(BSTR bstrObjectPath, IQvWMIClass** ppClass) override;
    // IQvWMIServer2
    STDMETHODIMP Instances(BSTR bstrObjectPath, VARIANT bstrWQLFilter, IQvWMIInstanceCollection** ppInstances) override;
    // IQvWMIServer3
    STDMETHODIMP get_AuthenticationService(long* plService) override;

    // The instances of classPath that the filter selects (an argument as
    // automation passes it), pulled within the access object's time-out;
    // failures are reported under action. Shared by the class object's
    // Instances and the server's own.
    HRESULT QueryInstances(const wchar_t* action, const wchar_t* classPath, VARIANT filter,
                           IQvWMIInstanceCollection** ppInstances) noexcept;

private:
    ~CQvWMIServer() override;
    static long TimeoutOf(IQvWMIAccess* access) noexcept;
    // IQvWMIServer and IQvWMIServer2, the interfaces IQvWMIServer3 extends.
    HRESULT QueryExtraInterface(REFIID riid, void** object) override;
    HRESULT CopyField(const com::UniqueBstr& field, BSTR* out, const wchar_t* action, const wchar_t* argument);

    com::UniqueBstr server_;
    com::UniqueBstr namespace_;
    com::UniqueBstr networkPath_;
    com::UniqueBstr domain_;
    com::UniqueBstr user_;
    com::UniqueBstr locale_;
    com::UniqueBstr principal_;  // Kerberos's server principal name; null otherwise
    ConnectionSecurity security_ = {};
    com::ComPtr<IQvWMIAccess> access_;
    wmi::Ref<IWbemServices> services_;
    std::vector<BYTE> protectedPassword_;  // CryptProtectData output; empty without a password
};

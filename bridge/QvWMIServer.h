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
#include "qvWMI_h.h"

// What the bridge's bounded workers name as their target: the namespace's
// network path and, when given, the user.
std::wstring WmiTarget(const wchar_t* networkPath, const wchar_t* user);

class CQvWMIServer final
    : public com::ComObject<CQvWMIServer, com::Dual<IQvWMIServer>, com::ErrorInfoFor<IQvWMIServer>>,
      public CMutex {
public:
    CQvWMIServer() noexcept = default;

    // Builds a server object over services and hands out its IQvWMIServer.
    // The strings are borrowed; a null one gives a null field. serialise:
    // calls into this WMI take the process-wide WMI lock (Wine's own WMI).
    static HRESULT Create(IQvWMIAccess* access, IWbemServices* services, bool serialise, const wchar_t* server,
                          const wchar_t* nameSpace, const wchar_t* networkPath, const wchar_t* domain,
                          const wchar_t* user, const wchar_t* password, const wchar_t* locale,
                          IQvWMIServer** ppServer) noexcept;

    // Sets the connection's security blanket on a WMI proxy. Not reported
    // here: the callers report the failure under their own action.
    HRESULT ApplyProxySecurity(IUnknown* proxy) noexcept;

    // The access object's time-out in milliseconds.
    long Timeout() noexcept;

    IWbemServices* Services() const noexcept { return services_.Get(); }
    bool SerialisesWmi() const noexcept { return serialiseWmi_; }

    // IQvWMIServer
    STDMETHODIMP get_Server(BSTR* pbstrServer) override;
    STDMETHODIMP get_Namespace(BSTR* pbstrNamespace) override;
    STDMETHODIMP get_NetworkPath(BSTR* pbstrNetworkPath) override;
    STDMETHODIMP get_Domain(BSTR* pbstrDomain) override;
    STDMETHODIMP get_User(BSTR* pbstrUser) override;
    STDMETHODIMP get_Locale(BSTR* pbstrLocale) override;
    STDMETHODIMP GetClass(BSTR bstrObjectPath, IQvWMIClass** ppClass) override;

private:
    ~CQvWMIServer() override;
    HRESULT CopyField(const com::UniqueBstr& field, BSTR* out, const wchar_t* action, const wchar_t* argument);

    com::UniqueBstr server_;
    com::UniqueBstr namespace_;
    com::UniqueBstr networkPath_;
    com::UniqueBstr domain_;
    com::UniqueBstr user_;
    com::UniqueBstr locale_;
    com::ComPtr<IQvWMIAccess> access_;
    com::ComPtr<IWbemServices> services_;
    std::vector<BYTE> protectedPassword_;  // CryptProtectData output; empty without a password
    bool serialiseWmi_ = false;
};

// The benchmarks' way to make a plug-in object ready for km_docheck.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <wrl/client.h>

#include <string>

#include "BenchSupport.h"
#include "ostrel_h.h"

namespace bench {

// Puts the members a check reads, as the host does before each check:
// the computer, km_timeout (seconds, as text) and the parameter string.
inline void PutMembers(_WMICom* plugin, const std::wstring& hostname, const std::wstring& parameters,
                       const wchar_t* timeoutSeconds) {
    VARIANT host = Text(hostname.c_str()), timeout = Text(timeoutSeconds), parameter = Text(parameters.c_str());
    plugin->put_km_hostname(host);
    plugin->put_km_timeout(timeout);
    plugin->put_km_parameter(parameter);
    VariantClear(&host);
    VariantClear(&timeout);
    VariantClear(&parameter);
}

// A plug-in of class clsid for the local computer with the given parameter
// string and km_timeout (seconds, as text).
inline Microsoft::WRL::ComPtr<_WMICom> MakePlugin(const CLSID& clsid, const std::wstring& parameters,
                                                  const wchar_t* timeoutSeconds) {
    Microsoft::WRL::ComPtr<_WMICom> plugin;
    Check(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &plugin), "plugin");
    PutMembers(plugin.Get(), L".", parameters, timeoutSeconds);
    return plugin;
}

}  // namespace bench

// Runs km_docheck the way the monitoring host does: ostrel.WMICom created by
// its ProgID in a single-threaded apartment, members put, the check called.
#pragma once

#include <string>

#include "ParameterString.h"
#include "TestSupport.h"
#include "ostrel_h.h"

struct CheckRun {
    HRESULT hr = E_FAIL;     // what km_docheck itself returned
    bool verdict = false;
    std::wstring result;     // km_result afterwards
};

inline VARIANT TextVariant(const std::wstring& text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return v;
}

inline VARIANT NumberVariant(double number) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_R8;
    V_R8(&v) = number;
    return v;
}

// timeout: the km_timeout value as the host puts it (seconds).
inline CheckRun RunCheck(const std::wstring& host, VARIANT timeout, const std::wstring& parameters) {
    CheckRun run;
    CLSID clsid;
    ComPtr<_WMICom> check;
    run.hr = CLSIDFromProgID(L"ostrel.WMICom", &clsid);
    if (SUCCEEDED(run.hr)) run.hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__WMICom, &check);
    if (FAILED(run.hr)) return run;
    VARIANT hostValue = TextVariant(host), parameterValue = TextVariant(parameters);
    check->put_km_hostname(hostValue);
    check->put_km_timeout(timeout);
    check->put_km_parameter(parameterValue);
    VariantClear(&hostValue);
    VariantClear(&parameterValue);
    VariantClear(&timeout);
    VARIANT_BOOL verdict = VARIANT_FALSE;
    run.hr = check->km_docheck(&verdict);
    run.verdict = verdict != VARIANT_FALSE;
    VARIANT result;
    VariantInit(&result);
    check->get_km_result(&result);
    if (V_VT(&result) == VT_BSTR && V_BSTR(&result)) run.result = V_BSTR(&result);
    VariantClear(&result);
    return run;
}

// A parameter string for the usual fields.
inline std::wstring Parameters(const std::wstring& classPath, const std::wstring& filter,
                               const std::wstring& property, const std::wstring& op, const std::wstring& value,
                               const std::wstring& nameSpace = L"root\\cimv2") {
    CheckParameters fields;
    fields.nameSpace = nameSpace;
    fields.classPath = classPath;
    fields.filter = filter;
    fields.property = property;
    fields.operatorCode = op;
    fields.compareValue = value;
    std::wstring text;
    ComposeParameterString(fields, &text);
    return text;
}

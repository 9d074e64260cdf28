// Small helpers shared by the benchmark programs.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdio>
#include <cstdlib>

namespace bench {

// Ends the benchmark when a call it depends on fails.
inline void Check(HRESULT hr, const char* what) {
    if (FAILED(hr)) {
        std::fprintf(stderr, "bench: %s failed with 0x%08lX\n", what, static_cast<unsigned long>(hr));
        std::exit(1);
    }
}

// A VT_BSTR value; the caller clears it.
inline VARIANT Text(const wchar_t* text) {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_BSTR;
    V_BSTR(&v) = SysAllocString(text);
    return v;
}

// The optional-argument marker.
inline VARIANT Missing() {
    VARIANT v;
    VariantInit(&v);
    V_VT(&v) = VT_ERROR;
    V_ERROR(&v) = DISP_E_PARAMNOTFOUND;
    return v;
}

}  // namespace bench

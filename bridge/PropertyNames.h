// Property names as WMI's GetNames returns them.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <vector>

#include "../common/Raii.h"

// Copies the names of a one-dimensional SAFEARRAY of BSTR, lower to upper
// bound, and destroys the array (on every path). Another element type or
// shape fails with E_INVALIDARG.
inline HRESULT CopyNames(SAFEARRAY* names, std::vector<com::UniqueBstr>* out) noexcept {
    struct Destroy {
        SAFEARRAY* array;
        ~Destroy() {
            if (array) SafeArrayDestroy(array);
        }
    } destroy{names};
    out->clear();
    if (!names) return S_OK;
    VARTYPE type = VT_EMPTY;
    if (FAILED(SafeArrayGetVartype(names, &type)) || type != VT_BSTR || SafeArrayGetDim(names) != 1)
        return E_INVALIDARG;
    LONG lower = 0, upper = -1;
    SafeArrayGetLBound(names, 1, &lower);
    SafeArrayGetUBound(names, 1, &upper);
    BSTR* data = nullptr;
    HRESULT hr = SafeArrayAccessData(names, reinterpret_cast<void**>(&data));
    if (FAILED(hr)) return hr;
    try {
        out->reserve(static_cast<size_t>(upper - lower + 1));
        for (LONG i = 0; i <= upper - lower; ++i) {
            // Take the string over: the array is destroyed right after.
            out->emplace_back(data[i]);
            data[i] = nullptr;
        }
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    SafeArrayUnaccessData(names);
    return hr;
}

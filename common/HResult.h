// Early-return macros for HRESULT code. Each evaluates its argument once.
#pragma once

#include <windows.h>

#define RETURN_IF_FAILED(expr)                      \
    do {                                            \
        const HRESULT hr_macro_ = (expr);           \
        if (FAILED(hr_macro_)) return hr_macro_;    \
    } while (0)

#define RETURN_HR_IF(hr, condition)                 \
    do {                                            \
        if (condition) return (hr);                 \
    } while (0)

#define RETURN_IF_NULL_ALLOC(ptr)                   \
    do {                                            \
        if (!(ptr)) return E_OUTOFMEMORY;           \
    } while (0)

namespace com {

// A Win32 error code as an HRESULT: a code above zero becomes
// 0x80070000 | (code & 0xFFFF); zero or a negative value is taken unchanged.
inline HRESULT HResultFromWin32(long code) noexcept {
    return code > 0 ? static_cast<HRESULT>(0x80070000u | (static_cast<unsigned long>(code) & 0xFFFFu))
                    : static_cast<HRESULT>(code);
}

// The calling thread's last error as an HRESULT, for a call that failed: a
// last error of 0 (the call did not say why) becomes E_FAIL, never success.
inline HRESULT HResultFromLastError() noexcept {
    const DWORD error = GetLastError();
    return error ? HResultFromWin32(static_cast<long>(error)) : E_FAIL;
}

}  // namespace com

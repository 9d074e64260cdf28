// Optional VARIANT arguments as script engines pass them.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cwchar>

// The VARIANT that an argument stands for. A script passes a variable by
// reference (VT_BYREF|VT_VARIANT), so such an argument is judged by the value
// it refers to, one level deep; VT_BYREF|VT_BSTR and VT_BYREF|VT_I4 are
// copied into scratch as the by-value VARIANT they refer to (no ownership is
// taken: scratch shares the caller's string). Anything else stands for itself.
inline const VARIANT* DereferenceArgument(const VARIANT* argument, VARIANT* scratch) noexcept {
    switch (V_VT(argument)) {
    case VT_BYREF | VT_VARIANT:
        return V_VARIANTREF(argument) ? V_VARIANTREF(argument) : argument;
    case VT_BYREF | VT_BSTR:
        V_VT(scratch) = VT_BSTR;
        V_BSTR(scratch) = V_BSTRREF(argument) ? *V_BSTRREF(argument) : nullptr;
        return scratch;
    case VT_BYREF | VT_I4:
        if (!V_I4REF(argument)) return argument;
        V_VT(scratch) = VT_I4;
        V_I4(scratch) = *V_I4REF(argument);
        return scratch;
    default:
        return argument;
    }
}

// True for VT_ERROR holding DISP_E_PARAMNOTFOUND: an omitted optional argument.
inline bool IsMissing(const VARIANT* value) noexcept {
    return V_VT(value) == VT_ERROR && V_ERROR(value) == DISP_E_PARAMNOTFOUND;
}

// True for a string that holds a character of code 0 before its end: WMI and
// the system would read only the text before it, so it is refused rather
// than cut short silently.
inline bool HasEmbeddedNul(BSTR text) noexcept {
    return text && wcslen(text) != SysStringLen(text);
}
inline bool HasEmbeddedNul(const VARIANT* value) noexcept {
    return V_VT(value) == VT_BSTR && HasEmbeddedNul(V_BSTR(value));
}

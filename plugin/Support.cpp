#include "Support.h"

#include <oleauto.h>

#include "../common/HResult.h"
#include "CheckRules.h"

LONG SetTopMost(HWND window, bool topMost) noexcept {
    constexpr UINT kKeepPlace = SWP_NOMOVE | SWP_NOSIZE;
    if (topMost) return SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, kKeepPlace);
    SetWindowPos(window, HWND_NOTOPMOST, 0, 0, 0, 0, kKeepPlace);
    return 0;
}

HRESULT ReadSecondsAsMilliseconds(const std::wstring& text, LCID lcid, long* milliseconds) noexcept {
    if (!milliseconds) return E_POINTER;
    double seconds = 0;
    RETURN_IF_FAILED(VarR8FromStr(const_cast<OLECHAR*>(text.c_str()), lcid, 0, &seconds));
    return RoundToLong(seconds * 1000.0, milliseconds);
}

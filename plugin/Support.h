// Small helpers of the configuration form: keeping a window on top and
// reading the time-out field.
#pragma once

#include <windows.h>

#include <string>

// Makes the window topmost (topMost true) or not, without moving or sizing
// it. Returns SetWindowPos's result when making it topmost, and 0 otherwise.
// GetLastError() right after the call tells why SetWindowPos failed.
LONG SetTopMost(HWND window, bool topMost) noexcept;

// Reads text as seconds in the number format of lcid and gives them in whole
// milliseconds, halves rounded to the even one. Text that is no number (empty
// text and letters included) fails with DISP_E_TYPEMISMATCH; a value beyond
// the 32-bit range with DISP_E_OVERFLOW.
HRESULT ReadSecondsAsMilliseconds(const std::wstring& text, LCID lcid, long* milliseconds) noexcept;

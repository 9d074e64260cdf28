// frmmain: the configuration form of one check, a modal dialog in which the
// user composes the check's parameter string. Each WMICom object owns one;
// every Show opens a freshly loaded dialog.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

class frmmain {
public:
    frmmain() noexcept = default;
    frmmain(const frmmain&) = delete;
    frmmain& operator=(const frmmain&) = delete;

    // Fills the form from the host's members (host name and time-out trimmed
    // of spaces, the parameter string field by field, or the defaults of a
    // new check when it is empty), shows it modally and topmost, without an
    // owner, and returns when it closes.
    // S_OK: closed by OK; *composed holds the new parameter string.
    // S_FALSE: closed with the close box; *composed is left alone.
    // Fails without showing anything when a member has no text (Null, an
    // object) or the password does not decode; E_UNEXPECTED while the form
    // is already open.
    HRESULT Show(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter,
                 std::wstring* composed) noexcept;

    // What the form opens with, read from the members before it opens.
    struct Filling;

private:

    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    // WM_INITDIALOG: geometry, caption, operator list, the filling, topmost.
    HRESULT Load() noexcept;
    // btList: lists the class's properties through the bridge.
    void ListProperties() noexcept;
    // btOK: composes the parameter string and closes the form.
    void Accept() noexcept;

    HWND window_ = nullptr;
    const Filling* filling_ = nullptr;  // owned by Show while the form is open
    std::wstring composed_;
    HRESULT loadResult_ = S_OK;
    bool listing_ = false;
};

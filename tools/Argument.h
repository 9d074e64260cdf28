// An argument as automation passes it to the bridge or the plug-in.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <new>
#include <string>

#include "../common/Raii.h"

// A VT_BSTR argument (or the "omitted" marker for an empty text when
// omitEmpty), wiped before it is freed: it may hold the password.
class Argument {
public:
    explicit Argument(const std::wstring& text, bool omitEmpty = false) { Set(text, omitEmpty); }
    // A temporary text is wiped once copied: `withUser ? password : L""`
    // makes a copy of the password that nothing else would wipe.
    explicit Argument(std::wstring&& text, bool omitEmpty = false) {
        struct Wiper {
            std::wstring* text;
            ~Wiper() { com::WipeString(*text); }
        } wiper{&text};
        Set(text, omitEmpty);
    }
    explicit Argument(long number) {
        VariantInit(&value_);
        V_VT(&value_) = VT_I4;
        V_I4(&value_) = number;
    }
    // The "omitted" marker.
    static Argument Omitted() { return Argument(std::wstring(), true); }
    ~Argument() {
        if (V_VT(&value_) == VT_BSTR && V_BSTR(&value_))
            com::SecureZero(V_BSTR(&value_), SysStringByteLen(V_BSTR(&value_)));
        VariantClear(&value_);
    }
    Argument(const Argument&) = delete;
    Argument& operator=(const Argument&) = delete;
    operator VARIANT() const noexcept { return value_; }

private:
    void Set(const std::wstring& text, bool omitEmpty) {
        VariantInit(&value_);
        if (omitEmpty && text.empty()) {
            V_VT(&value_) = VT_ERROR;
            V_ERROR(&value_) = DISP_E_PARAMNOTFOUND;
            return;
        }
        V_VT(&value_) = VT_BSTR;
        V_BSTR(&value_) = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
        if (!V_BSTR(&value_)) throw std::bad_alloc();
    }

    VARIANT value_;
};

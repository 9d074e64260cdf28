#include "CheckRules.h"

#include <array>
#include <cmath>
#include <new>
#include <string>

#include "../common/HResult.h"
#include "../common/Raii.h"
#include "CommandLine.h"
#include "Operators.h"

namespace {

// Wide text as the core reads it, and back.
std::string Utf8(const std::wstring& text) {
    std::string out;
    AssignUtf8(&out, text.data(), text.size());
    return out;
}

std::wstring Wide(const std::string& text) {
    std::wstring out;
    AssignWide(&out, text.data(), text.size());
    return out;
}

bool IsNull(const VARIANT& value) {
    if (V_VT(&value) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(&value))
        return V_VT(V_VARIANTREF(&value)) == VT_NULL;
    return V_VT(&value) == VT_NULL;
}

// Types with no text and no number: VariantChangeType would call into an
// object or invent a text for them.
bool HasNoScalarForm(VARTYPE vt) {
    return (vt & VT_ARRAY) || vt == VT_DISPATCH || vt == VT_UNKNOWN || vt == VT_ERROR || vt == VT_RECORD;
}

// value with references resolved, or DISP_E_TYPEMISMATCH for a value that
// has neither text nor number.
HRESULT ScalarCopy(const VARIANT& value, com::UniqueVariant* copy) {
    if (HasNoScalarForm(V_VT(&value) & ~VT_BYREF)) return DISP_E_TYPEMISMATCH;
    RETURN_IF_FAILED(VariantCopyInd(copy->put(), const_cast<VARIANT*>(&value)));
    if (HasNoScalarForm(V_VT(copy->get()))) return DISP_E_TYPEMISMATCH;
    return S_OK;
}

}  // namespace

static_assert(kOperatorCount == check::kOperatorCount, "the plug-in lists the core's operators");

const wchar_t* OperatorCodeAt(long position) noexcept {
    // Wide copies of the core's codes, made once (three characters each: no
    // allocation).
    static const std::array<std::wstring, kOperatorCount> codes = [] {
        std::array<std::wstring, kOperatorCount> wide;
        for (long i = 0; i < kOperatorCount; ++i) wide[i] = Wide(check::OperatorCodeAt(i));
        return wide;
    }();
    return codes[position >= 0 && position < kOperatorCount ? position : 0].c_str();
}

long OperatorPosition(const std::wstring& code) noexcept try {
    return check::OperatorPosition(Utf8(code));
} catch (const std::bad_alloc&) {
    return -1;
}

double ReadNumber(const std::wstring& text) noexcept { return ReadNumber(text, L'.'); }

wchar_t DecimalSeparator(LCID lcid) noexcept {
    wchar_t separator[4] = {};
    // A separator of one character that cannot be part of a number otherwise.
    if (GetLocaleInfoW(lcid, LOCALE_SDECIMAL, separator, 4) != 2) return L'.';
    const wchar_t c = separator[0];
    const bool usable = c != L' ' && c != L'\t' && c != L'\n' && c != L'+' && c != L'-' && c != L'&' &&
                        !(c >= L'0' && c <= L'9') && !(c >= L'A' && c <= L'Z') && !(c >= L'a' && c <= L'z');
    return usable ? c : L'.';
}

double ReadNumber(const std::wstring& text, wchar_t decimalSeparator) noexcept try {
    return check::ReadNumber(Utf8(text), Utf8(std::wstring(1, decimalSeparator)));
} catch (const std::bad_alloc&) {
    return 0;
}

HRESULT RoundToLong(double value, long* result) noexcept {
    if (!result) return E_POINTER;
    if (!std::isfinite(value)) return DISP_E_OVERFLOW;
    double rounded = std::floor(value);
    const double fraction = value - rounded;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(rounded, 2.0) != 0)) rounded += 1;
    if (rounded < -2147483648.0 || rounded > 2147483647.0) return DISP_E_OVERFLOW;
    *result = static_cast<long>(rounded);
    return S_OK;
}

HRESULT ValueText(const VARIANT& value, std::wstring* text, LCID lcid) noexcept try {
    if (!text) return E_POINTER;
    com::UniqueVariant copy;
    RETURN_IF_FAILED(ScalarCopy(value, &copy));
    switch (V_VT(copy.get())) {
        case VT_EMPTY:
        case VT_NULL:
            text->clear();
            return S_OK;
        case VT_BOOL:
            // The words themselves, in every locale.
            *text = V_BOOL(copy.get()) ? L"True" : L"False";
            return S_OK;
        case VT_BSTR: {
            const BSTR bstr = V_BSTR(copy.get());
            text->assign(bstr ? bstr : L"", bstr ? SysStringLen(bstr) : 0);
            return S_OK;
        }
        default: {
            // Numbers and dates in the locale's own format.
            com::UniqueVariant converted;
            RETURN_IF_FAILED(VariantChangeTypeEx(converted.put(), copy.get(), lcid, 0, VT_BSTR));
            const BSTR bstr = V_BSTR(converted.get());
            text->assign(bstr ? bstr : L"", bstr ? SysStringLen(bstr) : 0);
            return S_OK;
        }
    }
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

HRESULT ValueNumber(const VARIANT& value, double* number, LCID lcid) noexcept {
    if (!number) return E_POINTER;
    com::UniqueVariant copy;
    RETURN_IF_FAILED(ScalarCopy(value, &copy));
    if (V_VT(copy.get()) == VT_NULL) return DISP_E_TYPEMISMATCH;
    // Texts go through the locale's own conversion (decimal and thousands
    // separators as the user has them); numbers and booleans convert directly.
    com::UniqueVariant converted;
    RETURN_IF_FAILED(VariantChangeTypeEx(converted.put(), copy.get(), lcid, 0, VT_R8));
    *number = V_R8(converted.get());
    return S_OK;
}

HRESULT EvaluateOperator(const std::wstring& name, const VARIANT& value, const std::wstring& operatorCode,
                         const std::wstring& compareValue, Evaluation* evaluation, LCID lcid) noexcept try {
    if (!evaluation) return E_POINTER;
    std::wstring text;
    RETURN_IF_FAILED(ValueText(value, &text, lcid));
    // The value's text and number in the locale, as the core compares them.
    const bool null = IsNull(value);
    const std::string code = Utf8(operatorCode);
    double number = 0;
    if (check::IsOrderingOperator(code) && !null) RETURN_IF_FAILED(ValueNumber(value, &number, lcid));
    check::Evaluation result;
    if (!check::EvaluateOperator(Utf8(name), Utf8(text), null, &number, code, Utf8(compareValue),
                                 Utf8(std::wstring(1, DecimalSeparator(lcid))), &result))
        return DISP_E_TYPEMISMATCH;
    evaluation->resultText = Wide(result.resultText);
    evaluation->verdict = result.verdict;
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

#include "CheckRules.h"

#include <charconv>
#include <cmath>
#include <new>
#include <string>

#include "../common/HResult.h"
#include "../common/Raii.h"

namespace {

enum class Test { Contains, NotContains, Equal, Different, Less, LessOrEqual, More, MoreOrEqual };

struct Operator {
    const wchar_t* code;
    Test test;
    const wchar_t* satisfied;     // null: no phrase, and no compare value either
    const wchar_t* notSatisfied;
};

// In the order of the form's operator list.
constexpr Operator kOperators[kOperatorCount] = {
    {L"CON", Test::Contains, L" (contains ", L" (doesn't contain "},
    {L"NCO", Test::NotContains, L" (doesn't contain ", L" (contains "},
    {L"EXA", Test::Equal, nullptr, L" (not the same as "},
    {L"DIF", Test::Different, L" (different from ", L" (not different from "},
    {L"LES", Test::Less, L" (<", L" (!! not <"},
    {L"LEQ", Test::LessOrEqual, L" (<=", L" (!! not <="},
    {L"MOR", Test::More, L" (>", L" (!! not >"},
    {L"MEQ", Test::MoreOrEqual, L" (=>", L" (!! not =>"},
};

bool IsOrdering(Test test) {
    return test == Test::Less || test == Test::LessOrEqual || test == Test::More || test == Test::MoreOrEqual;
}

// An empty compare value occurs in every non-empty text, but not in "".
bool Contains(const std::wstring& text, const std::wstring& part) {
    return !text.empty() && text.find(part) != std::wstring::npos;
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

// Reading position over a text, passing over blanks, tabs and line feeds
// wherever they stand ("1 000" reads as 1000). A text's end, or a character
// of code 0, reads as 0.
class NumberScanner {
public:
    explicit NumberScanner(const std::wstring& text) : text_(text) {}
    wchar_t Peek() {
        while (position_ < text_.size() && IsSkipped(text_[position_])) ++position_;
        return position_ < text_.size() ? text_[position_] : L'\0';
    }
    void Advance() { ++position_; }

private:
    static bool IsSkipped(wchar_t c) { return c == L' ' || c == L'\t' || c == L'\n'; }
    const std::wstring& text_;
    size_t position_ = 0;
};

double ReadInteger(NumberScanner& scanner, unsigned base) {
    double value = 0;
    for (;;) {
        const wchar_t c = scanner.Peek();
        unsigned digit;
        if (c >= L'0' && c <= L'9') digit = c - L'0';
        else if (c >= L'A' && c <= L'F') digit = c - L'A' + 10;
        else if (c >= L'a' && c <= L'f') digit = c - L'a' + 10;
        else break;
        if (digit >= base) break;
        value = value * base + digit;
        scanner.Advance();
    }
    return value;
}

// Where from_chars reports a result beyond a double: infinity when the first
// significant digit stands far enough left of the decimal point, 0 otherwise.
double OutOfRange(const std::string& mantissa, long exponent) {
    const size_t first = mantissa.find_first_of("123456789");
    if (first == std::string::npos) return 0.0;
    size_t point = mantissa.find('.');
    if (point == std::string::npos) point = mantissa.size();
    const long magnitude =
        first < point ? static_cast<long>(point - first) : -static_cast<long>(first - point - 1);
    return magnitude + exponent > 0 ? HUGE_VAL : 0.0;
}

}  // namespace

const wchar_t* OperatorCodeAt(long position) noexcept {
    return position >= 0 && position < kOperatorCount ? kOperators[position].code : kOperators[0].code;
}

long OperatorPosition(const std::wstring& code) noexcept {
    for (long i = 0; i < kOperatorCount; ++i)
        if (code == kOperators[i].code) return i;
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

double ReadNumber(const std::wstring& text, wchar_t decimalSeparator) noexcept {
    NumberScanner scanner(text);
    if (scanner.Peek() == L'&') {
        scanner.Advance();
        const wchar_t prefix = scanner.Peek();
        if (prefix != L'H' && prefix != L'h' && prefix != L'O' && prefix != L'o') return 0;
        scanner.Advance();
        return ReadInteger(scanner, prefix == L'H' || prefix == L'h' ? 16 : 8);
    }

    bool negative = false;
    if (scanner.Peek() == L'+' || scanner.Peek() == L'-') {
        negative = scanner.Peek() == L'-';
        scanner.Advance();
    }
    // Only ASCII digits and one period make it into the mantissa.
    std::string mantissa;
    bool digits = false, point = false;
    for (;;) {
        const wchar_t c = scanner.Peek();
        if (c >= L'0' && c <= L'9') {
            mantissa += static_cast<char>(c);
            digits = true;
        } else if ((c == L'.' || c == decimalSeparator) && !point) {
            mantissa += '.';
            point = true;
        } else {
            break;
        }
        scanner.Advance();
    }
    if (!digits) return 0;

    long exponent = 0;
    const wchar_t marker = scanner.Peek();
    if (marker == L'E' || marker == L'e' || marker == L'D' || marker == L'd') {
        scanner.Advance();
        bool negativeExponent = false;
        if (scanner.Peek() == L'+' || scanner.Peek() == L'-') {
            negativeExponent = scanner.Peek() == L'-';
            scanner.Advance();
        }
        // Far beyond any double's range already; keeps the sum from overflowing.
        constexpr long kExponentLimit = 100000;
        for (wchar_t c = scanner.Peek(); c >= L'0' && c <= L'9'; c = scanner.Peek()) {
            if (exponent < kExponentLimit) exponent = exponent * 10 + (c - L'0');
            scanner.Advance();
        }
        if (negativeExponent) exponent = -exponent;
    }

    const std::string number = mantissa + "e" + std::to_string(exponent);
    double value = 0;
    const std::from_chars_result parsed = std::from_chars(number.data(), number.data() + number.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) value = OutOfRange(mantissa, exponent);
    return negative ? -value : value;
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

    Evaluation result;
    result.resultText = name + L"=" + text;
    const long position = OperatorPosition(operatorCode);
    if (position < 0) {
        *evaluation = std::move(result);
        return S_OK;
    }
    const Operator& op = kOperators[position];

    const bool null = IsNull(value);
    double number = 0;
    if (IsOrdering(op.test) && !null) RETURN_IF_FAILED(ValueNumber(value, &number, lcid));
    // The compare value reads like the value it is compared with: the
    // locale's decimal separator counts as well as the period.
    const double compareNumber = ReadNumber(compareValue, DecimalSeparator(lcid));

    bool satisfied = false;
    if (!null) {
        switch (op.test) {
            case Test::Contains: satisfied = Contains(text, compareValue); break;
            case Test::NotContains: satisfied = !Contains(text, compareValue); break;
            case Test::Equal: satisfied = text == compareValue; break;
            case Test::Different: satisfied = text != compareValue; break;
            case Test::Less: satisfied = number < compareNumber; break;
            case Test::LessOrEqual: satisfied = number <= compareNumber; break;
            case Test::More: satisfied = number > compareNumber; break;
            case Test::MoreOrEqual: satisfied = number >= compareNumber; break;
        }
    }
    result.verdict = satisfied;
    if (const wchar_t* phrase = satisfied ? op.satisfied : op.notSatisfied)
        result.resultText += phrase + compareValue + L")";
    *evaluation = std::move(result);
    return S_OK;
} catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
}

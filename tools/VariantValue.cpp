#include "VariantValue.h"

#include <cmath>

#include "../common/Raii.h"
#include "CheckRules.h"
#include "CommandLine.h"

namespace {

// A VARIANT type that holds a number (WMI gives a boolean as VT_BOOL and a
// 64-bit integer as text).
bool IsNumberType(VARTYPE type) {
    switch (type) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_DECIMAL: case VT_CY:
        return true;
    default:
        return false;
    }
}

// The elements of a one-dimensional array of texts, numbers, booleans or
// variants; none for any other.
void ReadItems(const VARIANT& array, LCID lcid, std::vector<check::Value>* items) {
    const VARTYPE element = V_VT(&array) & ~(VT_ARRAY | VT_BYREF);
    SAFEARRAY* safe = (V_VT(&array) & VT_BYREF) ? (V_ARRAYREF(&array) ? *V_ARRAYREF(&array) : nullptr) : V_ARRAY(&array);
    LONG low = 0, high = -1;
    if (!safe || SafeArrayGetDim(safe) != 1 || FAILED(SafeArrayGetLBound(safe, 1, &low)) ||
        FAILED(SafeArrayGetUBound(safe, 1, &high)))
        return;
    // A DECIMAL fills the whole VARIANT: not read as an element.
    if (element != VT_VARIANT && element != VT_BSTR && element != VT_BOOL && (!IsNumberType(element) || element == VT_DECIMAL))
        return;
    for (LONG i = low; i <= high; ++i) {
        com::UniqueVariant item;
        HRESULT hr;
        if (element == VT_VARIANT) {
            hr = SafeArrayGetElement(safe, &i, item.put());
        } else {
            // The element's bytes into a VARIANT of its type (a BSTR is copied).
            VARIANT* target = item.put();
            V_VT(target) = element;
            hr = SafeArrayGetElement(safe, &i, &V_UI1(target));
            if (FAILED(hr)) V_VT(target) = VT_EMPTY;
        }
        if (FAILED(hr)) return;
        items->push_back(ValueOfVariant(*item.get(), lcid));
    }
}

}  // namespace

check::Value ValueOfVariant(const VARIANT& variant, LCID lcid) {
    using Kind = check::Value::Kind;
    check::Value value;
    const VARTYPE type = V_VT(&variant) & ~VT_BYREF;
    if (type == VT_NULL || type == VT_EMPTY) return value;
    if (type & VT_ARRAY) value.kind = Kind::Array;
    else if (type == VT_DISPATCH || type == VT_UNKNOWN) value.kind = Kind::Object;
    else if (type == VT_BOOL) value.kind = Kind::Boolean;
    else if (IsNumberType(type)) value.kind = Kind::Number;
    else value.kind = Kind::Text;
    std::wstring text;
    value.hasText = SUCCEEDED(ValueText(variant, &text, lcid));
    if (value.hasText) AssignUtf8(&value.text, text.data(), text.size());
    double number = 0;
    value.hasNumber = SUCCEEDED(ValueNumber(variant, &number, lcid)) && std::isfinite(number);
    if (value.hasNumber) value.number = number;
    if (value.kind == Kind::Array) ReadItems(variant, lcid, &value.items);
    return value;
}

// The check's rules for one property value: reading numbers from text, the
// text form of a value, and the eight compare operators with the result text
// they build. Plain functions without state or COM objects; none throws.
// The operators and the reading of numbers are the check core's
// (check/Operators.h): these read a VARIANT's text and number in the locale
// and hand them over as UTF-8.
//
// lcid selects the locale for the decimal separator and the text-to-number
// conversion of values; callers pass the default (the user's locale), tests
// pass a fixed one.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

// The operator codes in the order of the form's list; a position outside the
// list gives "CON".
constexpr int kOperatorCount = 8;
const wchar_t* OperatorCodeAt(long position) noexcept;
// The list position of an operator code (compared exactly), or -1.
long OperatorPosition(const std::wstring& code) noexcept;

// The leading number of a text: blanks, tabs and line feeds are skipped
// anywhere; sign, digits, one period, exponent with E or D; "&H" and "&O"
// read a hexadecimal or octal integer. Text without a number reads as 0; a
// number too large for a double reads as infinity. Never fails.
double ReadNumber(const std::wstring& text) noexcept;
// The same, where decimalSeparator (the locale's, for example ",") serves as
// the decimal point as well as the period.
double ReadNumber(const std::wstring& text, wchar_t decimalSeparator) noexcept;

// The locale's decimal separator when it is one character that cannot be
// read as part of a number otherwise; "." if not.
wchar_t DecimalSeparator(LCID lcid) noexcept;

// value rounded to the nearest 32-bit integer, halves to the even one.
// DISP_E_OVERFLOW when the result lies outside the 32-bit range.
HRESULT RoundToLong(double value, long* result) noexcept;

// The value as text: texts unchanged, numbers in decimal with the locale's
// decimal separator, booleans True or False, NULL and Empty as "".
// Arrays, objects, errors and records have no text form: DISP_E_TYPEMISMATCH.
HRESULT ValueText(const VARIANT& value, std::wstring* text, LCID lcid = LOCALE_USER_DEFAULT) noexcept;

// The value as a number for the ordering operators: numbers as they are
// (True -1, False 0), texts by the locale's text-to-number conversion.
// DISP_E_TYPEMISMATCH for text that is no number, for NULL, arrays and
// objects; DISP_E_OVERFLOW for a number beyond a double.
HRESULT ValueNumber(const VARIANT& value, double* number, LCID lcid = LOCALE_USER_DEFAULT) noexcept;

// The outcome of one matching instance.
struct Evaluation {
    bool verdict = false;     // the condition holds
    std::wstring resultText;  // name + "=" + value text + phrase [+ compare value + ")"]
};

// Compares value (the property name's value of one instance) with
// compareValue by operatorCode and builds the result text. An unknown code
// gives name + "=" + value text and false. A NULL value satisfies no
// operator. Fails, leaving *evaluation unchanged, when the value has no text
// form, is an array or object, or is a text that does not read as a number
// under LES, LEQ, MOR or MEQ (DISP_E_TYPEMISMATCH), or on E_OUTOFMEMORY.
// The compare value never fails: without a leading number it reads as 0.
HRESULT EvaluateOperator(const std::wstring& name, const VARIANT& value, const std::wstring& operatorCode,
                         const std::wstring& compareValue, Evaluation* evaluation,
                         LCID lcid = LOCALE_USER_DEFAULT) noexcept;

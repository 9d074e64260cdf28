// The eight compare operators of a check, with the result text they build,
// and the reading of a compare value as a number: the rules the plug-in's
// check and both wmicheck builds share. Portable C++ on UTF-8 text.
#pragma once

#include <string>

namespace check {

// The operator codes in the order of the plug-in form's list; a position
// outside the list gives "CON".
constexpr int kOperatorCount = 8;
const char* OperatorCodeAt(long position) noexcept;
// The list position of an operator code (compared exactly), or -1.
long OperatorPosition(const std::string& code) noexcept;
// LES, LEQ, MOR, MEQ: the operators that compare numbers.
bool IsOrderingOperator(const std::string& code) noexcept;

// The leading number of a text: blanks, tabs and line feeds are skipped
// anywhere; sign, digits, one period (or decimalSeparator, a UTF-8
// sequence such as ","), exponent with E or D; "&H" and "&O" read a
// hexadecimal or octal integer. Text without a number reads as 0; a number
// too large for a double reads as infinity. Never fails.
double ReadNumber(const std::string& text, const std::string& decimalSeparator = ".") noexcept;

// The outcome of one matching instance.
struct Evaluation {
    bool verdict = false;     // the condition holds
    std::string resultText;   // name + "=" + value text + phrase [+ compare value + ")"]
};

// Compares a value (its text; null; its number for the ordering operators,
// nullptr when it has none) with compareValue by operatorCode and builds the
// result text. An unknown code gives name + "=" + text and false. A null
// value satisfies no operator. False, *evaluation unchanged, when an
// ordering operator meets a value that is not null and has no number. The
// compare value never fails: without a leading number it reads as 0, with
// decimalSeparator counting as well as the period. May throw std::bad_alloc.
bool EvaluateOperator(const std::string& name, const std::string& text, bool null, const double* number,
                      const std::string& operatorCode, const std::string& compareValue,
                      const std::string& decimalSeparator, Evaluation* evaluation);

}  // namespace check

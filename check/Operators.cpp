#include "Operators.h"

#include <charconv>
#include <cmath>

namespace check {
namespace {

enum class Test { Contains, NotContains, Equal, Different, Less, LessOrEqual, More, MoreOrEqual };

struct Operator {
    const char* code;
    Test test;
    const char* satisfied;  // null: no phrase, and no compare value either
    const char* notSatisfied;
};

// In the order of the form's operator list.
constexpr Operator kOperators[kOperatorCount] = {
    {"CON", Test::Contains, " (contains ", " (doesn't contain "},
    {"NCO", Test::NotContains, " (doesn't contain ", " (contains "},
    {"EXA", Test::Equal, nullptr, " (not the same as "},
    {"DIF", Test::Different, " (different from ", " (not different from "},
    {"LES", Test::Less, " (<", " (!! not <"},
    {"LEQ", Test::LessOrEqual, " (<=", " (!! not <="},
    {"MOR", Test::More, " (>", " (!! not >"},
    {"MEQ", Test::MoreOrEqual, " (=>", " (!! not =>"},
};

bool IsOrdering(Test test) {
    return test == Test::Less || test == Test::LessOrEqual || test == Test::More || test == Test::MoreOrEqual;
}

// An empty compare value occurs in every non-empty text, but not in "".
bool Contains(const std::string& text, const std::string& part) {
    return !text.empty() && text.find(part) != std::string::npos;
}

// Reading position over a text, passing over blanks, tabs and line feeds
// wherever they stand ("1 000" reads as 1000). A text's end, or a character
// of code 0, reads as 0.
class NumberScanner {
public:
    NumberScanner(const std::string& text, const std::string& separator) : text_(text), separator_(separator) {}
    char Peek() {
        while (position_ < text_.size() && IsSkipped(text_[position_])) ++position_;
        return position_ < text_.size() ? text_[position_] : '\0';
    }
    void Advance() { ++position_; }
    // The decimal separator at the position (after blanks): moved past it.
    bool TakeSeparator() {
        Peek();
        if (separator_.empty() || text_.compare(position_, separator_.size(), separator_) != 0) return false;
        position_ += separator_.size();
        return true;
    }

private:
    static bool IsSkipped(char c) { return c == ' ' || c == '\t' || c == '\n'; }
    const std::string& text_;
    const std::string& separator_;
    size_t position_ = 0;
};

double ReadInteger(NumberScanner& scanner, unsigned base) {
    double value = 0;
    for (;;) {
        const char c = scanner.Peek();
        unsigned digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
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

const char* OperatorCodeAt(long position) noexcept {
    return position >= 0 && position < kOperatorCount ? kOperators[position].code : kOperators[0].code;
}

long OperatorPosition(const std::string& code) noexcept {
    for (long i = 0; i < kOperatorCount; ++i)
        if (code == kOperators[i].code) return i;
    return -1;
}

bool IsOrderingOperator(const std::string& code) noexcept {
    const long position = OperatorPosition(code);
    return position >= 0 && IsOrdering(kOperators[position].test);
}

double ReadNumber(const std::string& text, const std::string& decimalSeparator) noexcept try {
    NumberScanner scanner(text, decimalSeparator);
    if (scanner.Peek() == '&') {
        scanner.Advance();
        const char prefix = scanner.Peek();
        if (prefix != 'H' && prefix != 'h' && prefix != 'O' && prefix != 'o') return 0;
        scanner.Advance();
        return ReadInteger(scanner, prefix == 'H' || prefix == 'h' ? 16 : 8);
    }

    bool negative = false;
    if (scanner.Peek() == '+' || scanner.Peek() == '-') {
        negative = scanner.Peek() == '-';
        scanner.Advance();
    }
    // Only ASCII digits and one period make it into the mantissa.
    std::string mantissa;
    bool digits = false, point = false;
    for (;;) {
        const char c = scanner.Peek();
        if (c >= '0' && c <= '9') {
            mantissa += c;
            digits = true;
            scanner.Advance();
        } else if (!point && (c == '.' ? (scanner.Advance(), true) : scanner.TakeSeparator())) {
            mantissa += '.';
            point = true;
        } else {
            break;
        }
    }
    if (!digits) return 0;

    long exponent = 0;
    const char marker = scanner.Peek();
    if (marker == 'E' || marker == 'e' || marker == 'D' || marker == 'd') {
        scanner.Advance();
        bool negativeExponent = false;
        if (scanner.Peek() == '+' || scanner.Peek() == '-') {
            negativeExponent = scanner.Peek() == '-';
            scanner.Advance();
        }
        // Far beyond any double's range already; keeps the sum from overflowing.
        constexpr long kExponentLimit = 100000;
        for (char c = scanner.Peek(); c >= '0' && c <= '9'; c = scanner.Peek()) {
            if (exponent < kExponentLimit) exponent = exponent * 10 + (c - '0');
            scanner.Advance();
        }
        if (negativeExponent) exponent = -exponent;
    }

    const std::string number = mantissa + "e" + std::to_string(exponent);
    double value = 0;
    const std::from_chars_result parsed = std::from_chars(number.data(), number.data() + number.size(), value);
    if (parsed.ec == std::errc::result_out_of_range) value = OutOfRange(mantissa, exponent);
    return negative ? -value : value;
} catch (...) {
    return 0;  // only an allocation can fail; a text that cannot be read reads as 0
}

bool EvaluateOperator(const std::string& name, const std::string& text, bool null, const double* number,
                      const std::string& operatorCode, const std::string& compareValue,
                      const std::string& decimalSeparator, Evaluation* evaluation) {
    Evaluation result;
    result.resultText = name + "=" + text;
    const long position = OperatorPosition(operatorCode);
    if (position < 0) {
        *evaluation = std::move(result);
        return true;
    }
    const Operator& op = kOperators[position];
    if (IsOrdering(op.test) && !null && !number) return false;
    const double value = number ? *number : 0;
    const double compareNumber = ReadNumber(compareValue, decimalSeparator);

    bool satisfied = false;
    if (!null) {
        switch (op.test) {
            case Test::Contains: satisfied = Contains(text, compareValue); break;
            case Test::NotContains: satisfied = !Contains(text, compareValue); break;
            case Test::Equal: satisfied = text == compareValue; break;
            case Test::Different: satisfied = text != compareValue; break;
            case Test::Less: satisfied = value < compareNumber; break;
            case Test::LessOrEqual: satisfied = value <= compareNumber; break;
            case Test::More: satisfied = value > compareNumber; break;
            case Test::MoreOrEqual: satisfied = value >= compareNumber; break;
        }
    }
    result.verdict = satisfied;
    if (const char* phrase = satisfied ? op.satisfied : op.notSatisfied)
        result.resultText += phrase + compareValue + ")";
    *evaluation = std::move(result);
    return true;
}

}  // namespace check

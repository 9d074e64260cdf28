// Monitoring-plugin states and threshold ranges. Plain C++ without COM, so
// the rules are easy to test on their own.
//
// A range says when a value alerts:
//   N      outside 0..N            N:     below N
//   ~:N    above N                 N:M    outside N..M
//   @N:M   inside N..M (also @N, @N:, @~:N)
// Ends are inclusive: 10:20 does not alert at 10 or 20, @10:20 does. Numbers
// are decimals with "." and an optional leading "-"; an empty start is 0.
#pragma once

#include <string>

enum class State { Ok = 0, Warning = 1, Critical = 2, Unknown = 3 };

// The process exit code of a state (0, 1, 2, 3).
inline int ExitCode(State state) noexcept { return static_cast<int>(state); }
// "OK", "WARNING", "CRITICAL", "UNKNOWN".
const char* StateName(State state) noexcept;
// The worse of two states: CRITICAL over WARNING over UNKNOWN over OK, so an
// unreadable value never hides behind OK, and an alert is never hidden behind
// an unreadable value.
State Worse(State a, State b) noexcept;

class Range {
public:
    // Reads text; false (the range unchanged) when it is malformed: no
    // number where one belongs, a start above the end, or anything left over.
    bool Parse(const std::string& text);
    bool Alerts(double value) const noexcept;
    bool IsSet() const noexcept { return !text_.empty(); }
    // The range as given, for the warn and crit fields of performance data.
    const std::string& Text() const noexcept { return text_; }

private:
    std::string text_;
    double start_ = 0, end_ = 0;
    bool startInfinite_ = false, endInfinite_ = false, inside_ = false;
};

// A whole text as a decimal number: an optional leading "-", digits with an
// optional fraction after ".". False for anything else (exponents, "+",
// blanks, other separators).
bool ReadDecimal(const std::string& text, double* value);

// The state of one value under optional warning and critical ranges.
State Classify(double value, const Range& warning, const Range& critical) noexcept;

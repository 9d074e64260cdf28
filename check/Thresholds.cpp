#include "Thresholds.h"

#include <charconv>
#include <string>

bool ReadDecimal(const std::string& text, double* value) {
    std::string ascii;
    bool digits = false, point = false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '-' && i == 0) {
        } else if (c >= '0' && c <= '9') {
            digits = true;
        } else if (c == '.' && !point) {
            point = true;
        } else {
            return false;
        }
        ascii += c;
    }
    if (!digits) return false;
    const char* first = ascii.data();
    const char* last = first + ascii.size();
    double parsed = 0;
    if (std::from_chars(first, last, parsed, std::chars_format::fixed).ptr != last) return false;
    *value = parsed;
    return true;
}

const char* StateName(State state) noexcept {
    switch (state) {
    case State::Ok: return "OK";
    case State::Warning: return "WARNING";
    case State::Critical: return "CRITICAL";
    case State::Unknown: break;
    }
    return "UNKNOWN";
}

State Worse(State a, State b) noexcept {
    auto rank = [](State s) {
        switch (s) {
        case State::Ok: return 0;
        case State::Unknown: return 1;
        case State::Warning: return 2;
        case State::Critical: break;
        }
        return 3;
    };
    return rank(a) >= rank(b) ? a : b;
}

bool Range::Parse(const std::string& text) {
    Range range;
    std::string rest = text;
    if (!rest.empty() && rest[0] == '@') {
        range.inside_ = true;
        rest.erase(0, 1);
    }
    const size_t colon = rest.find(':');
    if (colon == std::string::npos) {
        // N: from 0 to N.
        if (!ReadDecimal(rest, &range.end_)) return false;
    } else {
        const std::string start = rest.substr(0, colon), end = rest.substr(colon + 1);
        if (start == "~") range.startInfinite_ = true;
        else if (!start.empty() && !ReadDecimal(start, &range.start_)) return false;
        if (end.empty()) range.endInfinite_ = true;
        else if (!ReadDecimal(end, &range.end_)) return false;
    }
    if (!range.startInfinite_ && !range.endInfinite_ && range.start_ > range.end_) return false;
    range.text_ = text;
    *this = range;
    return true;
}

bool Range::Alerts(double value) const noexcept {
    const bool within = (startInfinite_ || value >= start_) && (endInfinite_ || value <= end_);
    return inside_ ? within : !within;
}

State Classify(double value, const Range& warning, const Range& critical) noexcept {
    if (critical.IsSet() && critical.Alerts(value)) return State::Critical;
    if (warning.IsSet() && warning.Alerts(value)) return State::Warning;
    return State::Ok;
}

// The result of a monitoring-plugin check and its two printed forms: the one
// line "WMI <STATE> - <text> | <performance data>" and the JSON object of
// --json. Plain C++ without COM; functions may throw std::bad_alloc.
#pragma once

#include <string>
#include <vector>

#include "Thresholds.h"

// One instance of the query as the check saw it.
struct InstanceOutcome {
    std::string label;
    State state = State::Ok;
    enum class Kind { Null, Number, Text } kind = Kind::Null;
    double number = 0;  // Kind::Number
    std::string text;  // Kind::Text
    bool perfdata = false;  // has an entry in the performance data (numbers only)
};

struct PluginResult {
    State state = State::Unknown;
    std::string text;
    std::vector<InstanceOutcome> instances;
    long count = -1;          // instances the query returned; -1 when it did not run
    bool countMode = false;   // --count: the performance data holds the count
    std::string warning, critical;  // the ranges as given
    std::string unit;               // of the performance data's values; "" for none
};

// Line breaks as blanks, and each run of blanks as one blank.
std::string CollapseBlanks(const std::string& text);

// A number without exponent and without locale: "5000000000", "-2.5".
std::string FormatNumber(double value);

// A performance-data label: in single quotes, a quote inside doubled; "=" and
// "|" (which would cut the entry or the line) and line breaks become "_".
std::string QuoteLabel(const std::string& label);

// "'label'=value[unit];warn;crit;;" per instance with perfdata, or
// "'instances'=N[unit];warn;crit;0;" in count mode; entries separated by a
// blank.
std::string PerfData(const PluginResult& result);

// The one output line. "|" in the text becomes "/", blanks are collapsed
// and trailing ones dropped, so the performance data always starts at the
// line's only "|".
std::string PluginLine(const PluginResult& result);

// The JSON object, on one line and in plain ASCII (other characters as
// \uXXXX): state, exit_code, text, perfdata, count (null when the query did
// not run), instances [{label, value (number, text or null), state}].
std::string PluginJson(const PluginResult& result);

// One step of --diagnose as its line shows it.
struct DiagnoseStep {
    State state = State::Ok;
    std::string text;
};

// --diagnose's closing line: "DIAGNOSE <STATE> - all N steps passed", or
// "... - K of N steps need attention: " and the first of the worst steps'
// texts; ", S skipped" after the count when steps were skipped. *worst: the
// worst state, whose exit code the run ends with.
std::string DiagnoseClosing(const std::vector<DiagnoseStep>& steps, size_t skipped, State* worst);

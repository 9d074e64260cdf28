#include "PluginOutput.h"

#include <charconv>
#include <cmath>

#include <nlohmann/json.hpp>

namespace {

// A number as JSON holds it: a whole one as an integer (50, not 50.0), so
// that both builds print what the line prints.
nlohmann::ordered_json JsonNumber(double value) {
    if (std::floor(value) == value && std::fabs(value) < 9e15) return static_cast<long long>(value);
    return value;
}

}  // namespace

std::string CollapseBlanks(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\r' || c == '\n') c = ' ';
        if (!(c == ' ' && !out.empty() && out.back() == ' ')) out += c;
    }
    return out;
}

std::string FormatNumber(double value) {
    char buffer[400];
    const std::to_chars_result done = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (done.ec != std::errc()) return "0";
    return std::string(buffer, done.ptr);
}

std::string QuoteLabel(const std::string& label) {
    std::string out = "'";
    for (char c : label) {
        if (c == '\'') out += "''";
        else if (c == '=' || c == '|' || c == '\r' || c == '\n') out += '_';
        else out += c;
    }
    return out + "'";
}

std::string PerfData(const PluginResult& result) {
    const std::string thresholds = ";" + result.warning + ";" + result.critical + ";";
    if (result.countMode)
        return result.count < 0 ? ""
                                : "'instances'=" + std::to_string(result.count) + result.unit + thresholds + "0;";
    std::string out;
    for (const InstanceOutcome& instance : result.instances) {
        if (!instance.perfdata) continue;
        if (!out.empty()) out += ' ';
        out += QuoteLabel(instance.label) + "=" + FormatNumber(instance.number) + result.unit + thresholds + ";";
    }
    return out;
}

std::string PluginLine(const PluginResult& result) {
    std::string line = "WMI " + std::string(StateName(result.state)) + " - ";
    for (char c : CollapseBlanks(result.text)) line += c == '|' ? '/' : c;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    const std::string perf = PerfData(result);
    if (!perf.empty()) line += " | " + perf;
    return line;
}

std::string PluginJson(const PluginResult& result) {
    // Keys in the order the object has always had.
    nlohmann::ordered_json out;
    out["state"] = StateName(result.state);
    out["exit_code"] = ExitCode(result.state);
    out["text"] = result.text;
    out["perfdata"] = PerfData(result);
    out["count"] = result.count < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(result.count);
    out["instances"] = nlohmann::ordered_json::array();
    for (const InstanceOutcome& instance : result.instances) {
        nlohmann::ordered_json item;
        item["label"] = instance.label;
        switch (instance.kind) {
        case InstanceOutcome::Kind::Null: item["value"] = nullptr; break;
        case InstanceOutcome::Kind::Number: item["value"] = JsonNumber(instance.number); break;
        case InstanceOutcome::Kind::Text: item["value"] = instance.text; break;
        }
        item["state"] = StateName(instance.state);
        out["instances"].push_back(std::move(item));
    }
    // One line in plain ASCII; a byte that is not UTF-8 becomes U+FFFD.
    return out.dump(-1, ' ', true, nlohmann::ordered_json::error_handler_t::replace);
}

std::string DiagnoseClosing(const std::vector<DiagnoseStep>& steps, size_t skipped, State* worst) {
    *worst = State::Ok;
    const DiagnoseStep* first = nullptr;
    size_t failed = 0;
    for (const DiagnoseStep& step : steps) {
        *worst = Worse(*worst, step.state);
        if (step.state == State::Ok) continue;
        ++failed;
        if (!first || Worse(first->state, step.state) != first->state) first = &step;
    }
    const std::string also = skipped ? ", " + std::to_string(skipped) + " skipped" : "";
    std::string line = "DIAGNOSE " + std::string(StateName(*worst)) + " - ";
    if (!first)
        line += "all " + std::to_string(steps.size()) + " steps passed" + also;
    else
        line += std::to_string(failed) + " of " + std::to_string(steps.size()) + " steps need attention" + also +
                ": " + first->text;
    return CollapseBlanks(line);
}

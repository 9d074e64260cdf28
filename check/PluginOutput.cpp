#include "PluginOutput.h"

#include <charconv>

namespace {

std::wstring JsonString(const std::wstring& text) {
    std::wstring out = L"\"";
    for (wchar_t c : text) {
        if (c == L'"' || c == L'\\') {
            out += L'\\';
            out += c;
        } else if (c >= 0x20 && c < 0x7F) {
            out += c;
        } else {
            wchar_t escape[8];
            const wchar_t* hex = L"0123456789abcdef";
            escape[0] = L'\\';
            escape[1] = L'u';
            for (int i = 0; i < 4; ++i) escape[2 + i] = hex[(c >> (12 - 4 * i)) & 0xF];
            out.append(escape, 6);
        }
    }
    return out + L"\"";
}

}  // namespace

std::wstring CollapseBlanks(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\r' || c == L'\n') c = L' ';
        if (!(c == L' ' && !out.empty() && out.back() == L' ')) out += c;
    }
    return out;
}

std::wstring FormatNumber(double value) {
    char buffer[400];
    const std::to_chars_result done = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed);
    if (done.ec != std::errc()) return L"0";
    return std::wstring(buffer, done.ptr);
}

std::wstring QuoteLabel(const std::wstring& label) {
    std::wstring out = L"'";
    for (wchar_t c : label) {
        if (c == L'\'') out += L"''";
        else if (c == L'=' || c == L'|' || c == L'\r' || c == L'\n') out += L'_';
        else out += c;
    }
    return out + L"'";
}

std::wstring PerfData(const PluginResult& result) {
    const std::wstring thresholds = L";" + result.warning + L";" + result.critical + L";";
    if (result.countMode)
        return result.count < 0 ? L""
                                : L"'instances'=" + std::to_wstring(result.count) + result.unit + thresholds + L"0;";
    std::wstring out;
    for (const InstanceOutcome& instance : result.instances) {
        if (!instance.perfdata) continue;
        if (!out.empty()) out += L' ';
        out += QuoteLabel(instance.label) + L"=" + FormatNumber(instance.number) + result.unit + thresholds + L";";
    }
    return out;
}

std::wstring PluginLine(const PluginResult& result) {
    std::wstring line = L"WMI " + std::wstring(StateName(result.state)) + L" - ";
    for (wchar_t c : CollapseBlanks(result.text)) line += c == L'|' ? L'/' : c;
    while (!line.empty() && line.back() == L' ') line.pop_back();
    const std::wstring perf = PerfData(result);
    if (!perf.empty()) line += L" | " + perf;
    return line;
}

std::wstring PluginJson(const PluginResult& result) {
    std::wstring out = L"{\"state\":" + JsonString(StateName(result.state)) +
                       L",\"exit_code\":" + std::to_wstring(ExitCode(result.state)) +
                       L",\"text\":" + JsonString(result.text) + L",\"perfdata\":" + JsonString(PerfData(result)) +
                       L",\"count\":" + (result.count < 0 ? std::wstring(L"null") : std::to_wstring(result.count)) +
                       L",\"instances\":[";
    for (size_t i = 0; i < result.instances.size(); ++i) {
        const InstanceOutcome& instance = result.instances[i];
        if (i) out += L',';
        out += L"{\"label\":" + JsonString(instance.label) + L",\"value\":";
        switch (instance.kind) {
        case InstanceOutcome::Kind::Null: out += L"null"; break;
        case InstanceOutcome::Kind::Number: out += FormatNumber(instance.number); break;
        case InstanceOutcome::Kind::Text: out += JsonString(instance.text); break;
        }
        out += L",\"state\":" + JsonString(StateName(instance.state)) + L"}";
    }
    return out + L"]}";
}

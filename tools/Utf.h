// wmicheck.exe's edges: the check core works on UTF-8, COM and the console
// on UTF-16. Conversions that may hold the password wipe what they leave.
#pragma once

#include <string>

#include "CommandLine.h"

inline std::wstring Wide(const std::string& text) {
    std::wstring out;
    AssignWide(&out, text.data(), text.size());
    return out;
}

inline std::string Utf8(const std::wstring& text) {
    std::string out;
    AssignUtf8(&out, text.data(), text.size());
    return out;
}

#include "Derived.h"

#include <cmath>


namespace {

// count digits at text[at], as a number; false if any is no digit.
bool Digits(const std::string& text, size_t at, size_t count, int* value) {
    if (at + count > text.size()) return false;
    int number = 0;
    for (size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        number = number * 10 + (text[i] - '0');
    }
    *value = number;
    return true;
}

// Days from 1970-01-01 to the date (proleptic Gregorian calendar).
long long DaysSince1970(int year, int month, int day) {
    year -= month <= 2;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const int yearOfEra = year - static_cast<int>(era * 400);
    const int dayOfYear = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

bool IsLeap(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

// A letter or digit; a byte of a UTF-8 sequence counts as one, as class
// and property names may hold letters beyond ASCII.
bool IsAsciiAlnum(char c) {
    const unsigned char b = static_cast<unsigned char>(c);
    return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b >= 0x80;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

bool IsNameCharacter(char c) { return IsAsciiAlnum(c) || c == '_'; }

// A key value at path[*at]: a quoted text (backslash escapes the next
// character) or a bare token (a number, TRUE/FALSE) up to "," or the end.
bool KeyValue(const std::string& path, size_t* at, std::string* value) {
    size_t i = *at;
    if (i < path.size() && path[i] == '"') {
        for (++i; i < path.size() && path[i] != '"'; ++i) {
            if (path[i] == '\\' && ++i >= path.size()) return false;
            *value += path[i];
        }
        if (i >= path.size()) return false;
        *at = i + 1;
        return true;
    }
    while (i < path.size() && path[i] != ',') {
        if (path[i] == '"' || path[i] == '=' || path[i] == '@' || IsBlank(path[i])) return false;
        *value += path[i++];
    }
    *at = i;
    return !value->empty();
}

}  // namespace

bool ParseCimDateTime(const std::string& padded, double* secondsSince1970) {
    const std::string text = padded.substr(0, padded.find('\0'));
    // yyyymmddHHMMSS.mmmmmm, then a sign and a 2- or 3-digit offset.
    int year, month, day, hour, minute, second, micro, offset;
    if (text.size() < 24 || text.size() > 25 || text[14] != '.' || (text[21] != '+' && text[21] != '-'))
        return false;
    if (!Digits(text, 0, 4, &year) || !Digits(text, 4, 2, &month) || !Digits(text, 6, 2, &day) ||
        !Digits(text, 8, 2, &hour) || !Digits(text, 10, 2, &minute) || !Digits(text, 12, 2, &second) ||
        !Digits(text, 15, 6, &micro) || !Digits(text, 22, text.size() - 22, &offset))
        return false;
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12 || day < 1 || day > kDays[month - 1] + (month == 2 && IsLeap(year)) ||
        hour > 23 || minute > 59 || second > 60)
        return false;
    const long long local = DaysSince1970(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
    // Local time is UTC plus the offset.
    const long long utc = local - (text[21] == '-' ? -offset : offset) * 60LL;
    *secondsSince1970 = static_cast<double>(utc) + micro / 1e6;
    return true;
}

double Percent(double part, double whole) { return std::round(100 * part / whole * 100) / 100; }

bool LabelFromRelativePath(const std::string& fullPath, std::string* label) {
    const std::string path = fullPath.substr(0, fullPath.find('\0'));
    size_t i = 0;
    while (i < path.size() && IsNameCharacter(path[i])) ++i;
    const std::string className = path.substr(0, i);
    if (className.empty() || i >= path.size()) return false;
    if (path.compare(i, std::string::npos, "=@") == 0) {
        *label = className;
        return true;
    }
    std::string joined;
    bool anyValue = false;
    if (path[i] == '=') {
        // The single key, not named.
        ++i;
        if (!KeyValue(path, &i, &joined)) return false;
        anyValue = !joined.empty();
    } else {
        if (path[i] != '.') return false;
        do {
            ++i;
            const size_t name = i;
            while (i < path.size() && IsNameCharacter(path[i])) ++i;
            if (i == name || i >= path.size() || path[i] != '=') return false;
            std::string value;
            if (!KeyValue(path, &++i, &value)) return false;
            joined += (name == className.size() + 1 ? "" : ",") + value;
            anyValue = anyValue || !value.empty();
        } while (i < path.size() && path[i] == ',');
    }
    if (i != path.size() || !anyValue) return false;
    *label = joined;
    return true;
}

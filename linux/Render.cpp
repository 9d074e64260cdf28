#include "Render.h"

#include <charconv>
#include <cstdio>
#include <cstring>

namespace wmicheck {

namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// n digits at text[*at] as a number.
bool Digits(const std::string& text, size_t* at, size_t n, int* value) {
    if (*at + n > text.size()) return false;
    int v = 0;
    for (size_t i = 0; i < n; ++i) {
        const char c = text[*at + i];
        if (!IsDigit(c)) return false;
        v = v * 10 + (c - '0');
    }
    *value = v;
    *at += n;
    return true;
}

bool Expect(const std::string& text, size_t* at, char c) {
    if (*at >= text.size() || text[*at] != c) return false;
    ++*at;
    return true;
}

// ".123" at text[*at] as six digits of microseconds (more are cut, fewer padded).
std::string Micro(const std::string& text, size_t* at) {
    std::string digits;
    if (*at < text.size() && text[*at] == '.') {
        ++*at;
        while (*at < text.size() && IsDigit(text[*at])) digits += text[(*at)++];
    }
    digits.resize(6, '0');
    return digits;
}

bool IsNil(pugi::xml_node element) {
    for (pugi::xml_attribute attribute : element.attributes()) {
        if (std::strcmp(wsman::LocalName(attribute.name()), "nil") != 0) continue;
        const char* colon = std::strchr(attribute.name(), ':');
        const std::string prefix = colon ? std::string(attribute.name(), colon) : std::string();
        if (wsman::ResolvePrefix(element, prefix) == wsman::ns::kInstance)
            return std::strcmp(attribute.value(), "true") == 0 || std::strcmp(attribute.value(), "1") == 0;
    }
    return false;
}

check::Value TextValue(check::Value::Kind kind, std::string text) {
    check::Value value;
    value.kind = kind;
    value.text = std::move(text);
    return value;
}

// An element's own text (its character data only).
std::string OwnText(pugi::xml_node element) {
    std::string text;
    for (pugi::xml_node part : element.children())
        if (part.type() == pugi::node_pcdata || part.type() == pugi::node_cdata) text += part.value();
    return text;
}

}  // namespace

bool IsSchemaNumber(const std::string& text) {
    size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t whole = 0, fraction = 0;
    while (i < text.size() && IsDigit(text[i])) ++i, ++whole;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && IsDigit(text[i])) ++i, ++fraction;
    }
    return i == text.size() && whole + fraction > 0;
}

bool DmtfDateTime(const std::string& text, std::string* dmtf) {
    size_t at = 0;
    int year, month, day, hour, minute, second;
    if (!Digits(text, &at, 4, &year) || !Expect(text, &at, '-') || !Digits(text, &at, 2, &month) ||
        !Expect(text, &at, '-') || !Digits(text, &at, 2, &day) || !Expect(text, &at, 'T') ||
        !Digits(text, &at, 2, &hour) || !Expect(text, &at, ':') || !Digits(text, &at, 2, &minute) ||
        !Expect(text, &at, ':') || !Digits(text, &at, 2, &second))
        return false;
    const std::string micro = Micro(text, &at);
    int offset = 0;
    char sign = '+';
    if (at < text.size() && text[at] == 'Z') {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        sign = text[at++];
        int hours, minutes;
        if (!Digits(text, &at, 2, &hours) || !Expect(text, &at, ':') || !Digits(text, &at, 2, &minutes)) return false;
        offset = hours * 60 + minutes;
    }
    if (at != text.size() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 24 || minute > 59 ||
        second > 60 || offset > 999)
        return false;
    if (offset == 0) sign = '+';
    char out[32];
    std::snprintf(out, sizeof out, "%04d%02d%02d%02d%02d%02d.%s%c%03d", year, month, day, hour, minute, second,
                  micro.c_str(), sign, offset);
    *dmtf = out;
    return true;
}

bool DmtfInterval(const std::string& text, std::string* dmtf) {
    size_t at = 0;
    if (!Expect(text, &at, 'P')) return false;
    unsigned long long days = 0, hours = 0, minutes = 0, seconds = 0;
    std::string micro = "000000";
    bool inTime = false, any = false, anyTime = false;
    while (at < text.size()) {
        if (text[at] == 'T' && !inTime) {
            inTime = true;
            ++at;
            continue;
        }
        const size_t start = at;
        unsigned long long n = 0;
        while (at < text.size() && IsDigit(text[at])) {
            if (n > 1000000000000ull) return false;
            n = n * 10 + static_cast<unsigned>(text[at++] - '0');
        }
        if (at == start || at >= text.size()) return false;
        std::string fraction;
        if (text[at] == '.') {
            if (!inTime) return false;
            fraction = Micro(text, &at);
            if (at >= text.size() || text[at] != 'S') return false;
        }
        const char unit = text[at++];
        any = true;
        anyTime = anyTime || inTime;
        if (!inTime && unit == 'D') days = n;
        else if (inTime && unit == 'H') hours = n;
        else if (inTime && unit == 'M') minutes = n;
        else if (inTime && unit == 'S') {
            seconds = n;
            if (!fraction.empty()) micro = fraction;
        } else {
            return false;  // years and months have no fixed length
        }
    }
    if (!any || (inTime && !anyTime)) return false;  // "P", "PT", "P1DT"
    // Carry upwards: "PT36H" is one day and twelve hours.
    minutes += seconds / 60;
    seconds %= 60;
    hours += minutes / 60;
    minutes %= 60;
    days += hours / 24;
    hours %= 24;
    if (days > 99999999) return false;
    char out[40];
    std::snprintf(out, sizeof out, "%08llu%02llu%02llu%02llu.%s:000", days, hours, minutes, seconds, micro.c_str());
    *dmtf = out;
    return true;
}

check::Value RenderValue(pugi::xml_node element) {
    using Kind = check::Value::Kind;
    if (IsNil(element)) return TextValue(Kind::Null, "");
    pugi::xml_node child = element.find_child([](pugi::xml_node n) { return n.type() == pugi::node_element; });
    if (child) {
        if (wsman::NamespaceOf(child) == wsman::ns::kCim) {
            const char* local = wsman::LocalName(child.name());
            const std::string inner = child.child_value();
            std::string dmtf;
            if (std::strcmp(local, "Datetime") == 0 && DmtfDateTime(inner, &dmtf)) return TextValue(Kind::DateTime, dmtf);
            if (std::strcmp(local, "Interval") == 0 && DmtfInterval(inner, &dmtf)) return TextValue(Kind::Interval, dmtf);
            if (std::strcmp(local, "CIMDateTime") == 0)
                return TextValue(inner.size() == 25 && inner[21] == ':' ? Kind::Interval : Kind::DateTime, inner);
            if (std::strcmp(local, "Datetime") == 0 || std::strcmp(local, "Interval") == 0 ||
                std::strcmp(local, "Date") == 0 || std::strcmp(local, "Time") == 0)
                return TextValue(Kind::Text, inner);
        }
        check::Value object;
        object.kind = Kind::Object;
        object.hasText = false;
        return object;
    }
    std::string text = OwnText(element);
    if (text == "true" || text == "false") {
        check::Value value = TextValue(Kind::Boolean, text == "true" ? "True" : "False");
        value.hasNumber = true;
        value.number = text == "true" ? -1 : 0;
        return value;
    }
    if (IsSchemaNumber(text)) {
        check::Value value = TextValue(Kind::Number, text);
        // from_chars takes no leading "+".
        const char* first = text.data() + (text[0] == '+' ? 1 : 0);
        double number = 0;
        const auto parsed = std::from_chars(first, text.data() + text.size(), number);
        value.hasNumber = parsed.ec == std::errc();
        value.number = number;
        return value;
    }
    return TextValue(Kind::Text, std::move(text));
}

bool RenderField(pugi::xml_node instance, const std::string& name, check::Value* value) {
    std::vector<pugi::xml_node> elements;
    for (pugi::xml_node child : instance.children())
        if (child.type() == pugi::node_element && name == wsman::LocalName(child.name())) elements.push_back(child);
    if (elements.empty()) return false;
    if (elements.size() == 1) {
        *value = RenderValue(elements[0]);
        return true;
    }
    check::Value array;
    array.kind = check::Value::Kind::Array;
    array.hasText = false;
    for (pugi::xml_node element : elements) array.items.push_back(RenderValue(element));
    *value = std::move(array);
    return true;
}

std::vector<std::string> PropertyNames(pugi::xml_node instance) {
    std::vector<std::string> names;
    for (pugi::xml_node child : instance.children()) {
        if (child.type() != pugi::node_element) continue;
        const std::string name = wsman::LocalName(child.name());
        bool seen = false;
        for (const std::string& known : names) seen = seen || known == name;
        if (!seen) names.push_back(name);
    }
    return names;
}

std::vector<std::pair<std::string, std::string>> KeySelectors(const wsman::Item& item) {
    std::vector<std::pair<std::string, std::string>> keys;
    for (const auto& selector : item.selectors)
        if (selector.first.compare(0, 2, "__") != 0) keys.push_back(selector);
    return keys;
}

std::string PathLabel(const wsman::Item& item) {
    if (!item.hasReference) return "";
    const auto keys = KeySelectors(item);
    if (keys.empty()) {
        // A singleton: its path is "Class=@", which names the class.
        const size_t slash = item.resourceUri.find_last_of('/');
        return slash == std::string::npos ? "" : item.resourceUri.substr(slash + 1);
    }
    std::string label;
    bool anyValue = false;
    for (size_t i = 0; i < keys.size(); ++i) {
        label += (i ? "," : "") + keys[i].second;
        anyValue = anyValue || !keys[i].second.empty();
    }
    return anyValue ? label : "";
}

}  // namespace wmicheck

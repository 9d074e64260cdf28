#include "Check.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "Derived.h"
#include "Operators.h"

using check::Failure;
using check::PropertyInfo;
using check::Value;

namespace {

// Instances named in full in the text; the rest are counted.
constexpr size_t kNamedInstances = 3;

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

std::string Lower(std::string text) {
    for (char& c : text) c = LowerAscii(c);
    return text;
}

// Equal without case: ASCII letters fold, every other byte compares as it is.
bool EqualsWithoutCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    return true;
}

size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}

// The class's properties, read from the source once and only when needed.
class ClassOnDemand {
public:
    explicit ClassOnDemand(check::Source& source) : source_(source) {}
    // Null when the source cannot tell; throws Failure when reading failed.
    const std::vector<PropertyInfo>* Properties() {
        if (!read_) {
            known_ = source_.ClassProperties(&properties_);
            read_ = true;
        }
        return known_ ? &properties_ : nullptr;
    }

private:
    check::Source& source_;
    std::vector<PropertyInfo> properties_;
    bool read_ = false, known_ = false;
};

// The property of that exact name; a missing one is an UNKNOWN that lists
// the names close to it, ignoring case: at most two edits apart, or one
// containing the other. Without the class's properties, only the name.
const PropertyInfo* FindProperty(const std::vector<PropertyInfo>* properties, const std::string& name,
                                 const std::string& classPath, const char* option) {
    std::string text = classPath + " has no property '" + name + "' (" + option +
                       "; property names are case-sensitive)";
    if (!properties) throw Failure{text};
    for (const PropertyInfo& property : *properties)
        if (property.name == name) return &property;
    const std::string wanted = Lower(name);
    std::vector<std::pair<size_t, std::string>> close;
    for (const PropertyInfo& property : *properties) {
        const std::string candidate = Lower(property.name);
        const size_t distance = EditDistance(wanted, candidate);
        const bool contains = wanted.size() >= 3 && (candidate.find(wanted) != std::string::npos ||
                                                     wanted.find(candidate) != std::string::npos);
        if (distance <= 2 || contains) close.emplace_back(distance, property.name);
    }
    std::stable_sort(close.begin(), close.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    if (close.empty()) {
        text += "; none of its properties is close to that name";
    } else {
        text += "; close: ";
        for (size_t i = 0; i < close.size() && i < 5; ++i) text += (i ? ", " : "") + close[i].second;
    }
    throw Failure{text};
}

// Fields of one instance the check reads.
struct InstanceData {
    std::string label;
    Value value;          // --property, or the value derived from it (a number)
    std::string problem;  // why a derived value could not be had; the instance is UNKNOWN
};

// The text a value shows; up to a NUL (Wine pads some texts with NULs).
std::string ValueTextOf(const Value& value) {
    if (!value.hasText) return "(no text form)";
    return value.text;
}

bool HasNumber(const Value& value) { return value.hasNumber && std::isfinite(value.number); }

// Whether an exclusion leaves the instance out: the property's value as
// text equals the exclusion's value, compared without case (ASCII letters).
// A property the instance lacks, or a value without a text form, leaves it in.
bool Excluded(const RunnerOptions& options, check::Source& source, size_t instance) {
    for (const Exclusion& exclusion : options.excludes) {
        Value value;
        if (!source.Field(instance, exclusion.property, &value) || !value.hasText) continue;
        if (EqualsWithoutCase(value.text.substr(0, value.text.find('\0')), exclusion.value)) return true;
    }
    return false;
}

// What the ranges and --match apply to, as the text names it.
std::string ValueName(const RunnerOptions& options) {
    if (!options.percentOf.empty()) return options.property + "/" + options.percentOf;
    return options.age ? options.property + " age" : options.property;
}

// A property's number for a derived value; "" or why there is none.
std::string NumberOf(const std::string& name, const Value& value, double* number) {
    if (value.kind == Value::Kind::Null) return name + " is null";
    if (!HasNumber(value)) return name + " '" + ValueTextOf(value) + "' is not a number";
    *number = value.number;
    return "";
}

// Replaces item->value by the value derived from it (and from divisor, the
// --percent-of property; null when the instance has none), or says in
// item->problem why it has none. now: seconds since 1970 (UTC).
void Derive(const RunnerOptions& options, const Value* divisor, double now, InstanceData* item) {
    const Value& value = item->value;
    double derived = 0;
    if (options.age) {
        const std::string text = ValueTextOf(value);
        double time = 0;
        if (value.kind == Value::Kind::Null) item->problem = options.property + " is null";
        else if (!ParseCimDateTime(text, &time))
            item->problem = options.property + " '" + text.substr(0, text.find('\0')) + "' is no CIM datetime";
        else derived = std::floor(now - time);
    } else {
        double part = 0, whole = 0;
        item->problem = NumberOf(options.property, value, &part);
        if (item->problem.empty())
            item->problem = divisor ? NumberOf(options.percentOf, *divisor, &whole) : options.percentOf + " is missing";
        if (item->problem.empty() && whole == 0) item->problem = options.percentOf + " is 0";
        if (item->problem.empty()) derived = Percent(part, whole);
    }
    item->value = Value();
    if (!item->problem.empty()) return;
    item->value.kind = Value::Kind::Number;
    item->value.hasNumber = true;
    item->value.number = derived;
    item->value.text = FormatNumber(derived);
}

// Seconds since 1970-01-01 UTC.
double Now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// "svc2 State=Stopped (...), svc3 ... and 4 more" over the instances chosen.
std::string NameInstances(const std::vector<InstanceOutcome>& outcomes, const std::vector<std::string>& details,
                          const std::vector<size_t>& chosen) {
    std::string text;
    for (size_t i = 0; i < chosen.size() && i < kNamedInstances; ++i)
        text += (i ? ", " : "") + outcomes[chosen[i]].label + (details.empty() ? "" : " " + details[chosen[i]]);
    if (chosen.size() > kNamedInstances) text += " and " + std::to_string(chosen.size() - kNamedInstances) + " more";
    return text;
}

// "3 Win32_Service instances".
std::string Instances(size_t count, const std::string& classPath) {
    return std::to_string(count) + " " + classPath + (count == 1 ? " instance" : " instances");
}

// The word for a count of instances: "1 ... instance satisfies", "2 ... satisfy".
const char* Verb(size_t count, const char* singular, const char* plural) { return count == 1 ? singular : plural; }

// "2 of 3 Win32_Service instances", "all 3 ..." or "1 ... instance".
std::string HowMany(size_t part, size_t whole, const std::string& classPath) {
    if (whole == 1) return Instances(whole, classPath);
    return (part == whole ? "all " : std::to_string(part) + " of ") + Instances(whole, classPath);
}

struct Part {
    State state = State::Ok;
    std::string text;
};

// The operator under --match over the instances.
Part MatchOperator(const RunnerOptions& options, char separator, const std::vector<InstanceData>& data,
                   std::vector<InstanceOutcome>* outcomes) {
    std::vector<std::string> details(data.size());
    std::vector<size_t> satisfied, unsatisfied, unknown;
    const std::string name = ValueName(options);
    for (size_t i = 0; i < data.size(); ++i) {
        const Value& value = data[i].value;
        check::Evaluation evaluation;
        State state;
        if (!data[i].problem.empty()) {
            details[i] = data[i].problem;
            unknown.push_back(i);
            state = State::Unknown;
        } else if (!value.hasText ||
                   !check::EvaluateOperator(name, value.text, value.kind == Value::Kind::Null,
                                            HasNumber(value) ? &value.number : nullptr, options.op, options.value,
                                            std::string(1, separator), &evaluation)) {
            details[i] = name + " cannot be compared (" + (value.hasText ? "not a number" : "no text form") + ")";
            unknown.push_back(i);
            state = State::Unknown;
        } else {
            details[i] = evaluation.resultText;
            (evaluation.verdict ? satisfied : unsatisfied).push_back(i);
            // An instance's own state: does it keep the rule?
            state = evaluation.verdict == (options.match != Match::None) ? State::Ok : State::Critical;
        }
        (*outcomes)[i].state = Worse((*outcomes)[i].state, state);
    }
    const std::string rule = name + " " + options.op + " " + options.value;
    const char* satisfy = Verb(satisfied.size(), " satisfies ", " satisfy ");
    const char* fail = Verb(unsatisfied.size(), " fails ", " fail ");
    const std::string& cls = options.classPath;
    const size_t n = data.size();
    Part part;
    auto say = [&](State state, const std::string& head, const std::vector<size_t>& chosen) {
        part.state = state;
        part.text = head + ": " + NameInstances(*outcomes, details, chosen);
    };
    // A broken rule decides first; then values that could not be compared
    // (the rule may be broken there); then the rule kept.
    auto cannotCompare = [&] { say(State::Unknown, HowMany(unknown.size(), n, cls) + " cannot be compared", unknown); };
    switch (options.match) {
    case Match::All:
        if (!unsatisfied.empty()) say(State::Critical, HowMany(unsatisfied.size(), n, cls) + fail + rule, unsatisfied);
        else if (!unknown.empty()) cannotCompare();
        else say(State::Ok, HowMany(n, n, cls) + satisfy + rule, satisfied);
        break;
    case Match::Any:
        if (!satisfied.empty()) say(State::Ok, HowMany(satisfied.size(), n, cls) + satisfy + rule, satisfied);
        else if (!unknown.empty()) cannotCompare();
        else say(State::Critical, "none of " + Instances(n, cls) + " satisfies " + rule, unsatisfied);
        break;
    case Match::None:
        if (!satisfied.empty())
            say(State::Critical, HowMany(satisfied.size(), n, cls) + satisfy + rule + " (none may)", satisfied);
        else if (!unknown.empty()) cannotCompare();
        else say(State::Ok, "none of " + Instances(n, cls) + " satisfies " + rule, unsatisfied);
        break;
    }
    return part;
}

// The ranges on each instance's number; the worst state decides and the
// instances in it are named.
Part ApplyThresholds(const RunnerOptions& options, const std::vector<InstanceData>& data,
                     std::vector<InstanceOutcome>* outcomes) {
    std::vector<std::string> details(data.size());
    std::vector<State> states(data.size());
    State worst = State::Ok;
    // A derived value shows as it is compared and printed, with its unit.
    const bool derived = !options.percentOf.empty() || options.age;
    for (size_t i = 0; i < data.size(); ++i) {
        InstanceOutcome& outcome = (*outcomes)[i];
        details[i] = ValueName(options) + "=" +
                     (derived && data[i].problem.empty() ? FormatNumber(outcome.number) + options.unit
                                                         : ValueTextOf(data[i].value));
        if (!data[i].problem.empty()) {
            states[i] = State::Unknown;
            details[i] = data[i].problem;
        } else if (outcome.kind != InstanceOutcome::Kind::Number) {
            states[i] = State::Unknown;
            details[i] += " (not a number)";
        } else {
            states[i] = Classify(outcome.number, options.warning, options.critical);
            outcome.perfdata = true;
        }
        outcome.state = Worse(outcome.state, states[i]);
        worst = Worse(worst, states[i]);
    }
    // The instances in the deciding state, then those without a value when
    // an alert decides: an alert never hides why an instance has no value.
    Part part;
    part.state = worst;
    std::vector<State> shown = {worst};
    if (worst != State::Unknown) shown.push_back(State::Unknown);
    for (State state : shown) {
        std::vector<size_t> chosen;
        for (size_t i = 0; i < data.size(); ++i)
            if (states[i] == state) chosen.push_back(i);
        if (chosen.empty()) continue;
        part.text += (part.text.empty() ? "" : "; ") + HowMany(chosen.size(), data.size(), options.classPath) + " " +
                     Lower(StateName(state)) + ": " + NameInstances(*outcomes, details, chosen);
    }
    return part;
}

PluginResult Evaluate(const RunnerOptions& options, char separator, std::vector<InstanceData>& data,
                      bool numericProperty) {
    PluginResult result;
    result.count = static_cast<long>(data.size());
    result.countMode = options.count;
    result.warning = options.warning.Text();
    result.critical = options.critical.Text();
    result.unit = options.unit;
    result.instances.resize(data.size());
    const bool thresholds = options.warning.IsSet() || options.critical.IsSet();
    for (size_t i = 0; i < data.size(); ++i) {
        InstanceOutcome& outcome = result.instances[i];
        outcome.label = data[i].label;
        if (options.count) continue;
        const Value& value = data[i].value;
        if (value.kind == Value::Kind::Null) {
            outcome.kind = InstanceOutcome::Kind::Null;
        } else if (HasNumber(value) && (numericProperty || thresholds)) {
            outcome.kind = InstanceOutcome::Kind::Number;
            outcome.number = value.number;
            outcome.perfdata = numericProperty;
        } else {
            outcome.kind = InstanceOutcome::Kind::Text;
            outcome.text = ValueTextOf(value);
        }
    }

    const std::string filter = options.filter.empty() ? "" : " (filter " + options.filter + ")";
    if (options.count) {
        result.state = Classify(static_cast<double>(data.size()), options.warning, options.critical);
        std::vector<size_t> all(data.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        result.text = Instances(data.size(), options.classPath) + filter;
        if (!data.empty()) result.text += ": " + NameInstances(result.instances, {}, all);
        for (InstanceOutcome& outcome : result.instances) outcome.state = result.state;
        return result;
    }
    if (data.empty()) {
        result.state = options.allowEmpty ? State::Ok : State::Unknown;
        result.text = "no instance of " + options.classPath + " matches the query" + filter;
        if (options.allowEmpty) result.text += " (allowed by --allow-empty)";
        return result;
    }
    std::vector<Part> parts;
    if (!options.op.empty()) parts.push_back(MatchOperator(options, separator, data, &result.instances));
    if (thresholds) parts.push_back(ApplyThresholds(options, data, &result.instances));
    result.state = State::Ok;
    for (const Part& part : parts) {
        result.state = Worse(result.state, part.state);
        result.text += (result.text.empty() ? "" : "; ") + part.text;
    }
    return result;
}

// Labels without --label: the key in each instance's own path; for those
// whose path names none, the class's key properties (asked for only then);
// the position is left to the caller.
void LabelKeys(check::Source& source, const std::vector<size_t>& instances, std::vector<InstanceData>* data) {
    for (size_t i = 0; i < instances.size(); ++i) (*data)[i].label = source.PathLabel(instances[i]);
    if (std::all_of(data->begin(), data->end(), [](const InstanceData& item) { return !item.label.empty(); }))
        return;
    std::vector<std::string> keyNames;
    try {
        keyNames = source.KeyNames();
    } catch (const Failure&) {
        keyNames.clear();
    }
    for (size_t i = 0; i < instances.size(); ++i) {
        std::string& label = (*data)[i].label;
        if (!label.empty()) continue;
        for (const std::string& name : keyNames) {
            Value value;
            if (!source.Field(instances[i], name, &value))
                throw Failure{"cannot read " + name + " of instance " + std::to_string(instances[i] + 1)};
            const std::string text = ValueTextOf(value);
            if (!text.empty()) label += (label.empty() ? "" : ",") + text;
        }
    }
}

PluginResult Run(const RunnerOptions& options, check::Source& source) {
    const size_t count = source.Query();
    ClassOnDemand cls(source);
    const char separator = source.DecimalSeparator();

    // No instance: the class must exist (some WMI answers a query for an
    // unknown class with no rows), and so must the properties named. Where
    // the source cannot read the class's definition (WS-Management), the
    // names cannot be checked without an instance: the check goes on as if
    // they were right, and only reading the class may still fail.
    const bool derived = !options.percentOf.empty() || options.age;
    if (count == 0) {
        if (const std::vector<PropertyInfo>* properties = cls.Properties()) {
            if (!options.property.empty()) FindProperty(properties, options.property, options.classPath, "--property");
            if (!options.label.empty()) FindProperty(properties, options.label, options.classPath, "--label");
            if (!options.percentOf.empty())
                FindProperty(properties, options.percentOf, options.classPath, "--percent-of");
        }
    }

    std::vector<InstanceData> data;
    std::vector<size_t> kept;  // the source's positions of the instances in data
    data.reserve(count);
    const double now = Now();
    // A property that the instances lack: the class's close names say why.
    auto read = [&](size_t instance, const std::string& name, const char* option) {
        Value value;
        if (source.Field(instance, name, &value)) return value;
        FindProperty(cls.Properties(), name, options.classPath, option);
        throw Failure{"cannot read " + name + " of instance " + std::to_string(instance + 1)};
    };
    bool textNumbers = false;  // a value came as text that reads as a number (WMI's 64-bit integers)
    size_t excluded = 0;
    for (size_t i = 0; i < count; ++i) {
        if (Excluded(options, source, i)) {
            ++excluded;
            continue;
        }
        kept.push_back(i);
        data.emplace_back();
        InstanceData& item = data.back();
        if (!options.label.empty()) item.label = ValueTextOf(read(i, options.label, "--label"));
        if (options.property.empty()) continue;
        item.value = read(i, options.property, "--property");
        if (item.value.kind == Value::Kind::Text && item.value.hasNumber) textNumbers = true;
        if (!derived) continue;
        // An instance without the divisor is UNKNOWN on its own.
        Value divisor;
        const bool hasDivisor = !options.percentOf.empty() && source.Field(i, options.percentOf, &divisor);
        if (!options.percentOf.empty() && !hasDivisor && data.size() == 1)
            FindProperty(cls.Properties(), options.percentOf, options.classPath, "--percent-of");
        Derive(options, hasDivisor ? &divisor : nullptr, now, &item);
    }
    if (!options.excludes.empty())
        source.Say(std::to_string(excluded) + Verb(excluded, " instance", " instances") + " left out by --exclude");
    if (options.label.empty()) LabelKeys(source, kept, &data);
    for (size_t i = 0; i < data.size(); ++i)
        if (data[i].label.empty()) data[i].label = "#" + std::to_string(i + 1);

    // Whether the property is a number decides its performance data. The
    // values' own kinds tell, except for a text that reads as a number,
    // which only the class's CIM type can (WMI hands out 64-bit integers as
    // text); where the source cannot tell the type, such a text counts as
    // the number it reads as. With thresholds or a derived value every
    // number counts anyway.
    bool numericProperty = derived;
    if (!numericProperty && !options.property.empty() && !options.count) {
        for (const InstanceData& item : data) numericProperty = numericProperty || item.value.kind == Value::Kind::Number;
        const bool thresholds = options.warning.IsSet() || options.critical.IsSet();
        if (!numericProperty && textNumbers && !thresholds) {
            const std::vector<PropertyInfo>* properties = cls.Properties();
            numericProperty =
                !properties || FindProperty(properties, options.property, options.classPath, "--property")->numeric;
        }
    }
    PluginResult result = Evaluate(options, separator, data, numericProperty);
    if (data.empty() && excluded > 0 && !options.count)
        result.text += " (" + std::to_string(excluded) + " left out by --exclude)";
    return result;
}

}  // namespace

PluginResult RunCheck(const RunnerOptions& options, check::Source& source) {
    try {
        return Run(options, source);
    } catch (const Failure& failure) {
        PluginResult result;
        result.state = State::Unknown;
        result.text = failure.text;
        result.countMode = options.count;
        result.warning = options.warning.Text();
        result.critical = options.critical.Text();
        return result;
    }
}

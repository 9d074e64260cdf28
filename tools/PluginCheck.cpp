#include "PluginCheck.h"

#include <oleauto.h>
#include <wrl/client.h>

#include <algorithm>
#include <cmath>
#include <cwctype>
#include <vector>

#include "../common/Raii.h"
#include "Argument.h"
#include "CheckRules.h"
#include "CommandLine.h"
#include "Console.h"
#include "Derived.h"
#include "qvWMI_h.h"

using Microsoft::WRL::ComPtr;

namespace {

// Instances named in full in the text; the rest are counted.
constexpr size_t kNamedInstances = 3;

com::UniqueBstr Bstr(const std::wstring& text) {
    com::UniqueBstr bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
    if (!bstr) throw std::bad_alloc();
    return bstr;
}

std::wstring Text(const com::UniqueBstr& bstr) {
    return bstr ? std::wstring(bstr.get(), SysStringLen(bstr.get())) : std::wstring();
}

// A failed step: what failed and why, as an UNKNOWN result.
struct Failure {
    std::wstring text;
};

void Check(HRESULT hr, const std::wstring& what) {
    if (FAILED(hr)) throw Failure{what + L": " + DescribeFailure(hr)};
}

// A VARIANT type that holds a number (WMI gives a boolean as VT_BOOL and a
// 64-bit integer as text).
bool IsNumberType(VARTYPE type) {
    switch (type) {
    case VT_I1: case VT_I2: case VT_I4: case VT_I8: case VT_UI1: case VT_UI2: case VT_UI4: case VT_UI8:
    case VT_INT: case VT_UINT: case VT_R4: case VT_R8: case VT_DECIMAL: case VT_CY:
        return true;
    default:
        return false;
    }
}

struct PropertyInfo {
    std::wstring name;
    bool numeric = false;  // a CIM number type
};

bool IsNumericType(EQvWMIPropertyType type) {
    switch (type & ~QV_WMI_PROPERTY_TYPE_FLAG_ARRAY) {
    case QV_WMI_PROPERTY_TYPE_SINT8: case QV_WMI_PROPERTY_TYPE_UINT8:
    case QV_WMI_PROPERTY_TYPE_SINT16: case QV_WMI_PROPERTY_TYPE_UINT16:
    case QV_WMI_PROPERTY_TYPE_SINT32: case QV_WMI_PROPERTY_TYPE_UINT32:
    case QV_WMI_PROPERTY_TYPE_SINT64: case QV_WMI_PROPERTY_TYPE_UINT64:
    case QV_WMI_PROPERTY_TYPE_REAL32: case QV_WMI_PROPERTY_TYPE_REAL64:
        return (type & QV_WMI_PROPERTY_TYPE_FLAG_ARRAY) == 0;
    default: return false;
    }
}

std::vector<PropertyInfo> ListProperties(IQvWMIPropertyCollection* properties) {
    long count = 0;
    Check(properties->get_Count(&count), L"cannot list the properties");
    std::vector<PropertyInfo> list;
    for (long i = 0; i < count; ++i) {
        ComPtr<IQvWMIPropertyDescriptor> descriptor;
        com::UniqueBstr name;
        EQvWMIPropertyType type = QV_WMI_PROPERTY_TYPE_EMPTY;
        SetErrorInfo(0, nullptr);
        HRESULT hr = properties->GetAt(i, &descriptor);
        if (SUCCEEDED(hr)) hr = descriptor->get_Name(name.put());
        if (SUCCEEDED(hr)) hr = descriptor->get_Type(&type);
        Check(hr, L"cannot list the properties");
        list.push_back({Text(name), IsNumericType(type)});
    }
    return list;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(c));
    return text;
}

size_t EditDistance(const std::wstring& a, const std::wstring& b) {
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

// The property of that exact name; a missing one is an UNKNOWN that lists
// the names close to it, ignoring case: at most two edits apart, or one
// containing the other.
const PropertyInfo& FindProperty(const std::vector<PropertyInfo>& properties, const std::wstring& name,
                                 const std::wstring& classPath, const wchar_t* option) {
    for (const PropertyInfo& property : properties)
        if (property.name == name) return property;
    const std::wstring wanted = Lower(name);
    std::vector<std::pair<size_t, std::wstring>> close;
    for (const PropertyInfo& property : properties) {
        const std::wstring candidate = Lower(property.name);
        const size_t distance = EditDistance(wanted, candidate);
        const bool contains = wanted.size() >= 3 && (candidate.find(wanted) != std::wstring::npos ||
                                                     wanted.find(candidate) != std::wstring::npos);
        if (distance <= 2 || contains) close.emplace_back(distance, property.name);
    }
    std::stable_sort(close.begin(), close.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::wstring text = classPath + L" has no property '" + name + L"' (" + option +
                        L"; property names are case-sensitive)";
    if (close.empty()) {
        text += L"; none of its properties is close to that name";
    } else {
        text += L"; close: ";
        for (size_t i = 0; i < close.size() && i < 5; ++i) text += (i ? L", " : L"") + close[i].second;
    }
    throw Failure{text};
}

// Fields of one instance the check reads.
struct InstanceData {
    std::wstring label;
    com::UniqueVariant value;  // --property, or the value derived from it (VT_R8)
    std::wstring problem;      // why a derived value could not be had; the instance is UNKNOWN
};

HRESULT TryReadField(IQvWMIInstance* instance, const std::wstring& name, com::UniqueVariant* value) {
    com::UniqueBstr bstr = Bstr(name);
    SetErrorInfo(0, nullptr);
    return instance->get_Field(bstr.get(), value->put());
}

com::UniqueVariant ReadField(IQvWMIInstance* instance, const std::wstring& name, long position) {
    com::UniqueVariant value;
    const HRESULT hr = TryReadField(instance, name, &value);
    if (FAILED(hr)) Check(hr, L"cannot read " + name + L" of instance " + std::to_wstring(position + 1));
    return value;
}

// Whether an exclusion leaves the instance out: the property's value as
// text equals the exclusion's value, compared without case. A property the
// instance lacks, or a value without a text form, leaves it in.
bool Excluded(const RunnerOptions& options, IQvWMIInstance* instance) {
    for (const Exclusion& exclusion : options.excludes) {
        com::UniqueVariant value;
        std::wstring text;
        const bool read = SUCCEEDED(TryReadField(instance, exclusion.property, &value)) &&
                          SUCCEEDED(ValueText(*value.get(), &text));
        SetErrorInfo(0, nullptr);
        if (!read) continue;
        text.resize(wcsnlen(text.c_str(), text.size()));  // Wine pads some texts with NULs
        if (CompareStringOrdinal(text.c_str(), static_cast<int>(text.size()), exclusion.value.c_str(),
                                 static_cast<int>(exclusion.value.size()), TRUE) == CSTR_EQUAL)
            return true;
    }
    return false;
}

std::wstring ValueTextOf(const VARIANT& value) {
    std::wstring text;
    if (FAILED(ValueText(value, &text))) text = L"(no text form)";
    return text;
}

bool IsNull(const VARIANT& value) { return V_VT(&value) == VT_NULL || V_VT(&value) == VT_EMPTY; }

// What the ranges and --match apply to, as the text names it.
std::wstring ValueName(const RunnerOptions& options) {
    if (!options.percentOf.empty()) return options.property + L"/" + options.percentOf;
    return options.age ? options.property + L" age" : options.property;
}

// A property's number for a derived value; "" or why there is none.
std::wstring NumberOf(const std::wstring& name, const VARIANT& value, double* number) {
    if (IsNull(value)) return name + L" is null";
    if (FAILED(ValueNumber(value, number)) || !std::isfinite(*number))
        return name + L" '" + ValueTextOf(value) + L"' is not a number";
    return L"";
}

// Replaces item->value by the value derived from it (and from divisor, the
// --percent-of property; null when the instance has none), or says in
// item->problem why it has none. now: seconds since 1970 (UTC).
void Derive(const RunnerOptions& options, const VARIANT* divisor, double now, InstanceData* item) {
    const VARIANT& value = *item->value.get();
    double derived = 0;
    if (options.age) {
        const std::wstring text = ValueTextOf(value);
        double time = 0;
        if (IsNull(value)) item->problem = options.property + L" is null";
        else if (!ParseCimDateTime(text, &time))
            item->problem = options.property + L" '" + text.substr(0, text.find(L'\0')) + L"' is no CIM datetime";
        else derived = std::floor(now - time);
    } else {
        double part = 0, whole = 0;
        item->problem = NumberOf(options.property, value, &part);
        if (item->problem.empty()) {
            item->problem = divisor ? NumberOf(options.percentOf, *divisor, &whole)
                                    : options.percentOf + L" is missing";
        }
        if (item->problem.empty() && whole == 0) item->problem = options.percentOf + L" is 0";
        if (item->problem.empty()) derived = Percent(part, whole);
    }
    item->value.reset();
    if (!item->problem.empty()) return;
    V_VT(item->value.get()) = VT_R8;
    V_R8(item->value.get()) = derived;
}

// Seconds since 1970-01-01 UTC.
double Now() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    // FILETIME counts 100 ns from 1601-01-01, 11644473600 s before 1970.
    return static_cast<double>(ticks) / 1e7 - 11644473600.0;
}

// The label of each instance whose own path names its key (__RELPATH,
// "Win32_Service.Name=\"BITS\"" gives "BITS"); the others keep "". Read
// from the instance's snapshot: it costs no call into WMI.
void LabelsFromPaths(const std::vector<ComPtr<IQvWMIInstance>>& instances, std::vector<InstanceData>* data) {
    for (size_t i = 0; i < instances.size(); ++i) {
        com::UniqueVariant path;
        if (SUCCEEDED(TryReadField(instances[i].Get(), L"__RELPATH", &path)) && V_VT(path.get()) == VT_BSTR &&
            V_BSTR(path.get()))
            LabelFromRelativePath(std::wstring(V_BSTR(path.get()), SysStringLen(V_BSTR(path.get()))),
                                  &(*data)[i].label);
    }
}

// "svc2 State=Stopped (...), svc3 ... and 4 more" over the instances chosen.
std::wstring NameInstances(const std::vector<InstanceOutcome>& outcomes, const std::vector<std::wstring>& details,
                           const std::vector<size_t>& chosen) {
    std::wstring text;
    for (size_t i = 0; i < chosen.size() && i < kNamedInstances; ++i)
        text += (i ? L", " : L"") + outcomes[chosen[i]].label + (details.empty() ? L"" : L" " + details[chosen[i]]);
    if (chosen.size() > kNamedInstances) text += L" and " + std::to_wstring(chosen.size() - kNamedInstances) + L" more";
    return text;
}

// "3 Win32_Service instances".
std::wstring Instances(size_t count, const std::wstring& classPath) {
    return std::to_wstring(count) + L" " + classPath + (count == 1 ? L" instance" : L" instances");
}

// The word for a count of instances: "1 ... instance satisfies", "2 ... satisfy".
const wchar_t* Verb(size_t count, const wchar_t* singular, const wchar_t* plural) {
    return count == 1 ? singular : plural;
}

// "2 of 3 Win32_Service instances", "all 3 ..." or "1 ... instance".
std::wstring HowMany(size_t part, size_t whole, const std::wstring& classPath) {
    if (whole == 1) return Instances(whole, classPath);
    return (part == whole ? L"all " : std::to_wstring(part) + L" of ") + Instances(whole, classPath);
}

struct Part {
    State state = State::Ok;
    std::wstring text;
};

// The operator under --match over the instances.
Part MatchOperator(const RunnerOptions& options, const std::vector<InstanceData>& data,
                   std::vector<InstanceOutcome>* outcomes) {
    std::vector<std::wstring> details(data.size());
    std::vector<size_t> satisfied, unsatisfied, unknown;
    const std::wstring name = ValueName(options);
    for (size_t i = 0; i < data.size(); ++i) {
        Evaluation evaluation;
        HRESULT hr = S_OK;
        if (data[i].problem.empty())
            hr = EvaluateOperator(name, *data[i].value.get(), options.op, options.value, &evaluation);
        State state;
        if (!data[i].problem.empty()) {
            details[i] = data[i].problem;
            unknown.push_back(i);
            state = State::Unknown;
        } else if (FAILED(hr)) {
            wchar_t code[16];
            swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
            details[i] = name + L" cannot be compared (" + code + L")";
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
    const std::wstring rule = name + L" " + options.op + L" " + options.value;
    const wchar_t* satisfy = Verb(satisfied.size(), L" satisfies ", L" satisfy ");
    const wchar_t* fail = Verb(unsatisfied.size(), L" fails ", L" fail ");
    const std::wstring& cls = options.classPath;
    const size_t n = data.size();
    Part part;
    auto say = [&](State state, const std::wstring& head, const std::vector<size_t>& chosen) {
        part.state = state;
        part.text = head + L": " + NameInstances(*outcomes, details, chosen);
    };
    // A broken rule decides first; then values that could not be compared
    // (the rule may be broken there); then the rule kept.
    auto cannotCompare = [&] {
        say(State::Unknown, HowMany(unknown.size(), n, cls) + L" cannot be compared", unknown);
    };
    switch (options.match) {
    case Match::All:
        if (!unsatisfied.empty())
            say(State::Critical, HowMany(unsatisfied.size(), n, cls) + fail + rule, unsatisfied);
        else if (!unknown.empty())
            cannotCompare();
        else
            say(State::Ok, HowMany(n, n, cls) + satisfy + rule, satisfied);
        break;
    case Match::Any:
        if (!satisfied.empty())
            say(State::Ok, HowMany(satisfied.size(), n, cls) + satisfy + rule, satisfied);
        else if (!unknown.empty())
            cannotCompare();
        else
            say(State::Critical, L"none of " + Instances(n, cls) + L" satisfies " + rule, unsatisfied);
        break;
    case Match::None:
        if (!satisfied.empty())
            say(State::Critical, HowMany(satisfied.size(), n, cls) + satisfy + rule + L" (none may)", satisfied);
        else if (!unknown.empty())
            cannotCompare();
        else
            say(State::Ok, L"none of " + Instances(n, cls) + L" satisfies " + rule, unsatisfied);
        break;
    }
    return part;
}

// The ranges on each instance's number; the worst state decides and the
// instances in it are named.
Part ApplyThresholds(const RunnerOptions& options, const std::vector<InstanceData>& data,
                     std::vector<InstanceOutcome>* outcomes) {
    std::vector<std::wstring> details(data.size());
    std::vector<State> states(data.size());
    State worst = State::Ok;
    // A derived value shows as it is compared and printed, with its unit.
    const bool derived = !options.percentOf.empty() || options.age;
    for (size_t i = 0; i < data.size(); ++i) {
        InstanceOutcome& outcome = (*outcomes)[i];
        details[i] = ValueName(options) + L"=" +
                     (derived && data[i].problem.empty() ? FormatNumber(outcome.number) + options.unit
                                                         : ValueTextOf(*data[i].value.get()));
        if (!data[i].problem.empty()) {
            states[i] = State::Unknown;
            details[i] = data[i].problem;
        } else if (outcome.kind != InstanceOutcome::Kind::Number) {
            states[i] = State::Unknown;
            details[i] += L" (not a number)";
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
        std::wstring word = StateName(state);
        for (wchar_t& c : word) c = static_cast<wchar_t>(std::towlower(c));
        part.text += (part.text.empty() ? L"" : L"; ") + HowMany(chosen.size(), data.size(), options.classPath) +
                     L" " + word + L": " + NameInstances(*outcomes, details, chosen);
    }
    return part;
}

PluginResult Evaluate(const RunnerOptions& options, std::vector<InstanceData>& data, bool numericProperty) {
    PluginResult result;
    result.count = static_cast<long>(data.size());
    result.countMode = options.count;
    result.warning = options.warning.Text();
    result.critical = options.critical.Text();
    result.unit = options.unit;
    result.instances.resize(data.size());
    for (size_t i = 0; i < data.size(); ++i) {
        InstanceOutcome& outcome = result.instances[i];
        outcome.label = data[i].label;
        if (options.count) continue;
        const VARIANT& value = *data[i].value.get();
        double number = 0;
        if (V_VT(&value) == VT_NULL || V_VT(&value) == VT_EMPTY) {
            outcome.kind = InstanceOutcome::Kind::Null;
        } else if (SUCCEEDED(ValueNumber(value, &number)) && std::isfinite(number) &&
                   (numericProperty || options.warning.IsSet() || options.critical.IsSet())) {
            outcome.kind = InstanceOutcome::Kind::Number;
            outcome.number = number;
            outcome.perfdata = numericProperty;
        } else {
            outcome.kind = InstanceOutcome::Kind::Text;
            outcome.text = ValueTextOf(value);
        }
    }

    const std::wstring filter = options.filter.empty() ? L"" : L" (filter " + options.filter + L")";
    if (options.count) {
        result.state = Classify(static_cast<double>(data.size()), options.warning, options.critical);
        std::vector<size_t> all(data.size());
        for (size_t i = 0; i < all.size(); ++i) all[i] = i;
        result.text = Instances(data.size(), options.classPath) + filter;
        if (!data.empty()) result.text += L": " + NameInstances(result.instances, {}, all);
        for (InstanceOutcome& outcome : result.instances) outcome.state = result.state;
        return result;
    }
    if (data.empty()) {
        result.state = options.allowEmpty ? State::Ok : State::Unknown;
        result.text = L"no instance of " + options.classPath + L" matches the query" + filter;
        if (options.allowEmpty) result.text += L" (allowed by --allow-empty)";
        return result;
    }
    std::vector<Part> parts;
    if (!options.op.empty()) parts.push_back(MatchOperator(options, data, &result.instances));
    if (options.warning.IsSet() || options.critical.IsSet())
        parts.push_back(ApplyThresholds(options, data, &result.instances));
    result.state = State::Ok;
    for (const Part& part : parts) {
        result.state = Worse(result.state, part.state);
        result.text += (result.text.empty() ? L"" : L"; ") + part.text;
    }
    return result;
}

// Gives each step that asks the computer (the connection, the query, the
// class) what is left of the time-out, through the access object's Timeout,
// so that the step's own error and advice arrive before the watchdog's line.
class StepClock {
public:
    StepClock(IQvWMIAccess* access, double seconds) noexcept : access_(access), seconds_(seconds), deadline_(seconds) {}

    // The step's time in milliseconds; a step whose time is gone ends the
    // check with a text naming it.
    long Begin(const std::wstring& step) {
        left_ = deadline_.LeftMs();
        if (left_ <= 0)
            throw Failure{L"timed out before " + step + L": the time-out of " + SecondsText(seconds_) + L" ran out"};
        SetErrorInfo(0, nullptr);
        Check(access_->put_Timeout(left_), L"cannot set the time-out of " + step);
        SetErrorInfo(0, nullptr);
        return left_;
    }
    // The current step's time.
    long StepMs() const noexcept { return left_; }

private:
    IQvWMIAccess* access_;
    double seconds_;
    Deadline deadline_;
    long left_ = 0;
};

// A failed step with its advice: "what (0x...): advice", or as Check says
// it when there is none.
void CheckAdvised(HRESULT hr, const std::wstring& what, const std::wstring& advice) {
    if (SUCCEEDED(hr)) return;
    if (advice.empty()) Check(hr, what);
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    throw Failure{what + L" (" + code + L"): " + advice};
}

// The class, read only when the check needs what the query does not give:
// the properties close to a name that is missing, a property's CIM type, the
// key properties, or whether a class that returned no instance exists. Each
// read is a round trip to the computer; a check that needs none makes only
// the connection, the query and its batches.
class ClassOnDemand {
public:
    ClassOnDemand(IQvWMIServer* server, const RunnerOptions& options, Steps* steps, StepClock* clock)
        : server_(server), path_(options.classPath), options_(options), steps_(steps), clock_(clock) {}

    IQvWMIClass* Get() {
        if (cls_) return cls_.Get();
        clock_->Begin(L"reading the class " + path_);
        const ULONGLONG start = GetTickCount64();
        const HRESULT hr = server_->GetClass(Bstr(path_).get(), &cls_);
        CheckAdvised(hr, L"cannot get the class " + path_, QueryAdvice(hr, options_, options_.host, clock_->StepMs()));
        steps_->Say(L"class " + path_ + L" read in " + std::to_wstring(GetTickCount64() - start) + L" ms");
        return cls_.Get();
    }
    const std::vector<PropertyInfo>& Properties() {
        if (listed_) return properties_;
        ComPtr<IQvWMIPropertyCollection> properties;
        SetErrorInfo(0, nullptr);
        Check(Get()->get_Properties(&properties), L"cannot list the properties of " + path_);
        properties_ = ListProperties(properties.Get());
        listed_ = true;
        return properties_;
    }

private:
    IQvWMIServer* server_;
    std::wstring path_;
    const RunnerOptions& options_;
    Steps* steps_;
    StepClock* clock_;
    ComPtr<IQvWMIClass> cls_;
    std::vector<PropertyInfo> properties_;
    bool listed_ = false;
};

// Labels without --label: the key in each instance's own path; for those
// whose path names none, the class's key properties (read only then; Wine's
// WMI has no key list: E_NOTIMPL); the position is left to the caller.
void LabelKeys(ClassOnDemand& cls, const std::vector<ComPtr<IQvWMIInstance>>& instances,
               std::vector<InstanceData>* data) {
    LabelsFromPaths(instances, data);
    if (std::all_of(data->begin(), data->end(), [](const InstanceData& item) { return !item.label.empty(); }))
        return;
    std::vector<std::wstring> keyNames;
    ComPtr<IQvWMIPropertyCollection> keys;
    try {
        SetErrorInfo(0, nullptr);
        if (SUCCEEDED(cls.Get()->get_KeyProperties(&keys)))
            for (const PropertyInfo& key : ListProperties(keys.Get())) keyNames.push_back(key.name);
    } catch (const Failure&) {
        keyNames.clear();
    }
    SetErrorInfo(0, nullptr);
    for (size_t i = 0; i < instances.size(); ++i) {
        std::wstring& label = (*data)[i].label;
        if (!label.empty()) continue;
        for (const std::wstring& name : keyNames) {
            const std::wstring text = ValueTextOf(*ReadField(instances[i].Get(), name, static_cast<long>(i)).get());
            if (!text.empty()) label += (label.empty() ? L"" : L",") + text;
        }
    }
}

}  // namespace

Deadline::Deadline(double seconds) noexcept : endMs_(static_cast<ULONGLONG>(std::llround(seconds * 1000))) {}

long Deadline::LeftMs() const noexcept {
    const ULONGLONG now = MsSinceStart();
    return now < endMs_ ? static_cast<long>(std::min<ULONGLONG>(endMs_ - now, 0x7FFFFFFF)) : 0;
}

std::wstring SecondsText(double seconds) { return FormatNumber(std::round(seconds * 100) / 100) + L" s"; }

const wchar_t kBridgeLacksAuth[] = L"the bridge does not offer --auth; update qvWMI";

namespace {

constexpr HRESULT kTimedOut = HRESULT_FROM_WIN32(ERROR_TIMEOUT);

// The computer as a sentence names it.
std::wstring Computer(const std::wstring& host) { return host == L"." ? L"this computer" : host; }

}  // namespace

std::wstring AuthenticatedWith(IQvWMIServer* server) {
    ComPtr<IQvWMIServer3> telling;
    long service = 0;
    if (FAILED(server->QueryInterface(IID_PPV_ARGS(&telling))) || FAILED(telling->get_AuthenticationService(&service)))
        return L"";
    switch (service) {
    case 9: return L", authenticated with Negotiate";
    case 10: return L", authenticated with NTLM";
    case 16: return L", authenticated with Kerberos";
    default: return L", authentication service " + std::to_wstring(service);
    }
}

std::wstring QueryAdvice(HRESULT hr, const RunnerOptions& options, const std::wstring& host, long stepMs) {
    // A namespace that requires privacy refuses every call made at a lower level.
    if (hr == static_cast<HRESULT>(0x80041003) && options.authLevel < 6)
        return L"access denied on " + Computer(host) + L": " + options.nameSpace +
               L" may require privacy: use --auth-level 6; otherwise the account needs the remote WMI rights there";
    if (hr != kTimedOut) return L"";
    return L"WMI on " + Computer(host) + L" did not answer within the " + SecondsText(stepMs / 1000.0) +
           L" left of the time-out: it may be overloaded; give a longer --timeout";
}

std::wstring ConnectAdvice(HRESULT hr, const RunnerOptions& options, const std::wstring& host, Auth auth,
                           const ReachingAccount& account, long stepMs) {
    const std::wstring who = account.Who();
    switch (static_cast<unsigned long>(hr)) {
    case 0x80070005:  // E_ACCESSDENIED, from DCOM
    case 0x80041003: {  // WBEM_E_ACCESS_DENIED, from the namespace
        std::wstring first;
        if (auth == Auth::Ntlm && options.authGiven)
            first = L" over NTLM: the domain may restrict NTLM or the account may be in Protected Users: try --auth "
                    L"negotiate or --auth kerberos; otherwise";
        else if (hr == static_cast<HRESULT>(0x80041003) && options.authLevel < 6)
            first = L": " + options.nameSpace + L" may require privacy: use --auth-level 6; otherwise";
        return L"access denied to " + who + L" on " + host + first + L": the account needs the remote WMI rights "
               L"on " + options.nameSpace + L" (Enable Account, Remote Enable) and DCOM remote activation (for "
               L"example as a member of Distributed COM Users); a local account also needs remote UAC to let it "
               L"in (LocalAccountTokenFilterPolicy = 1)" +
               (!options.user.empty() && options.domain.empty() && options.user.find(L'@') == std::wstring::npos &&
                        options.user.find_first_of(L"\\/") == std::wstring::npos
                    ? L"; a user name without a domain is " + host + L"'s own account: write a domain "
                      L"account as DOMAIN\\user, user@domain or with --domain"
                    : L"");
    }
    case 0x80090303:  // SEC_E_TARGET_UNKNOWN: no Kerberos principal for the target
        if (IsIpAddress(host))
            return L"Kerberos cannot authenticate to an IP address: give the computer's DNS name, or --auth negotiate";
        return L"Kerberos does not know " + host + L": give the computer's DNS name as its domain knows it, or "
               L"--auth negotiate";
    case 0x800706BA:  // RPC_S_SERVER_UNAVAILABLE
        return host + L" did not answer (RPC server unavailable): check the host's name or address, that "
               L"it is up, and that its firewall allows Windows Management Instrumentation (WMI-In)";
    case 0x800705B4:  // ERROR_TIMEOUT, from the bridge's bound
        return Computer(host) + L" did not connect within the " + SecondsText(stepMs / 1000.0) + L" left of the time-out: "
               L"check that it is up and that WMI there answers, or give a longer --timeout";
    case 0x80041064:  // WBEM_E_LOCAL_CREDENTIALS
        return L"WMI takes no credentials for the local computer (" + host + L"): leave --user out for it";
    case 0x8004100E:  // WBEM_E_INVALID_NAMESPACE
        return host + L" has no namespace " + options.nameSpace + L": check --namespace";
    case 0x80041008:  // WBEM_E_INVALID_PARAMETER
        if (!account.name.empty())
            return L"WMI refused the account as given (" + who + L"): write it as DOMAIN\\user, user@domain, or "
                   L"user with --domain";
        return L"";
    default:
        return L"";
    }
}

HRESULT SetUpAccess(IQvWMIAccess* access, const RunnerOptions& options, Auth* used) {
    *used = Auth::Ntlm;
    ComPtr<IQvWMIAccess2> choosing;
    if (FAILED(access->QueryInterface(IID_PPV_ARGS(&choosing)))) {
        // An older bridge connects with NTLM only.
        if (options.authGiven) return E_NOINTERFACE;
    } else {
        const EQvWMIAuthenticationService service =
            options.auth == Auth::Kerberos ? QV_WMI_AUTHENTICATION_SERVICE_KERBEROS
            : options.auth == Auth::Ntlm   ? QV_WMI_AUTHENTICATION_SERVICE_NTLM
                                           : QV_WMI_AUTHENTICATION_SERVICE_NEGOTIATE;
        const HRESULT hr = choosing->put_AuthenticationService(service);
        if (FAILED(hr)) return hr;
        *used = options.auth;
    }
    HRESULT hr = access->put_Timeout(static_cast<long>(std::lround(options.timeoutSeconds * 1000)));
    if (SUCCEEDED(hr)) hr = access->put_AuthenticationLevel(static_cast<EQvWMIAuthenticationLevel>(options.authLevel));
    if (SUCCEEDED(hr)) hr = access->put_ImpersonationLevel(static_cast<EQvWMIImpersonationLevel>(options.impLevel));
    if (SUCCEEDED(hr)) hr = access->Initialize();
    return hr;
}

namespace {

PluginResult Run(const RunnerOptions& options) {
    Steps steps(options.verbosity);
    CLSID clsid;
    ComPtr<IQvWMIAccess> access;
    HRESULT hr = CLSIDFromProgID(L"QvWMI.Access", &clsid);
    if (SUCCEEDED(hr)) hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&access));
    Check(hr, L"cannot create QvWMI.Access");
    SetErrorInfo(0, nullptr);
    Auth auth = Auth::Ntlm;
    hr = SetUpAccess(access.Get(), options, &auth);
    if (hr == E_NOINTERFACE && options.authGiven) throw Failure{kBridgeLacksAuth};
    Check(hr, L"cannot set up the WMI access");
    StepClock clock(access.Get(), options.timeoutSeconds);

    ComPtr<IQvWMIServer> server;
    {
        // Credentials only with a user name; otherwise the caller's own
        // identity. The domain as given (a user principal name has none).
        const bool withUser = !options.user.empty();
        const ReachingAccount account = AccountReachingWmi(options, auth);
        const long stepMs = clock.Begin(L"connecting");
        steps.Say(L"connecting to \\\\" + options.host + L"\\" + options.nameSpace + L" as " + account.Detailed() +
                  L", time-out " + FormatNumber(options.timeoutSeconds) + L" s (" + SecondsText(stepMs / 1000.0) +
                  L" left)");
        Argument host(options.host), nameSpace(options.nameSpace), timeout(stepMs);
        Argument user(options.user, !withUser), password(withUser ? options.password : L"", !withUser);
        Argument domain(options.domain, true), locale(L"", true);
        SetErrorInfo(0, nullptr);
        const ULONGLONG start = GetTickCount64();
        hr = access->Connect(host, nameSpace, domain, user, password, locale, timeout, &server);
        CheckAdvised(hr,
                     L"cannot connect to \\\\" + options.host + L"\\" + options.nameSpace +
                         (withUser ? L" as " + account.name : L""),
                     ConnectAdvice(hr, options, options.host, auth, account, stepMs));
        steps.Say(L"connected in " + std::to_wstring(GetTickCount64() - start) + L" ms" +
                  AuthenticatedWith(server.Get()));
    }
    ClassOnDemand cls(server.Get(), options, &steps, &clock);

    // The query alone, without reading the class first: the connection, the
    // query and its batches are all the computer is asked for.
    ComPtr<IQvWMIServer2> querying;
    Check(server.As(&querying), L"cannot query " + options.classPath + L" (the bridge is older than wmicheck)");
    ComPtr<IQvWMIInstanceCollection> instances;
    Argument filter(options.filter);
    steps.Say(L"query SELECT * FROM " + options.classPath +
              (options.filter.empty() ? L"" : L" WHERE " + options.filter));
    clock.Begin(L"the query of " + options.classPath);
    const ULONGLONG queryStart = GetTickCount64();
    hr = querying->Instances(Bstr(options.classPath).get(), filter, &instances);
    CheckAdvised(hr, L"cannot query " + options.classPath, QueryAdvice(hr, options, options.host, clock.StepMs()));
    long count = 0;
    Check(instances->get_Count(&count), L"cannot count the instances of " + options.classPath);
    steps.Say(std::to_wstring(count) + L" instances in " + std::to_wstring(GetTickCount64() - queryStart) + L" ms");

    // No instance: the class must exist (some WMI answers a query for an
    // unknown class with no rows), and so must the properties named.
    const bool derived = !options.percentOf.empty() || options.age;
    if (count == 0) {
        cls.Get();
        if (!options.property.empty()) FindProperty(cls.Properties(), options.property, options.classPath, L"--property");
        if (!options.label.empty()) FindProperty(cls.Properties(), options.label, options.classPath, L"--label");
        if (!options.percentOf.empty())
            FindProperty(cls.Properties(), options.percentOf, options.classPath, L"--percent-of");
    }

    std::vector<InstanceData> data;
    std::vector<ComPtr<IQvWMIInstance>> items;
    data.reserve(static_cast<size_t>(count));
    items.reserve(static_cast<size_t>(count));
    const double now = Now();
    // A property that the instances lack: the class's close names say why.
    auto read = [&](IQvWMIInstance* instance, const std::wstring& name, long position, const wchar_t* option) {
        com::UniqueVariant value;
        const HRESULT readHr = TryReadField(instance, name, &value);
        if (SUCCEEDED(readHr)) return value;
        FindProperty(cls.Properties(), name, options.classPath, option);
        Check(readHr, L"cannot read " + name + L" of instance " + std::to_wstring(position + 1));
        return value;
    };
    bool textNumbers = false;  // a value came as text that reads as a number (WMI's 64-bit integers)
    size_t excluded = 0;
    for (long i = 0; i < count; ++i) {
        ComPtr<IQvWMIInstance> instance;
        SetErrorInfo(0, nullptr);
        hr = instances->get_Item(i, &instance);
        if (FAILED(hr)) Check(hr, L"cannot read instance " + std::to_wstring(i + 1));
        if (Excluded(options, instance.Get())) {
            ++excluded;
            continue;
        }
        items.push_back(instance);
        data.emplace_back();
        InstanceData& item = data.back();
        if (!options.label.empty())
            item.label = ValueTextOf(*read(instance.Get(), options.label, i, L"--label").get());
        if (options.property.empty()) continue;
        item.value = read(instance.Get(), options.property, i, L"--property");
        double number = 0;
        if (V_VT(item.value.get()) == VT_BSTR && SUCCEEDED(ValueNumber(*item.value.get(), &number))) textNumbers = true;
        if (!derived) continue;
        // An instance without the divisor is UNKNOWN on its own.
        com::UniqueVariant divisor;
        const bool hasDivisor =
            !options.percentOf.empty() && SUCCEEDED(TryReadField(instance.Get(), options.percentOf, &divisor));
        if (!options.percentOf.empty() && !hasDivisor && data.size() == 1)
            FindProperty(cls.Properties(), options.percentOf, options.classPath, L"--percent-of");
        Derive(options, hasDivisor ? divisor.get() : nullptr, now, &item);
    }
    if (!options.excludes.empty())
        steps.Say(std::to_wstring(excluded) + Verb(excluded, L" instance", L" instances") + L" left out by --exclude");
    if (options.label.empty()) LabelKeys(cls, items, &data);
    for (size_t i = 0; i < data.size(); ++i)
        if (data[i].label.empty()) data[i].label = L"#" + std::to_wstring(i + 1);

    // Whether the property is a number decides its performance data. The
    // values' own types tell, except for a text that reads as a number,
    // which only the class's CIM type can (WMI hands out 64-bit integers as
    // text); with thresholds or a derived value every number counts anyway.
    bool numericProperty = derived;
    if (!numericProperty && !options.property.empty() && !options.count) {
        for (const InstanceData& item : data)
            numericProperty = numericProperty || IsNumberType(V_VT(item.value.get()));
        const bool thresholds = options.warning.IsSet() || options.critical.IsSet();
        if (!numericProperty && textNumbers && !thresholds)
            numericProperty = FindProperty(cls.Properties(), options.property, options.classPath, L"--property").numeric;
    }
    PluginResult result = Evaluate(options, data, numericProperty);
    if (data.empty() && excluded > 0 && !options.count)
        result.text += L" (" + std::to_wstring(excluded) + L" left out by --exclude)";
    return result;
}

}  // namespace

std::wstring DescribeFailure(HRESULT hr) {
    std::wstring text;
    ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        com::UniqueBstr description;
        if (SUCCEEDED(info->GetDescription(description.put())) && description) text = Text(description);
    }
    if (text.empty()) {
        wchar_t* buffer = nullptr;
        if (FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
                           nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr) &&
            buffer)
            text = buffer;
        LocalFree(buffer);
    }
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return std::wstring(code) + L" " + text;
}

PluginResult RunPluginCheck(const RunnerOptions& options) {
    try {
        return Run(options);
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

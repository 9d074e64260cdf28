// Where a monitoring-plugin check gets its instances from: the bridge (DCOM)
// in the Windows build, WS-Management in the Linux build. The check core
// (RunCheck) asks a Source for the query's instances, their properties and,
// only when it must, for the class; everything else (instance rules,
// thresholds, derived values, labels, the line, performance data, JSON) is
// the core's, the same in both builds. Portable C++ on UTF-8 text.
#pragma once

#include <stdexcept>
#include <string>
#include <vector>

namespace check {

// A failed step of a check: the whole text of its UNKNOWN line ("cannot
// connect to ...: advice"). Thrown by a Source and by the core; RunCheck
// turns it into the result.
struct Failure {
    std::string text;
};

// A property's value as the check reads it. Each transport maps its own
// form onto this, so that both builds decide alike:
//   Null      WMI's VT_NULL; WinRM's xsi:nil="true"            text ""
//   Boolean   VT_BOOL; WinRM's "true"/"false"                  text "True"/"False", number -1/0
//   Number    a CIM number type (VT_I4, ...); over WinRM a text of XML
//             Schema's integer or decimal form                 text as printed, number
//   Text      a string; a 64-bit integer as DCOM hands it out
//             (hasNumber when the text reads as a number)      text
//   DateTime  a CIM datetime; WinRM's cim:Datetime             text in DMTF form
//             "yyyymmddHHMMSS.mmmmmm+UUU"
//   Interval  a CIM interval; WinRM's cim:Interval             text "ddddddddHHMMSS.mmmmmm:000"
//   Array     repeated elements; VT_ARRAY                      no text form (hasText false)
//   Object    an embedded object                               no text form (hasText false)
struct Value {
    enum class Kind { Null, Boolean, Number, Text, DateTime, Interval, Array, Object };
    Kind kind = Kind::Null;
    std::string text;
    bool hasText = true;
    // Whether the value reads as a number for ranges, derived values and
    // the ordering operators, and that number.
    bool hasNumber = false;
    double number = 0;
    std::vector<Value> items;  // Array: its elements
};

// A property of the class as its definition (or, where the transport has
// no definition, the instances) shows it.
struct PropertyInfo {
    std::string name;
    bool numeric = false;  // a CIM number type, not an array
};

class Source {
public:
    virtual ~Source() = default;

    // Connects and runs the query of the options' class with their filter
    // (WQL's WHERE), within what is left of the time-out; the number of
    // instances. Throws Failure with the text and the advice of the step.
    virtual size_t Query() = 0;

    // Instance i's property: false when the instance has no property of
    // that exact name.
    virtual bool Field(size_t instance, const std::string& name, Value* value) = 0;

    // The key values that name instance i ("C:", "x,5"), from its own path
    // or key selectors; "" when it names none.
    virtual std::string PathLabel(size_t instance) = 0;

    // The class's properties, read once and only when the core needs them
    // (a name that is missing, whether a text is a number, a query that
    // returned nothing). False when the transport cannot tell (the core then
    // leaves the question open, as a documented rule says); throws Failure
    // when reading failed (an unknown class).
    virtual bool ClassProperties(std::vector<PropertyInfo>* properties) = 0;

    // The class's key property names, for labels of instances whose path
    // names none; empty when unknown.
    virtual std::vector<std::string> KeyNames() = 0;

    // The decimal separator the transport's number texts use ("." over
    // WinRM; the user's locale's on Windows), for reading --value.
    virtual char DecimalSeparator() const { return '.'; }

    // Says a step on standard error under -v (the core's own steps too).
    virtual void Say(const std::string& step) = 0;
};

}  // namespace check

// How the Linux build reads an instance that WinRM rendered as XML: each
// property's element becomes a check::Value as check/Source.h lays down.
//
// WinRM sends every value as text and no CIM type with it, so the Linux
// build decides by the text's form alone:
//   - xsi:nil="true" is Null;
//   - "true" and "false" are Boolean;
//   - a whole text in XML Schema's integer or decimal form ("42", "-7",
//     "+3", "2.50", ".5"; no blanks, no exponent) is a Number, its text kept
//     as it came. So a string property whose value reads so (a serial
//     number "0042") counts as a number too, where the Windows build, which
//     knows the CIM type, reads a text;
//   - cim:Datetime (xs:dateTime) is a DateTime in the DMTF form
//     "yyyymmddHHMMSS.mmmmmm+UUU", its offset kept in minutes; cim:Interval
//     (xs:duration in days, hours, minutes and seconds) an Interval
//     "ddddddddHHMMSS.mmmmmm:000";
//   - a property whose element is repeated is an Array of its elements; an
//     array of one element cannot be told from a single value;
//   - an element with elements of its own is an embedded Object;
//   - anything else is Text.
#pragma once

#include <pugixml.hpp>

#include <string>
#include <vector>

#include "../check/Source.h"
#include "Messages.h"

namespace wmicheck {

// Whether text, whole, is XML Schema's integer or decimal lexical form.
bool IsSchemaNumber(const std::string& text);

// xs:dateTime to "yyyymmddHHMMSS.mmmmmm+UUU"; false when it is not one.
bool DmtfDateTime(const std::string& dateTime, std::string* dmtf);

// xs:duration (days and time; no years or months) to
// "ddddddddHHMMSS.mmmmmm:000"; false when it is not one of those.
bool DmtfInterval(const std::string& duration, std::string* dmtf);

// One property element's value.
check::Value RenderValue(pugi::xml_node element);

// The instance's property of that exact name: false when it has none.
bool RenderField(pugi::xml_node instance, const std::string& name, check::Value* value);

// The property names of an instance, each once, in the order sent.
std::vector<std::string> PropertyNames(pugi::xml_node instance);

// The selectors of the item's reference that are the class's keys: WinRM
// may add its own, named as WMI's system properties are ("__cimnamespace"),
// which no key is.
std::vector<std::pair<std::string, std::string>> KeySelectors(const wsman::Item& item);

// The key values of the item's reference joined with ","; the class's name
// for a singleton (a reference without keys); "" when it names none.
std::string PathLabel(const wsman::Item& item);

}  // namespace wmicheck

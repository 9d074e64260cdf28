// Values derived from an instance's properties, and labels from its path.
// Plain C++ without COM; functions may throw std::bad_alloc.
#pragma once

#include <string>

// A CIM datetime "yyyymmddHHMMSS.mmmmmm+UUU" as seconds since 1970-01-01
// UTC. UUU is the offset from UTC in minutes ("+060" is an hour ahead of
// UTC; Wine also writes "+000" as "+00"). The text ends at the first NUL.
// False for any other text, a field
// out of range, or the wildcards ("*") of an unspecified field.
bool ParseCimDateTime(const std::string& text, double* secondsSince1970);

// 100 x part / whole, rounded to two decimals, so that the number compared
// is the number printed. whole must not be 0.
double Percent(double part, double whole);

// The label of an instance from its __RELPATH as WMI writes it:
//   Win32_LogicalDisk.DeviceID="C:"        C:
//   Win32_Service.Name="it\"s"             it"s
//   Class.A="x",B=5                        x,5
//   Class="x"                              x (a single key, named implicitly)
//   Win32_OperatingSystem=@                Win32_OperatingSystem (a singleton)
// The text ends at the first NUL (Wine pads the path with NULs). False when
// the path names no key value: a bare class name, an empty or malformed
// path, empty key values.
bool LabelFromRelativePath(const std::string& path, std::string* label);

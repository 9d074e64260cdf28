// A property's VARIANT as the check core reads it (check::Value).
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "Source.h"

// Its kind by its type (a 64-bit integer, which WMI hands out as text, is a
// text that has a number), its text and number in the locale lcid as the
// plug-in reads them (ValueText, ValueNumber), an array's elements. Throws
// std::bad_alloc only.
check::Value ValueOfVariant(const VARIANT& value, LCID lcid = LOCALE_USER_DEFAULT);

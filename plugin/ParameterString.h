// The check parameter string: "#KEY=value" fields closed by "#", the one text
// in which the host stores everything a check needs apart from host name and
// time-out. Plain functions without state, shared by the check, the
// configuration form and the command-line runner.
//
// Functions that return std::wstring may throw std::bad_alloc; those that
// return an HRESULT never throw.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

// The text without leading and trailing spaces (only spaces: tabs and line
// breaks stay).
std::wstring TrimSpaces(const std::wstring& text);

// A member of the host's class (km_hostname, km_timeout, km_parameter) as
// text: Empty gives "", numbers and dates in the user's format, booleans as
// True or False. Null and objects have no text: DISP_E_TYPEMISMATCH.
HRESULT MemberText(const VARIANT& member, std::wstring* text) noexcept;

// The value of key ("USR", "pwd", ...; case and surrounding spaces ignored),
// case kept and untrimmed; "" when the key is absent. Never fails.
std::wstring GetParameterValue(const std::wstring& parameters, const std::wstring& key);

// Replaces CR, LF and quotation marks by their "{0x..}" sequences; with
// forParameterString set, also "#" and "=". "{" itself has no sequence, so a
// sequence already in the text reads back as its character.
std::wstring EscapeParameterText(const std::wstring& text, bool forParameterString);

// Turns the "{0x..}" sequences (and the misspelt "{0xod}") back into their
// characters.
std::wstring UnescapeParameterText(const std::wstring& text);

// Base64 over the text's bytes in the system's ANSI code page.
// Fails with HRESULT_FROM_WIN32(ERROR_NO_UNICODE_TRANSLATION) for a character
// that the code page cannot hold, and with E_INVALIDARG for a character of
// code 0 (whose byte the encoding would drop); *encoded is then empty.
HRESULT Base64Encode(const std::wstring& text, std::wstring* encoded) noexcept;

// Lenient base64 decoder: characters outside the alphabet count as 0, a short
// last group is padded. Fails with HRESULT_FROM_WIN32(ERROR_INVALID_DATA)
// ("The data is invalid.") when a group begins with "="; *decoded is then
// empty.
HRESULT Base64Decode(const std::wstring& encoded, std::wstring* decoded) noexcept;

// Every field of a check, in plain (unescaped, decoded) form.
struct CheckParameters {
    std::wstring user;          // USR
    std::wstring password;      // PWD
    std::wstring nameSpace;     // NSP
    std::wstring domain;        // DOM
    std::wstring locale;        // LOC
    std::wstring classPath;     // CLS
    std::wstring filter;        // FIL
    std::wstring property;      // PRO
    long propertyIndex = -1;    // PRI: position in the form's list, -1 when typed
    std::wstring operatorCode;  // CWA
    std::wstring compareValue;  // CVA
    long authenticationLevel = 4;  // AUL
    long impersonationLevel = 3;   // IML
    // How AUL and IML read: DISP_E_OVERFLOW beyond 32 bits, E_INVALIDARG
    // outside 0..6 or 0..4. The check reports it at its first checkpoint.
    HRESULT levelsRead = S_OK;
};

// Writes all fourteen keys in their fixed order: texts trimmed of spaces (the
// password excepted), the filter escaped, the password encoded, an operator
// code that is not one of the eight written as "CON", numbers in decimal.
// Fails with E_INVALIDARG when a plain text field (user, namespace, domain,
// locale, class path, property, compare value) contains "#", which would cut
// the field on reading; *rejectedKey (when given) then names its key.
// Base64Encode's failures pass through with rejectedKey "PWD".
HRESULT ComposeParameterString(const CheckParameters& fields, std::wstring* parameters,
                               const wchar_t** rejectedKey = nullptr) noexcept;

// Reads the fields the way the check does: USR trimmed, PWD decoded, FIL
// unescaped, AUL "4" and IML "3" when empty, AUL, IML and PRI read as numbers
// (an empty or unreadable PRI gives -1; unusable levels are noted in
// levelsRead). Fails only with Base64Decode's error.
HRESULT ReadParameterString(const std::wstring& parameters, CheckParameters* fields) noexcept;

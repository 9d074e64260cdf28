// The computers the WMI test double answers for, and how each authenticates
// a connection, as Windows does for remote WMI (see WmiDouble.h).
#pragma once

#include <windows.h>
#include <objidl.h>

#include <string>

namespace network {

// The account a connection authenticated as, and what its blankets must
// carry: the credentials it connected with.
struct Account {
    std::wstring domain;    // CORP, or the computer's name for a local account
    std::wstring user;      // without the domain
    std::wstring upn;       // user@domain form, empty for a local account
    std::wstring password;
    // "CORP\monitor", as the account is named in records and texts.
    std::wstring Name() const { return domain + L"\\" + user; }
};

enum class Kind {
    Local,    // this computer: ".", localhost, 127.0.0.1, ::1, DOUBLE
    Member,   // a computer of the domain CORP: checks accounts and blankets
    Down,     // a computer that does not answer
    Lenient,  // any other name: connects whoever asks (the double's older scenarios)
};

Kind KindOf(const std::wstring& server);

// The account that ConnectServer's user, password and authority name on a
// member computer, as Windows decides it: S_OK with *account, or the
// failure Windows gives (E_ACCESSDENIED for an unknown account, a wrong
// password or no credentials; WBEM_E_INVALID_PARAMETER for a user name that
// carries its domain together with an authority).
HRESULT Authenticate(const std::wstring& server, const wchar_t* user, const wchar_t* password,
                     const wchar_t* authority, Account* account);

// Whether a blanket's identity carries the account's credentials.
bool Carries(const COAUTHIDENTITY* identity, const Account& account);

}  // namespace network

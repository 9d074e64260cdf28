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
    bool protectedUser = false;  // in Protected Users: Kerberos only
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

// The authentication services of a connection or blanket, as RPC numbers them.
constexpr DWORD kNtlm = 10;       // RPC_C_AUTHN_WINNT
constexpr DWORD kKerberos = 16;   // RPC_C_AUTHN_GSS_KERBEROS
constexpr DWORD kNegotiate = 9;   // RPC_C_AUTHN_GSS_NEGOTIATE
constexpr DWORD kDefault = 0xFFFFFFFF;  // RPC_C_AUTHN_DEFAULT: DCOM negotiates

// SEC_E_TARGET_UNKNOWN: Kerberos has no principal for the name asked for.
constexpr HRESULT kTargetUnknown = static_cast<HRESULT>(0x80090303);

// The mechanism a member computer grants account for a request: service
// (kNtlm, kKerberos, kNegotiate or kDefault) and, for Kerberos, principal
// (null: none given; defaulted: DCOM's own choice, the server's name). S_OK
// with *mechanism kNtlm or kKerberos, or the refusal:
//   Kerberos to a computer named by an IP address, or to a principal that
//   names another computer: kTargetUnknown; for a local account:
//   E_ACCESSDENIED;
//   NTLM on a computer whose policy refuses it, or for an account in
//   Protected Users: E_ACCESSDENIED;
//   negotiate: Kerberos where the computer's name and the account allow it,
//   else NTLM under NTLM's rules.
HRESULT Grant(const std::wstring& server, const Account& account, DWORD service, const wchar_t* principal,
              bool defaulted, DWORD* mechanism);

// The account that ConnectServer's user, password and authority name on a
// member computer, as Windows decides it, and the mechanism activation
// used (the authority's: "ntlmdomain:" NTLM, "kerberos:" Kerberos, none
// negotiated, under Grant's rules): S_OK with *account and *mechanism, or
// the failure Windows gives (E_ACCESSDENIED for an unknown account, a wrong
// password or no credentials; WBEM_E_INVALID_PARAMETER for a user name that
// carries its domain together with an "ntlmdomain:" authority; Grant's
// refusals).
HRESULT Authenticate(const std::wstring& server, const wchar_t* user, const wchar_t* password,
                     const wchar_t* authority, Account* account, DWORD* mechanism);

// Whether a blanket's identity carries the account's credentials.
bool Carries(const COAUTHIDENTITY* identity, const Account& account);

}  // namespace network

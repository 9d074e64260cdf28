// Authentication to WinRM through the system's GSS-API (Kerberos, NTLM):
// the account's names for each mechanism, the choice of mechanism, the
// HTTP header exchange (Authorization / WWW-Authenticate: Negotiate), and
// the causes of a failed logon worded for the administrator. The tokens
// themselves are the GSS-API's; nothing here reads them.
#pragma once

#include <gssapi/gssapi.h>

#include <memory>
#include <string>

namespace wsman {

// How the client authenticates (--auth).
enum class Method { Negotiate, Kerberos, Ntlm, Basic };

// The names one account goes by.
struct AccountNames {
    // The Kerberos principal: "user@REALM", or "user" for the default realm;
    // "" for the ticket cache's (or the keytab's) own.
    std::string kerberos;
    // NTLM's user name: "DOMAIN\user", "user@domain", or "user" (an account
    // of the target itself).
    std::string ntlm;
};

// user and domain as the command line split them (DOMAIN\user gives both,
// user@domain keeps its domain in user); realm: --realm, "" for the default.
AccountNames MapAccount(const std::string& user, const std::string& domain, const std::string& realm);

// Base64 of bytes, and back (false on anything that is not Base64).
std::string Base64(const std::string& bytes);
bool FromBase64(const std::string& text, std::string* bytes);

// The Authorization header's value for a token: "Negotiate <base64>".
// Kerberos goes under Negotiate too, as WinRM accepts.
std::string AuthorizationValue(const std::string& token);

// What a WWW-Authenticate (its values joined by ", ") offers.
struct Offer {
    bool negotiate = false, kerberos = false, basic = false;
    std::string token;       // Negotiate's (or Kerberos') token, decoded; "" for none
    bool malformed = false;  // a token that is not Base64
};
Offer ReadOffer(const std::string& authenticate);

// Why a logon failed, as far as the client can tell.
enum class Cause {
    None,
    KdcUnreachable,   // no KDC of the realm answered, or the realm is unknown
    ClockSkew,        // this computer's clock and the KDC's or target's differ too much
    Expired,          // the ticket (or the keytab's key) expired
    PasswordExpired,  // the account's password expired
    UnknownService,   // the KDC has no HTTP/<name> principal
    UnknownClient,    // the KDC has no such account
    WrongPassword,    // the KDC (or the target, with NTLM) refused the password or
                      // key
    Revoked,          // the account is disabled, expired or locked out
    NoCredentials,    // no ticket, no keytab entry, no password
    NoRights,         // authenticated, then refused by the target
    Refused,          // the target refused the logon without saying why
    Other,
};

// The cause a GSS-API status stands for (the minor status of the Kerberos
// mechanism is a krb5 error code).
Cause CauseOf(OM_uint32 major, OM_uint32 minor);

// Whether the KDC has judged the password (or key) itself: negotiate must
// not try NTLM after that, which would count a second failed logon.
bool KdcRefusedSecret(Cause cause);

// The text naming the cause and its remedy. account: the name tried ("" for
// the ticket cache's); host: the target's name; keytab: whether the key
// came from a keytab.
std::string CauseText(Cause cause, const std::string& account, const std::string& host, bool keytab);

// What the client authenticates with.
struct Credentials {
    Credentials() = default;
    Credentials(const Credentials&) = default;
    Credentials& operator=(const Credentials&) = default;
    ~Credentials();

    Method method = Method::Negotiate;
    AccountNames account;
    std::string password;  // "" for none
    std::string keytab;    // Kerberos keys (a service account); "" for none
    // The target's name: the service principal is HTTP/<host>.
    std::string host;
    bool hostIsAddress = false;  // an IP address: Kerberos cannot name it
};

// A logon that failed: the cause and the text for the administrator.
struct Failure {
    Cause cause = Cause::Other;
    std::string text;
};

// One GSS-API security context with the target: picks the mechanism,
// acquires the credential and makes the tokens of each leg.
class GssLogon {
public:
    explicit GssLogon(Credentials credentials);
    ~GssLogon();
    GssLogon(const GssLogon&) = delete;
    GssLogon& operator=(const GssLogon&) = delete;

    // The first token; bindings: the TLS channel binding's application data
    // ("" for none). False with *failure when no mechanism can start. The
    // password is wiped either way.
    bool Start(const std::string& bindings, std::string* token, Failure* failure);
    // The next token from the target's; *token may stay empty at the end.
    bool Step(const std::string& input, std::string* token, Failure* failure);
    bool Established() const { return established_; }
    gss_ctx_id_t Context() const { return context_; }
    // "Kerberos" or "NTLM", and why negotiate took it (for -v).
    const std::string& Mechanism() const { return mechanism_; }
    const std::string& Reason() const { return reason_; }
    // The mechanism of the established context, as the GSS-API tells it.
    std::string Negotiated() const;
    // The account name shown in texts.
    std::string Account() const;

private:
    bool Begin(bool kerberos, Failure* failure);
    bool Init(const std::string& input, std::string* token, Failure* failure);
    void Reset();

    Credentials credentials_;
    gss_cred_id_t cred_ = GSS_C_NO_CREDENTIAL;
    gss_name_t target_ = GSS_C_NO_NAME;
    gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
    gss_channel_bindings_struct bindings_{};
    std::string bindingData_;
    bool useBindings_ = false, kerberos_ = false, established_ = false;
    std::string mechanism_, reason_;
};

// RFC 5929's tls-server-end-point binding of a PEM certificate:
// "tls-server-end-point:" and the hash of its DER form (SHA-256 where the
// certificate's own signature hash is MD5 or SHA-1). "" when unreadable.
std::string ServerEndPoint(const std::string& pem);

}  // namespace wsman

#include "Authentication.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <krb5/krb5.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <new>
#include <vector>

namespace wsman {

namespace {

gss_OID_desc kNtlmOid = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};

void WipeString(std::string* text) noexcept {
    text->resize(text->capacity());
    volatile char* bytes = &(*text)[0];
    for (size_t i = 0; i < text->size(); ++i) bytes[i] = 0;
    text->clear();
}

// A GSS-API buffer released when it goes; wiped first, as a token may hold
// key material.
struct Buffer {
    gss_buffer_desc desc = GSS_C_EMPTY_BUFFER;
    ~Buffer() {
        OM_uint32 minor = 0;
        if (desc.value) std::memset(desc.value, 0, desc.length);
        gss_release_buffer(&minor, &desc);
    }
    std::string Text() const { return std::string(static_cast<const char*>(desc.value), desc.length); }
};

gss_buffer_desc View(const std::string& text) { return gss_buffer_desc{text.size(), const_cast<char*>(text.data())}; }

bool Import(const std::string& text, gss_OID type, gss_name_t* name, OM_uint32* minor) {
    gss_buffer_desc buffer = View(text);
    return gss_import_name(minor, &buffer, type, name) == GSS_S_COMPLETE;
}

bool Is(OM_uint32 minor, long code) { return minor == static_cast<OM_uint32>(code); }

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

AccountNames MapAccount(const std::string& user, const std::string& domain, const std::string& realm) {
    AccountNames names;
    if (user.empty()) return names;
    const bool principal = user.find('@') != std::string::npos;
    names.kerberos = principal || realm.empty() ? user : user + "@" + realm;
    names.ntlm = domain.empty() ? user : domain + "\\" + user;
    return names;
}

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                  reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return text;
}

bool FromBase64(const std::string& text, std::string* bytes) {
    // EVP_DecodeBlock takes whole quads and counts the padding as data.
    if (text.size() % 4 != 0) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const bool pad = c == '=' && i + 2 >= text.size() && (i + 1 == text.size() || text.back() == '=');
        if (!std::isalnum(c) && c != '+' && c != '/' && !pad) return false;
    }
    std::string out(text.size() / 4 * 3, '\0');
    const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&out[0]),
                                  reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (n < 0) return false;
    size_t length = static_cast<size_t>(n);
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i) --length;
    out.resize(length);
    bytes->swap(out);
    return true;
}

std::string AuthorizationValue(const std::string& token) { return "Negotiate " + Base64(token); }

Offer ReadOffer(const std::string& authenticate) {
    Offer offer;
    size_t start = 0;
    while (start < authenticate.size()) {
        size_t end = authenticate.find(',', start);
        if (end == std::string::npos) end = authenticate.size();
        std::string entry = authenticate.substr(start, end - start);
        start = end + 1;
        const size_t first = entry.find_first_not_of(" \t");
        if (first == std::string::npos) continue;
        entry = entry.substr(first, entry.find_last_not_of(" \t") - first + 1);
        const size_t blank = entry.find(' ');
        const std::string scheme = Lower(entry.substr(0, blank));
        const std::string data = blank == std::string::npos ? "" : entry.substr(entry.find_first_not_of(' ', blank));
        const bool gss = scheme == "negotiate" || scheme == "kerberos";
        offer.negotiate = offer.negotiate || scheme == "negotiate";
        offer.kerberos = offer.kerberos || scheme == "kerberos";
        offer.basic = offer.basic || scheme == "basic";
        if (gss && !data.empty() && offer.token.empty() && !FromBase64(data, &offer.token)) offer.malformed = true;
    }
    return offer;
}

Cause CauseOf(OM_uint32 major, OM_uint32 minor) {
    if (major == GSS_S_COMPLETE || major == GSS_S_CONTINUE_NEEDED) return Cause::None;
    if (Is(minor, KRB5_KDC_UNREACH) || Is(minor, KRB5_REALM_CANT_RESOLVE) || Is(minor, KRB5_REALM_UNKNOWN) ||
        Is(minor, KRB5_CONFIG_NODEFREALM))
        return Cause::KdcUnreachable;
    if (Is(minor, KRB5KRB_AP_ERR_SKEW)) return Cause::ClockSkew;
    if (Is(minor, KRB5KRB_AP_ERR_TKT_EXPIRED) || GSS_ROUTINE_ERROR(major) == GSS_S_CREDENTIALS_EXPIRED)
        return Cause::Expired;
    if (Is(minor, KRB5KDC_ERR_KEY_EXP)) return Cause::PasswordExpired;
    if (Is(minor, KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN)) return Cause::UnknownService;
    if (Is(minor, KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN)) return Cause::UnknownClient;
    if (Is(minor, KRB5KDC_ERR_PREAUTH_FAILED) || Is(minor, KRB5KRB_AP_ERR_BAD_INTEGRITY) ||
        Is(minor, KRB5_PREAUTH_FAILED))
        return Cause::WrongPassword;
    if (Is(minor, KRB5KDC_ERR_CLIENT_REVOKED) || Is(minor, KRB5KDC_ERR_NAME_EXP)) return Cause::Revoked;
    if (Is(minor, KRB5_FCC_NOFILE) || Is(minor, KRB5_CC_NOTFOUND) || Is(minor, KRB5_KT_NOTFOUND) ||
        Is(minor, KRB5_KT_END) || Is(minor, ENOENT) || GSS_ROUTINE_ERROR(major) == GSS_S_NO_CRED)
        return Cause::NoCredentials;
    return Cause::Other;
}

bool KdcRefusedSecret(Cause cause) {
    return cause == Cause::WrongPassword || cause == Cause::Revoked || cause == Cause::UnknownClient ||
           cause == Cause::PasswordExpired;
}

std::string CauseText(Cause cause, const std::string& account, const std::string& host, bool keytab) {
    const std::string who = account.empty() ? "the ticket cache's account" : account;
    switch (cause) {
    case Cause::None:
        return "";
    case Cause::KdcUnreachable:
        return "no Kerberos KDC of the realm answered: check the realm's kdc "
               "entries in krb5.conf (or its DNS SRV "
               "records), that port 88 is open to it, and --realm";
    case Cause::ClockSkew:
        return "the clock of this computer differs from the KDC's or " + host +
               "'s by more than Kerberos allows (5 minutes by default): "
               "synchronise both with NTP";
    case Cause::Expired:
        return keytab ? "the key of " + who +
                            " in the keytab is out of date (its password changed "
                            "or expired): "
                            "export a new keytab"
                      : "the Kerberos ticket of " + who +
                            " has expired: renew it (kinit, or the service that "
                            "keeps the cache fresh)";
    case Cause::PasswordExpired:
        return "the password of " + who + " has expired: change it, then the one wmicheck reads";
    case Cause::UnknownService:
        return "the KDC knows no service principal HTTP/" + host +
               ": give --host the name the computer is "
               "registered under (its full DNS name) and --address for the "
               "address, or register the name "
               "(setspn -S HTTP/" +
               host + ")";
    case Cause::UnknownClient:
        return "the KDC knows no account " + who + ": check --user and --realm";
    case Cause::WrongPassword:
        return keytab ? "the KDC refused the key of " + who + " in the keytab: export a new keytab"
                      : "the password of " + who +
                            " is wrong: check --password-file or WMICHECK_PASSWORD "
                            "(each "
                            "failed logon counts towards the account's lockout)";
    case Cause::Revoked:
        return "the account " + who +
               " is disabled, has expired, or is locked out: ask the domain's "
               "administrators";
    case Cause::NoCredentials:
        return keytab ? "the keytab holds no key of " + who + ": check --keytab and --user"
                      : "no Kerberos ticket for " + who +
                            ": run kinit (or set KRB5CCNAME), give a service "
                            "account's --keytab, or --user with a "
                            "password";
    case Cause::NoRights:
        return host + " authenticated " + who +
               " and then refused it: the account needs to be a member of "
               "Administrators or Remote Management Users there";
    case Cause::Refused:
        return host + " refused the logon of " + who +
               ": the password may be wrong, or the account may have no "
               "right to WinRM there (Administrators or Remote Management Users)";
    case Cause::Other:
        break;
    }
    return "the logon of " + who + " to " + host + " failed";
}

Credentials::~Credentials() { WipeString(&password); }

GssLogon::GssLogon(Credentials credentials) : credentials_(std::move(credentials)) {}

GssLogon::~GssLogon() {
    Reset();
    WipeString(&credentials_.password);
}

void GssLogon::Reset() {
    OM_uint32 minor = 0;
    if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
    if (cred_ != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &cred_);
    if (target_ != GSS_C_NO_NAME) gss_release_name(&minor, &target_);
    established_ = false;
}

std::string GssLogon::Account() const { return kerberos_ ? credentials_.account.kerberos : credentials_.account.ntlm; }

bool GssLogon::Begin(bool kerberos, Failure* failure) {
    Reset();
    kerberos_ = kerberos;
    mechanism_ = kerberos ? "Kerberos" : "NTLM";
    OM_uint32 minor = 0, major = 0;
    const std::string service = "HTTP@" + credentials_.host;
    if (!Import(service, GSS_C_NT_HOSTBASED_SERVICE, &target_, &minor)) {
        failure->cause = Cause::Other;
        failure->text = "the service name " + service + " is not valid";
        return false;
    }
    gss_OID_desc* mech = kerberos ? gss_mech_krb5 : &kNtlmOid;
    gss_OID_set_desc mechs = {1, mech};
    const std::string& account = kerberos ? credentials_.account.kerberos : credentials_.account.ntlm;
    gss_name_t name = GSS_C_NO_NAME;
    if (!account.empty() &&
        !Import(account, kerberos ? GSS_KRB5_NT_PRINCIPAL_NAME : GSS_C_NT_USER_NAME, &name, &minor)) {
        failure->cause = Cause::UnknownClient;
        failure->text = "the account " + account + " is no valid name for " + mechanism_;
        return false;
    }
    if (kerberos && !credentials_.keytab.empty()) {
        // A memory cache of this process's own: the poller's cache stays as it is.
        const std::string cache = "MEMORY:wmicheck-" + std::to_string(::getpid());
        gss_key_value_element_desc elements[] = {{"client_keytab", credentials_.keytab.c_str()},
                                                 {"ccache", cache.c_str()}};
        gss_key_value_set_desc store = {2, elements};
        major = gss_acquire_cred_from(&minor, name, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE, &store, &cred_, nullptr,
                                      nullptr);
    } else if (!credentials_.password.empty() && name != GSS_C_NO_NAME) {
        gss_buffer_desc secret = View(credentials_.password);
        major = gss_acquire_cred_with_password(&minor, name, &secret, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE, &cred_,
                                               nullptr, nullptr);
    } else {
        major = gss_acquire_cred(&minor, name, GSS_C_INDEFINITE, &mechs, GSS_C_INITIATE, &cred_, nullptr, nullptr);
    }
    OM_uint32 ignored = 0;
    if (name != GSS_C_NO_NAME) gss_release_name(&ignored, &name);
    if (GSS_ERROR(major)) {
        failure->cause = CauseOf(major, minor);
        failure->text = CauseText(failure->cause, account, credentials_.host, kerberos && !credentials_.keytab.empty());
        return false;
    }
    return true;
}

bool GssLogon::Init(const std::string& input, std::string* token, Failure* failure) {
    OM_uint32 minor = 0, flags = 0;
    gss_buffer_desc in = View(input);
    Buffer out;
    gss_OID_desc* mech = kerberos_ ? gss_mech_krb5 : &kNtlmOid;
    const OM_uint32 wanted =
        GSS_C_MUTUAL_FLAG | GSS_C_SEQUENCE_FLAG | GSS_C_REPLAY_FLAG | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG;
    const OM_uint32 major =
        gss_init_sec_context(&minor, cred_, &context_, target_, mech, wanted, GSS_C_INDEFINITE,
                             useBindings_ ? &bindings_ : GSS_C_NO_CHANNEL_BINDINGS,
                             input.empty() ? GSS_C_NO_BUFFER : &in, nullptr, &out.desc, &flags, nullptr);
    if (GSS_ERROR(major)) {
        failure->cause = CauseOf(major, minor);
        failure->text =
            CauseText(failure->cause, Account(), credentials_.host, kerberos_ && !credentials_.keytab.empty());
        return false;
    }
    *token = out.Text();
    established_ = major == GSS_S_COMPLETE;
    if (established_ && !(flags & GSS_C_CONF_FLAG)) {
        failure->cause = Cause::Other;
        failure->text = mechanism_ + " gave a context without encryption, which WinRM over HTTP needs";
        return false;
    }
    return true;
}

bool GssLogon::Start(const std::string& bindings, std::string* token, Failure* failure) {
    // The password serves the credential alone: gone once it is acquired.
    struct WipeAfter {
        std::string* password;
        ~WipeAfter() { WipeString(password); }
    } wipe{&credentials_.password};
    bindingData_ = bindings;
    useBindings_ = !bindings.empty();
    bindings_ = gss_channel_bindings_struct{};
    bindings_.application_data = View(bindingData_);
    const Method method = credentials_.method;
    const bool ntlmPossible = !credentials_.password.empty();
    if (method == Method::Ntlm) {
        reason_ = "asked for with --auth ntlm";
        return Begin(false, failure) && Init("", token, failure);
    }
    if (method == Method::Negotiate && credentials_.hostIsAddress) {
        reason_ = credentials_.host + " is an IP address, which Kerberos cannot name";
        return Begin(false, failure) && Init("", token, failure);
    }
    Failure kerberos;
    if (Begin(true, &kerberos) && Init("", token, &kerberos)) {
        reason_ = method == Method::Kerberos ? "asked for with --auth kerberos"
                                             : "the KDC issued a ticket for HTTP/" + credentials_.host;
        return true;
    }
    // Negotiate takes NTLM where Kerberos could not start, but never once
    // the KDC has judged the password: that would be a second failed logon.
    if (method == Method::Kerberos || !ntlmPossible || KdcRefusedSecret(kerberos.cause) ||
        kerberos.cause == Cause::ClockSkew || !credentials_.keytab.empty()) {
        *failure = kerberos;
        return false;
    }
    reason_ = "Kerberos could not start: " + kerberos.text;
    return Begin(false, failure) && Init("", token, failure);
}

std::string GssLogon::Negotiated() const {
    OM_uint32 minor = 0;
    gss_OID mech = GSS_C_NO_OID;
    if (context_ == GSS_C_NO_CONTEXT ||
        GSS_ERROR(gss_inquire_context(&minor, context_, nullptr, nullptr, nullptr, &mech, nullptr, nullptr, nullptr)) ||
        mech == GSS_C_NO_OID)
        return "";
    if (gss_oid_equal(mech, gss_mech_krb5)) return "Kerberos";
    if (gss_oid_equal(mech, &kNtlmOid)) return "NTLM";
    return "another mechanism";
}

bool GssLogon::Step(const std::string& input, std::string* token, Failure* failure) {
    token->clear();
    if (established_) return true;
    return Init(input, token, failure);
}

std::string ServerEndPoint(const std::string& pem) {
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (!bio) return "";
    X509* certificate = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
    BIO_free(bio);
    if (!certificate) return "";
    int digestNid = NID_undef, keyNid = NID_undef;
    const EVP_MD* digest = nullptr;
    if (OBJ_find_sigid_algs(X509_get_signature_nid(certificate), &digestNid, &keyNid))
        digest = EVP_get_digestbynid(digestNid);
    if (!digest || digestNid == NID_md5 || digestNid == NID_sha1) digest = EVP_sha256();
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    const bool ok = X509_digest(certificate, digest, hash, &length) == 1;
    X509_free(certificate);
    if (!ok) return "";
    return "tls-server-end-point:" + std::string(reinterpret_cast<char*>(hash), length);
}

}  // namespace wsman

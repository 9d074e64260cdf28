// The logon through the GSS-API without a network: the account's names, the
// header exchange byte for byte (against the NTLM mechanism's own acceptor),
// the causes of failures, and the choice of mechanism with a KDC that does
// not answer.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_krb5.h>
#include <gtest/gtest.h>
#include <krb5/krb5.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "Authentication.h"
#include "Client.h"

namespace {

using namespace wsman;

TEST(Account, FormsMapToEachMechanismsName) {
    const struct {
        const char *user, *domain, *realm, *kerberos, *ntlm;
    } cases[] = {
        {"monitor@CORP.EXAMPLE", "", "", "monitor@CORP.EXAMPLE", "monitor@CORP.EXAMPLE"},
        {"monitor@CORP.EXAMPLE", "", "OTHER.EXAMPLE", "monitor@CORP.EXAMPLE", "monitor@CORP.EXAMPLE"},
        {"monitor", "CORP", "", "monitor", "CORP\\monitor"},  // the default realm
        {"monitor", "CORP", "CORP.EXAMPLE", "monitor@CORP.EXAMPLE", "CORP\\monitor"},
        {"admin", "", "", "admin", "admin"},  // NTLM: the target's own account
        {"admin", "", "CORP.EXAMPLE", "admin@CORP.EXAMPLE", "admin"},
        {"", "", "CORP.EXAMPLE", "", ""},  // the ticket cache's own
    };
    for (const auto& c : cases) {
        const AccountNames names = MapAccount(c.user, c.domain, c.realm);
        EXPECT_EQ(c.kerberos, names.kerberos) << c.user << " " << c.domain;
        EXPECT_EQ(c.ntlm, names.ntlm) << c.user << " " << c.domain;
    }
}

TEST(Header, OffersAndTokensReadByteForByte) {
    const struct {
        const char* authenticate;
        bool negotiate, kerberos, basic, malformed;
        std::string token;
    } cases[] = {
        {"Negotiate, Kerberos, Basic realm=\"WSMAN\"", true, true, true, false, ""},
        {"Negotiate oRQwEqADCgEAoQsGCSqGSIb3EgECAg==", true, false, false, false,
         std::string("\xa1\x14\x30\x12\xa0\x03\x0a\x01\x00\xa1\x0b\x06\x09\x2a"
                     "\x86\x48\x86\xf7\x12\x01\x02\x02",
                     22)},
        {"negotiate AAE=", true, false, false, false, std::string("\0\x01", 2)},
        {"Kerberos AAEC", false, true, false, false, std::string("\0\x01\x02", 3)},
        {"Basic realm=\"WSMAN\", Negotiate  TlRMTVNTUAAC", true, false, true, false, std::string("NTLMSSP\0\x02", 9)},
        {"Negotiate TlRMTVNTUAAC=", true, false, false, true, ""},  // not whole quads
        {"Negotiate Tl*MTVNT", true, false, false, true, ""},
        {"Negotiate A=AA", true, false, false, true, ""},  // padding inside
        {"", false, false, false, false, ""},
    };
    for (const auto& c : cases) {
        const Offer offer = ReadOffer(c.authenticate);
        EXPECT_EQ(c.negotiate, offer.negotiate) << c.authenticate;
        EXPECT_EQ(c.kerberos, offer.kerberos) << c.authenticate;
        EXPECT_EQ(c.basic, offer.basic) << c.authenticate;
        EXPECT_EQ(c.malformed, offer.malformed) << c.authenticate;
        if (!c.malformed) {
            EXPECT_EQ(c.token, offer.token) << c.authenticate;
        }
    }
    EXPECT_EQ("Negotiate TlRMTVNTUAABAAAA", AuthorizationValue(std::string("NTLMSSP\0\x01\0\0\0", 12)));
    EXPECT_EQ("Negotiate AAE=", AuthorizationValue(std::string("\0\x01", 2)));
}

TEST(Causes, KerberosCodesNameTheCauseAndTheRemedy) {
    const OM_uint32 failure = GSS_S_FAILURE;
    const struct {
        OM_uint32 major;
        long minor;
        Cause cause;
        bool kdcJudged;
        const char* remedy;
    } cases[] = {
        {failure, KRB5_KDC_UNREACH, Cause::KdcUnreachable, false, "port 88"},
        {failure, KRB5_REALM_CANT_RESOLVE, Cause::KdcUnreachable, false, "krb5.conf"},
        {failure, KRB5KRB_AP_ERR_SKEW, Cause::ClockSkew, false, "NTP"},
        {failure, KRB5KRB_AP_ERR_TKT_EXPIRED, Cause::Expired, false, "renew it"},
        {GSS_S_CREDENTIALS_EXPIRED, 0, Cause::Expired, false, "kinit"},
        {failure, KRB5KDC_ERR_KEY_EXP, Cause::PasswordExpired, true, "change it"},
        {failure, KRB5KDC_ERR_NAME_EXP, Cause::Revoked, true, "has expired"},
        {failure, KRB5KDC_ERR_S_PRINCIPAL_UNKNOWN, Cause::UnknownService, false, "setspn -S HTTP/srv01"},
        {failure, KRB5KDC_ERR_C_PRINCIPAL_UNKNOWN, Cause::UnknownClient, true, "--realm"},
        {failure, KRB5KDC_ERR_PREAUTH_FAILED, Cause::WrongPassword, true, "lockout"},
        {failure, KRB5KDC_ERR_CLIENT_REVOKED, Cause::Revoked, true, "locked out"},
        {failure, KRB5_FCC_NOFILE, Cause::NoCredentials, false, "kinit"},
        {GSS_S_NO_CRED, 0, Cause::NoCredentials, false, "--keytab"},
        {failure, 12345, Cause::Other, false, "failed"},
        {GSS_S_CONTINUE_NEEDED, KRB5_KDC_UNREACH, Cause::None, false, ""},
    };
    for (const auto& c : cases) {
        const Cause cause = CauseOf(c.major, static_cast<OM_uint32>(c.minor));
        EXPECT_EQ(c.cause, cause) << c.minor;
        EXPECT_EQ(c.kdcJudged, KdcRefusedSecret(cause)) << c.minor;
        EXPECT_NE(std::string::npos, CauseText(cause, "monitor@CORP.EXAMPLE", "srv01", false).find(c.remedy))
            << c.minor;
    }
    EXPECT_NE(std::string::npos, CauseText(Cause::WrongPassword, "svc", "srv01", true).find("new keytab"));
}

// A folder of the test's own with a krb5.conf whose KDC refuses every
// connection, no ticket cache, and the NTLM mechanism's user file.
class Logon : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        char name[] = "/tmp/wsman-auth-XXXXXX";
        folder_ = mkdtemp(name);
        std::ofstream(folder_ + "/krb5.conf") << "[libdefaults]\n default_realm = CORP.EXAMPLE\n"
                                                 " dns_lookup_kdc = false\n dns_lookup_realm = false\n"
                                                 " dns_canonicalize_hostname = false\n rdns = false\n"
                                                 "[realms]\n CORP.EXAMPLE = {\n  kdc = tcp/127.0.0.1:1\n }\n";
        std::ofstream(folder_ + "/ntlm.users") << "CORP:monitor:M0nitor!\n";
        setenv("KRB5_CONFIG", (folder_ + "/krb5.conf").c_str(), 1);
        setenv("KRB5CCNAME", ("FILE:" + folder_ + "/no-cache").c_str(), 1);
        setenv("NTLM_USER_FILE", (folder_ + "/ntlm.users").c_str(), 1);
    }
    static void TearDownTestSuite() {
        for (const char* file : {"/krb5.conf", "/ntlm.users"}) std::remove((folder_ + file).c_str());
        rmdir(folder_.c_str());
    }
    static Credentials Make(Method method, const std::string& host, const std::string& password,
                            const std::string& keytab = "") {
        Credentials c;
        c.method = method;
        c.account = MapAccount("monitor", "CORP", "");
        c.password = password;
        c.keytab = keytab;
        c.host = host;
        c.hostIsAddress = host[0] >= '0' && host[0] <= '9';
        return c;
    }
    static std::string folder_;
};
std::string Logon::folder_;

TEST_F(Logon, MechanismFollowsTheTargetAndTheKdc) {
    const struct {
        Method method;
        const char *host, *password, *keytab;
        const char* mechanism;  // "" when no logon can start
        Cause cause;
        const char* reason;
    } cases[] = {
        // Negotiate takes NTLM when no KDC answers, and for an address.
        {Method::Negotiate, "srv01", "M0nitor!", "", "NTLM", Cause::None, "Kerberos could not start"},
        {Method::Negotiate, "10.0.0.5", "M0nitor!", "", "NTLM", Cause::None, "IP address"},
        {Method::Ntlm, "srv01", "M0nitor!", "", "NTLM", Cause::None, "--auth ntlm"},
        {Method::Kerberos, "srv01", "M0nitor!", "", "", Cause::KdcUnreachable, ""},
        // No ticket and no password: nothing NTLM could send either.
        {Method::Kerberos, "srv01", "", "", "", Cause::NoCredentials, ""},
        {Method::Negotiate, "srv01", "", "", "", Cause::NoCredentials, ""},
        // A service account's keytab never turns into NTLM.
        {Method::Negotiate, "srv01", "", "/nonexistent.keytab", "", Cause::Other, ""},
    };
    for (const auto& c : cases) {
        GssLogon logon(Make(c.method, c.host, c.password, c.keytab));
        std::string token;
        Failure failure;
        const bool started = logon.Start("", &token, &failure);
        SCOPED_TRACE(std::string(c.host) + " " + c.password + " " + failure.text);
        ASSERT_EQ(*c.mechanism != 0, started);
        if (started) {
            EXPECT_EQ(c.mechanism, logon.Mechanism());
            EXPECT_NE(std::string::npos, logon.Reason().find(c.reason)) << logon.Reason();
            EXPECT_EQ(0, token.compare(0, 12, std::string("NTLMSSP\0\x01\0\0\0", 12)));
        } else if (c.cause != Cause::Other) {
            EXPECT_EQ(c.cause, failure.cause);
        }
        EXPECT_TRUE(failure.text.find("M0nitor!") == std::string::npos);
    }
}

// The target's side: the NTLM mechanism's acceptor, with its user file.
struct Acceptor {
    gss_ctx_id_t context = GSS_C_NO_CONTEXT;
    std::vector<std::string> seen;  // the Authorization values, in order
    ~Acceptor() {
        OM_uint32 minor = 0;
        if (context != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context, GSS_C_NO_BUFFER);
    }
    Reply Answer(const std::string& authorization) {
        seen.push_back(authorization);
        std::string token;
        if (authorization.compare(0, 10, "Negotiate ") != 0 || !FromBase64(authorization.substr(10), &token))
            return Reply{400, "", ""};
        gss_buffer_desc in{token.size(), &token[0]}, out = GSS_C_EMPTY_BUFFER;
        OM_uint32 minor = 0;
        const OM_uint32 major =
            gss_accept_sec_context(&minor, &context, GSS_C_NO_CREDENTIAL, &in, GSS_C_NO_CHANNEL_BINDINGS, nullptr,
                                   nullptr, &out, nullptr, nullptr, nullptr);
        const std::string answer(static_cast<char*>(out.value), out.length);
        gss_release_buffer(&minor, &out);
        if (GSS_ERROR(major)) return Reply{401, "", "Negotiate"};
        return Reply{major == GSS_S_COMPLETE ? 200L : 401L, "", answer.empty() ? "" : "Negotiate " + Base64(answer)};
    }
};

TEST_F(Logon, NtlmLegsOnTheHeaders) {
    const struct {
        const char* password;
        bool ok;
        const char* text;
    } cases[] = {
        {"M0nitor!", true, ""},
        {"wrong", false, "refused the logon of CORP\\monitor"},
    };
    for (const auto& c : cases) {
        GssLogon logon(Make(Method::Ntlm, "srv01", c.password));
        Acceptor target;
        std::string said;
        try {
            RunLogon(
                logon, "", "srv01", [&](const std::string& a) { return target.Answer(a); },
                [&](const std::string& s) { said += s + "\n"; });
            EXPECT_TRUE(c.ok);
            EXPECT_TRUE(logon.Established());
            EXPECT_NE(std::string::npos, said.find("logon with NTLM")) << said;
            // What the GSS-API says of the context, not what was asked for.
            EXPECT_NE(std::string::npos, said.find("logged on as CORP\\monitor with NTLM")) << said;
        } catch (const Error& error) {
            EXPECT_FALSE(c.ok) << error.detail;
            EXPECT_EQ(Error::Kind::Logon, error.kind);
            EXPECT_NE(std::string::npos, error.detail.find(c.text)) << error.detail;
        }
        // Negotiate, then Authenticate: two legs, each under Negotiate.
        ASSERT_EQ(2u, target.seen.size());
        EXPECT_EQ(0u, target.seen[0].find("Negotiate TlRMTVNTUAABAAAA"));
        EXPECT_EQ(0u, target.seen[1].find("Negotiate TlRMTVNTUAADAAAA"));
    }
}

TEST_F(Logon, AnswersThatEndTheExchange) {
    const struct {
        Reply reply;
        Error::Kind kind;
    } cases[] = {
        {Reply{401, "", "Negotiate !!!!"}, Error::Kind::Malformed},
        {Reply{500, "", ""}, Error::Kind::Http},
        {Reply{200, "", ""}, Error::Kind::Logon},  // before NTLM's last leg
        {Reply{401, "", "Basic realm=\"WSMAN\""}, Error::Kind::Logon},
    };
    for (const auto& c : cases) {
        GssLogon logon(Make(Method::Ntlm, "srv01", "M0nitor!"));
        try {
            RunLogon(
                logon, "", "srv01", [&](const std::string&) { return c.reply; }, nullptr);
            ADD_FAILURE() << c.reply.status;
        } catch (const Error& error) {
            EXPECT_EQ(c.kind, error.kind) << c.reply.status << " " << c.reply.authenticate;
        }
    }
}

TEST(Binding, ServerEndPointHashesTheCertificate) {
    char name[] = "/tmp/wsman-cert-XXXXXX";
    const std::string folder = mkdtemp(name);
    const std::string pem = folder + "/c.pem";
    const std::string make = "openssl req -x509 -newkey rsa:2048 -nodes -keyout " + folder + "/k.pem -out " + pem +
                             " -subj /CN=srv01 -days 1 -sha384 2>/dev/null && openssl x509 -in " + pem +
                             " -noout -fingerprint -sha384";
    std::FILE* run = popen(make.c_str(), "r");
    ASSERT_TRUE(run);
    char line[512] = {};
    const bool read = std::fgets(line, sizeof line, run) != nullptr;
    pclose(run);
    ASSERT_TRUE(read);
    std::string expected;  // "sha384 Fingerprint=AB:CD:..."
    for (const char* p = std::strchr(line, '=') + 1; p[0] && p[1] && p[0] != '\n'; p += 3)
        expected += static_cast<char>(std::stoi(std::string(p, 2), nullptr, 16));
    std::ifstream in(pem);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ("tls-server-end-point:" + expected, ServerEndPoint(text));
    EXPECT_EQ("", ServerEndPoint("not a certificate"));
    for (const char* file : {"/c.pem", "/k.pem"}) std::remove((folder + file).c_str());
    rmdir(folder.c_str());
}

}  // namespace

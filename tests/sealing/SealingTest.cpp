// WinRM's message encryption: the framing byte for byte, round trips over
// real contexts established in this process (Kerberos against a throwaway
// MIT KDC, NTLM through gss-ntlmssp), and the bodies Unseal must refuse.
#include <gtest/gtest.h>
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "Sealing.h"
#include "SealingSupport.h"

namespace {

using wsman::sealing::Parts;
using namespace sealingtest;

// ---- The framing, without GSS-API -------------------------------------

const std::string kHead =
    "--Encrypted Boundary\r\n"
    "\tContent-Type: application/HTTP-SPNEGO-session-encrypted\r\n"
    "\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=";
const std::string kSecond = "--Encrypted Boundary\r\n\tContent-Type: application/octet-stream\r\n";
const std::string kTail = "--Encrypted Boundary--\r\n";

TEST(Framing, ContentTypeIsWinrmsOwn) {
    EXPECT_EQ(wsman::sealing::ContentType(),
              "multipart/encrypted;protocol=\"application/HTTP-SPNEGO-session-encrypted\";"
              "boundary=\"Encrypted Boundary\"");
}

TEST(Framing, BytesAroundSignatureAndSealedData) {
    struct Case {
        const char* name;
        std::string signature, sealed, lengthField;
    } cases[] = {
        {"NTLM's 16-byte signature", std::string(16, '\x5a'), "sealed!", std::string("\x10\0\0\0", 4)},
        {"a 300-byte header, length little-endian", std::string(300, '\x01'), std::string(5, '\0'),
         std::string("\x2c\x01\0\0", 4)},
        {"an empty message", std::string(60, '\x7f'), "", std::string("\x3c\0\0\0", 4)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string expected = kHead + std::to_string(c.sealed.size()) + "\r\n" + kSecond + c.lengthField +
                                     c.signature + c.sealed + kTail;
        EXPECT_EQ(wsman::sealing::Frame(c.signature, c.sealed, c.sealed.size()), expected);
        Parts parts;
        std::string error;
        ASSERT_TRUE(wsman::sealing::Parse(wsman::sealing::ContentType(), expected, &parts, &error)) << error;
        EXPECT_EQ(parts.signature, c.signature);
        EXPECT_EQ(parts.sealed, c.sealed);
        EXPECT_EQ(parts.plainLength, c.sealed.size());
    }
}

TEST(Framing, ParseAcceptsWinrmsVariants) {
    const std::string body = wsman::sealing::Frame("SIGNATURE", "data", 4);
    struct Case {
        const char* name;
        std::string contentType, body;
    } cases[] = {
        {"the Kerberos protocol name",
         "multipart/encrypted;protocol=\"application/HTTP-Kerberos-session-encrypted\";boundary=\"Encrypted Boundary\"",
         body},
        {"blanks and another case in the header", "Multipart/Encrypted; Protocol=\"application/http-spnego-session-encrypted\"; boundary=\"Encrypted Boundary\"",
         body},
        {"no line end after the closing boundary", wsman::sealing::ContentType(), body.substr(0, body.size() - 2)},
        {"a Kerberos first part", wsman::sealing::ContentType(),
         Replace(body, "\tContent-Type: application/HTTP-SPNEGO", "\tContent-Type: application/HTTP-Kerberos")},
    };
    for (const Case& c : cases) {
        Parts parts;
        std::string error;
        EXPECT_TRUE(wsman::sealing::Parse(c.contentType, c.body, &parts, &error)) << c.name << ": " << error;
        EXPECT_EQ(parts.sealed, "data") << c.name;
    }
}

TEST(Framing, ParseRefusesWhatDoesNotFit) {
    const std::string type = wsman::sealing::ContentType();
    const std::string body = wsman::sealing::Frame(std::string(16, 'S'), "0123456789", 10);
    struct Case {
        const char* name;
        std::string contentType, body, expected;
    } cases[] = {
        {"a plain SOAP answer", "application/soap+xml;charset=UTF-8", "<s:Envelope/>", "not encrypted"},
        {"CredSSP's protocol",
         "multipart/encrypted;protocol=\"application/HTTP-CredSSP-session-encrypted\";boundary=\"Encrypted Boundary\"",
         body, "unknown protocol"},
        {"another boundary", Replace(type, "\"Encrypted Boundary\"", "\"Other\""), body, "boundary"},
        {"a body without its boundary", type, body.substr(2), "does not begin"},
        {"the first part of another type", type,
         Replace(body, "HTTP-SPNEGO-session-encrypted\r\n", "HTTP-CredSSP-session-encrypted\r\n"), "first part"},
        {"no OriginalContent", type, Replace(body, "OriginalContent", "Original"), "no OriginalContent"},
        {"a Length that is no number", type, Replace(body, "Length=10", "Length=1x"), "no valid Length"},
        {"a Length past 32 bits", type, Replace(body, "Length=10", "Length=99999999999"), "no valid Length"},
        {"a Length longer than the data", type, Replace(body, "Length=10", "Length=11"), "shorter than its Length"},
        {"UTF-16", type, Replace(body, "charset=UTF-8", "charset=UTF-16"), "UTF-16"},
        {"a second part of another type", type, Replace(body, "application/octet-stream", "text/plain"),
         "second part"},
        {"no closing boundary", type, body.substr(0, body.size() - kTail.size()), "truncated"},
        {"cut inside the first part", type, body.substr(0, 60), "first part is truncated"},
        {"a signature length past the end", type, Replace(body, std::string("\x10\0\0\0", 4), "\xff\0\0\0"),
         "runs past"},
        {"no signature", type, Replace(body, std::string("\x10\0\0\0", 4), std::string(4, '\0')), "no signature"},
    };
    for (const Case& c : cases) {
        Parts parts;
        parts.sealed = "untouched";
        std::string error;
        EXPECT_FALSE(wsman::sealing::Parse(c.contentType, c.body, &parts, &error)) << c.name;
        EXPECT_NE(error.find(c.expected), std::string::npos) << c.name << ": " << error;
        EXPECT_EQ(parts.sealed, "untouched") << c.name;
    }
}

// ---- Real contexts -----------------------------------------------------

const std::string kSoap =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\"><s:Body>"
    "<p:Name>Prozessor \xc3\xa4\xc3\xb6\xc3\xbc \xe2\x82\xac</p:Name></s:Body></s:Envelope>";

enum class Mech { Kerberos, SpnegoKerberos, Ntlm, SpnegoNtlm };

const char* Name(Mech mech) {
    switch (mech) {
        case Mech::Kerberos: return "Kerberos";
        case Mech::SpnegoKerberos: return "SPNEGO with Kerberos";
        case Mech::Ntlm: return "NTLM";
        case Mech::SpnegoNtlm: return "SPNEGO with NTLM";
    }
    return "?";
}

const Mech kMechs[] = {Mech::Kerberos, Mech::SpnegoKerberos, Mech::Ntlm, Mech::SpnegoNtlm};

ContextPair Establish(Mech mech) {
    const bool kerberos = mech == Mech::Kerberos || mech == Mech::SpnegoKerberos;
    const bool spnego = mech == Mech::SpnegoKerberos || mech == Mech::SpnegoNtlm;
    return EstablishPair(kerberos ? "monitor@CORP.EXAMPLE" : "CORP\\monitor", "M0nitor!", kerberos, spnego);
}

class Sealing : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { StartRealm(TEST_FOLDER); }
    static void TearDownTestSuite() { StopRealm(); }
};

TEST_F(Sealing, RoundTripsBothWaysInSequence) {
    const std::string large = [] {
        std::string text;
        for (int i = 0; text.size() < 200000; ++i) text += "<p:Item>" + std::to_string(i * 7919) + "</p:Item>";
        return text;
    }();
    for (Mech mech : kMechs) {
        SCOPED_TRACE(Name(mech));
        ContextPair pair = Establish(mech);
        ASSERT_TRUE(pair.ok) << pair.error;
        // Requests and answers alternate, as on a connection; the sequence
        // numbers of both directions advance.
        for (const std::string& message : {kSoap, std::string("x"), large, kSoap}) {
            for (bool fromClient : {true, false}) {
                gss_ctx_id_t sender = fromClient ? pair.client : pair.server;
                gss_ctx_id_t receiver = fromClient ? pair.server : pair.client;
                std::string body, contentType, soap, error;
                ASSERT_TRUE(wsman::Seal(sender, message, &body, &contentType, &error)) << error;
                EXPECT_EQ(contentType, wsman::sealing::ContentType());
                EXPECT_EQ(body.find("Prozessor"), std::string::npos) << "the text went out in the clear";
                Parts parts;
                ASSERT_TRUE(wsman::sealing::Parse(contentType, body, &parts, &error)) << error;
                EXPECT_EQ(parts.sealed.size(), message.size());
                // NTLM's signature; an AES token's header with its trailer
                // rotated in (RRC), as Windows sends it.
                const bool ntlm = mech == Mech::Ntlm || mech == Mech::SpnegoNtlm;
                EXPECT_EQ(parts.signature.size(), ntlm ? 16u : 60u);
                ASSERT_TRUE(wsman::Unseal(receiver, contentType, body, &soap, &error)) << error;
                EXPECT_EQ(soap, message);
            }
        }
    }
}

TEST_F(Sealing, UnsealRefusesTamperedBodies) {
    // Offsets from the start of the binary part: the signature starts 4
    // bytes in, the sealed data after the signature.
    struct Case {
        const char* name;
        std::function<std::string(const std::string& body, const Parts& parts)> change;
        const char* expected;
    } cases[] = {
        {"a flipped byte in the signature",
         [](const std::string& body, const Parts& parts) { return FlipAt(body, BinaryStart(body) + 4 + 5); },
         "does not verify"},
        {"a flipped byte in the sealed data",
         [](const std::string& body, const Parts& parts) {
             return FlipAt(body, BinaryStart(body) + 4 + parts.signature.size() + 3);
         },
         "does not verify"},
        {"a Length one short",
         [](const std::string& body, const Parts& parts) {
             const std::string length = "Length=" + std::to_string(parts.plainLength);
             return Replace(body, length, "Length=" + std::to_string(parts.plainLength - 1));
         },
         "Length"},
        {"the last sealed byte cut off",
         [](const std::string& body, const Parts& parts) {
             return body.substr(0, body.size() - kTail.size() - 1) + kTail;
         },
         "Length"},
        {"another boundary",
         [](const std::string& body, const Parts& parts) { return Replace(body, "Encrypted Boundary", "Boundary"); },
         "does not begin"},
    };
    for (Mech mech : kMechs) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(Name(mech)) + ", " + c.name);
            ContextPair pair = Establish(mech);
            ASSERT_TRUE(pair.ok) << pair.error;
            std::string body, contentType, error;
            ASSERT_TRUE(wsman::Seal(pair.client, kSoap, &body, &contentType, &error)) << error;
            Parts parts;
            ASSERT_TRUE(wsman::sealing::Parse(contentType, body, &parts, &error)) << error;
            std::string soap = "untouched";
            error.clear();
            EXPECT_FALSE(wsman::Unseal(pair.server, contentType, c.change(body, parts), &soap, &error));
            EXPECT_EQ(soap, "untouched");
            EXPECT_FALSE(error.empty());
            EXPECT_NE(error.find(c.expected), std::string::npos) << error;
        }
    }
}

TEST_F(Sealing, RefusesWithoutAContextOrAMessage) {
    ContextPair pair = Establish(Mech::Ntlm);
    ASSERT_TRUE(pair.ok) << pair.error;
    std::string body, contentType, error;
    ASSERT_TRUE(wsman::Seal(pair.client, kSoap, &body, &contentType, &error)) << error;

    std::string soap = "untouched", out = "untouched";
    EXPECT_FALSE(wsman::Seal(GSS_C_NO_CONTEXT, kSoap, &out, &out, &error));
    EXPECT_EQ(out, "untouched");
    EXPECT_NE(error.find("no security context"), std::string::npos) << error;
    EXPECT_FALSE(wsman::Seal(pair.client, "", &out, &out, &error));
    EXPECT_NE(error.find("empty message"), std::string::npos) << error;
    EXPECT_EQ(out, "untouched");
    EXPECT_FALSE(wsman::Unseal(GSS_C_NO_CONTEXT, contentType, body, &soap, &error));
    EXPECT_EQ(soap, "untouched");
    // A plain answer is no sealed one, whatever the context.
    EXPECT_FALSE(wsman::Unseal(pair.server, "application/soap+xml;charset=UTF-8", kSoap, &soap, &error));
    EXPECT_NE(error.find("not encrypted"), std::string::npos) << error;
    EXPECT_EQ(soap, "untouched");
}

// python3-winrm seals a request with an NTLM session of requests_ntlm (no
// server: this test is the acceptor); Unseal reads it, and pywinrm reads
// what Seal answers. The bodies are framed byte for byte alike.
TEST_F(Sealing, PywinrmNtlmSessionBothWays) {
    LineChild python({"/usr/bin/python3", PYWINRM_NTLM}, {std::string("OPENSSL_CONF=") + OPENSSL_LEGACY});
    ASSERT_TRUE(python.Started());
    python.Send("M0nitor!");
    ContextPair owner;  // releases the acceptor's context
    std::string challenge, answer, error;
    bool done = false;
    ASSERT_TRUE(Accept(&owner.server, FromBase64(python.Receive()), &challenge, &done, &error)) << error;
    ASSERT_FALSE(done);
    python.Send(Base64(challenge));
    ASSERT_TRUE(Accept(&owner.server, FromBase64(python.Receive()), &answer, &done, &error)) << error;
    ASSERT_TRUE(done);
    EXPECT_TRUE(answer.empty());
    const gss_ctx_id_t server = owner.server;

    python.Send(Base64(kSoap));
    const std::string fields = python.Receive();
    const std::size_t blank = fields.find(' ');
    ASSERT_NE(blank, std::string::npos) << "pywinrm sealed nothing";
    const std::string contentType = FromBase64(fields.substr(0, blank)), body = FromBase64(fields.substr(blank + 1));
    EXPECT_EQ(contentType, wsman::sealing::ContentType());
    Parts parts;
    ASSERT_TRUE(wsman::sealing::Parse(contentType, body, &parts, &error)) << error;
    EXPECT_EQ(wsman::sealing::Frame(parts.signature, parts.sealed, parts.plainLength), body);
    std::string soap;
    ASSERT_TRUE(wsman::Unseal(server, contentType, body, &soap, &error)) << error;
    EXPECT_EQ(soap, kSoap);

    const std::string reply = kSoap + "<!-- the answer -->";
    std::string replyBody, replyType;
    ASSERT_TRUE(wsman::Seal(server, reply, &replyBody, &replyType, &error)) << error;
    python.Send(Base64(replyType) + " " + Base64(replyBody));
    EXPECT_EQ(FromBase64(python.Receive()), reply);
    EXPECT_EQ(python.Wait(), 0);
}

}  // namespace

// GSS-API contexts for the sealing tests: a throwaway Kerberos realm
// (tests/kdc/start-kdc.sh), gss-ntlmssp's user file, and both ends of a
// context established in this process.
#pragma once

#include <gssapi/gssapi.h>

#include <cstdio>
#include <string>
#include <vector>

namespace sealingtest {

// Starts the realm in folder and points this process at it (KRB5_CONFIG,
// the acceptor's keytab, a memory credential cache, the script's
// NTLM_USER_FILE with CORP:monitor). Fails the test when it cannot.
void StartRealm(const std::string& folder);
void StopRealm();

// Both ends of one context; released when it goes.
struct ContextPair {
    gss_ctx_id_t client = GSS_C_NO_CONTEXT;
    gss_ctx_id_t server = GSS_C_NO_CONTEXT;
    bool ok = false;
    std::string error;

    ContextPair() = default;
    ContextPair(ContextPair&& other) noexcept;
    ContextPair& operator=(ContextPair&&) = delete;
    ContextPair(const ContextPair&) = delete;
    ~ContextPair();
};

// The client logs on as user with password (Kerberos or NTLM, through
// SPNEGO when spnego) to HTTP@localhost; the server accepts with the
// process's default credentials.
ContextPair EstablishPair(const std::string& user, const std::string& password, bool kerberos, bool spnego);

// One acceptor step for a token from elsewhere: *done once established.
bool Accept(gss_ctx_id_t* server, const std::string& token, std::string* answer, bool* done, std::string* error);

std::string Replace(std::string text, const std::string& from, const std::string& to);
std::string FlipAt(std::string text, std::size_t at);
// Where the binary part (its signature length) begins in a sealed body.
std::size_t BinaryStart(const std::string& body);

// A program talking line by line over its standard input and output.
class LineChild {
  public:
    // extraEnvironment: "NAME=value" entries added to this process's.
    LineChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment);
    ~LineChild();
    LineChild(const LineChild&) = delete;
    LineChild& operator=(const LineChild&) = delete;
    bool Started() const { return pid_ > 0; }
    void Send(const std::string& line);
    std::string Receive();  // without its line end; empty at the end
    int Wait();             // the exit status

  private:
    int pid_ = -1;
    std::FILE* to_ = nullptr;
    std::FILE* from_ = nullptr;
};

std::string Base64(const std::string& bytes);
std::string FromBase64(const std::string& text);

}  // namespace sealingtest

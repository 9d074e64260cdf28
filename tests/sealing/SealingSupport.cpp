#include "SealingSupport.h"

#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

extern char** environ;

namespace sealingtest {
namespace {

gss_OID_desc kNtlmOid = {10, const_cast<char*>("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a")};
gss_OID_desc kSpnegoOid = {6, const_cast<char*>("\x2b\x06\x01\x05\x05\x02")};

int realmPid = 0;

struct Buffer {
    gss_buffer_desc value{0, nullptr};
    ~Buffer() {
        OM_uint32 minor = 0;
        if (value.value != nullptr) gss_release_buffer(&minor, &value);
    }
    std::string Text() const { return std::string(static_cast<const char*>(value.value), value.length); }
};

struct Name {
    gss_name_t value = GSS_C_NO_NAME;
    ~Name() {
        OM_uint32 minor = 0;
        if (value != GSS_C_NO_NAME) gss_release_name(&minor, &value);
    }
};

struct Credential {
    gss_cred_id_t value = GSS_C_NO_CREDENTIAL;
    ~Credential() {
        OM_uint32 minor = 0;
        if (value != GSS_C_NO_CREDENTIAL) gss_release_cred(&minor, &value);
    }
};

std::string Status(const char* what, OM_uint32 major, OM_uint32 minor) {
    std::string text = what;
    for (auto kind : {std::make_pair(major, GSS_C_GSS_CODE), std::make_pair(minor, GSS_C_MECH_CODE)}) {
        OM_uint32 context = 0, ignored = 0;
        if (kind.first == 0) continue;
        do {
            Buffer part;
            if (GSS_ERROR(gss_display_status(&ignored, kind.first, kind.second, GSS_C_NO_OID, &context, &part.value)))
                break;
            text += ": " + part.Text();
        } while (context != 0);
    }
    return text;
}

bool ImportName(const std::string& text, gss_OID type, Name* name, std::string* error) {
    gss_buffer_desc buffer{text.size(), const_cast<char*>(text.data())};
    OM_uint32 minor = 0, major = gss_import_name(&minor, &buffer, type, &name->value);
    if (GSS_ERROR(major)) *error = Status("gss_import_name", major, minor);
    return !GSS_ERROR(major);
}

}  // namespace

void StartRealm(const std::string& folder) {
    const std::string command = std::string("bash ") + START_KDC + " '" + folder + "'";
    FILE* pipe = popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    int port = 0;
    const int read = std::fscanf(pipe, "%d %d", &realmPid, &port);
    ASSERT_EQ(pclose(pipe), 0) << "start-kdc.sh failed";
    ASSERT_EQ(read, 2);
    setenv("KRB5_CONFIG", (folder + "/krb5.conf").c_str(), 1);
    setenv("KRB5_KTNAME", ("FILE:" + folder + "/http.keytab").c_str(), 1);
    setenv("KRB5CCNAME", "MEMORY:sealing", 1);
    setenv("NTLM_USER_FILE", (folder + "/ntlm-users").c_str(), 1);
}

void StopRealm() {
    if (realmPid > 0) kill(realmPid, SIGTERM);
    realmPid = 0;
}

ContextPair::ContextPair(ContextPair&& other) noexcept
    : client(other.client), server(other.server), ok(other.ok), error(std::move(other.error)) {
    other.client = other.server = GSS_C_NO_CONTEXT;
}

ContextPair::~ContextPair() {
    OM_uint32 minor = 0;
    if (client != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &client, GSS_C_NO_BUFFER);
    if (server != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &server, GSS_C_NO_BUFFER);
}

bool Accept(gss_ctx_id_t* server, const std::string& token, std::string* answer, bool* done, std::string* error) {
    gss_buffer_desc input{token.size(), const_cast<char*>(token.data())};
    Buffer output;
    OM_uint32 minor = 0;
    OM_uint32 major = gss_accept_sec_context(&minor, server, GSS_C_NO_CREDENTIAL, &input, GSS_C_NO_CHANNEL_BINDINGS,
                                             nullptr, nullptr, &output.value, nullptr, nullptr, nullptr);
    if (GSS_ERROR(major)) {
        *error = Status("gss_accept_sec_context", major, minor);
        return false;
    }
    *answer = output.Text();
    *done = major == GSS_S_COMPLETE;
    return true;
}

ContextPair EstablishPair(const std::string& user, const std::string& password, bool kerberos, bool spnego) {
    ContextPair pair;
    gss_OID inner = kerberos ? const_cast<gss_OID>(gss_mech_krb5) : &kNtlmOid;
    gss_OID mech = spnego ? &kSpnegoOid : inner;
    Name userName, target;
    if (!ImportName(user, GSS_C_NT_USER_NAME, &userName, &pair.error) ||
        !ImportName("HTTP@localhost", GSS_C_NT_HOSTBASED_SERVICE, &target, &pair.error))
        return pair;

    gss_OID_set_desc mechs{1, mech};
    std::string secret = password;
    gss_buffer_desc passwordBuffer{secret.size(), &secret[0]};
    Credential credential;
    OM_uint32 minor = 0;
    OM_uint32 major = gss_acquire_cred_with_password(&minor, userName.value, &passwordBuffer, GSS_C_INDEFINITE, &mechs,
                                                     GSS_C_INITIATE, &credential.value, nullptr, nullptr);
    std::fill(secret.begin(), secret.end(), '\0');
    if (GSS_ERROR(major)) {
        pair.error = Status("gss_acquire_cred_with_password", major, minor);
        return pair;
    }
    if (spnego) {
        gss_OID_set_desc only{1, inner};
        major = gss_set_neg_mechs(&minor, credential.value, &only);
        if (GSS_ERROR(major)) {
            pair.error = Status("gss_set_neg_mechs", major, minor);
            return pair;
        }
    }

    std::string toClient;
    bool serverDone = false;
    for (int round = 0; round < 8; ++round) {
        gss_buffer_desc input{toClient.size(), const_cast<char*>(toClient.data())};
        Buffer toServer;
        major = gss_init_sec_context(&minor, credential.value, &pair.client, target.value, mech,
                                     GSS_C_MUTUAL_FLAG | GSS_C_CONF_FLAG | GSS_C_INTEG_FLAG | GSS_C_SEQUENCE_FLAG |
                                         GSS_C_REPLAY_FLAG,
                                     0, GSS_C_NO_CHANNEL_BINDINGS, round == 0 ? GSS_C_NO_BUFFER : &input, nullptr,
                                     &toServer.value, nullptr, nullptr);
        if (GSS_ERROR(major)) {
            pair.error = Status("gss_init_sec_context", major, minor);
            return pair;
        }
        const bool clientDone = major == GSS_S_COMPLETE;
        toClient.clear();
        if (toServer.value.length > 0 &&
            !Accept(&pair.server, toServer.Text(), &toClient, &serverDone, &pair.error))
            return pair;
        if (clientDone && toClient.empty()) {
            pair.ok = serverDone;
            if (!serverDone) pair.error = "the acceptor did not complete";
            return pair;
        }
    }
    pair.error = "the context was not established in 8 rounds";
    return pair;
}

std::string Replace(std::string text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

std::string FlipAt(std::string text, std::size_t at) {
    text[at] = static_cast<char>(text[at] ^ 0x01);
    return text;
}

std::size_t BinaryStart(const std::string& body) {
    const std::string marker = "application/octet-stream\r\n";
    return body.find(marker) + marker.size();
}

LineChild::LineChild(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnvironment) {
    int input[2], output[2];
    if (pipe(input) != 0) return;
    if (pipe(output) != 0) {
        close(input[0]);
        close(input[1]);
        return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) environment.push_back(*entry);
    for (const std::string& entry : extraEnvironment) environment.push_back(const_cast<char*>(entry.c_str()));
    environment.push_back(nullptr);
    pid_t pid = 0;
    if (posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environment.data()) == 0) pid_ = pid;
    posix_spawn_file_actions_destroy(&actions);
    close(input[0]);
    close(output[1]);
    to_ = fdopen(input[1], "w");
    from_ = fdopen(output[0], "r");
}

LineChild::~LineChild() {
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        Wait();
    }
    if (to_ != nullptr) std::fclose(to_);
    if (from_ != nullptr) std::fclose(from_);
}

void LineChild::Send(const std::string& line) {
    std::fputs((line + "\n").c_str(), to_);
    std::fflush(to_);
}

std::string LineChild::Receive() {
    std::string line;
    for (int c = std::fgetc(from_); c != EOF && c != '\n'; c = std::fgetc(from_)) line += static_cast<char>(c);
    return line;
}

int LineChild::Wait() {
    if (pid_ <= 0) return -1;
    if (to_ != nullptr) {
        std::fclose(to_);
        to_ = nullptr;
    }
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string Base64(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int size = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                     reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()));
    text.resize(static_cast<std::size_t>(size));
    return text;
}

std::string FromBase64(const std::string& text) {
    std::string bytes(3 * (text.size() / 4) + 3, '\0');
    const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&bytes[0]),
                                     reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (size < 0) return std::string();
    std::size_t length = static_cast<std::size_t>(size);
    // EVP_DecodeBlock counts the padding's zero bytes.
    if (text.size() >= 1 && text[text.size() - 1] == '=') --length;
    if (text.size() >= 2 && text[text.size() - 2] == '=') --length;
    bytes.resize(length);
    return bytes;
}

}  // namespace sealingtest

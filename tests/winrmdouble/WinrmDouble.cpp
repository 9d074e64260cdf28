// winrm-double: a stand-in for Windows' WinRM service on the loopback, for
// the tests of WS-Management clients. It answers Identify, and Enumerate,
// Pull and Release of WMI classes with the WQL dialect, from the data files
// the COM WMI double reads (tests/wmidouble/data), rendered as Windows
// renders WMI instances; faults are SOAP 1.2 faults with Windows' WSManFault
// detail. HTTP and TLS are cpp-httplib's, XML is pugixml's, JSON nlohmann's.
// Logons are Basic over HTTPS, and Negotiate/Kerberos through the system's
// GSS-API (Kerberos from a keytab, NTLM through gss-ntlmssp); over HTTP the
// bodies after a GSS logon are sealed with its context, as Windows requires.
#include <gssapi/gssapi.h>
#include <gssapi/gssapi_ext.h>
#include <gssapi/gssapi_krb5.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <limits>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include "TableData.h"
#include "wsman/Sealing.h"

namespace {

namespace ns {
const char* const kSoap = "http://www.w3.org/2003/05/soap-envelope";
const char* const kAddressing = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
const char* const kEnumeration = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
const char* const kWsman = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
const char* const kMsWsman = "http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd";
const char* const kIdentity = "http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd";
const char* const kFault = "http://schemas.microsoft.com/wbem/wsman/1/wsmanfault";
const char* const kCim = "http://schemas.dmtf.org/wbem/wscim/1/common";
const char* const kXsi = "http://www.w3.org/2001/XMLSchema-instance";
}  // namespace ns

const char* const kAnonymous = "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
const char* const kWmiPrefix = "http://schemas.microsoft.com/wbem/wsman/1/wmi/";
const char* const kWqlDialect = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
const std::string kEnumerationActions = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/";

// The service's configuration as a default Windows Server has it.
constexpr long long kMaxTimeoutMs = 60000;         // MaxTimeoutms
constexpr size_t kMaxEnvelopeBytes = 500 * 1024;   // MaxEnvelopeSizekb
constexpr size_t kMinEnvelopeBytes = 8192;         // below it, EncodingLimit

// WSManFault codes (Windows' error numbers, in decimal as the detail has them).
constexpr unsigned long kCodeDialect = 2150858777;          // filter dialect unavailable
constexpr unsigned long kCodeCannotProcessFilter = 2150858778;
constexpr unsigned long kCodeInvalidContext = 2150858776;  // invalid enumeration context
constexpr unsigned long kCodeTimedOut = 2150858793;
constexpr unsigned long kCodeEnvelopeNotSupported = 2150858862;  // MaxEnvelopeSize below 8192
constexpr unsigned long kCodeRequestTooLarge = 2150858824;
constexpr unsigned long kCodeAnswerTooLarge = 2150858823;
constexpr unsigned long kCodeQuota = 2150859174;            // concurrent operations per user
constexpr unsigned long kCodeActionNotSupported = 2150858755;
constexpr unsigned long kCodeInvalidResource = 2150858752;
constexpr unsigned long kCodeAccessDenied = 5;  // ERROR_ACCESS_DENIED
// WMI's own (WBEM_E_*), inside a ProviderFault.
constexpr unsigned long kWmiInvalidNamespace = 0x8004100E;
constexpr unsigned long kWmiInvalidClass = 0x80041010;
constexpr unsigned long kWmiInvalidQuery = 0x80041017;

struct Options {
    int httpPort = 0, httpsPort = 0;
    std::string cert, key, accounts, dataDir = WINRMDOUBLE_DATA_DIR, readyFile;
    int quota = 0;         // open enumerations per user; 0: no limit
    bool onePerPull = false;
    int latencyMs = 0;     // per round trip
    bool stall = false;    // answers nothing
    std::string keytab, ntlmUsers;       // the acceptor's Kerberos keys and NTLM accounts
    bool requireChannelBinding = false;  // over HTTPS, GSS logons bound to our certificate
    std::vector<std::string> noRights;   // accounts that log on but may not use the service
};

// Overwrites a copy of a secret before it goes.
void Wipe(std::string* text) {
    volatile char* bytes = text->empty() ? nullptr : &(*text)[0];
    for (size_t i = 0; i < text->size(); ++i) bytes[i] = 0;
    text->clear();
}

struct Account {
    std::string user, password;
    ~Account() { Wipe(&password); }
};

struct Enumeration {
    std::string user;
    std::string resourceUri;  // the class's, for the items' EPRs
    std::shared_ptr<const datatable::Table> table;
    std::vector<size_t> rows;
    size_t next = 0;
    bool withEpr = false;
};

// A fault as Windows sends it.
struct Fault {
    std::string code = "s:Sender";  // s:Sender or s:Receiver
    std::string subcode;            // e.g. w:QuotaLimit
    std::string reason;
    unsigned long wsmanCode = 0;
    std::string message;
    unsigned long wmiCode = 0;      // non-zero: WMI's error inside a ProviderFault
};

std::string NewUuid() {
    static std::mutex lock;
    static std::mt19937_64 random{std::random_device{}()};
    std::lock_guard<std::mutex> hold(lock);
    const unsigned long long a = random(), b = random();
    char text[48];
    std::snprintf(text, sizeof text, "%08llX-%04llX-%04llX-%04llX-%012llX", a >> 32, (a >> 16) & 0xFFFF,
                  0x4000 | (a & 0x0FFF), 0x8000 | ((b >> 48) & 0x3FFF), b & 0xFFFFFFFFFFFFull);
    return text;
}

// The element's name without its prefix.
std::string Local(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon ? colon + 1 : name;
}

// The first child (or descendant when deep) of that local name.
pugi::xml_node Child(pugi::xml_node parent, const char* local, bool deep = false) {
    for (pugi::xml_node child : parent.children()) {
        if (Local(child.name()) == local) return child;
        if (deep)
            if (pugi::xml_node found = Child(child, local, true)) return found;
    }
    return pugi::xml_node();
}

// xs:duration as WS-Management sends it (PnDTnHnMn.nS); -1 when unreadable.
long long DurationMs(const std::string& text) {
    if (text.size() < 3 || text[0] != 'P') return -1;
    double total = 0;
    bool time = false;
    for (size_t at = 1; at < text.size();) {
        if (text[at] == 'T') {
            time = true;
            ++at;
            continue;
        }
        size_t used = 0;
        double number = 0;
        try {
            number = std::stod(text.substr(at), &used);
        } catch (...) {
            return -1;
        }
        at += used;
        if (used == 0 || at >= text.size()) return -1;
        const char unit = text[at++];
        if (unit == 'D' && !time) total += number * 86400;
        else if (unit == 'H' && time) total += number * 3600;
        else if (unit == 'M' && time) total += number * 60;
        else if (unit == 'S' && time) total += number;
        else return -1;
    }
    return static_cast<long long>(total * 1000 + 0.5);
}

// WMI's datetime (yyyymmddHHMMSS.mmmmmm+UUU) as xs:dateTime.
std::string XsDateTime(const std::string& dmtf) {
    const int offset = std::stoi(dmtf.substr(22));
    std::string text = dmtf.substr(0, 4) + "-" + dmtf.substr(4, 2) + "-" + dmtf.substr(6, 2) + "T" +
                       dmtf.substr(8, 2) + ":" + dmtf.substr(10, 2) + ":" + dmtf.substr(12, 2) + "." +
                       dmtf.substr(15, 6);
    if (offset == 0) return text + "Z";
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", dmtf[21], offset / 60, offset % 60);
    return text + zone;
}

// Owns one GSS security context.
class GssContext {
public:
    GssContext() = default;
    GssContext(const GssContext&) = delete;
    GssContext& operator=(const GssContext&) = delete;
    ~GssContext() {
        OM_uint32 minor = 0;
        if (context_ != GSS_C_NO_CONTEXT) gss_delete_sec_context(&minor, &context_, GSS_C_NO_BUFFER);
    }
    gss_ctx_id_t* Address() { return &context_; }
    gss_ctx_id_t Get() const { return context_; }

private:
    gss_ctx_id_t context_ = GSS_C_NO_CONTEXT;
};

// A name the GSS library allocated (buffers: wsman::GssBuffer).
using wsman::GssBuffer;
struct GssName {
    gss_name_t value = GSS_C_NO_NAME;
    GssName() = default;
    GssName(const GssName&) = delete;
    GssName& operator=(const GssName&) = delete;
    ~GssName() {
        OM_uint32 minor = 0;
        if (value != GSS_C_NO_NAME) gss_release_name(&minor, &value);
    }
};

// The GSS logon of one TCP connection, in the making or done: Windows
// authenticates a connection once, and its later requests come without the header.
struct Session {
    std::mutex lock;
    GssContext context;
    bool established = false;
    std::string user, mechanism;
    long long used = 0;  // the double's request count at its last use (under the double's lock)
};

std::string Base64Encode(const std::string& bytes) {
    std::string text(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    const int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&text[0]),
                                       reinterpret_cast<const unsigned char*>(bytes.data()),
                                       static_cast<int>(bytes.size()));
    text.resize(length < 0 ? 0 : static_cast<size_t>(length));
    return text;
}

// False for text that is no base64.
bool Base64Decode(const std::string& text, std::string* bytes) {
    bytes->assign(text.size(), '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(&(*bytes)[0]),
                                       reinterpret_cast<const unsigned char*>(text.data()),
                                       static_cast<int>(text.size()));
    const size_t padding = std::count(text.end() - std::min<size_t>(2, text.size()), text.end(), '=');
    if (text.empty() || length < 0 || static_cast<size_t>(length) < padding) {
        Wipe(bytes);
        return false;
    }
    bytes->resize(static_cast<size_t>(length) - padding);
    return true;
}

// The mechanism a context uses, by its OID: Kerberos (MIT's and Microsoft's
// OID) or NTLM.
std::string MechanismName(gss_OID mechanism) {
    static const std::string kerberos("\x2a\x86\x48\x86\xf7\x12\x01\x02\x02", 9);
    static const std::string kerberosMs("\x2a\x86\x48\x82\xf7\x12\x01\x02\x02", 9);
    static const std::string ntlm("\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a", 10);
    if (mechanism == GSS_C_NO_OID) return "other";
    const std::string oid(static_cast<const char*>(mechanism->elements), mechanism->length);
    return oid == kerberos || oid == kerberosMs ? "kerberos" : oid == ntlm ? "ntlm" : "other";
}

// The tls-server-end-point channel binding of a certificate (RFC 5929): its
// hash with its signature's algorithm, SHA-256 in place of MD5 and SHA-1.
bool ServerEndPoint(const std::string& certificateFile, std::string* binding) {
    std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(certificateFile.c_str(), "r"), &std::fclose);
    if (!file) return false;
    std::unique_ptr<X509, void (*)(X509*)> certificate(PEM_read_X509(file.get(), nullptr, nullptr, nullptr),
                                                       &X509_free);
    if (!certificate) return false;
    int digestNid = NID_undef, keyNid = NID_undef;
    if (!OBJ_find_sigid_algs(X509_get_signature_nid(certificate.get()), &digestNid, &keyNid)) return false;
    const EVP_MD* digest = digestNid == NID_md5 || digestNid == NID_sha1 ? EVP_sha256()
                                                                         : EVP_get_digestbynid(digestNid);
    unsigned char hash[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!digest || !X509_digest(certificate.get(), digest, hash, &length)) return false;
    *binding = "tls-server-end-point:" + std::string(reinterpret_cast<char*>(hash), length);
    return true;
}

class WinrmDouble {
public:
    explicit WinrmDouble(const Options& options) : options_(options) {}

    bool Load(std::string* error) {
        const auto read = [this](const char* file) {
            std::ifstream in(options_.dataDir + "/" + file, std::ios::binary);
            std::ostringstream text;
            text << in.rdbuf();
            return text.str();
        };
        const std::time_t now = std::time(nullptr);
        // A file that cannot be read would only make its class unknown: say so.
        for (size_t i = 0; i < datatable::kDataFileCount; ++i) {
            datatable::Table table;
            table.singleton = datatable::kDataFiles[i].singleton;
            if (!datatable::Parse(read(datatable::kDataFiles[i].file), now, &table)) {
                *error = "cannot read the data file " + options_.dataDir + "/" + datatable::kDataFiles[i].file;
                return false;
            }
        }
        tables_ = datatable::LoadAll(read, now);
        std::ifstream in(options_.accounts);
        if (!in) {
            *error = "cannot read the accounts file " + options_.accounts;
            return false;
        }
        // One account a line: USER:PASSWORD ("#" starts a comment).
        for (std::string line; std::getline(in, line); Wipe(&line)) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            const size_t colon = line.find(':');
            if (line.empty() || line[0] == '#' || colon == std::string::npos || colon == 0) continue;
            accounts_.emplace_back();
            accounts_.back().user = line.substr(0, colon);
            accounts_.back().password = line.substr(colon + 1);
        }
        if (options_.requireChannelBinding && !ServerEndPoint(options_.cert, &endPoint_)) {
            *error = "cannot read the certificate " + options_.cert;
            return false;
        }
        return true;
    }

    void Serve(httplib::Server& server, bool https) {
        server.new_task_queue = [] { return new httplib::ThreadPool(64); };
        // An idle kept-alive connection holds a thread: short, so that a stop is quick.
        server.set_keep_alive_timeout(1);
        // Windows serves any number of requests on a kept connection, and a
        // Negotiate logon holds only on its own connection: no cap (the
        // library's default closes one after five requests).
        server.set_keep_alive_max_count(std::numeric_limits<size_t>::max());
        // Small answers go out at once, as Windows' service sends them; without
        // this each waits for the client's delayed acknowledgement (~40 ms).
        server.set_tcp_nodelay(true);
        server.Post("/wsman", [this, https](const httplib::Request& request, httplib::Response& response) {
            Handle(request, response, https);
        });
        server.Get("/double/state", [this](const httplib::Request&, httplib::Response& response) {
            response.set_content(State().dump(), "application/json");
        });
    }

    // Ends the stalls.
    void Stop() {
        std::lock_guard<std::mutex> hold(lock_);
        stopping_ = true;
        wake_.notify_all();
    }

private:
    nlohmann::json State() {
        std::lock_guard<std::mutex> hold(lock_);
        nlohmann::json perUser = nlohmann::json::object();
        for (const auto& entry : open_) perUser[entry.second.user] = perUser.value(entry.second.user, 0) + 1;
        return {{"open", open_.size()},           {"openByUser", perUser},
                {"requests", requests_},          {"roundTrips", roundTrips_},
                {"enumerations", enumerations_},  {"released", released_},
                {"faults", faults_},              {"refusedLogons", refusedLogons_},
                {"lastOperationTimeoutMs", lastTimeoutMs_},
                {"mechanisms", mechanisms_},      {"encrypted", encrypted_},
                {"refusals", refusals_}};
    }

    // A 401 as Windows sends it: the schemes it offers, Basic over HTTPS only.
    std::string Refuse(httplib::Response& response, bool https, const char* why) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++refusedLogons_;
            ++refusals_[why];
        }
        response.status = 401;
        response.set_header("WWW-Authenticate", "Negotiate");
        response.set_header("WWW-Authenticate", "Kerberos");
        if (https) response.set_header("WWW-Authenticate", "Basic realm=\"WSMAN\"");
        return std::string();
    }

    static std::string ConnectionKey(const httplib::Request& request, bool https) {
        return (https ? "https:" : "http:") + request.remote_addr + ":" + std::to_string(request.remote_port);
    }

    // The connection's session, made when it has none; a new one when asked
    // for, in place of any before.
    std::shared_ptr<Session> FindSession(const std::string& key, bool fresh) {
        std::lock_guard<std::mutex> hold(lock_);
        std::shared_ptr<Session>& session = sessions_[key];
        if (!session || fresh) session = std::make_shared<Session>();
        session->used = ++sessionUses_;
        // Connections that are gone leave theirs: keep the map bounded by
        // dropping the one unused longest, never a connection still at work.
        if (sessions_.size() > 4096) {
            auto oldest = sessions_.end();
            for (auto it = sessions_.begin(); it != sessions_.end(); ++it)
                if (it->first != key && (oldest == sessions_.end() || it->second->used < oldest->second->used))
                    oldest = it;
            sessions_.erase(oldest);
        }
        return session;
    }

    void DropSession(const std::string& key) {
        std::lock_guard<std::mutex> hold(lock_);
        sessions_.erase(key);
    }

    // The account the request logs on with and its GSS session (none for
    // Basic), or empty with the answer set (a 401, or the next leg).
    std::string LogOn(const httplib::Request& request, httplib::Response& response, bool https,
                      std::shared_ptr<Session>* session) {
        std::string header = request.get_header_value("Authorization");
        const std::string key = ConnectionKey(request, https);
        const size_t space = header.find(' ');
        std::string scheme = header.substr(0, space);
        // Schemes are named without regard to case; answers use Windows' spelling.
        for (const char* known : {"Negotiate", "Kerberos", "Basic"})
            if (strcasecmp(scheme.c_str(), known) == 0) scheme = known;
        const bool none = header.empty();
        // The credentials' text, wiped with every copy.
        std::string encoded = space == std::string::npos ? std::string() : header.substr(space + 1);
        Wipe(&header);
        if (scheme == "Negotiate" || scheme == "Kerberos") {
            std::string token;
            const bool decoded = Base64Decode(encoded, &token);
            Wipe(&encoded);
            if (!decoded) return Refuse(response, https, "logon");
            return Accept(scheme, &token, key, https, response, session);
        }
        if (none) {
            std::shared_ptr<Session> done;
            {
                std::lock_guard<std::mutex> hold(lock_);
                auto found = sessions_.find(key);
                if (found != sessions_.end()) {
                    done = found->second;
                    done->used = ++sessionUses_;
                }
            }
            if (!done) return Refuse(response, https, "credentials");
            std::lock_guard<std::mutex> hold(done->lock);
            if (!done->established) return Refuse(response, https, "credentials");
            *session = done;
            return done->user;
        }
        if (!https || scheme != "Basic") {
            Wipe(&encoded);
            return Refuse(response, https, "credentials");
        }
        std::string decoded;
        const bool readable = Base64Decode(encoded, &decoded);
        Wipe(&encoded);
        if (!readable) return Refuse(response, https, "logon");
        const size_t colon = decoded.find(':');
        std::string user = colon == std::string::npos ? std::string() : decoded.substr(0, colon);
        std::string known;  // the account's name as the file spells it
        // Basic is for local accounts: DOMAIN\\user and user@domain are refused.
        if (!user.empty() && user.find_first_of("\\@") == std::string::npos)
            for (const Account& account : accounts_)
                if (datatable::EqualNoCase(datatable::FromUtf8(account.user), datatable::FromUtf8(user)) &&
                    decoded.compare(colon + 1, std::string::npos, account.password) == 0)
                    known = account.user;
        Wipe(&decoded);
        if (known.empty()) return Refuse(response, https, "logon");
        Count("basic");
        return known;
    }

    // One leg of a GSS logon: the next token in a 401, or the account once
    // the context is established (its last token, if any, in the answer).
    std::string Accept(const std::string& scheme, std::string* token, const std::string& key, bool https,
                       httplib::Response& response, std::shared_ptr<Session>* out) {
        // A token on an authenticated connection starts a new logon.
        std::shared_ptr<Session> session = FindSession(key, false);
        if (session->established) session = FindSession(key, true);
        std::lock_guard<std::mutex> hold(session->lock);
        gss_buffer_desc input{token->size(), &(*token)[0]};
        const bool bind = https && options_.requireChannelBinding;
        gss_channel_bindings_struct bindings{};
        bindings.application_data = {endPoint_.size(), const_cast<char*>(endPoint_.data())};
        GssName client;
        GssBuffer output;
        OM_uint32 minor = 0, flags = 0;
        const OM_uint32 major = gss_accept_sec_context(
            &minor, session->context.Address(), GSS_C_NO_CREDENTIAL, &input,
            bind ? &bindings : GSS_C_NO_CHANNEL_BINDINGS, &client.value, nullptr, &output.value, &flags, nullptr,
            nullptr);
        Wipe(token);
        const std::string reply = output.value.length ? scheme + " " + Base64Encode(output.Text()) : scheme;
        if (major == GSS_S_CONTINUE_NEEDED) {
            response.status = 401;
            response.set_header("WWW-Authenticate", reply);
            return std::string();
        }
        if (GSS_ERROR(major) || (bind && !(flags & GSS_C_CHANNEL_BOUND_FLAG))) {
            DropSession(key);
            return Refuse(response, https, major == GSS_S_BAD_BINDINGS || !GSS_ERROR(major) ? "channelBinding"
                                                                                             : "logon");
        }
        GssBuffer name;
        gss_OID mechanism = GSS_C_NO_OID;
        if (GSS_ERROR(gss_display_name(&minor, client.value, &name.value, nullptr)) ||
            GSS_ERROR(gss_inquire_context(&minor, session->context.Get(), nullptr, nullptr, nullptr, &mechanism,
                                          nullptr, nullptr, nullptr))) {
            DropSession(key);
            return Refuse(response, https, "logon");
        }
        session->user = name.Text();
        // gss-ntlmssp counts the name's terminating zero in its length.
        while (!session->user.empty() && session->user.back() == '\0') session->user.pop_back();
        session->mechanism = MechanismName(mechanism);
        session->established = true;
        if (output.value.length) response.set_header("WWW-Authenticate", reply);
        *out = session;
        return session->user;
    }

    void Count(const std::string& mechanism) {
        std::lock_guard<std::mutex> hold(lock_);
        ++mechanisms_[mechanism];
    }

    bool HasRights(const std::string& user) const {
        for (const std::string& denied : options_.noRights)
            if (datatable::EqualNoCase(datatable::FromUtf8(denied), datatable::FromUtf8(user))) return false;
        return true;
    }

    // A GSS logon's request: its soap, unsealed when sealed; Windows takes
    // nothing in the clear over HTTP. False with the answer set.
    bool Open(const httplib::Request& request, httplib::Response& response, bool https, Session& session,
              std::string* soap, bool* sealed) {
        const std::string type = request.get_header_value("Content-Type");
        *sealed = type.compare(0, 19, "multipart/encrypted") == 0;
        if (!*sealed) {
            if (!https && !request.body.empty()) {
                Refuse(response, https, "unencrypted");
                return false;
            }
            *soap = request.body;
            return true;
        }
        std::string error;
        bool unsealed = false;
        {
            std::lock_guard<std::mutex> hold(session.lock);
            unsealed = wsman::Unseal(session.context.Get(), type, request.body, soap, &error);
        }
        std::lock_guard<std::mutex> hold(lock_);
        if (!unsealed) {
            ++refusals_["signature"];
            response.status = 400;
            return false;
        }
        ++encrypted_;
        return true;
    }

    // Seals the answer with the request's context, in the request's protocol:
    // WinRM's Kerberos form names application/HTTP-Kerberos-session-encrypted.
    void Close(const httplib::Request& request, httplib::Response& response, Session& session) {
        static const std::string spnego = "HTTP-SPNEGO-session-encrypted", kerberos = "HTTP-Kerberos-session-encrypted";
        std::string body, type, error;
        std::lock_guard<std::mutex> hold(session.lock);
        if (wsman::Seal(session.context.Get(), response.body, &body, &type, &error)) {
            if (request.get_header_value("Content-Type").find(kerberos) != std::string::npos) {
                // The protocol is named in the header and in the first part's, before the sealed bytes.
                for (std::string* text : {&type, &body}) {
                    const size_t at = text->find(spnego);
                    if (at != std::string::npos) text->replace(at, spnego.size(), kerberos);
                }
            }
            response.set_content(body, type);
        } else {
            response.status = 500;
            response.set_content("", "text/plain");
        }
    }

    void Handle(const httplib::Request& request, httplib::Response& response, bool https) {
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++requests_;
        }
        // The latency is a round trip's: a request that no operation answers
        // (a refusal, a leg of a logon) takes it too.
        struct Trip {
            WinrmDouble& service;
            bool operation = false;
            ~Trip() {
                if (operation || service.options_.latencyMs <= 0) return;
                std::unique_lock<std::mutex> hold(service.lock_);
                service.wake_.wait_for(hold, std::chrono::milliseconds(service.options_.latencyMs),
                                       [this] { return service.stopping_; });
            }
        } trip{*this};
        // An Identify without logon is asked for in the clear.
        std::string user, soap = request.body;
        std::shared_ptr<Session> session;
        bool sealed = false;
        if (request.get_header_value("WSMANIDENTIFY") != "unauthenticated" || !IsIdentify(request.body)) {
            user = LogOn(request, response, https, &session);
            if (user.empty()) return;
            if (session) {
                Count(session->mechanism);
                if (!Open(request, response, https, *session, &soap, &sealed)) return;
                // A request with no body only logs the connection on.
                if (soap.empty()) return;
            }
            if (!HasRights(user)) {
                {
                    std::lock_guard<std::mutex> hold(lock_);
                    ++refusals_["accessDenied"];
                }
                SendFault(response, {"s:Sender", "w:AccessDenied", "Access is denied.", kCodeAccessDenied,
                                     "Access is denied.", 0},
                          "", request);
            } else {
                Answer(request, soap, user, response, &trip.operation);
            }
            if (sealed) Close(request, response, *session);
            return;
        }
        Answer(request, soap, user, response, &trip.operation);
    }

    static bool IsIdentify(const std::string& soap) {
        pugi::xml_document document;
        return document.load_buffer(soap.data(), soap.size()) &&
               Child(Child(document.first_child(), "Body"), "Identify");
    }

    // The answer to a request of that account (empty: an unauthenticated Identify).
    void Answer(const httplib::Request& request, const std::string& soap, const std::string& user,
                httplib::Response& response, bool* waited) {
        pugi::xml_document document;
        const bool parsed = document.load_buffer(soap.data(), soap.size());
        pugi::xml_node envelope = document.first_child();
        pugi::xml_node header = Child(envelope, "Header"), body = Child(envelope, "Body");
        const bool identify = parsed && Child(body, "Identify");
        if (!parsed || !body) {
            response.status = 400;
            return;
        }
        RoundTrip();
        if (options_.stall) {
            // A computer that never answers: until the double stops, or long
            // after any client's time-out (the longest operation time-out
            // plus 5 s), so that stalled requests never hold every thread
            // and the double's state still answers.
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait_for(hold, std::chrono::milliseconds(kMaxTimeoutMs + 5000), [this] { return stopping_; });
            response.status = 503;
            return;
        }
        if (identify) return Send(response, IdentifyResponse(!user.empty()));

        const std::string messageId = Child(header, "MessageID").text().get();
        Fault fault;
        pugi::xml_document answer;
        const long long asked = DurationMs(Child(header, "OperationTimeout").text().get());
        const long long timeoutMs = asked < 0 || asked > kMaxTimeoutMs ? kMaxTimeoutMs : asked;
        const std::string envelopeText = Child(header, "MaxEnvelopeSize").text().get();
        size_t maxEnvelope = envelopeText.empty() ? kMaxEnvelopeBytes : std::strtoull(envelopeText.c_str(), nullptr, 10);
        maxEnvelope = std::min(maxEnvelope, kMaxEnvelopeBytes);
        {
            std::lock_guard<std::mutex> hold(lock_);
            lastTimeoutMs_ = timeoutMs;
        }
        // A slow WMI: the answer comes after the latency, or a TimedOut
        // fault at the operation's time-out.
        *waited = true;
        if (options_.latencyMs > 0) {
            const long long waitMs = std::min<long long>(options_.latencyMs, timeoutMs);
            std::unique_lock<std::mutex> hold(lock_);
            wake_.wait_for(hold, std::chrono::milliseconds(waitMs), [this] { return stopping_; });
        }
        const std::string action = Child(header, "Action").text().get();
        if (maxEnvelope < kMinEnvelopeBytes) {
            fault = {"s:Sender", "w:EncodingLimit", "The WS-Management service cannot process the request because "
                     "the MaxEnvelopeSize in the request is below 8192 bytes.", kCodeEnvelopeNotSupported,
                     "The WS-Management service does not support the specified MaxEnvelopeSize value.", 0};
        } else if (soap.size() > maxEnvelope) {
            fault = {"s:Sender", "w:EncodingLimit", "The request is larger than the maximum envelope size.",
                     kCodeRequestTooLarge,
                     "The WS-Management service cannot process the request because the request envelope is "
                     "larger than its MaxEnvelopeSize.", 0};
        } else if (options_.latencyMs > 0 && options_.latencyMs >= timeoutMs) {
            fault = {"s:Receiver", "w:TimedOut", "The WS-Management service cannot complete the operation within "
                     "the time specified in OperationTimeout.", kCodeTimedOut,
                     "The WS-Management service cannot complete the operation within the time specified in "
                     "OperationTimeout.", 0};
        } else if (action == kEnumerationActions + "Enumerate") {
            Enumerate(request, header, body, user, maxEnvelope, &answer, &fault);
        } else if (action == kEnumerationActions + "Pull") {
            Pull(body, user, maxEnvelope, &answer, &fault);
        } else if (action == kEnumerationActions + "Release") {
            Release(body, user, &answer, &fault);
        } else {
            fault = {"s:Sender", "a:ActionNotSupported", "The action is not supported by the service.",
                     kCodeActionNotSupported,
                     "The WS-Management service cannot process the request because the action is not supported.",
                     0};
        }
        if (!fault.subcode.empty()) {
            std::lock_guard<std::mutex> hold(lock_);
            ++faults_;
        }
        if (!fault.subcode.empty()) return SendFault(response, fault, messageId, request);
        Address(&answer, messageId);
        Send(response, answer);
    }

    void RoundTrip() {
        std::lock_guard<std::mutex> hold(lock_);
        ++roundTrips_;
    }

    // Without logon the product version names no OS (0.0.0), as Windows's
    // does; the security profile is WinRM's over HTTP (SPNEGO, Kerberos).
    static pugi::xml_document IdentifyResponse(bool authenticated) {
        pugi::xml_document document;
        pugi::xml_node envelope = document.append_child("s:Envelope");
        envelope.append_attribute("xmlns:s") = ns::kSoap;
        envelope.append_child("s:Header");
        pugi::xml_node identify = envelope.append_child("s:Body").append_child("wsmid:IdentifyResponse");
        identify.append_attribute("xmlns:wsmid") = ns::kIdentity;
        identify.append_child("wsmid:ProtocolVersion").text() = ns::kWsman;
        identify.append_child("wsmid:ProductVendor").text() = "Microsoft Corporation";
        identify.append_child("wsmid:ProductVersion").text() =
            authenticated ? "OS: 10.0.17763 SP: 0.0 Stack: 3.0" : "OS: 0.0.0 SP: 0.0 Stack: 3.0";
        identify.append_child("wsmid:SecurityProfiles").append_child("wsmid:SecurityProfileName").text() =
            "http://schemas.dmtf.org/wbem/wsman/1/wsman/secprofile/http/spnego-kerberos";
        return document;
    }

    // An envelope whose body holds one element, with the namespaces of the answers.
    static pugi::xml_node NewEnvelope(pugi::xml_document* document, const std::string& action,
                                      const char* bodyElement) {
        pugi::xml_node envelope = document->append_child("s:Envelope");
        envelope.append_attribute("xml:lang") = "en-US";
        envelope.append_attribute("xmlns:s") = ns::kSoap;
        envelope.append_attribute("xmlns:a") = ns::kAddressing;
        envelope.append_attribute("xmlns:n") = ns::kEnumeration;
        envelope.append_attribute("xmlns:w") = ns::kWsman;
        envelope.append_attribute("xmlns:p") = ns::kMsWsman;
        pugi::xml_node header = envelope.append_child("s:Header");
        header.append_child("a:Action").text() = action.c_str();
        return envelope.append_child("s:Body").append_child(bodyElement);
    }

    // The answer's addressing headers.
    static void Address(pugi::xml_document* document, const std::string& relatesTo) {
        pugi::xml_node header = Child(document->first_child(), "Header");
        header.append_child("a:MessageID").text() = ("uuid:" + NewUuid()).c_str();
        header.append_child("a:To").text() = kAnonymous;
        if (!relatesTo.empty()) header.append_child("a:RelatesTo").text() = relatesTo.c_str();
    }

    static std::string Text(const pugi::xml_document& document) {
        std::ostringstream out;
        document.save(out, "", pugi::format_raw | pugi::format_no_declaration);
        return out.str();
    }

    static void Send(httplib::Response& response, const pugi::xml_document& document) {
        response.set_content(Text(document), "application/soap+xml;charset=UTF-8");
    }

    void SendFault(httplib::Response& response, const Fault& fault, const std::string& relatesTo,
                   const httplib::Request& request) {
        pugi::xml_document document;
        // A fault's action follows its subcode's namespace: enumeration,
        // addressing or WS-Management.
        const std::string action = fault.subcode.compare(0, 2, "n:") == 0 ? kEnumerationActions + "fault"
                                   : fault.subcode.compare(0, 2, "a:") == 0
                                       ? std::string(ns::kAddressing) + "/fault"
                                       : std::string("http://schemas.dmtf.org/wbem/wsman/1/wsman/fault");
        pugi::xml_node body = NewEnvelope(&document, action, "s:Fault");
        Address(&document, relatesTo);
        pugi::xml_node code = body.append_child("s:Code");
        code.append_child("s:Value").text() = fault.code.c_str();
        code.append_child("s:Subcode").append_child("s:Value").text() = fault.subcode.c_str();
        pugi::xml_node reason = body.append_child("s:Reason").append_child("s:Text");
        reason.append_attribute("xml:lang") = "en-US";
        reason.text() = fault.reason.c_str();
        pugi::xml_node detail = body.append_child("s:Detail").append_child("f:WSManFault");
        detail.append_attribute("xmlns:f") = ns::kFault;
        detail.append_attribute("Code") = std::to_string(fault.wsmanCode).c_str();
        detail.append_attribute("Machine") = HostName(request).c_str();
        pugi::xml_node message = detail.append_child("f:Message");
        if (fault.wmiCode) {
            pugi::xml_node provider = message.append_child("f:ProviderFault");
            provider.append_attribute("provider") = "WMI Provider";
            provider.append_attribute("path") = "%systemroot%\\system32\\WsmWmiPl.dll";
            pugi::xml_node inner = provider.append_child("f:WSManFault");
            inner.append_attribute("Code") = std::to_string(fault.wmiCode).c_str();
            inner.append_attribute("Machine") = HostName(request).c_str();
            inner.append_child("f:Message").text() = fault.message.c_str();
        } else {
            message.text() = fault.message.c_str();
        }
        response.status = 500;
        Send(response, document);
    }

    // The computer the request is for: the Host header's name.
    static std::string HostName(const httplib::Request& request) {
        std::string host = request.get_header_value("Host");
        const size_t colon = host.rfind(':');
        if (colon != std::string::npos && host.find(']') == std::string::npos) host.resize(colon);
        return host;
    }

    static Fault WmiFault(unsigned long wmiCode, const char* message) {
        return {"s:Sender", "n:CannotProcessFilter", "The data source could not process the filter.",
                kCodeCannotProcessFilter, message, wmiCode};
    }

    void Enumerate(const httplib::Request& request, pugi::xml_node header, pugi::xml_node body,
                   const std::string& user, size_t maxEnvelope, pugi::xml_document* answer, Fault* fault) {
        pugi::xml_node enumerate = Child(body, "Enumerate");
        const std::string resourceUri = Child(header, "ResourceURI").text().get();
        if (resourceUri.compare(0, std::strlen(kWmiPrefix), kWmiPrefix) != 0) {
            *fault = {"s:Sender", "w:DestinationUnreachable", "The WS-Management service cannot process the request "
                      "because the resource URI is not valid.", kCodeInvalidResource,
                      "The WS-Management service cannot process the request. The resource URI is not valid.", 0};
            return;
        }
        // .../wmi/NAMESPACE/* with a WQL filter, or .../wmi/NAMESPACE/CLASS.
        const std::string path = resourceUri.substr(std::strlen(kWmiPrefix));
        const size_t slash = path.rfind('/');
        const std::string nameSpace = slash == std::string::npos ? std::string() : path.substr(0, slash);
        const std::string last = path.substr(slash == std::string::npos ? 0 : slash + 1);
        pugi::xml_node filter = Child(enumerate, "Filter");
        std::wstring query;
        if (filter) {
            if (std::string(filter.attribute("Dialect").value()) != kWqlDialect) {
                *fault = {"s:Sender", "n:FilterDialectRequestedUnavailable",
                          "The requested filtering dialect is not supported.", kCodeDialect,
                          "The WS-Management service cannot process the request because the filter dialect is not "
                          "supported.", 0};
                return;
            }
            query = datatable::FromUtf8(filter.text().get());
        } else if (last != "*") {
            query = L"SELECT * FROM " + datatable::FromUtf8(last);
        }
        if (!datatable::EqualNoCase(datatable::FromUtf8(nameSpace), L"root/cimv2")) {
            *fault = WmiFault(kWmiInvalidNamespace, "Invalid namespace ");
            return;
        }
        std::wstring className;
        if (!datatable::QueryClass(query, &className)) {
            *fault = WmiFault(kWmiInvalidQuery, "Invalid query ");
            return;
        }
        Enumeration enumeration;
        enumeration.user = user;
        enumeration.table = datatable::FindIn(tables_, className, datatable::FromUtf8(HostName(request)));
        if (!enumeration.table) {
            *fault = WmiFault(kWmiInvalidClass, "Invalid class ");
            return;
        }
        if (!datatable::Select(*enumeration.table, query, &enumeration.rows)) {
            *fault = WmiFault(kWmiInvalidQuery, "Invalid query ");
            return;
        }
        enumeration.resourceUri = kWmiPrefix + nameSpace + "/" + datatable::ToUtf8(enumeration.table->className);
        enumeration.withEpr = std::string(Child(enumerate, "EnumerationMode").text().get()) == "EnumerateObjectAndEPR";

        const std::string context = "uuid:" + NewUuid();
        {
            std::lock_guard<std::mutex> hold(lock_);
            size_t mine = 0;
            for (const auto& entry : open_) mine += entry.second.user == user;
            if (options_.quota > 0 && mine >= static_cast<size_t>(options_.quota)) {
                *fault = {"s:Receiver", "w:QuotaLimit", "The service cannot comply with the request due to "
                          "internal processing constraints.", kCodeQuota,
                          "The WS-Management service cannot process the request. This user is allowed a maximum "
                          "number of " + std::to_string(options_.quota) + " concurrent operations, which has been "
                          "exceeded. Close existing operations for this user, or raise the quota for this user.", 0};
                return;
            }
            ++enumerations_;
        }
        pugi::xml_node response = NewEnvelope(answer, kEnumerationActions + "EnumerateResponse", "n:EnumerateResponse");
        pugi::xml_node contextNode = response.append_child("n:EnumerationContext");
        contextNode.text() = context.c_str();
        bool ended = false;
        if (Child(enumerate, "OptimizeEnumeration")) {
            const long asked = std::strtol(Child(enumerate, "MaxElements").text().get(), nullptr, 10);
            pugi::xml_node items = response.append_child("w:Items");
            if (!AddItems(&enumeration, asked, answer, maxEnvelope, items, fault)) return;
            ended = enumeration.next == enumeration.rows.size();
            if (ended) response.append_child("w:EndOfSequence");
        }
        // One read to its end is over: its context is no longer open.
        if (!ended) {
            std::lock_guard<std::mutex> hold(lock_);
            open_[context] = std::move(enumeration);
        }
    }

    void Pull(pugi::xml_node body, const std::string& user, size_t maxEnvelope, pugi::xml_document* answer,
              Fault* fault) {
        pugi::xml_node pull = Child(body, "Pull");
        const std::string context = Child(pull, "EnumerationContext").text().get();
        Enumeration enumeration;
        if (!TakeOpen(context, user, &enumeration, fault)) return;
        pugi::xml_node response = NewEnvelope(answer, kEnumerationActions + "PullResponse", "n:PullResponse");
        const std::string next = "uuid:" + NewUuid();
        pugi::xml_node contextNode = response.append_child("n:EnumerationContext");
        pugi::xml_node items = response.append_child("n:Items");
        const long asked = std::strtol(Child(pull, "MaxElements").text().get(), nullptr, 10);
        if (!AddItems(&enumeration, asked, answer, maxEnvelope, items, fault)) {
            std::lock_guard<std::mutex> hold(lock_);
            open_[context] = std::move(enumeration);  // the fault leaves it open, as it was
            return;
        }
        if (enumeration.next == enumeration.rows.size()) {
            response.remove_child(contextNode);
            response.append_child("n:EndOfSequence");
            return;
        }
        contextNode.text() = next.c_str();
        std::lock_guard<std::mutex> hold(lock_);
        open_[next] = std::move(enumeration);
    }

    void Release(pugi::xml_node body, const std::string& user, pugi::xml_document* answer, Fault* fault) {
        const std::string context = Child(Child(body, "Release"), "EnumerationContext").text().get();
        Enumeration enumeration;
        if (!TakeOpen(context, user, &enumeration, fault)) return;
        {
            std::lock_guard<std::mutex> hold(lock_);
            ++released_;
        }
        NewEnvelope(answer, kEnumerationActions + "ReleaseResponse", "n:ReleaseResponse");
        Child(answer->first_child(), "Body").remove_children();
    }

    // Removes the user's open enumeration of that context.
    bool TakeOpen(const std::string& context, const std::string& user, Enumeration* enumeration, Fault* fault) {
        std::lock_guard<std::mutex> hold(lock_);
        auto found = open_.find(context);
        if (found == open_.end() || found->second.user != user) {
            *fault = {"s:Sender", "n:InvalidEnumerationContext", "The supplied enumeration context is invalid.",
                      kCodeInvalidContext,
                      "The WS-Management service cannot process the request because the enumeration context "
                      "supplied in the message is not valid.", 0};
            return false;
        }
        *enumeration = std::move(found->second);
        open_.erase(found);
        return true;
    }

    // Adds up to asked items (at least 1; 1 with --one-per-pull) while the
    // answer fits the envelope; an item that cannot fit at all is a fault.
    bool AddItems(Enumeration* enumeration, long asked, pugi::xml_document* answer, size_t maxEnvelope,
                  pugi::xml_node items, Fault* fault) {
        size_t limit = asked < 1 ? 1 : static_cast<size_t>(asked);
        if (options_.onePerPull) limit = 1;
        // The envelope's size so far plus room for the headers still to come.
        size_t size = Text(*answer).size() + 400;
        for (size_t added = 0; added < limit && enumeration->next < enumeration->rows.size(); ++added) {
            pugi::xml_document item;
            RenderItem(*enumeration, enumeration->rows[enumeration->next], &item);
            const size_t itemSize = Text(item).size();
            if (size + itemSize > maxEnvelope) {
                if (added > 0) break;
                *fault = {"s:Sender", "w:EncodingLimit", "The response does not fit the maximum envelope size.",
                          kCodeAnswerTooLarge,
                          "The WS-Management service cannot process the request because the response is larger "
                          "than the MaxEnvelopeSize of the request.", 0};
                return false;
            }
            size += itemSize;
            items.append_copy(item.first_child());
            ++enumeration->next;
        }
        return true;
    }

    // An instance as Windows renders it, with its EPR when asked for.
    static void RenderItem(const Enumeration& enumeration, size_t row, pugi::xml_document* item) {
        const datatable::Table& table = *enumeration.table;
        const std::string className = datatable::ToUtf8(table.className);
        pugi::xml_node parent = *item;
        if (enumeration.withEpr) {
            parent = item->append_child("w:Item");
        }
        pugi::xml_node instance = parent.append_child(("p:" + className).c_str());
        instance.append_attribute("xmlns:p") = enumeration.resourceUri.c_str();
        instance.append_attribute("xmlns:cim") = ns::kCim;
        instance.append_attribute("xmlns:xsi") = ns::kXsi;
        instance.append_attribute("xsi:type") = ("p:" + className + "_Type").c_str();
        instance.append_attribute("xml:lang") = "en-US";
        for (size_t column = 0; column < table.columns.size(); ++column) {
            const std::string name = "p:" + datatable::ToUtf8(table.columns[column].name);
            const std::wstring& cell = table.rows[row][column];
            pugi::xml_node property = instance.append_child(name.c_str());
            if (cell.empty()) {
                property.append_attribute("xsi:nil") = "true";
            } else if (table.columns[column].type == datatable::Type::Datetime) {
                property.append_child("cim:Datetime").text() = XsDateTime(datatable::ToUtf8(cell)).c_str();
            } else if (table.columns[column].type == datatable::Type::Boolean) {
                property.text() = cell == L"True" ? "true" : "false";
            } else {
                property.text() = datatable::ToUtf8(cell).c_str();
            }
        }
        if (!enumeration.withEpr) return;
        pugi::xml_node reference = parent.append_child("a:EndpointReference");
        reference.append_child("a:Address").text() = kAnonymous;
        pugi::xml_node parameters = reference.append_child("a:ReferenceParameters");
        parameters.append_child("w:ResourceURI").text() = enumeration.resourceUri.c_str();
        // A singleton (Win32_OperatingSystem=@) has no key to select by.
        if (!table.singleton) {
            pugi::xml_node selector = parameters.append_child("w:SelectorSet").append_child("w:Selector");
            selector.append_attribute("Name") = datatable::ToUtf8(table.columns[0].name).c_str();
            selector.text() = datatable::ToUtf8(table.rows[row][0]).c_str();
        }
    }

    const Options options_;
    datatable::Tables tables_;
    std::vector<Account> accounts_;
    std::mutex lock_;
    std::condition_variable wake_;
    bool stopping_ = false;
    std::map<std::string, Enumeration> open_;  // by context
    std::map<std::string, std::shared_ptr<Session>> sessions_;  // by connection
    long long sessionUses_ = 0;                                 // orders the sessions by their last use
    std::string endPoint_;  // our certificate's channel binding
    std::map<std::string, unsigned long long> mechanisms_ = {{"kerberos", 0}, {"ntlm", 0}, {"basic", 0}},
                                              refusals_;
    unsigned long long encrypted_ = 0;
    unsigned long long requests_ = 0, roundTrips_ = 0, enumerations_ = 0, released_ = 0, faults_ = 0,
                       refusedLogons_ = 0;
    long long lastTimeoutMs_ = 0;
};

const char* const kUsage =
    "usage: winrm-double --cert FILE --key FILE --accounts FILE [--http-port N] [--https-port N]\n"
    "                    [--data DIR] [--ready-file FILE] [--quota N] [--one-per-pull]\n"
    "                    [--latency-ms N] [--stall] [--keytab FILE] [--ntlm-users FILE]\n"
    "                    [--require-channel-binding] [--no-rights ACCOUNT]...\n"
    "Ports 0 (the default) pick free ports; the line \"http=PORT https=PORT\" is printed\n"
    "(or written to the ready file) once both listen on 127.0.0.1. Negotiate and Kerberos\n"
    "logons use the keytab's keys and the NTLM users file (lines DOMAIN:USER:PASSWORD);\n"
    "an account named by --no-rights logs on and is denied access.\n";

bool ReadOptions(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        const bool hasValue = i + 1 < argc;
        auto number = [&](int* value) {
            if (!hasValue) return false;
            char* end = nullptr;
            const long parsed = std::strtol(argv[++i], &end, 10);
            if (*end || parsed < 0 || parsed > 2147483647) return false;
            *value = static_cast<int>(parsed);
            return true;
        };
        auto text = [&](std::string* value) {
            if (!hasValue) return false;
            *value = argv[++i];
            return true;
        };
        bool ok = true;
        if (name == "--http-port") ok = number(&options->httpPort);
        else if (name == "--https-port") ok = number(&options->httpsPort);
        else if (name == "--cert") ok = text(&options->cert);
        else if (name == "--key") ok = text(&options->key);
        else if (name == "--accounts") ok = text(&options->accounts);
        else if (name == "--data") ok = text(&options->dataDir);
        else if (name == "--ready-file") ok = text(&options->readyFile);
        else if (name == "--quota") ok = number(&options->quota);
        else if (name == "--latency-ms") ok = number(&options->latencyMs);
        else if (name == "--one-per-pull") options->onePerPull = true;
        else if (name == "--stall") options->stall = true;
        else if (name == "--keytab") ok = text(&options->keytab);
        else if (name == "--ntlm-users") ok = text(&options->ntlmUsers);
        else if (name == "--require-channel-binding") options->requireChannelBinding = true;
        else if (name == "--no-rights") ok = hasValue && (options->noRights.push_back(argv[++i]), true);
        else ok = false;
        if (!ok) return false;
    }
    return !options->cert.empty() && !options->key.empty() && !options->accounts.empty();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ReadOptions(argc, argv, &options)) {
        std::cerr << kUsage;
        return 2;
    }
    // The stop signals are taken by sigwait below, in no other thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // The acceptor's keys and NTLM accounts, for the GSS libraries (before any thread).
    if (!options.keytab.empty()) setenv("KRB5_KTNAME", options.keytab.c_str(), 1);
    if (!options.ntlmUsers.empty()) setenv("NTLM_USER_FILE", options.ntlmUsers.c_str(), 1);
    WinrmDouble service(options);
    std::string error;
    if (!service.Load(&error)) {
        std::cerr << "winrm-double: " << error << "\n";
        return 1;
    }
    httplib::Server http;
    httplib::SSLServer https(options.cert.c_str(), options.key.c_str());
    if (!https.is_valid()) {
        std::cerr << "winrm-double: cannot use the certificate and key\n";
        return 1;
    }
    service.Serve(http, false);
    service.Serve(https, true);
    const int httpPort = options.httpPort ? (http.bind_to_port("127.0.0.1", options.httpPort) ? options.httpPort : -1)
                                          : http.bind_to_any_port("127.0.0.1");
    const int httpsPort = options.httpsPort
                              ? (https.bind_to_port("127.0.0.1", options.httpsPort) ? options.httpsPort : -1)
                              : https.bind_to_any_port("127.0.0.1");
    if (httpPort <= 0 || httpsPort <= 0) {
        std::cerr << "winrm-double: cannot listen on 127.0.0.1\n";
        return 1;
    }
    std::thread httpThread([&] { http.listen_after_bind(); });
    std::thread httpsThread([&] { https.listen_after_bind(); });
    const std::string ready = "http=" + std::to_string(httpPort) + " https=" + std::to_string(httpsPort) + "\n";
    if (options.readyFile.empty()) {
        std::cout << ready << std::flush;
    } else {
        // Written whole under another name, then renamed: a reader never sees half a line.
        const std::string partial = options.readyFile + ".part";
        std::ofstream(partial) << ready;
        std::rename(partial.c_str(), options.readyFile.c_str());
    }
    // Runs until SIGTERM or SIGINT.
    int signal = 0;
    sigwait(&stopSignals, &signal);
    service.Stop();
    http.stop();
    https.stop();
    httpThread.join();
    httpsThread.join();
    return 0;
}

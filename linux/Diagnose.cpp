#include "Diagnose.h"

#include <curl/curl.h>
#include <fcntl.h>
#include <netdb.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <openssl/x509_vfy.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "Advice.h"
#include "CommandLine.h"
#include "Messages.h"
#include "PluginOutput.h"
#include "Render.h"
#include "Thresholds.h"

namespace wmicheck {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

void Print(const std::string& line) {
    const std::string text = line + "\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

long MsSince(Clock::time_point start) {
    return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - start).count());
}

// The steps as they are printed, and the closing line with the exit code.
class Report {
public:
    void Add(State state, const std::string& text) {
        steps_.push_back({state, text});
        Print("[" + std::string(StateName(state)) + "] " + text);
    }
    void Skip(const std::string& step, const std::string& because) {
        ++skipped_;
        Print("[SKIPPED] " + step + ": " + because);
    }
    int Close() const {
        State worst = State::Ok;
        Print(DiagnoseClosing(steps_, skipped_, &worst));
        return ExitCode(worst);
    }

private:
    std::vector<DiagnoseStep> steps_;
    size_t skipped_ = 0;
};

struct Address {
    sockaddr_storage socket{};
    socklen_t length = 0;
    std::string text;
};

// getaddrinfo in a thread of its own, so that a resolver that does not
// answer costs the time-out and no more; the thread is left to end by
// itself then.
struct Lookup {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
    int code = 0;
    std::vector<Address> addresses;
};

bool Resolve(const std::string& name, int port, milliseconds bound, int* code, std::vector<Address>* addresses) {
    auto lookup = std::make_shared<Lookup>();
    std::thread([lookup, name, port] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* list = nullptr;
        const int result = getaddrinfo(name.c_str(), std::to_string(port).c_str(), &hints, &list);
        std::vector<Address> found;
        for (addrinfo* entry = result == 0 ? list : nullptr; entry; entry = entry->ai_next) {
            Address address;
            std::memcpy(&address.socket, entry->ai_addr, entry->ai_addrlen);
            address.length = entry->ai_addrlen;
            char host[NI_MAXHOST] = {};
            if (getnameinfo(entry->ai_addr, entry->ai_addrlen, host, sizeof host, nullptr, 0, NI_NUMERICHOST) == 0)
                address.text = host;
            found.push_back(address);
        }
        if (list) freeaddrinfo(list);
        std::lock_guard<std::mutex> hold(lookup->lock);
        lookup->code = result;
        lookup->addresses = std::move(found);
        lookup->finished = true;
        lookup->done.notify_all();
    }).detach();
    std::unique_lock<std::mutex> hold(lookup->lock);
    if (!lookup->done.wait_for(hold, bound, [&] { return lookup->finished; })) return false;
    *code = lookup->code;
    *addresses = lookup->addresses;
    return true;
}

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int Fd() const { return fd_; }

private:
    int fd_;
};

// 0 when connected, ETIMEDOUT when no answer came within bound, else the
// connection's errno.
int ConnectWithin(const Address& address, milliseconds bound) {
    Socket socket(::socket(address.socket.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (socket.Fd() < 0) return errno;
    if (::connect(socket.Fd(), reinterpret_cast<const sockaddr*>(&address.socket), address.length) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    pollfd watched{socket.Fd(), POLLOUT, 0};
    const int ready = poll(&watched, 1, static_cast<int>(bound.count()));
    if (ready == 0) return ETIMEDOUT;
    if (ready < 0) return errno;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(socket.Fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) return errno;
    return error;
}

// A curl handle with its connection's settings, freed with them.
struct Probe {
    explicit Probe(const wsman::Settings& settings, milliseconds bound) : curl(curl_easy_init()) {
        if (!curl) throw std::bad_alloc();
        wsman::SetConnection(curl, settings, &connectTo);
        curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);
        curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
        // curl says the TLS version and cipher in its informational text.
        curl_easy_setopt(curl, CURLOPT_DEBUGFUNCTION, Note);
        curl_easy_setopt(curl, CURLOPT_DEBUGDATA, &cipher);
        curl_easy_setopt(curl, CURLOPT_VERBOSE, 1L);
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, static_cast<long>(bound.count()));
        curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(bound.count()));
    }
    ~Probe() {
        curl_easy_cleanup(curl);
        curl_slist_free_all(connectTo);
    }
    Probe(const Probe&) = delete;
    Probe& operator=(const Probe&) = delete;

    // The server certificate's subject, issuer and expiry, as curl read them.
    std::string Certificate() const {
        curl_certinfo* info = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1)
            return "";
        std::string subject, issuer, expires;
        for (curl_slist* field = info->certinfo[0]; field; field = field->next) {
            const std::string data = field->data;
            const size_t colon = data.find(':');
            const std::string name = data.substr(0, colon), value = data.substr(colon + 1);
            if (name == "Subject") subject = value;
            else if (name == "Issuer") issuer = value;
            else if (name == "Expire date") expires = value;
        }
        return subject + ", issued by " + issuer + ", valid until " + expires;
    }

    // The server certificate in PEM form; "" when curl did not read it.
    std::string Pem() const {
        curl_certinfo* info = nullptr;
        if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || !info || info->num_of_certs < 1)
            return "";
        for (curl_slist* field = info->certinfo[0]; field; field = field->next)
            if (std::strncmp(field->data, "Cert:", 5) == 0) return field->data + 5;
        return "";
    }

    static int Note(CURL*, curl_infotype type, char* data, size_t size, void* user) {
        static const std::string kUsing = "SSL connection using ";
        const std::string text(data, size);
        if (type == CURLINFO_TEXT && text.compare(0, kUsing.size(), kUsing) == 0)
            *static_cast<std::string*>(user) = text.substr(kUsing.size(), text.find_last_not_of("\r\n") + 1 - kUsing.size());
        return 0;
    }

    CURL* curl;
    std::string cipher;  // "TLSv1.3 / TLS_AES_256_GCM_SHA384"
    curl_slist* connectTo = nullptr;
    char error[CURL_ERROR_SIZE] = {};
};

// Whether a PEM certificate names host (a DNS name or an IP address).
bool Names(const std::string& pem, const std::string& host) {
    std::unique_ptr<BIO, int (*)(BIO*)> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    if (!bio) return true;
    std::unique_ptr<X509, void (*)(X509*)> certificate(PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr),
                                                       X509_free);
    if (!certificate) return true;
    if (IsIpAddress(host)) return X509_check_ip_asc(certificate.get(), host.c_str(), 0) == 1;
    return X509_check_host(certificate.get(), host.data(), host.size(), 0, nullptr) == 1;
}

class Diagnosis {
public:
    explicit Diagnosis(DiagnoseSettings settings) : settings_(std::move(settings)) {
        const wsman::Settings& c = settings_.connection;
        host_ = c.endpoint.host;
        port_ = std::to_string(c.endpoint.port);
        target_.endpoint = c.endpoint;
        target_.user = c.user;
        target_.nameSpace = settings_.nameSpace;
        target_.classPath = "Win32_OperatingSystem";
        target_.timeoutSeconds = settings_.timeout.count() / 1000.0;
        target_.proxy = c.proxy;
        url_ = c.endpoint.Url();
    }

    int Run() {
        const bool https = settings_.connection.endpoint.https;
        struct Step {
            std::string name;
            bool (Diagnosis::*run)();
        };
        std::vector<Step> steps = {{"name resolution", &Diagnosis::ResolveName},
                                   {"TCP to port " + port_, &Diagnosis::ConnectTcp}};
        if (https) steps.push_back({"TLS and the certificate", &Diagnosis::CheckTls});
        steps.push_back({"Identify", &Diagnosis::Identify});
        steps.push_back({"logon", &Diagnosis::LogOn});
        steps.push_back({"message encryption", &Diagnosis::Encryption});
        steps.push_back({"query of Win32_OperatingSystem", &Diagnosis::Query});
        for (size_t i = 0; i < steps.size(); ++i) {
            if ((this->*steps[i].run)()) continue;
            for (size_t j = i + 1; j < steps.size(); ++j)
                report_.Skip(steps[j].name, "it needs the " + steps[i].name + " that failed");
            break;
        }
        return report_.Close();
    }

private:
    std::string Seconds() const { return wsman::SecondsText(settings_.timeout.count() / 1000.0); }

    // What a step gets: the whole time-out, each step afresh.
    Clock::time_point Deadline() const { return Clock::now() + settings_.timeout; }

    bool ResolveName() {
        const wsman::Settings& c = settings_.connection;
        if (!c.proxy.empty()) {
            report_.Skip("name resolution and TCP", "the proxy resolves " + host_ + " and connects to it");
            proxied_ = true;
            return true;
        }
        const std::string& name = c.address.empty() ? host_ : c.address;
        const std::string which = c.address.empty() ? name : "--address " + name;
        int code = 0;
        if (!Resolve(name, c.endpoint.port, settings_.timeout, &code, &addresses_)) {
            report_.Add(State::Critical, "the resolver gave no answer for " + name + " within " + Seconds() +
                                             ": check the name servers in /etc/resolv.conf, or give the "
                                             "computer's address with --address");
            return false;
        }
        if (code != 0 || addresses_.empty()) {
            report_.Add(State::Critical, which + " does not resolve (" + gai_strerror(code) + "): " +
                                             (c.address.empty()
                                                  ? "check the name in DNS or /etc/hosts, or give the computer's "
                                                    "address with --address (--host stays the name that Kerberos "
                                                    "and the certificate know)"
                                                  : "give --address an IP address or a name that resolves"));
            return false;
        }
        std::string list;
        for (const Address& address : addresses_) list += (list.empty() ? "" : ", ") + address.text;
        report_.Add(State::Ok, which + " resolves to " + list +
                                   (c.address.empty() ? "" : " (--host " + host_ + " names the service)"));
        return true;
    }

    bool ConnectTcp() {
        if (proxied_) return true;
        const auto start = Clock::now();
        int first = 0;
        std::string tried;  // every address tried: a name may have several (::1 and 127.0.0.1)
        for (const Address& address : addresses_) {
            const auto left = std::chrono::duration_cast<milliseconds>(start + settings_.timeout - Clock::now());
            const int error = left.count() > 0 ? ConnectWithin(address, left) : ETIMEDOUT;
            if (error == 0) {
                report_.Add(State::Ok, "connected to " + address.text + " port " + port_ + " in " +
                                           std::to_string(MsSince(start)) + " ms");
                return true;
            }
            if (first == 0) first = error;
            tried += (tried.empty() ? "" : " and ") + address.text;
        }
        const std::string where = tried + " port " + port_;
        const std::string allow = "let TCP port " + port_ + " in on " + host_ +
                                  " (its firewall's rule Windows Remote Management (HTTP" +
                                  (settings_.connection.endpoint.https ? "S" : "") + "-In)) and on the way there";
        if (first == ECONNREFUSED) {
            report_.Add(State::Critical,
                        host_ + " refused the connection to " + where +
                            ": nothing listens there; run winrm quickconfig on " + host_ +
                            " (WinRM's HTTP listener on 5985), or create an HTTPS listener with a certificate "
                            "(5986), and check --port");
        } else if (first == ETIMEDOUT) {
            report_.Add(State::Critical, "no answer from " + where + " within " + Seconds() +
                                             ": a firewall drops the connection, or the computer is down: " + allow);
        } else {
            report_.Add(State::Critical, where + " cannot be reached (" + std::strerror(first) +
                                             "): check the address, that " + host_ +
                                             " is up and the route to it; a firewall that rejects answers so too: " +
                                             allow);
        }
        return false;
    }

    bool CheckTls() {
        const wsman::Settings& c = settings_.connection;
        const auto start = Clock::now();
        Probe probe(c, settings_.timeout);
        const CURLcode code = curl_easy_perform(probe.curl);
        if (code == CURLE_OK) {
            const std::string version = probe.cipher.empty() ? "TLS" : probe.cipher;
            const std::string certificate = probe.Certificate();
            const std::string with = c.caFile.empty() ? "this computer's authorities" : "--ca-file " + c.caFile;
            if (c.insecure) {
                report_.Add(State::Warning, version + " with " + host_ + ", its certificate (" + certificate +
                                                ") not verified (--insecure): whoever sits between can read the "
                                                "messages; give the authority that issued it with --ca-file");
            } else {
                report_.Add(State::Ok, version + " with " + host_ + ": its certificate (" + certificate +
                                           ") names " + host_ + " and verifies with " + with);
            }
            return true;
        }
        long verified = X509_V_OK;
        curl_easy_getinfo(probe.curl, CURLINFO_SSL_VERIFYRESULT, &verified);
        const std::string detail = probe.error[0] ? probe.error : curl_easy_strerror(code);
        std::string why;
        if (code == CURLE_PEER_FAILED_VERIFICATION) {
            // The certificate that failed, read once more without verifying it.
            wsman::Settings unverified = c;
            unverified.caFile.clear();
            unverified.insecure = true;
            Probe look(unverified, std::max(milliseconds(1), settings_.timeout - milliseconds(MsSince(start))));
            const bool seen = curl_easy_perform(look.curl) == CURLE_OK;
            const std::string its = "the certificate of " + host_ + (seen ? " (" + look.Certificate() + ")" : "");
            if (verified == X509_V_ERR_CERT_HAS_EXPIRED) {
                why = its + " has expired: give its listener a new one";
            } else if (verified == X509_V_ERR_CERT_NOT_YET_VALID) {
                why = its + " is not valid yet: check the clocks of both computers";
            } else if (verified == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY ||
                       verified == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT ||
                       verified == X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT ||
                       verified == X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN ||
                       verified == X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE) {
                why = its + " comes from an authority this computer does not trust: give that authority's "
                      "certificate with --ca-file";
            } else if (seen && !Names(look.Pem(), host_)) {
                why = its + " does not name " + host_ + ": give --host the name the certificate holds (and "
                      "--address the computer's address), or give its listener a certificate for that name";
            } else {
                why = its + " does not verify (" + X509_verify_cert_error_string(verified) +
                      "): give the authority that issued it with --ca-file";
            }
            report_.Add(State::Critical, "TLS with " + host_ + " failed (" + detail + "): " + why);
            return false;
        }
        wsman::Error error;
        error.kind = wsman::Error::Kind::Transport;
        error.curlCode = static_cast<int>(code);
        error.detail = detail;
        error.stepMs = static_cast<long>(settings_.timeout.count());
        report_.Add(State::Critical, wsman::FailureText(error, target_));
        return false;
    }

    // The text of a failed request: one that got no answer in time is told
    // as such, whatever operation it was.
    std::string Failed(const wsman::Error& error, const std::string& operation) const {
        const bool timedOut = error.kind == wsman::Error::Kind::OutOfTime ||
                              (error.kind == wsman::Error::Kind::Transport &&
                               error.curlCode == CURLE_OPERATION_TIMEDOUT && error.connected);
        if (!timedOut) return wsman::FailureText(error, target_);
        return host_ + " took the connection on port " + port_ + " but did not answer " + operation + " within " +
               Seconds() + ": check that port " + port_ +
               " is WinRM's listener and that --https matches it, that the WinRM service runs there "
               "(Restart-Service WinRM), or give a longer --timeout";
    }

    bool Identify() {
        wsman::Settings anonymous = settings_.connection;
        anonymous.method = wsman::Method::Basic;
        anonymous.user.clear();
        wsman::Wipe(&anonymous.password);
        anonymous.keytab.clear();
        try {
            wsman::CurlTransport transport(anonymous);
            const wsman::Reply reply = transport.IdentifyUnauthenticated(settings_.timeout);
            wsman::Identity identity;
            if (reply.status != 200 || !wsman::ParseIdentity(reply.body, &identity)) {
                wsman::Error error;
                error.kind = reply.status == 200 ? wsman::Error::Kind::Malformed : wsman::Error::Kind::Http;
                error.operation = "Identify";
                error.status = reply.status;
                error.authenticate = reply.authenticate;
                error.detail = "the answer to Identify holds no IdentifyResponse";
                report_.Add(State::Critical, Failed(error, "Identify"));
                return false;
            }
            // Without a logon WinRM names no OS ("OS: 0.0.0 SP: 0.0 Stack: 3.0").
            std::string version = identity.productVersion;
            const size_t stack = version.find("Stack:");
            if (version.compare(0, 9, "OS: 0.0.0") == 0 && stack != std::string::npos) version.erase(0, stack);
            report_.Add(State::Ok, "WS-Management at " + url_ + " answers Identify: protocol " +
                                       identity.protocolVersion + ", " + identity.productVendor +
                                       (version.empty() ? "" : ", " + version));
            return true;
        } catch (const wsman::Error& error) {
            report_.Add(State::Critical, Failed(error, "Identify"));
            return false;
        }
    }

    // The logon with what the command line gives, by an Identify that needs
    // it; its answer also shows whether the messages came back encrypted.
    bool LogOn() {
        const wsman::Settings& c = settings_.connection;
        transport_ = std::make_unique<wsman::CurlTransport>(c);
        if (settings_.verbosity > 0) transport_->say = Say;
        wsman::Session session(*transport_, url_, Deadline(), wsman::ReleaseReserve(settings_.timeout));
        const wsman::GssLogon* logon = transport_->Logon();
        try {
            identity_ = session.Identify();
        } catch (const wsman::Error& error) {
            const bool established = logon ? logon->Established() : error.kind != wsman::Error::Kind::Http;
            if (!error.sealing) {
                const std::string mechanism = logon ? logon->Mechanism() : "Basic";
                report_.Add(State::Critical,
                            (established && error.kind == wsman::Error::Kind::Fault
                                 ? "logged on with " + mechanism + ", then refused: "
                                 : "the logon with " + mechanism + " failed: ") +
                                Failed(error, "the logon"));
                return false;
            }
            sealingError_ = Failed(error, "Identify");
        }
        std::string who = c.user.empty() ? "the ticket cache's account" : c.user;
        std::string how = "Basic (asked for with --auth basic)";
        if (logon) {
            if (!logon->Account().empty()) who = logon->Account();
            how = logon->Negotiated() + " (" + logon->Reason() + ")";
            if (c.hostIsAddress && logon->Negotiated() == "NTLM" && c.method == wsman::Method::Negotiate)
                how += ": for Kerberos give --host the computer's DNS name and --address its address";
        }
        report_.Add(State::Ok, "logged on to " + host_ + " as " + who + " with " + how +
                                   (identity_.productVersion.empty() ? "" : "; as it, Identify names " + identity_.productVersion));
        return true;
    }

    bool Encryption() {
        if (!sealingError_.empty()) {
            report_.Add(State::Critical, sealingError_ + " (WinRM over HTTP encrypts every message with the "
                                                         "logon's context; --https leaves that to TLS)");
            return false;
        }
        const wsman::GssLogon* logon = transport_->Logon();
        if (settings_.connection.endpoint.https)
            report_.Add(State::Ok, std::string("TLS protects every message") +
                                       (logon ? "" : " and Basic's password"));
        else
            report_.Add(State::Ok, "the answer came back encrypted with the " + logon->Negotiated() +
                                       " context (" + transport_->Sealing() + "), as every request goes");
        return true;
    }

    bool Query() {
        wsman::Session session(*transport_, url_, Deadline(), wsman::ReleaseReserve(settings_.timeout));
        if (settings_.verbosity > 0) session.say = Say;
        const auto start = Clock::now();
        try {
            const wsman::Results results =
                session.Query(wsman::WmiResourceUri(settings_.nameSpace), "SELECT * FROM Win32_OperatingSystem");
            const size_t count = results.items.size();
            check::Value caption;
            const bool named = count > 0 && RenderField(results.items.front()->instance, "Caption", &caption) &&
                               caption.kind == check::Value::Kind::Text && !caption.text.empty();
            report_.Add(count > 0 ? State::Ok : State::Critical,
                        "Win32_OperatingSystem in " + settings_.nameSpace + " on " + host_ + ": " +
                            std::to_string(count) + " instance" + (count == 1 ? "" : "s") +
                            (named ? " (" + caption.text + ")" : "") + " in " + std::to_string(MsSince(start)) +
                            " ms");
            return count > 0;
        } catch (const wsman::Error& error) {
            report_.Add(State::Critical, wsman::FailureText(error, target_));
            return false;
        }
    }

    static void Say(const std::string& step) {
        const std::string line = "wmicheck: " + step + "\n";
        std::fwrite(line.data(), 1, line.size(), stderr);
    }

    DiagnoseSettings settings_;
    std::string host_, port_, url_;
    wsman::Target target_;
    Report report_;
    bool proxied_ = false;
    std::vector<Address> addresses_;
    std::unique_ptr<wsman::CurlTransport> transport_;
    wsman::Identity identity_;
    std::string sealingError_;
};

}  // namespace

int RunDiagnose(DiagnoseSettings settings) {
    Diagnosis diagnosis(std::move(settings));
    return diagnosis.Run();
}

}  // namespace wmicheck

// A WS-Management client over libcurl: one connection kept alive for the
// run, Basic over HTTPS only, every request bounded by what is left of the
// run's deadline, and WQL enumerations that are always released when they
// end early.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Authentication.h"
#include "Messages.h"

struct curl_slist;

namespace wsman {

using Clock = std::chrono::steady_clock;

struct Endpoint {
    bool https = false;
    std::string host;
    int port = 5985;
    std::string path = "/wsman";
    // "https://srv01:5986/wsman"; an IPv6 address in brackets.
    std::string Url() const;
};

// Overwrites a string's whole buffer and empties it.
void Wipe(std::string* text) noexcept;

struct Settings {
    Settings() = default;
    Settings(const Settings&) = default;
    Settings& operator=(const Settings&) = default;
    ~Settings() { Wipe(&password); }

    Endpoint endpoint;
    // Basic: with `user` when it is not empty. The others through the
    // GSS-API, with `account`, the password or the keytab; over HTTP every
    // message is then encrypted with the context.
    Method method = Method::Basic;
    std::string user;
    AccountNames account;
    std::string keytab;
    bool hostIsAddress = false;  // endpoint.host is an IP address
    std::string address;         // connect here instead of endpoint.host ("" for no)
    std::string password;
    std::string caFile;    // the authorities that verify the server's certificate
    bool insecure = false; // no verification at all (asked for explicitly)
    std::string proxy;     // "" for none; the environment's proxies are never used
};

// Why an operation failed, sorted by what the user is to check.
struct Error {
    enum class Kind {
        Refused,    // not sent: Basic over plain HTTP, or no encryption for HTTP
        Logon,      // the GSS-API logon failed (detail: the cause and remedy)
        OutOfTime,  // not sent: the run's time was gone
        Transport,  // curl's failure (resolving, connecting, TLS, time-out)
        Http,       // an HTTP status other than a fault's (401, 404, ...)
        Fault,      // a SOAP fault
        Malformed,  // an answer that is not the expected message
    };
    Kind kind = Kind::Transport;
    std::string operation;   // "Enumerate", "Pull", ...
    int curlCode = 0;        // Transport
    bool connected = false;  // Transport: whether the connection (and TLS) was made
    long status = 0;         // Http, Fault
    std::string authenticate;  // Http 401: the WWW-Authenticate offered
    Fault fault;
    std::string detail;      // curl's message, or what was malformed
    long stepMs = 0;         // the time the request had
    bool sealing = false;    // Malformed: the message encryption failed
};

// What a request got back.
struct Reply {
    long status = 0;
    std::string body;
    std::string authenticate;  // WWW-Authenticate, when sent
    std::string contentType = std::string();
};

// Sends one request. Throws Error (Transport, Refused, OutOfTime).
class Transport {
public:
    virtual ~Transport() = default;
    virtual Reply Post(const std::string& envelope, std::chrono::milliseconds bound) = 0;
};

// Sets on a curl handle where it connects, as settings say: the URL, the
// address in place of the name (*connectTo holds that list: the caller
// frees it after the handle), the certificate's verification and the proxy.
void SetConnection(void* curl, const Settings& settings, curl_slist** connectTo);

// The libcurl transport: one handle, so one connection, for its lifetime.
// It uses no signals: the program ignores SIGPIPE.
class CurlTransport final : public Transport {
public:
    explicit CurlTransport(const Settings& settings);
    ~CurlTransport() override;
    CurlTransport(const CurlTransport&) = delete;
    CurlTransport& operator=(const CurlTransport&) = delete;
    Reply Post(const std::string& envelope, std::chrono::milliseconds bound) override;

    // Identify without a logon (WSMANIDENTIFY: unauthenticated), which WinRM
    // answers in the clear: whether WS-Management listens at all. Throws
    // Error (Transport).
    Reply IdentifyUnauthenticated(std::chrono::milliseconds bound);
    // The GSS-API logon (null for Basic), established after the first Post.
    const GssLogon* Logon() const;
    // The protocol the last answer came encrypted with over HTTP
    // ("application/HTTP-SPNEGO-session-encrypted"); "" for one in clear.
    const std::string& Sealing() const;

    // Says the logon's mechanism and why (-v); may stay empty.
    std::function<void(const std::string&)> say;

private:
    struct Handle;
    // One HTTP request on the kept connection; header: one more header line
    // ("Authorization: ...") or "". authorize: when given, makes the
    // Authorization value once the connection is up, before the request goes
    // (it may read the certificate).
    Reply Perform(const std::string& body, const std::string& contentType, const std::string& header,
                  std::chrono::milliseconds bound, const std::function<std::string()>* authorize = nullptr);
    // The GSS-API logon on the connection, leg by leg, with empty requests.
    void LogOn(std::chrono::milliseconds bound);
    // Over HTTPS: the logon's legs carry the envelope, the last leg's reply
    // is its answer.
    Reply LogOnWith(const std::string& envelope, std::chrono::milliseconds bound);
    // Throws the logon's refusal (a 401 with no further token).
    [[noreturn]] void Refuse() const;
    std::unique_ptr<Handle> handle_;
};

// The legs of a GSS-API logon: send posts one empty request with the
// Authorization value given and returns the answer. Throws Error (Logon,
// Http, Malformed, and what send throws); says the mechanism under -v.
void RunLogon(GssLogon& logon, const std::string& bindings, const std::string& host,
              const std::function<Reply(const std::string&)>& send, const std::function<void(const std::string&)>& say);

// The instances an enumeration returned, in order; items point into pages.
struct Results {
    std::vector<Page> pages;
    std::vector<const Item*> items;
};

// The operations, each within what is left of the deadline. An enumeration
// keeps `releaseReserve` of it for Release, so that one that ends early is
// released before the deadline and the target's per-user quota does not
// leak.
class Session {
public:
    Session(Transport& transport, std::string url, Clock::time_point deadline,
            std::chrono::milliseconds releaseReserve);

    // Says each request under -v (each Pull too with sayPulls); may stay empty.
    std::function<void(const std::string&)> say;
    bool sayPulls = false;

    Identity Identify();
    // Enumerate with the WQL filter, then Pull until the end of the sequence.
    // Throws Error; a live enumeration is released first.
    Results Query(const std::string& resourceUri, const std::string& wql);

    static constexpr unsigned kMaxElements = 32000;
    static constexpr std::chrono::milliseconds kMaxOperationTimeout{60000};
    // Less time than this is no time for a round trip and its answer.
    static constexpr std::chrono::milliseconds kLeastRequest{100};

private:
    // One request whose operation must end by `end` (its OperationTimeout)
    // and whose transfer may last until transferEnd; OutOfTime when less
    // than `least` is left.
    Reply Send(const char* operation, const std::function<std::string(const Header&)>& envelope,
               Clock::time_point end, Clock::time_point transferEnd, std::chrono::milliseconds least,
               const std::string& resourceUri, long* stepMs);
    Page Exchange(const char* operation, const std::function<std::string(const Header&)>& envelope,
                  const std::string& resourceUri);
    void Release(const std::string& resourceUri, const std::string& context) noexcept;
    // Adds first and the pages pulled after it; *live: the context to release
    // should it end early.
    void Collect(const std::string& resourceUri, Page* first, Results* results, std::string* live);

    Transport& transport_;
    std::string url_;
    Clock::time_point deadline_;
    std::chrono::milliseconds reserve_;
};

// What an enumeration keeps for Release out of a time-out: a tenth, at
// least 0.3 s and at most 2 s, never more than half of it.
std::chrono::milliseconds ReleaseReserve(std::chrono::milliseconds timeout);

}  // namespace wsman

#include "Client.h"

#include <curl/curl.h>

#include <malloc.h>
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <utility>

#include "Sealing.h"

namespace wsman {

namespace {

using std::chrono::milliseconds;

// Larger answers are refused rather than held: no check needs them.
constexpr size_t kMaxAnswer = 64 * 1024 * 1024;

size_t Collect(char* data, size_t size, size_t count, void* user) {
    std::string* body = static_cast<std::string*>(user);
    const size_t bytes = size * count;
    if (body->size() + bytes > kMaxAnswer) return 0;  // ends the transfer with CURLE_WRITE_ERROR
    body->append(data, bytes);
    return bytes;
}

size_t CollectHeader(char* data, size_t size, size_t count, void* user) {
    const size_t bytes = size * count;
    static const char kName[] = "WWW-Authenticate:";
    const size_t name = sizeof kName - 1;
    if (bytes > name && strncasecmp(data, kName, name) == 0) {
        std::string value(data + name, bytes - name);
        const size_t first = value.find_first_not_of(" \t");
        const size_t last = value.find_last_not_of(" \t\r\n");
        std::string* offered = static_cast<std::string*>(user);
        if (first != std::string::npos)
            *offered += (offered->empty() ? "" : ", ") + value.substr(first, last - first + 1);
    }
    return bytes;
}

// curl keeps copies of the password (and of the Authorization header made
// from it) in memory of its own; every block it frees is wiped first.
void WipingFree(void* block) {
    if (!block) return;
    volatile unsigned char* bytes = static_cast<unsigned char*>(block);
    for (size_t i = 0, n = malloc_usable_size(block); i < n; ++i) bytes[i] = 0;
    std::free(block);
}

void* WipingRealloc(void* block, size_t size) {
    if (!block) return std::malloc(size);
    if (size == 0) {
        WipingFree(block);
        return nullptr;
    }
    void* moved = std::malloc(size);
    if (!moved) return nullptr;
    std::memcpy(moved, block, std::min(size, malloc_usable_size(block)));
    WipingFree(block);
    return moved;
}

char* WipingStrdup(const char* text) {
    const size_t size = std::strlen(text) + 1;
    char* copy = static_cast<char*>(std::malloc(size));
    if (copy) std::memcpy(copy, text, size);
    return copy;
}

long Milliseconds(Clock::duration d) { return static_cast<long>(std::chrono::duration_cast<milliseconds>(d).count()); }

}  // namespace

void Wipe(std::string* text) noexcept {
    text->resize(text->capacity());
    volatile char* bytes = &(*text)[0];
    for (size_t i = 0; i < text->size(); ++i) bytes[i] = 0;
    text->clear();
}

std::string Endpoint::Url() const {
    const bool v6 = host.find(':') != std::string::npos && host.front() != '[';
    return std::string(https ? "https://" : "http://") + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) +
           path;
}

struct CurlTransport::Handle {
    CURL* curl = nullptr;
    curl_slist* connectTo = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    std::string body, authenticate;
    bool refused = false, https = false;
    std::string host;
    std::string sealing;  // the last answer's encryption protocol
    std::unique_ptr<GssLogon> logon;  // null for Basic
    // During a request whose Authorization is made once the connection is
    // up: its maker, the request's header list, and what the maker threw.
    const std::function<std::string()>* authorize = nullptr;
    curl_slist* headers = nullptr;
    std::exception_ptr thrown;
    ~Handle() {
        if (curl) curl_easy_cleanup(curl);
        curl_slist_free_all(connectTo);
    }
};

namespace {

curl_slist* Append(curl_slist* list, const std::string& line) {
    curl_slist* more = curl_slist_append(list, line.c_str());
    if (!more) {
        curl_slist_free_all(list);
        throw std::bad_alloc();
    }
    return more;
}

[[noreturn]] void ThrowLogon(const Failure& failure) {
    Error error;
    error.kind = Error::Kind::Logon;
    error.operation = "logon";
    error.detail = failure.text;
    throw error;
}

// The target judged the last token and refused it. A Kerberos ticket is the
// KDC's word on the account: then the refusal is the target's own (rights);
// NTLM's password was judged by the target itself.
Failure Refusal(const GssLogon& logon, const std::string& host) {
    Failure failure;
    failure.cause = logon.Mechanism() == "Kerberos" ? Cause::NoRights : Cause::Refused;
    failure.text = CauseText(failure.cause, logon.Account(), host, false);
    return failure;
}

constexpr char kSoapType[] = "application/soap+xml;charset=UTF-8";

}  // namespace

void SetConnection(void* handle, const Settings& settings, curl_slist** connectTo) {
    CURL* c = handle;
    curl_easy_setopt(c, CURLOPT_URL, settings.endpoint.Url().c_str());
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 0L);
    // "" keeps curl from taking a proxy from the environment.
    curl_easy_setopt(c, CURLOPT_PROXY, settings.proxy.c_str());
    if (!settings.address.empty()) {
        // The name stays in the URL (the service principal, the TLS name);
        // the connection goes to the address.
        const bool v6 = settings.address.find(':') != std::string::npos && settings.address.front() != '[';
        *connectTo = Append(*connectTo, "::" + (v6 ? "[" + settings.address + "]" : settings.address) + ":");
        curl_easy_setopt(c, CURLOPT_CONNECT_TO, *connectTo);
    }
    if (!settings.caFile.empty()) curl_easy_setopt(c, CURLOPT_CAINFO, settings.caFile.c_str());
    if (settings.insecure) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }
}

CurlTransport::CurlTransport(const Settings& settings) : handle_(std::make_unique<Handle>()) {
    static std::once_flag initialized;
    std::call_once(initialized, [] {
        curl_global_init_mem(CURL_GLOBAL_DEFAULT, std::malloc, WipingFree, WipingRealloc, WipingStrdup, std::calloc);
    });
    Handle& h = *handle_;
    h.curl = curl_easy_init();
    if (!h.curl) throw std::bad_alloc();
    h.https = settings.endpoint.https;
    h.host = settings.endpoint.host;
    const bool basic = settings.method == Method::Basic;
    // Basic sends the password readable by anyone on the way: never over
    // plain HTTP, and never set on a handle that could send it so.
    h.refused = basic && !settings.user.empty() && !settings.endpoint.https;
    if (!basic) {
        Credentials credentials;
        credentials.method = settings.method;
        credentials.account = settings.account;
        credentials.password.reserve(settings.password.size());
        credentials.password.assign(settings.password);
        credentials.keytab = settings.keytab;
        credentials.host = settings.endpoint.host;
        credentials.hostIsAddress = settings.hostIsAddress;
        h.logon = std::make_unique<GssLogon>(std::move(credentials));
    }
    CURL* c = h.curl;
    SetConnection(c, settings, &h.connectTo);
    curl_easy_setopt(c, CURLOPT_ERRORBUFFER, h.error);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, Collect);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &h.body);
    curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, CollectHeader);
    curl_easy_setopt(c, CURLOPT_HEADERDATA, &h.authenticate);
    curl_easy_setopt(c, CURLOPT_TCP_KEEPALIVE, 1L);
    // The server's certificate, for the channel binding.
    if (h.logon && h.https) curl_easy_setopt(c, CURLOPT_CERTINFO, 1L);
    if (basic && !settings.user.empty() && !h.refused) {
        curl_easy_setopt(c, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_BASIC));
        curl_easy_setopt(c, CURLOPT_USERNAME, settings.user.c_str());
        curl_easy_setopt(c, CURLOPT_PASSWORD, settings.password.c_str());
    }
}

CurlTransport::~CurlTransport() = default;

Reply CurlTransport::Perform(const std::string& body, const std::string& contentType,
                             const std::string& header, milliseconds bound,
                             const std::function<std::string()>* authorize) {
    Handle& h = *handle_;
    const long ms = std::max<long>(1, static_cast<long>(bound.count()));
    // The list is freed (and, through the wiping allocator, wiped) on every path.
    std::unique_ptr<curl_slist, void (*)(curl_slist*)> headers(nullptr, curl_slist_free_all);
    headers.reset(Append(headers.release(), "Content-Type: " + contentType));
    headers.reset(Append(headers.release(), "Expect:"));
    if (!header.empty()) headers.reset(Append(headers.release(), header));
    CURL* c = h.curl;
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, headers.get());
    // curl calls this once the connection (and TLS) is up, before it writes
    // the request from the header list: a line appended here still goes.
    h.authorize = authorize;
    h.headers = headers.get();
    h.thrown = nullptr;
    struct Unhook {
        Handle& h;
        ~Unhook() {
            h.authorize = nullptr;
            h.headers = nullptr;
        }
    } unhook{h};
    curl_easy_setopt(c, CURLOPT_PREREQDATA, &h);
    curl_easy_setopt(c, CURLOPT_PREREQFUNCTION, +[](void* user, char*, char*, int, int) -> int {
        Handle& hook = *static_cast<Handle*>(user);
        if (!hook.authorize) return CURL_PREREQFUNC_OK;
        try {
            std::string value = "Authorization: " + (*hook.authorize)();
            const bool appended = curl_slist_append(hook.headers, value.c_str()) != nullptr;
            Wipe(&value);
            if (!appended) throw std::bad_alloc();
            hook.authorize = nullptr;
            return CURL_PREREQFUNC_OK;
        } catch (...) {
            hook.thrown = std::current_exception();
            return CURL_PREREQFUNC_ABORT;
        }
    });
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, body.data());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, ms);
    curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT_MS, ms);
    h.body.clear();
    h.authenticate.clear();
    h.error[0] = '\0';
    const CURLcode code = curl_easy_perform(c);
    curl_easy_setopt(c, CURLOPT_HTTPHEADER, nullptr);
    if (h.thrown) std::rethrow_exception(h.thrown);
    if (code != CURLE_OK) {
        Error error;
        error.kind = Error::Kind::Transport;
        error.curlCode = static_cast<int>(code);
        error.detail = h.error[0] ? h.error : curl_easy_strerror(code);
        curl_off_t sending = 0;
        curl_easy_getinfo(c, CURLINFO_PRETRANSFER_TIME_T, &sending);
        error.connected = sending > 0;
        throw error;
    }
    Reply reply;
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &reply.status);
    const char* type = nullptr;
    if (curl_easy_getinfo(c, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) reply.contentType = type;
    reply.body.swap(h.body);
    reply.authenticate = h.authenticate;
    return reply;
}

void CurlTransport::Refuse() const {
    // WinRM logs on a connection, not a request: a connection made anew
    // after the logon (the target or a proxy closed the first) is refused.
    long connects = 0;
    curl_easy_getinfo(handle_->curl, CURLINFO_NUM_CONNECTS, &connects);
    if (handle_->logon->Established() && connects > 0) {
        Failure failure;
        failure.cause = Cause::Other;
        failure.text = handle_->host + " closed the connection after the logon, and a new one is not logged on: "
                       "run the check again; through --proxy, the proxy must keep the connection open";
        ThrowLogon(failure);
    }
    ThrowLogon(Refusal(*handle_->logon, handle_->host));
}

namespace {

// The legs of a GSS-API logon. start makes the first token; send posts one
// leg with a maker of its Authorization value. With answer, each leg carries
// the request itself, and the first reply other than a 401 ends the logon
// and is returned (a fault included); without, the legs have no body and
// end with a 200.
Reply RunLegs(GssLogon& logon, const std::string& host, const std::function<std::string()>& start,
              const std::function<Reply(const std::function<std::string()>&)>& send,
              const std::function<void(const std::string&)>& say, bool answer) {
    Failure failure;
    std::string token;
    // NTLM takes two legs, Kerberos one and the target's mutual answer.
    for (int leg = 0; leg < 4; ++leg) {
        const Reply reply = send([&] { return AuthorizationValue(leg == 0 ? start() : token); });
        const Offer offer = ReadOffer(reply.authenticate);
        if (offer.malformed) {
            Error error;
            error.kind = Error::Kind::Malformed;
            error.operation = "logon";
            error.detail = "a WWW-Authenticate token that is not Base64";
            throw error;
        }
        if (reply.status == 401 && offer.token.empty()) ThrowLogon(Refusal(logon, host));
        if (reply.status != 401 && reply.status != 200 && !answer) {
            Error error;
            error.kind = Error::Kind::Http;
            error.operation = "logon";
            error.status = reply.status;
            error.authenticate = reply.authenticate;
            throw error;
        }
        if (!offer.token.empty() && !logon.Step(offer.token, &token, &failure)) ThrowLogon(failure);
        if (reply.status == 401) continue;
        if (!logon.Established()) {
            // A fault or refusal that came before the logon's end is the
            // request's answer; an answer in its place is not taken.
            if (answer && reply.status != 200) return reply;
            failure.cause = Cause::Other;
            failure.text = "the target ended the logon before " + logon.Mechanism() + " had its answer";
            ThrowLogon(failure);
        }
        if (say)
            say("logged on as " + (logon.Account().empty() ? "the ticket cache's account" : logon.Account()) +
                " with " + logon.Negotiated());
        return reply;
    }
    failure.cause = Cause::Other;
    failure.text = "the target asked for more legs of " + logon.Mechanism() + " than it has";
    ThrowLogon(failure);
}

// The first token, bound to the channel when bindings is not empty.
std::string StartLogon(GssLogon& logon, const std::string& bindings,
                       const std::function<void(const std::string&)>& say) {
    Failure failure;
    std::string token;
    if (!logon.Start(bindings, &token, &failure)) ThrowLogon(failure);
    if (say) say("logon with " + logon.Mechanism() + " (" + logon.Reason() + ")");
    return token;
}

}  // namespace

void RunLogon(GssLogon& logon, const std::string& bindings, const std::string& host,
              const std::function<Reply(const std::string&)>& send, const std::function<void(const std::string&)>& say) {
    RunLegs(
        logon, host, [&] { return StartLogon(logon, bindings, say); },
        [&](const std::function<std::string()>& authorization) { return send(authorization()); }, say, false);
}

void CurlTransport::LogOn(milliseconds bound) {
    Handle& h = *handle_;
    const auto end = Clock::now() + bound;
    auto left = [&] { return std::max(milliseconds(1), std::chrono::duration_cast<milliseconds>(end - Clock::now())); };
    RunLogon(*h.logon, "", h.host,
             [&](const std::string& authorization) {
                 return Perform("", kSoapType, "Authorization: " + authorization, left());
             }, say);
}

Reply CurlTransport::LogOnWith(const std::string& envelope, milliseconds bound) {
    Handle& h = *handle_;
    const auto end = Clock::now() + bound;
    auto left = [&] { return std::max(milliseconds(1), std::chrono::duration_cast<milliseconds>(end - Clock::now())); };
    // The first token is made once TLS is up, bound to the certificate the
    // server has just shown, and goes in the first request with the request
    // itself: with Kerberos one round trip logs on and answers.
    const auto start = [&] {
        std::string bindings;
        curl_certinfo* info = nullptr;
        if (curl_easy_getinfo(h.curl, CURLINFO_CERTINFO, &info) == CURLE_OK && info && info->num_of_certs > 0)
            for (curl_slist* field = info->certinfo[0]; field; field = field->next)
                if (std::strncmp(field->data, "Cert:", 5) == 0) bindings = ServerEndPoint(field->data + 5);
        return StartLogon(*h.logon, bindings, say);
    };
    bool first = true;
    return RunLegs(
        *h.logon, h.host, start,
        [&](const std::function<std::string()>& authorization) {
            if (!std::exchange(first, false))
                return Perform(envelope, kSoapType, "Authorization: " + authorization(), left());
            return Perform(envelope, kSoapType, "", left(), &authorization);
        },
        say, true);
}

Reply CurlTransport::Post(const std::string& envelope, milliseconds bound) {
    Handle& h = *handle_;
    if (h.refused) {
        Error error;
        error.kind = Error::Kind::Refused;
        error.detail = "Basic over HTTP";
        throw error;
    }
    if (!h.logon) return Perform(envelope, kSoapType, "", bound);
    if (h.https) {
        if (!h.logon->Established()) return LogOnWith(envelope, bound);
        Reply reply = Perform(envelope, kSoapType, "", bound);
        if (reply.status == 401) Refuse();
        return reply;
    }
    const auto start = Clock::now();
    if (!h.logon->Established()) LogOn(bound);
    bound = std::max(milliseconds(1), bound - std::chrono::duration_cast<milliseconds>(Clock::now() - start));
    // Over HTTP every body goes encrypted with the context, both ways.
    std::string body, type, error;
    if (!Seal(h.logon->Context(), envelope, &body, &type, &error)) {
        Error failure;
        failure.kind = Error::Kind::Malformed;
        failure.detail = "cannot encrypt the request: " + error;
        failure.sealing = true;
        throw failure;
    }
    Reply reply = Perform(body, type, "", bound);
    h.sealing.clear();
    if (reply.contentType.find("multipart/encrypted") == std::string::npos) {
        // Only a refusal may come unencrypted; a body in clear is not read.
        if (reply.status == 200 || reply.status == 500) {
            Error failure;
            failure.kind = Error::Kind::Malformed;
            failure.detail = "an answer that is not encrypted";
            failure.sealing = true;
            throw failure;
        }
        if (reply.status == 401) Refuse();
        reply.body.clear();
        return reply;
    }
    std::string soap;
    if (!Unseal(h.logon->Context(), reply.contentType, reply.body, &soap, &error)) {
        Error failure;
        failure.kind = Error::Kind::Malformed;
        failure.detail = "cannot decrypt the answer: " + error;
        failure.sealing = true;
        throw failure;
    }
    const size_t protocol = reply.contentType.find("protocol=");
    if (protocol != std::string::npos) {
        h.sealing = reply.contentType.substr(protocol + 9);
        h.sealing = h.sealing.substr(0, h.sealing.find(';'));
        h.sealing.erase(std::remove(h.sealing.begin(), h.sealing.end(), '"'), h.sealing.end());
    }
    reply.body.swap(soap);
    reply.contentType = kSoapType;
    return reply;
}

Reply CurlTransport::IdentifyUnauthenticated(milliseconds bound) {
    return Perform(IdentifyEnvelope(), kSoapType, "WSMANIDENTIFY: unauthenticated", bound);
}

const GssLogon* CurlTransport::Logon() const { return handle_->logon.get(); }

const std::string& CurlTransport::Sealing() const { return handle_->sealing; }

std::chrono::milliseconds ReleaseReserve(milliseconds timeout) {
    const milliseconds tenth = timeout / 10;
    return std::min(timeout / 2, std::clamp(tenth, milliseconds(300), milliseconds(2000)));
}

Session::Session(Transport& transport, std::string url, Clock::time_point deadline, milliseconds releaseReserve)
    : transport_(transport), url_(std::move(url)), deadline_(deadline), reserve_(releaseReserve) {}

Reply Session::Send(const char* operation, const std::function<std::string(const Header&)>& envelope,
                    Clock::time_point end, Clock::time_point transferEnd, milliseconds least,
                    const std::string& resourceUri, long* stepMs) {
    const auto now = Clock::now();
    const long left = Milliseconds(end - now);
    *stepMs = std::max(0L, left);
    if (left <= 0 || milliseconds(left) < least) {
        Error error;
        error.kind = Error::Kind::OutOfTime;
        error.operation = operation;
        error.stepMs = *stepMs;
        throw error;
    }
    Header header;
    header.to = url_;
    header.resourceUri = resourceUri;
    header.operationTimeout = std::min(kMaxOperationTimeout, milliseconds(left));
    const std::string text = envelope(header);
    if (say && (sayPulls || std::strcmp(operation, "Pull") != 0))
        say(std::string(operation) + " to " + url_ + " (" + std::to_string(left) + " ms left)");
    try {
        return transport_.Post(text, milliseconds(std::max(left, Milliseconds(transferEnd - now))));
    } catch (Error& error) {
        error.operation = operation;
        error.stepMs = left;
        throw;
    }
}

namespace {

// The failure a reply stands for: a fault (which WinRM sends with HTTP 500),
// or another status than 200.
void ThrowUnlessOk(const Reply& reply, const char* operation, long stepMs) {
    if (reply.status == 200) return;
    Error error;
    error.operation = operation;
    error.status = reply.status;
    error.stepMs = stepMs;
    if (ParseFault(reply.body, &error.fault)) {
        error.kind = Error::Kind::Fault;
    } else {
        error.kind = Error::Kind::Http;
        error.authenticate = reply.authenticate;
    }
    throw error;
}

}  // namespace

Page Session::Exchange(const char* operation, const std::function<std::string(const Header&)>& envelope,
                       const std::string& resourceUri) {
    long stepMs = 0;
    // The service answers by the operation's time-out, its own TimedOut
    // fault included; the transfer waits half the reserve longer for that
    // answer, so that the enumeration is not left in the middle of a request
    // (which may move it on to a context never seen) unless the service is
    // stuck.
    const Reply reply = Send(operation, envelope, deadline_ - reserve_, deadline_ - reserve_ / 2, kLeastRequest,
                             resourceUri, &stepMs);
    ThrowUnlessOk(reply, operation, stepMs);
    Page page;
    Error error;
    if (!ParsePage(reply.body, &page, &error.detail)) {
        error.kind = Error::Kind::Malformed;
        error.operation = operation;
        error.stepMs = stepMs;
        throw error;
    }
    return page;
}

Identity Session::Identify() {
    long stepMs = 0;
    const Reply reply = Send("Identify", [](const Header&) { return IdentifyEnvelope(); }, deadline_, deadline_,
                             kLeastRequest, "", &stepMs);
    ThrowUnlessOk(reply, "Identify", stepMs);
    Identity identity;
    if (!ParseIdentity(reply.body, &identity)) {
        Error error;
        error.kind = Error::Kind::Malformed;
        error.operation = "Identify";
        error.stepMs = stepMs;
        error.detail = "the answer holds no IdentifyResponse";
        throw error;
    }
    return identity;
}

void Session::Release(const std::string& resourceUri, const std::string& context) noexcept {
    try {
        long stepMs = 0;
        Send("Release", [&](const Header& header) { return ReleaseEnvelope(header, context); }, deadline_, deadline_,
             milliseconds(1), resourceUri, &stepMs);
    } catch (...) {
        // Best effort: the service drops the context when it expires anyway.
    }
}

Results Session::Query(const std::string& resourceUri, const std::string& wql) {
    // Releases the enumeration unless it reached its end.
    struct Live {
        Session* session;
        const std::string& resourceUri;
        std::string context;
        ~Live() {
            if (!context.empty()) session->Release(resourceUri, context);
        }
    } live{this, resourceUri, ""};

    Results results;
    // A failure of any of its requests counts against the query's whole
    // time, as the time-out's text says.
    const long queryMs = std::max(0L, Milliseconds(deadline_ - reserve_ - Clock::now()));
    try {
        Page page = Exchange(
            "Enumerate", [&](const Header& header) { return EnumerateEnvelope(header, wql, kMaxElements); },
            resourceUri);
        Collect(resourceUri, &page, &results, &live.context);
    } catch (Error& error) {
        error.stepMs = queryMs;
        throw;
    }
    for (const Page& p : results.pages)
        for (const Item& item : p.items) results.items.push_back(&item);
    return results;
}

void Session::Collect(const std::string& resourceUri, Page* first, Results* results, std::string* live) {
    Page page = std::move(*first);
    for (;;) {
        const bool end = page.endOfSequence;
        *live = end ? std::string() : page.context;
        results->pages.push_back(std::move(page));
        if (say && sayPulls && results->pages.size() > 1)
            say("page " + std::to_string(results->pages.size()) + ": " +
                std::to_string(results->pages.back().items.size()) + " items");
        if (end) return;
        if (live->empty()) {
            Error error;
            error.kind = Error::Kind::Malformed;
            error.operation = results->pages.size() == 1 ? "Enumerate" : "Pull";
            error.detail = "the answer has neither an enumeration context nor the end of the sequence";
            throw error;
        }
        const std::string context = *live;
        page = Exchange(
            "Pull", [&](const Header& header) { return PullEnvelope(header, context, kMaxElements); }, resourceUri);
    }
}

}  // namespace wsman

#include "Advice.h"

#include <curl/curl.h>

#include <cmath>
#include <cstdio>

namespace wsman {

namespace {

// WMI's own codes, as a fault's provider detail carries them.
constexpr std::uint32_t kWbemAccessDenied = 0x80041003;
constexpr std::uint32_t kWbemInvalidNamespace = 0x8004100E;
constexpr std::uint32_t kWbemInvalidClass = 0x80041010;
constexpr std::uint32_t kWbemInvalidQuery = 0x80041017;
constexpr std::uint32_t kAccessDenied = 0x80070005;

std::string Hex(std::uint32_t code) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(code));
    return text;
}

std::string Computer(const std::string& host) { return host == "." ? "this computer" : host; }

// The proxy's URL without the user and password it may hold.
std::string ProxyShown(const std::string& proxy) {
    const size_t scheme = proxy.find("://");
    const size_t start = scheme == std::string::npos ? 0 : scheme + 3;
    const size_t at = proxy.find('@', start);
    const size_t slash = proxy.find('/', start);
    if (at == std::string::npos || (slash != std::string::npos && slash < at)) return proxy;
    return proxy.substr(0, start) + proxy.substr(at + 1);
}

std::string Port(const Target& target) { return std::to_string(target.endpoint.port); }

// "the account needs ..." for an account the service let in but WMI did not,
// or that has no right to WinRM at all.
std::string Rights(const Target& target) {
    return "the account needs to be a member of Administrators or Remote Management Users on " +
           Computer(target.endpoint.host) + " and the remote WMI rights on " + target.nameSpace +
           " (Enable Account, Remote Enable); a local account also needs remote UAC to let it in "
           "(LocalAccountTokenFilterPolicy = 1)";
}

std::string Who(const Target& target) { return target.user.empty() ? "this client" : target.user; }

std::string AccessDenied(const Target& target, const std::string& advice) {
    return "access denied to " + Who(target) + " on " + Computer(target.endpoint.host) + ": " + advice;
}

// The advice for a refused logon (HTTP 401).
std::string Logon(const Error& error, const Target& target) {
    const std::string& host = target.endpoint.host;
    if (target.user.empty())
        return Computer(host) + " asks for an account: give --user and --password-file (Basic, over --https)";
    if (target.user.find_first_of("\\/@") != std::string::npos)
        return AccessDenied(target, "Basic logs on local accounts only: give an account of " + Computer(host) +
                                        " itself, without a domain");
    if (!error.authenticate.empty() && error.authenticate.find("Basic") == std::string::npos)
        return AccessDenied(target, Computer(host) + " does not offer Basic (it offers " + error.authenticate +
                                        "): turn on Basic in its WinRM service configuration");
    return AccessDenied(target, "the password may be wrong or Basic may be off in its WinRM service configuration; "
                                "a local account also needs remote UAC to let it in "
                                "(LocalAccountTokenFilterPolicy = 1)");
}

std::string Connect(const Target& target) {
    return "cannot connect to " + target.endpoint.Url() + (target.user.empty() ? "" : " as " + target.user);
}

std::string Query(const Target& target) { return "cannot query " + target.classPath; }

std::string QueryTimedOut(const Target& target, long stepMs) {
    return "WMI on " + Computer(target.endpoint.host) + " did not answer within the " + SecondsText(stepMs / 1000.0) +
           " left of the time-out: it may be overloaded; give a longer --timeout";
}

std::string Advised(const std::string& what, const std::string& code, const std::string& advice) {
    return what + " (" + code + "): " + advice;
}

std::string TransportText(const Error& error, const Target& target) {
    const std::string& host = target.endpoint.host;
    const std::string port = Port(target);
    std::string advice;
    const bool tunnel = error.detail.find("CONNECT") != std::string::npos;
    if (!target.proxy.empty() && (error.curlCode == CURLE_COULDNT_CONNECT || tunnel)) {
        const std::string proxy = ProxyShown(target.proxy);
        advice = error.curlCode == CURLE_COULDNT_CONNECT
                     ? "the proxy " + proxy + " did not answer: check --proxy"
                     : "the proxy " + proxy + " did not open the way to " + host + " port " + port +
                           ": check --proxy, and that the proxy lets that port through";
        return Advised(Connect(target), error.detail, advice);
    }
    switch (error.curlCode) {
    case CURLE_COULDNT_RESOLVE_HOST:
        advice = "the name " + host + " does not resolve: check the host's name, or give its address";
        break;
    case CURLE_COULDNT_RESOLVE_PROXY:
        advice = "the proxy's name does not resolve: check --proxy";
        break;
    case CURLE_COULDNT_CONNECT:
        advice = Computer(host) + " did not answer on port " + port +
                 ": check the host's name or address, that it is up, that WinRM listens on port " + port +
                 " (HTTP on 5985 by default; HTTPS on 5986 needs a listener with a certificate), and that its "
                 "firewall lets that port in";
        break;
    case CURLE_OPERATION_TIMEDOUT:
        if (error.connected) return Advised(Query(target), "timed out", QueryTimedOut(target, error.stepMs));
        advice = Computer(host) + " did not connect within the " + SecondsText(error.stepMs / 1000.0) +
                 " left of the time-out: check that it is up and that WinRM there answers, or give a longer "
                 "--timeout";
        break;
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_ISSUER_ERROR:
        advice = "the certificate of " + host + " does not verify: give the authority that issued it with "
                 "--ca-file, and name the computer as its certificate does; --insecure skips the check (for "
                 "tests only)";
        break;
    case CURLE_SSL_CACERT_BADFILE:
        advice = "--ca-file cannot be read as PEM certificates: check the file";
        break;
    case CURLE_SSL_CONNECT_ERROR:
        advice = "the TLS handshake with " + host + " failed: check that port " + port +
                 " is WinRM's HTTPS listener, or leave --https out for an HTTP listener";
        break;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
        advice = Computer(host) + " closed the connection: check that port " + port +
                 " is WinRM's listener and that --https matches it";
        break;
    default:
        return Connect(target) + ": " + error.detail;
    }
    return Advised(Connect(target), error.detail, advice);
}

std::string FaultText(const Error& error, const Target& target) {
    const Fault& fault = error.fault;
    const std::string& host = target.endpoint.host;
    const std::string code = fault.hasProviderCode ? Hex(fault.providerCode)
                             : !fault.subcode.empty() ? fault.subcode
                             : fault.hasWsmanCode    ? Hex(fault.wsmanCode)
                                                     : fault.code;
    const std::uint32_t provider = fault.hasProviderCode ? fault.providerCode : 0;
    if (fault.subcode == "w:AccessDenied")
        return Advised(Connect(target), code, AccessDenied(target, Rights(target)));
    if (provider == kWbemAccessDenied || provider == kAccessDenied)
        return Advised(Query(target), code, AccessDenied(target, Rights(target)));
    if (provider == kWbemInvalidClass)
        return Advised(Query(target), code,
                       Computer(host) + " has no class " + target.classPath + " in " + target.nameSpace +
                           ": check --class (class names are WMI's, such as Win32_Service) and --namespace");
    if (provider == kWbemInvalidNamespace ||
        (fault.subcode == "a:DestinationUnreachable" && !fault.hasProviderCode))
        return Advised(Query(target), code, host + " has no namespace " + target.nameSpace + ": check --namespace");
    if (provider == kWbemInvalidQuery || fault.subcode == "n:CannotProcessFilter")
        return Advised(Query(target), code,
                       "WMI on " + Computer(host) + " refused the query: check --filter (WQL's WHERE clause: texts in "
                       "quotes, a backslash doubled) and the property names in it");
    if (fault.subcode == "w:QuotaLimit")
        return Advised(Query(target), code,
                       Computer(host) + " refused more operations for " + Who(target) +
                           ": its WinRM quota (MaxConcurrentOperationsPerUser) is used up, often by enumerations "
                           "left open by other clients; wait for them to expire, or raise the quota there");
    if (fault.subcode == "w:TimedOut") return Advised(Query(target), code, QueryTimedOut(target, error.stepMs));
    if (fault.subcode == "n:FilterDialectRequestedUnavailable")
        return Advised(Query(target), code,
                       "WinRM on " + Computer(host) + " does not take WQL for " + target.nameSpace +
                           ": check --namespace");
    if (fault.subcode == "w:EncodingLimit")
        return Advised(Query(target), code,
                       Computer(host) + " refused the size of its answers (MaxEnvelopeSizekb is below 150 there): "
                       "raise it, or narrow the query with --filter");
    if (fault.subcode == "n:InvalidEnumerationContext")
        return Advised(Query(target), code,
                       Computer(host) + " dropped the enumeration before its end (it expired, or WinRM restarted "
                       "there): run the check again");
    const std::string text = fault.Text();
    return Query(target) + ": " + code + (text.empty() ? "" : " " + text);
}

}  // namespace

std::string SecondsText(double seconds) {
    const double rounded = std::round(seconds * 100) / 100;
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", rounded);
    std::string s = text;
    while (s.back() == '0') s.pop_back();
    if (s.back() == '.') s.pop_back();
    return s + " s";
}

std::string FailureText(const Error& error, const Target& target) {
    switch (error.kind) {
    case Error::Kind::Logon:
        return Connect(target) + ": " + error.detail;
    case Error::Kind::Refused:
        return Connect(target) + ": Basic would send the password readable over HTTP: use --https (WinRM's HTTPS "
                                 "listener, port 5986 by default)";
    case Error::Kind::OutOfTime:
        if (error.operation != "Enumerate")
            return Advised(Query(target), "timed out", QueryTimedOut(target, error.stepMs));
        return "timed out before the query of " + target.classPath + ": the time-out of " +
               SecondsText(target.timeoutSeconds) + " ran out";
    case Error::Kind::Transport:
        return TransportText(error, target);
    case Error::Kind::Http:
        if (error.status == 401) return Advised(Connect(target), "HTTP 401", Logon(error, target));
        if (error.status == 404)
            return Advised(Connect(target), "HTTP 404",
                           Computer(target.endpoint.host) + " has no WinRM listener at " + target.endpoint.path +
                               " on port " + Port(target) + ": check --port");
        return Connect(target) + ": HTTP " + std::to_string(error.status);
    case Error::Kind::Fault:
        return FaultText(error, target);
    case Error::Kind::Malformed:
        return Query(target) + ": the answer of " + Computer(target.endpoint.host) +
               " is not the one WS-Management gives (" + error.detail + "): check --port";
    }
    return Query(target) + ": " + error.detail;
}

}  // namespace wsman

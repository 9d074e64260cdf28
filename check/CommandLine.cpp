#include "CommandLine.h"

#include <getopt.h>

#include <algorithm>
#include <cstring>
#include <cctype>
#include <initializer_list>
#include <map>

#include "Options.h"

// ---- UTF-8 -----------------------------------------------------------------

namespace {

constexpr bool kUtf16 = sizeof(wchar_t) == 2;

// The code point at text[*i] (a UTF-16 pair joined), *i moved past it.
char32_t NextWide(const wchar_t* text, size_t length, size_t* i) {
    char32_t c = static_cast<char32_t>(text[(*i)++]) & (kUtf16 ? 0xFFFF : 0xFFFFFFFF);
    if (kUtf16 && c >= 0xD800 && c <= 0xDBFF && *i < length) {
        const char32_t low = static_cast<char32_t>(text[*i]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
            ++*i;
            c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return c > 0x10FFFF ? 0xFFFD : c;
}

size_t Utf8Length(char32_t c) { return c < 0x80 ? 1 : c < 0x800 ? 2 : c < 0x10000 ? 3 : 4; }

// The code point at text[*i], *i moved past it; U+FFFD for a byte that
// starts no UTF-8 sequence (surrogates encoded on their own are accepted).
char32_t NextUtf8(const unsigned char* text, size_t length, size_t* i) {
    const unsigned char lead = text[(*i)++];
    if (lead < 0x80) return lead;
    const size_t more = lead >= 0xF0 && lead <= 0xF4 ? 3 : lead >= 0xE0 ? 2 : lead >= 0xC2 && lead < 0xE0 ? 1 : 0;
    if (more == 0 || lead > 0xF4 || *i + more > length) return 0xFFFD;
    char32_t c = lead & (0x3F >> more);
    for (size_t k = 0; k < more; ++k) {
        if ((text[*i + k] & 0xC0) != 0x80) return 0xFFFD;
        c = (c << 6) | (text[*i + k] & 0x3F);
    }
    if (c < (more == 1 ? 0x80u : more == 2 ? 0x800u : 0x10000u) || c > 0x10FFFF) return 0xFFFD;
    *i += more;
    return c;
}

size_t WideLength(char32_t c) { return kUtf16 && c >= 0x10000 ? 2 : 1; }

}  // namespace

void AssignUtf8(std::string* out, const wchar_t* text, size_t length) {
    WipeText(out);
    size_t size = 0;
    for (size_t i = 0; i < length;) size += Utf8Length(NextWide(text, length, &i));
    out->resize(size);
    size_t at = 0;
    for (size_t i = 0; i < length;) {
        const char32_t c = NextWide(text, length, &i);
        const size_t n = Utf8Length(c);
        if (n == 1) {
            (*out)[at++] = static_cast<char>(c);
            continue;
        }
        (*out)[at++] = static_cast<char>((n == 2 ? 0xC0 : n == 3 ? 0xE0 : 0xF0) | (c >> (6 * (n - 1))));
        for (size_t k = n - 1; k-- > 0;) (*out)[at++] = static_cast<char>(0x80 | ((c >> (6 * k)) & 0x3F));
    }
}

void AssignWide(std::wstring* out, const char* text, size_t length) {
    WipeText(out);
    const unsigned char* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t size = 0;
    for (size_t i = 0; i < length;) size += WideLength(NextUtf8(bytes, length, &i));
    out->resize(size);
    size_t at = 0;
    for (size_t i = 0; i < length;) {
        const char32_t c = NextUtf8(bytes, length, &i);
        if (WideLength(c) == 2) {
            (*out)[at++] = static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            (*out)[at++] = static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            (*out)[at++] = static_cast<wchar_t>(c);
        }
    }
}

Utf8Arguments::Utf8Arguments(int argc, const wchar_t* const* argv) {
    // Reserved, so that no short argument is moved out of an object that
    // is then freed unwiped.
    texts_.reserve(static_cast<size_t>(argc));
    for (int i = 0; i < argc; ++i) {
        size_t length = 0;
        while (argv[i][length]) ++length;
        Add(argv[i], length);
    }
    for (std::string& text : texts_) pointers_.push_back(&text[0]);
    pointers_.push_back(nullptr);
}

Utf8Arguments::Utf8Arguments(const std::vector<std::string>& args) {
    texts_.reserve(args.size() + 1);
    Add(std::string("wmicheck"));
    for (const std::string& arg : args) Add(arg);
    for (std::string& text : texts_) pointers_.push_back(&text[0]);
    pointers_.push_back(nullptr);
}

Utf8Arguments::~Utf8Arguments() {
    for (std::string& text : texts_) WipeText(&text);
}

void Utf8Arguments::Add(const wchar_t* text, size_t length) {
    texts_.emplace_back();
    AssignUtf8(&texts_.back(), text, length);
}

void Utf8Arguments::Add(const std::string& text) {
    texts_.emplace_back();
    texts_.back().reserve(text.size());  // no shorter buffer left behind
    texts_.back().assign(text);
}

// ---- The options -------------------------------------------------------------

namespace {

// Options with a short form use its letter; the others a number above any
// character.
enum Id : int {
    kHelp = 'h', kVersion = 'V', kVerbose = 'v', kHost = 'H', kTimeout = 't', kWarning = 'w', kCritical = 'c',
    kDomain = 256, kLastInstance, kDiagnose, kParam, kPrintParam, kConfigure, kNamespace, kClass, kFilter,
    kProperty, kOp, kValue, kUser, kPassword, kPasswordFile, kAuthLevel, kImpLevel, kMatch, kCount, kLabel,
    kAllowEmpty, kJson, kPercentOf, kAge, kUom, kAuth, kExclude, kPort, kHttps, kCaFile, kInsecure, kProxy,
    kKeytab, kRealm, kAddress,
};

// The first entry of an option is the name its errors use.
const option kLongOptions[] = {
    {"help", no_argument, nullptr, kHelp},
    {"version", no_argument, nullptr, kVersion},
    {"verbose", no_argument, nullptr, kVerbose},
    {"host", required_argument, nullptr, kHost},
    {"hostname", required_argument, nullptr, kHost},
    {"timeout", required_argument, nullptr, kTimeout},
    {"warning", required_argument, nullptr, kWarning},
    {"critical", required_argument, nullptr, kCritical},
    {"domain", required_argument, nullptr, kDomain},
    {"last-instance", no_argument, nullptr, kLastInstance},
    {"diagnose", no_argument, nullptr, kDiagnose},
    {"param", required_argument, nullptr, kParam},
    {"print-param", no_argument, nullptr, kPrintParam},
    {"configure", no_argument, nullptr, kConfigure},
    {"namespace", required_argument, nullptr, kNamespace},
    {"class", required_argument, nullptr, kClass},
    {"filter", required_argument, nullptr, kFilter},
    {"property", required_argument, nullptr, kProperty},
    {"op", required_argument, nullptr, kOp},
    {"value", required_argument, nullptr, kValue},
    {"user", required_argument, nullptr, kUser},
    {"password", required_argument, nullptr, kPassword},
    {"password-file", required_argument, nullptr, kPasswordFile},
    {"auth-level", required_argument, nullptr, kAuthLevel},
    {"imp-level", required_argument, nullptr, kImpLevel},
    {"match", required_argument, nullptr, kMatch},
    {"count", no_argument, nullptr, kCount},
    {"label", required_argument, nullptr, kLabel},
    {"allow-empty", no_argument, nullptr, kAllowEmpty},
    {"json", no_argument, nullptr, kJson},
    {"percent-of", required_argument, nullptr, kPercentOf},
    {"age", no_argument, nullptr, kAge},
    {"uom", required_argument, nullptr, kUom},
    {"auth", required_argument, nullptr, kAuth},
    {"port", required_argument, nullptr, kPort},
    {"https", no_argument, nullptr, kHttps},
    {"ca-file", required_argument, nullptr, kCaFile},
    {"insecure", no_argument, nullptr, kInsecure},
    {"proxy", required_argument, nullptr, kProxy},
    {"keytab", required_argument, nullptr, kKeytab},
    {"realm", required_argument, nullptr, kRealm},
    {"address", required_argument, nullptr, kAddress},
    {"exclude", required_argument, nullptr, kExclude},
    {nullptr, 0, nullptr, 0},
};
// "-": every other argument comes back in its place (as 1), so that a stray
// one is refused by its position; ":": a missing value is told apart.
const char kShortOptions[] = "-:hVvH:t:w:c:";

const option* FindOption(int id) {
    for (const option* o = kLongOptions; o->name; ++o)
        if (o->val == id) return o;
    return nullptr;
}

std::string Name(int id) {
    const option* o = FindOption(id);
    std::string name = "--";
    name += o->name;
    return name;
}

// The options of one build's transport alone: WS-Management's for the Linux
// wmicheck, the plug-in's and DCOM's levels for wmicheck.exe.
const int kLinuxOnly[] = {kPort, kHttps, kCaFile, kInsecure, kProxy, kKeytab, kRealm, kAddress};
const int kWindowsOnly[] = {kParam, kLastInstance, kPrintParam, kConfigure, kAuthLevel, kImpLevel};

// *out, wiped first, becomes text; sized once, so that no shorter buffer
// with part of it is left behind (it may be the password).
void AssignText(std::string* out, const char* text) {
    WipeText(out);
    const size_t length = std::strlen(text);
    out->reserve(length);
    out->assign(text, length);
}

// How the Linux wmicheck may authenticate: the combinations of --auth and
// the credentials that cannot work. "" when the options pass.
std::string LinuxAuthRefusal(const RunnerOptions& o) {
    if (o.auth == Auth::Basic && !o.https) return "--auth basic needs --https: Basic is never sent over plain HTTP";
    if (o.auth == Auth::Basic && o.user.empty()) return "--auth basic needs --user";
    if (!o.keytab.empty() && (o.auth == Auth::Ntlm || o.auth == Auth::Basic))
        return "--keytab holds Kerberos keys: it needs --auth negotiate or kerberos";
    if (!o.keytab.empty() && o.passwordGiven) return "--keytab and --password exclude each other";
    if (!o.keytab.empty() && !o.passwordFile.empty()) return "--keytab and --password-file exclude each other";
    return "";
}

// The monitoring-plugin options: none of them belongs to the plug-in's check.
const int kPluginOptions[] = {kWarning, kCritical, kMatch, kCount, kLabel, kAllowEmpty,
                              kJson,    kPercentOf, kAge,  kUom,   kExclude};
// Any of these runs the plug-in's check instead of a monitoring-plugin one.
const int kHostCheckOptions[] = {kParam, kLastInstance, kPrintParam};
// The plug-in's operator codes (CheckRules.h), in its order.
const char* const kOperatorCodes[] = {"CON", "NCO", "EXA", "DIF", "LES", "LEQ", "MOR", "MEQ"};

// The units of performance data that monitoring engines know.
bool IsUnit(const std::string& unit) {
    for (const char* known : {"s", "ms", "us", "%", "B", "KB", "MB", "GB", "TB", "c", ""})
        if (unit == known) return true;
    return false;
}

// A whole number from low to high; false for anything else.
bool ReadWhole(const std::string& text, long low, long high, long* value) {
    if (text.empty() || text.size() > 9) return false;
    long number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + (c - '0');
    }
    if (number < low || number > high) return false;
    *value = number;
    return true;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

std::string Position(int index) { return "argument " + std::to_string(index); }

}  // namespace

bool IsIpAddress(std::string host) {
    host.erase(0, host.find_first_not_of('\\'));
    if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    host = host.substr(0, host.find('%'));
    if (host.find(':') != std::string::npos) {
        for (char c : host)
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return false;
        return host.find(":::") == std::string::npos;
    }
    int parts = 0;
    for (size_t at = 0; at <= host.size(); ++parts) {
        const size_t end = std::min(host.find('.', at), host.size());
        long part = 0;
        if (!ReadWhole(host.substr(at, end - at), 0, 255, &part)) return false;
        at = end + 1;
    }
    return parts == 4;
}

std::string ParseCommandLine(int argc, char** argv, RunnerOptions* options, Platform platform) {
    RunnerOptions& o = *options;
    // One pass over every argument, even past an error, so that the mode
    // (and --json) is known for the error's form. The first error is kept.
    std::map<int, std::string> given;
    std::string error;
    bool passwordGiven = false;
    // The argument after a password's, which may be the rest of it when the
    // password has a blank and no quotes.
    int afterSecret = -1;
    opterr = 0;  // its messages would echo the arguments
    optind = 0;  // a fresh start in both C runtimes' getopt, even within a -vw80 cluster
    for (;;) {
        const int at = optind > 0 ? optind : 1;  // the argument being read
        const int id = getopt_long(argc, argv, kShortOptions, kLongOptions, nullptr);
        if (id == -1) break;
        std::string problem;
        if (id == 1) {
            problem = Position(at) +
                      " is not an option, and no option takes it as its value (quote a value that has blanks)";
        } else if (id == '?' || id == ':') {
            const option* known = optopt ? FindOption(optopt) : nullptr;
            if (known) {
                problem = Name(optopt) + (known->has_arg == no_argument ? " takes no value" : " needs a value");
            } else if (at == afterSecret) {
                problem = Position(at) + " is an unknown option";
            } else if (argv[at][0] == '-' && argv[at][1] == '-') {
                const char* equals = std::strchr(argv[at], '=');
                std::string name;
                name.assign(argv[at], equals ? equals - argv[at] : std::strlen(argv[at]));
                // getopt_long takes a unique abbreviation; say which names
                // one that is not unique could mean.
                std::vector<std::string> meanings;
                for (const option* entry = kLongOptions; entry->name; ++entry)
                    if (Name(entry->val).compare(0, name.size(), name) == 0 &&
                        (meanings.empty() || meanings.back() != Name(entry->val)))
                        meanings.push_back(Name(entry->val));
                problem = "unknown option " + name;
                if (meanings.size() > 1) {
                    problem = name + " is ambiguous: ";
                    for (size_t i = 0; i < meanings.size(); ++i)
                        problem += (i == 0 ? "" : i + 1 == meanings.size() ? " or " : ", ") + meanings[i];
                }
            } else if (optopt > 0x20 && optopt < 0x7F) {
                problem = "unknown option -" + std::string(1, static_cast<char>(optopt));
            } else {
                problem = Position(at) + " is an unknown option";
            }
        } else if (id == kPassword) {
            AssignText(&o.password, optarg);
            passwordGiven = true;
            afterSecret = optind;
        } else if (id == kParam) {
            AssignText(&o.param, optarg);
            o.paramGiven = true;
        } else if (id == kVerbose) {
            ++o.verbosity;
        } else {
            std::string& value = given[id];
            if (optarg && FindOption(id)->has_arg != no_argument) AssignText(&value, optarg);
            if (id == kExclude) {
                const size_t equals = value.find('=');
                if (equals == 0 || equals == std::string::npos)
                    problem = "--exclude needs PROPERTY=VALUE, not " + Quoted(value);
                else
                    o.excludes.push_back({value.substr(0, equals), value.substr(equals + 1)});
            }
        }
        if (error.empty()) error = problem;
    }
    if (optind < argc && error.empty())
        error = Position(optind) + " is not an option, and no option takes it as its value";
    if (passwordGiven) given[kPassword];
    if (o.paramGiven) given[kParam];
    auto has = [&](int id) { return given.count(id) != 0; };

    // The mode first, so that even a malformed command line is answered in
    // the form its caller expects.
    bool hostCheck = false;
    for (int id : kHostCheckOptions) hostCheck = hostCheck || has(id);
    o.mode = has(kConfigure) ? RunMode::Configure
             : has(kDiagnose) ? RunMode::Diagnose
             : hostCheck      ? RunMode::Check
                              : RunMode::Plugin;
    o.json = has(kJson);
    if (!error.empty()) return error;
    if (has(kHelp)) {
        o.mode = RunMode::Help;
        return "";
    }
    if (has(kVersion)) {
        o.mode = RunMode::Version;
        return "";
    }
    // The other build's options, before anything reads them.
    if (platform == Platform::Windows) {
        for (int id : kLinuxOnly)
            if (has(id)) return Name(id) + " is for the Linux wmicheck (WinRM)";
        if (has(kAuth) && given[kAuth] == "basic") return "--auth basic is for the Linux wmicheck (WinRM)";
    } else {
        for (int id : kWindowsOnly)
            if (has(id)) return Name(id) + " is Windows-only (wmicheck.exe)";
    }

    auto text = [&](int id, std::string* field) {
        if (has(id)) *field = given[id];
    };
    text(kHost, &o.host);
    o.printParam = has(kPrintParam);
    text(kNamespace, &o.nameSpace);
    text(kClass, &o.classPath);
    text(kFilter, &o.filter);
    text(kProperty, &o.property);
    text(kValue, &o.value);
    text(kDomain, &o.domain);
    text(kPasswordFile, &o.passwordFile);
    text(kLabel, &o.label);
    text(kPercentOf, &o.percentOf);
    o.age = has(kAge);
    // An empty password is none.
    o.passwordGiven = !o.password.empty();
    o.count = has(kCount);
    o.allowEmpty = has(kAllowEmpty);

    if (has(kHost) && o.host.empty()) return "--host needs a computer's name";
    if (has(kUser)) {
        // DOMAIN\user (or DOMAIN/user) names the domain; --domain wins over it.
        const std::string& user = given[kUser];
        const size_t separator = user.find_first_of("\\/");
        if (separator != std::string::npos && separator > 0) {
            if (!has(kDomain)) o.domain = user.substr(0, separator);
            o.user = user.substr(separator + 1);
        } else {
            o.user = user;
        }
        if (o.user.empty()) return "--user needs a user name, not " + Quoted(user);
    }
    if (has(kDomain)) {
        if (o.domain.empty()) return "--domain needs a domain name";
        if (!has(kUser)) return "--domain needs --user";
        if (o.user.find('@') != std::string::npos)
            return "--domain and a user principal name (" + o.user + ") exclude each other: the name holds its domain";
    }
    if (has(kTimeout)) {
        const std::string& t = given[kTimeout];
        if (!ReadDecimal(t, &o.timeoutSeconds) || !(o.timeoutSeconds > 0) || o.timeoutSeconds > 86400)
            return "--timeout needs a number of seconds above 0 and at most 86400, not " + Quoted(t);
        o.timeoutGiven = true;
    }
    if (has(kAuthLevel) && !ReadWhole(given[kAuthLevel], 0, 6, &o.authLevel))
        return "--auth-level needs a whole number from 0 to 6, not " + Quoted(given[kAuthLevel]);
    if (has(kImpLevel) && !ReadWhole(given[kImpLevel], 0, 4, &o.impLevel))
        return "--imp-level needs a whole number from 0 to 4, not " + Quoted(given[kImpLevel]);
    if (has(kAuth)) {
        const std::string& a = given[kAuth];
        if (a == "negotiate") o.auth = Auth::Negotiate;
        else if (a == "kerberos") o.auth = Auth::Kerberos;
        else if (a == "ntlm") o.auth = Auth::Ntlm;
        else if (a == "basic") o.auth = Auth::Basic;
        else return "--auth needs negotiate, kerberos, ntlm or basic, not " + Quoted(a);
        o.authGiven = true;
        if (o.mode == RunMode::Check)
            return "--auth does not apply to the plug-in's check (--param, --last-instance, --print-param), which "
                   "authenticates with NTLM";
        if (o.auth == Auth::Kerberos && IsIpAddress(o.host))
            return "--auth kerberos cannot authenticate to an IP address (" + o.host +
                   "): give the computer's name with --host (its address with --address), or use --auth negotiate";
    }
    if (has(kOp)) {
        std::string code = given[kOp];
        for (char& c : code) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        bool known = false;
        for (const char* op : kOperatorCodes) known = known || code == op;
        if (!known) return "--op needs one of CON, NCO, EXA, DIF, LES, LEQ, MOR, MEQ, not " + Quoted(given[kOp]);
        o.op = code;
    }
    if (has(kPassword) && has(kPasswordFile)) return "--password and --password-file exclude each other";
    if (has(kPort) && !ReadWhole(given[kPort], 1, 65535, &o.port))
        return "--port needs a port number from 1 to 65535, not " + Quoted(given[kPort]);
    o.https = has(kHttps);
    o.insecure = has(kInsecure);
    text(kCaFile, &o.caFile);
    text(kProxy, &o.proxy);
    if (has(kCaFile) && o.caFile.empty()) return "--ca-file needs a file";
    if (has(kProxy) && o.proxy.empty()) return "--proxy needs a URL";
    if ((has(kCaFile) || o.insecure) && !o.https) return Name(has(kCaFile) ? kCaFile : kInsecure) + " needs --https";
    if (has(kCaFile) && o.insecure) return "--ca-file and --insecure exclude each other";
    text(kKeytab, &o.keytab);
    text(kRealm, &o.realm);
    text(kAddress, &o.address);
    if (has(kKeytab) && o.keytab.empty()) return "--keytab needs a file";
    if (has(kRealm) && (o.realm.empty() || o.realm.find_first_of("@\\/ ") != std::string::npos))
        return "--realm needs a Kerberos realm (CORP.EXAMPLE), not " + Quoted(o.realm);
    if (has(kAddress) && o.address.empty()) return "--address needs a computer's address";
    if (platform == Platform::Linux) {
        // No local WMI to fall back on, and no password sent in the clear.
        if (!has(kHost)) return "--host is needed: the Linux wmicheck checks another computer over WinRM";
        const std::string refusal = LinuxAuthRefusal(o);
        if (!refusal.empty()) return refusal;
    }
    if (has(kWarning) && !o.warning.Parse(given[kWarning]))
        return "--warning: malformed range " + Quoted(given[kWarning]);
    if (has(kCritical) && !o.critical.Parse(given[kCritical]))
        return "--critical: malformed range " + Quoted(given[kCritical]);
    if (has(kUom)) {
        o.unit = given[kUom] == "none" ? "" : given[kUom];
        if (!IsUnit(o.unit))
            return "--uom needs one of s, ms, us, %, B, KB, MB, GB, TB, c or none, not " + Quoted(given[kUom]);
    } else {
        o.unit = o.age ? "s" : has(kPercentOf) ? "%" : "";
    }
    if (has(kPercentOf) && o.percentOf.empty()) return "--percent-of needs a property name";
    if (has(kMatch)) {
        const std::string& m = given[kMatch];
        if (m == "all") o.match = Match::All;
        else if (m == "any") o.match = Match::Any;
        else if (m == "none") o.match = Match::None;
        else return "--match needs all, any or none, not " + Quoted(m);
        o.matchGiven = true;
    }

    // Which options each of the other modes takes.
    auto only = [&](int mode, std::initializer_list<int> allowed) -> std::string {
        for (const auto& entry : given) {
            bool ok = entry.first == mode || entry.first == kVerbose;
            for (int id : allowed) ok = ok || entry.first == id;
            if (!ok) {
                std::string list;
                for (int id : allowed) list += (list.empty() ? "" : ", ") + Name(id);
                return Name(mode) + " takes only " + list + ", not " + Name(entry.first);
            }
        }
        return "";
    };
    if (o.mode == RunMode::Configure) return only(kConfigure, {kHost, kTimeout, kParam});
    if (o.mode == RunMode::Diagnose)
        return only(kDiagnose, {kHost, kTimeout, kNamespace, kUser, kDomain, kPassword, kPasswordFile, kAuthLevel,
                                kImpLevel, kAuth, kPort, kHttps, kCaFile, kInsecure, kProxy, kKeytab, kRealm,
                                kAddress});

    if (o.mode == RunMode::Check) {
        for (int id : kPluginOptions)
            if (has(id))
                return Name(id) +
                       " belongs to a monitoring-plugin check; the plug-in's check (--param, --last-instance, "
                       "--print-param) takes none";
        if (o.paramGiven) {
            for (int id : {kNamespace, kClass, kFilter, kProperty, kOp, kValue, kUser, kDomain, kPassword,
                           kPasswordFile, kAuthLevel, kImpLevel})
                if (has(id)) return "--param holds the whole check; it takes no " + Name(id);
            return "";
        }
        if (o.classPath.empty()) return "--class is needed";
        if (o.property.empty()) return "--property is needed: the plug-in's check compares one property";
        return "";
    }

    // Monitoring-plugin checks: the combinations that make sense.
    const bool thresholds = o.warning.IsSet() || o.critical.IsSet();
    if (o.classPath.empty()) return "--class is needed";
    if (o.age && has(kPercentOf)) return "--age and --percent-of exclude each other";
    if (o.count) {
        for (int id : {kOp, kMatch, kProperty, kLabel, kPercentOf, kAge, kUom})
            if (has(id)) return "--count counts instances and takes no " + Name(id);
        return "";
    }
    if (o.property.empty()) return "--property is needed (or --count)";
    if (o.matchGiven && o.op.empty()) return "--match needs --op";
    if (o.op.empty() && !thresholds)
        return std::string("a monitoring-plugin check needs --op, --warning, --critical or --count") +
               (platform == Platform::Windows
                    ? " (the plug-in's check, where the last instance decides: --last-instance)"
                    : "");
    return "";
}

std::string ParseArguments(const std::vector<std::string>& args, RunnerOptions* options, Platform platform) {
    Utf8Arguments utf8(args);
    return ParseCommandLine(utf8.Count(), utf8.Values(), options, platform);
}

std::string RefuseUserWithoutPassword(const RunnerOptions& options) {
    // A keytab holds the account's keys in place of its password.
    if (options.user.empty() || !options.password.empty() || !options.keytab.empty()) return "";
    const bool connectsAsUser =
        options.mode == RunMode::Plugin || (options.mode == RunMode::Check && !options.paramGiven) ||
        (options.mode == RunMode::Diagnose && options.host != "." && !options.host.empty());
    if (!connectsAsUser) return "";
    return "--user needs a password (--password-file, --password or WMICHECK_PASSWORD; an empty one counts as "
           "none): Windows refuses a blank password for a network logon, and each failed logon counts towards the "
           "account's lockout";
}

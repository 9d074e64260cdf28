// linux-bench: what a poller pays for the Linux wmicheck, one process per
// check, against the WinRM test double, with python3-winrm's Protocol layer
// (bench/linux/pywinrm-check.py) as the peer measured in the same run.
// scripts/linux-bench.sh starts the KDC and the doubles and writes the
// configuration file this program reads (KEY=VALUE lines).
//
// usage: linux-bench CONFIG MODE [N]
//   round-trips      HTTP requests of one check per mechanism, by the double's count
//   cost [N]         wall time and CPU (user+sys) per check, N checks each way
//   throughput [N]   checks per second with 1, 8 and 32 processes, at 0 and 20 ms
//   tickets [N]      the KDC's requests for N Kerberos checks from one ticket cache
//   soak [N] [LABEL] N checks over 200 computers, 32 processes at once
// Each mode prints its report and exits 1 when a fact that must hold does
// not (a count, a failed healthy check, an enumeration left open); times
// are reported, never judged.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

std::map<std::string, std::string> g_config;
int g_failed = 0;

const std::string& Config(const std::string& key) {
    auto found = g_config.find(key);
    if (found == g_config.end()) {
        std::cerr << "linux-bench: the configuration has no " << key << "\n";
        std::exit(2);
    }
    return found->second;
}

void Expect(bool holds, const std::string& what) {
    if (holds) return;
    ++g_failed;
    std::cout << "FAILED: " << what << "\n";
}

// One process to run: its arguments and the variables added to the
// environment.
struct Command {
    std::vector<std::string> argv;
    std::vector<std::string> env;
};

struct Outcome {
    int code = -1;
    double wallMs = 0, cpuMs = 0;
    long maxRssKiB = 0;
    std::string out;
};

struct Running {
    int fd = -1;
    Clock::time_point start;
    size_t slot = 0;
};

// Starts a command with its standard output on a pipe.
pid_t Spawn(const Command& command, int* fd) {
    int pipes[2];
    if (pipe2(pipes, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipes[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    for (const std::string& extra : command.env) {
        const std::string name = extra.substr(0, extra.find('=') + 1);
        env.erase(std::remove_if(env.begin(), env.end(), [&](const std::string& e) { return e.rfind(name, 0) == 0; }),
                  env.end());
        env.push_back(extra);
    }
    std::vector<char*> argv, envp;
    for (const std::string& a : command.argv) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    pid_t pid = 0;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(pipes[1]);
    if (error != 0) {
        close(pipes[0]);
        throw std::runtime_error("cannot start " + command.argv[0] + ": " + std::strerror(error));
    }
    *fd = pipes[0];
    return pid;
}

std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    close(fd);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text;
}

double Ms(const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; }

// Runs commands[i] for every i, `parallel` at once; each outcome by its
// index. The wall time is from the start to wait4's return, the CPU time
// wait4's rusage (user + sys) of that process and what it waited for.
std::vector<Outcome> RunAll(const std::vector<Command>& commands, size_t parallel, double* seconds = nullptr) {
    std::vector<Outcome> outcomes(commands.size());
    std::map<pid_t, Running> running;
    size_t next = 0;
    const auto begin = Clock::now();
    while (next < commands.size() || !running.empty()) {
        while (next < commands.size() && running.size() < parallel) {
            Running r;
            r.start = Clock::now();
            r.slot = next;
            const pid_t pid = Spawn(commands[next++], &r.fd);
            running[pid] = r;
        }
        int status = 0;
        rusage usage{};
        const pid_t pid = wait4(-1, &status, 0, &usage);
        if (pid < 0) throw std::runtime_error("wait4");
        auto found = running.find(pid);
        if (found == running.end()) continue;
        Outcome& outcome = outcomes[found->second.slot];
        outcome.wallMs = std::chrono::duration<double, std::milli>(Clock::now() - found->second.start).count();
        outcome.cpuMs = Ms(usage.ru_utime) + Ms(usage.ru_stime);
        outcome.maxRssKiB = usage.ru_maxrss;
        outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        // One line of output: it waits in the pipe until read here.
        outcome.out = Drain(found->second.fd);
        running.erase(found);
    }
    if (seconds) *seconds = std::chrono::duration<double>(Clock::now() - begin).count();
    return outcomes;
}

Outcome RunOne(const Command& command) { return RunAll({command}, 1).front(); }

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(std::ceil(p / 100.0 * values.size()));
    return values[std::min(values.size() - 1, at == 0 ? 0 : at - 1)];
}

std::string Fixed(double value, int digits = 1) {
    std::ostringstream text;
    text.setf(std::ios::fixed);
    text.precision(digits);
    text << value;
    return text.str();
}

size_t Write(char* data, size_t size, size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

// The double's counters (GET /double/state on its HTTP port).
nlohmann::json State(const std::string& httpPort) {
    std::string body;
    CURL* curl = curl_easy_init();
    const std::string url = "http://127.0.0.1:" + httpPort + "/double/state";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Write);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    const CURLcode code = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    if (code != CURLE_OK) throw std::runtime_error("the double on port " + httpPort + " does not answer");
    return nlohmann::json::parse(body);
}

long long Count(const nlohmann::json& state, const char* key) { return state.value(key, 0LL); }

// The ways one check goes: wmicheck's four, python3-winrm's two.
enum class Way { KerberosHttps, KerberosHttp, NtlmHttp, BasicHttps, PyNtlmHttp, PyBasicHttps };

const char* Name(Way way) {
    switch (way) {
    case Way::KerberosHttps: return "wmicheck, Kerberos over HTTPS";
    case Way::KerberosHttp: return "wmicheck, Kerberos over HTTP (sealed)";
    case Way::NtlmHttp: return "wmicheck, NTLM over HTTP (sealed)";
    case Way::BasicHttps: return "wmicheck, Basic over HTTPS";
    case Way::PyNtlmHttp: return "python3-winrm, NTLM over HTTP (sealed)";
    case Way::PyBasicHttps: return "python3-winrm, Basic over HTTPS";
    }
    return "";
}

const char kQuery[] = "StartMode='Auto' AND State<>'Running'";

// One check of the automatic services that do not run (README's common
// check) against the double whose ports are `prefix`_HTTP and _HTTPS.
Command Check(Way way, const std::string& prefix, const std::string& host = "localhost", int timeoutS = 10) {
    Command command;
    const std::string http = Config(prefix + "_HTTP"), https = Config(prefix + "_HTTPS");
    const std::string password = "WMICHECK_PASSWORD=" + Config("PASSWORD");
    // libnss-wrapper holds 100 names unless told more.
    command.env = {"LD_PRELOAD=libnss_wrapper.so", "NSS_WRAPPER_HOSTS=" + Config("HOSTS"), "NSS_WRAPPER_MAX_HOSTENTS=1000",
                   "KRB5_CONFIG=" + Config("KRB5_CONFIG"), "KRB5CCNAME=" + Config("CCACHE")};
    if (way == Way::PyNtlmHttp || way == Way::PyBasicHttps) {
        const bool ntlm = way == Way::PyNtlmHttp;
        command.argv = {"/usr/bin/python3", Config("PYWINRM_CHECK"),
                        ntlm ? "http://" + host + ":" + http + "/wsman" : "https://" + host + ":" + https + "/wsman",
                        ntlm ? "ntlm" : "basic", ntlm ? "CORP\\monitor" : "monitor", Config("CA"),
                        std::string("SELECT * FROM Win32_Service WHERE ") + kQuery};
        // python3-ntlm-auth's MD4 lives in OpenSSL's legacy provider.
        command.env.push_back("OPENSSL_CONF=" + Config("OPENSSL_LEGACY"));
        command.env.push_back(password);
        return command;
    }
    command.argv = {Config("WMICHECK"), "-H", host, "-t", std::to_string(timeoutS)};
    switch (way) {
    case Way::KerberosHttps:
        command.argv.insert(command.argv.end(), {"--port", https, "--https", "--ca-file", Config("CA")});
        break;
    case Way::KerberosHttp: command.argv.insert(command.argv.end(), {"--port", http}); break;
    case Way::NtlmHttp:
        command.argv.insert(command.argv.end(), {"--port", http, "--auth", "ntlm", "--user", "CORP\\monitor"});
        command.env.push_back(password);
        break;
    case Way::BasicHttps:
        command.argv.insert(command.argv.end(),
                            {"--port", https, "--https", "--ca-file", Config("CA"), "--auth", "basic", "--user",
                             "monitor"});
        command.env.push_back(password);
        break;
    default: break;
    }
    command.argv.insert(command.argv.end(), {"--class", "Win32_Service", "--filter", kQuery, "--count"});
    return command;
}

bool Healthy(const Outcome& outcome, bool python) {
    return python ? outcome.code == 0 : outcome.code <= 2 && outcome.out.rfind("WMI ", 0) == 0;
}

std::string Load() {
    double load[3] = {};
    if (getloadavg(load, 3) < 1) return "?";
    return Fixed(load[0], 2);
}

void Header(const std::string& title) {
    std::cout << "\n== " << title << " (load average " << Load() << ", " << sysconf(_SC_NPROCESSORS_ONLN)
              << " cores)\n";
}

// HTTP requests of one check, each a round trip after TCP and TLS: the
// least is one (HTTPS with Kerberos: the ticket rides on the request, the
// optimized Enumerate brings the items); sealing over HTTP needs the
// context first.
int RoundTrips() {
    Header("round trips of one check, " + Config("RTT_MS") + " ms a round trip");
    struct Row {
        Way way;
        long long least;  // what the protocol allows
    } rows[] = {{Way::KerberosHttps, 1}, {Way::KerberosHttp, 2}, {Way::NtlmHttp, 3}, {Way::BasicHttps, 1},
                {Way::PyNtlmHttp, 3},    {Way::PyBasicHttps, 1}};
    const std::string port = Config("RTT_HTTP");
    std::printf("%-42s %8s %10s %8s %10s %9s\n", "check", "requests", "operations", "least", "/least", "wall ms");
    for (const Row& row : rows) {
        const nlohmann::json before = State(port);
        const Outcome outcome = RunOne(Check(row.way, "RTT"));
        const nlohmann::json after = State(port);
        const long long requests = Count(after, "requests") - Count(before, "requests");
        const long long operations = Count(after, "roundTrips") - Count(before, "roundTrips");
        std::printf("%-42s %8lld %10lld %8lld %10s %9.0f\n", Name(row.way), requests, operations, row.least,
                    ("x" + Fixed(static_cast<double>(requests) / row.least, 2)).c_str(), outcome.wallMs);
        Expect(Healthy(outcome, row.way >= Way::PyNtlmHttp), std::string(Name(row.way)) + ": " + outcome.out);
        Expect(operations == 1, std::string(Name(row.way)) + ": one operation (Enumerate), not " +
                                    std::to_string(operations));
        if (row.way < Way::PyNtlmHttp)
            Expect(requests == row.least, std::string(Name(row.way)) + ": " + std::to_string(requests) +
                                              " requests, the least is " + std::to_string(row.least));
    }
    Expect(Count(State(port), "open") == 0, "an enumeration left open");
    return 0;
}

struct Cost {
    double wallMs, cpuMs;
    long rssKiB;
};

Cost Measure(const Command& command, size_t checks, bool python, const std::string& what) {
    std::vector<Command> commands(checks, command);
    const std::vector<Outcome> outcomes = RunAll(commands, 1);
    std::vector<double> wall, cpu;
    long rss = 0;
    int failed = 0;
    for (const Outcome& o : outcomes) {
        wall.push_back(o.wallMs);
        cpu.push_back(o.cpuMs);
        rss = std::max(rss, o.maxRssKiB);
        failed += !Healthy(o, python);
    }
    Expect(failed == 0, what + ": " + std::to_string(failed) + " checks failed: " + outcomes.front().out);
    return {Percentile(wall, 50), Percentile(cpu, 50), rss};
}

// Start to verdict, and CPU per check, one check at a time, medians.
int ProcessCost(size_t checks) {
    Header("process cost per check, medians of " + std::to_string(checks) + " one after another, 0 ms");
    std::map<Way, Cost> costs;
    for (Way way : {Way::KerberosHttps, Way::KerberosHttp, Way::NtlmHttp, Way::BasicHttps, Way::PyNtlmHttp,
                    Way::PyBasicHttps})
        costs[way] = Measure(Check(way, "QUICK"), checks, way >= Way::PyNtlmHttp, Name(way));
    std::printf("%-42s %9s %9s %12s\n", "check", "wall ms", "CPU ms", "max RSS KiB");
    for (const auto& entry : costs)
        std::printf("%-42s %9.1f %9.1f %12ld\n", Name(entry.first), entry.second.wallMs, entry.second.cpuMs,
                    entry.second.rssKiB);
    const auto ratio = [&](Way mine, Way peer) {
        std::cout << Name(mine) << " / " << Name(peer) << ": wall x"
                  << Fixed(costs[mine].wallMs / costs[peer].wallMs, 3) << ", CPU x"
                  << Fixed(costs[mine].cpuMs / costs[peer].cpuMs, 3) << "\n";
    };
    ratio(Way::NtlmHttp, Way::PyNtlmHttp);
    ratio(Way::BasicHttps, Way::PyBasicHttps);
    ratio(Way::KerberosHttp, Way::PyNtlmHttp);
    // wmicheck.exe under Wine, where a Windows build tree was given: against
    // Wine's own WMI (it speaks DCOM, not WinRM), so a process's cost only.
    if (!g_config["WINE_RUN"].empty()) {
        Command wine;
        wine.argv = {"/bin/bash", Config("WINE_RUN"), Config("WINE_WMICHECK"), "--class", "Win32_Service", "--filter",
                     kQuery, "--count"};
        wine.env = {"WINEPREFIX=" + Config("WINEPREFIX"), "WINEARCH=" + Config("WINEARCH"), "WINEDEBUG=-all"};
        // The first run makes the prefix and starts its wineserver, kept for the rest.
        const Outcome first = RunOne(wine);
        std::vector<double> wall, cpu;
        int failed = 0;
        for (const Outcome& o : RunAll(std::vector<Command>(checks, wine), 1)) {
            wall.push_back(o.wallMs);
            cpu.push_back(o.cpuMs);
            failed += o.code > 2;
        }
        if (first.code == 77 || failed) {
            std::cout << "wmicheck.exe under Wine: not measured (" << (first.code == 77 ? "this host runs no 32-bit programs" : first.out) << ")\n";
        } else {
            std::cout << "wmicheck.exe under Wine, the same check against Wine's own WMI (it speaks DCOM, not "
                         "WinRM; wineserver's CPU not counted): wall "
                      << Fixed(Percentile(wall, 50)) << " ms, CPU " << Fixed(Percentile(cpu, 50)) << " ms; "
                      << Name(Way::KerberosHttp) << " against it: wall x"
                      << Fixed(costs[Way::KerberosHttp].wallMs / Percentile(wall, 50), 3) << ", CPU x"
                      << Fixed(costs[Way::KerberosHttp].cpuMs / Percentile(cpu, 50), 3) << "\n";
        }
    } else {
        std::cout << "wmicheck.exe under Wine: not measured (no Windows build tree given)\n";
    }
    return 0;
}

// Checks per second, P processes at once.
int Throughput(size_t checks) {
    Header("fleet throughput, " + std::to_string(checks) + " checks each, NTLM over HTTP (sealed)");
    std::printf("%-8s %-10s %14s %14s %8s\n", "latency", "processes", "wmicheck/s", "python/s", "ratio");
    for (const char* prefix : {"QUICK", "RTT"}) {
        for (size_t parallel : {1, 8, 32}) {
            double rate[2] = {};
            for (int python = 0; python < 2; ++python) {
                const Way way = python ? Way::PyNtlmHttp : Way::NtlmHttp;
                double seconds = 0;
                const std::vector<Outcome> outcomes =
                    RunAll(std::vector<Command>(checks, Check(way, prefix)), parallel, &seconds);
                int failed = 0;
                std::string first;
                for (const Outcome& o : outcomes)
                    if (!Healthy(o, python) && !failed++) first = o.out;
                // The peer's failures are reported; wmicheck's may not happen.
                if (python && failed)
                    std::cout << Name(way) << ": " << failed << " of " << checks << " failed, " << parallel
                              << " at once; the first: " << first << "\n";
                else
                    Expect(failed == 0, std::string(Name(way)) + ": " + std::to_string(failed) + " failed, " +
                                            std::to_string(parallel) + " at once; the first: " + first);
                rate[python] = checks / seconds;
            }
            std::printf("%-8s %-10zu %14.1f %14.1f %8s\n",
                        (std::string(prefix) == "QUICK" ? "0 ms" : Config("RTT_MS") + " ms").c_str(), parallel,
                        rate[0], rate[1], ("x" + Fixed(rate[0] / rate[1], 2)).c_str());
        }
    }
    return 0;
}

// The KDC's requests (its log's AS_REQ and TGS_REQ lines) while N checks run
// from one ticket cache filled by kinit: the service ticket of the first
// goes into the cache, the others take it from there.
int Tickets(size_t checks) {
    Header("tickets: the KDC's requests for " + std::to_string(checks) + " Kerberos checks (HTTP, sealed)");
    const auto count = [] {
        std::ifstream log(Config("KDC_LOG"));
        long long requests = 0;
        for (std::string line; std::getline(log, line);)
            requests += line.find("AS_REQ") != std::string::npos || line.find("TGS_REQ") != std::string::npos;
        return requests;
    };
    Command check = Check(Way::KerberosHttp, "QUICK", "svcfail01");
    for (std::string& e : check.env)
        if (e.rfind("KRB5CCNAME=", 0) == 0) e = "KRB5CCNAME=" + Config("TICKET_CCACHE");
    const long long before = count();
    const Outcome first = RunOne(check);
    const long long afterFirst = count();
    std::vector<Outcome> rest = RunAll(std::vector<Command>(checks > 1 ? checks - 1 : 0, check), 1);
    const long long after = count();
    int failed = !Healthy(first, false);
    for (const Outcome& o : rest) failed += !Healthy(o, false);
    std::cout << "the first check: " << afterFirst - before << " KDC request(s); the " << rest.size()
              << " after it: " << after - afterFirst << "\n";
    Expect(failed == 0, std::to_string(failed) + " checks failed: " + first.out);
    Expect(afterFirst - before == 1, "the first check asks the KDC once (its service ticket)");
    Expect(after - afterFirst == 0, "the later checks take the service ticket from the cache");
    return 0;
}

// 200 computers (names of the double through libnss-wrapper): 180 answer
// at once, 18 slowly, 2 never; 32 processes at once.
int Soak(size_t checks, const std::string& label) {
    const int timeoutS = std::stoi(Config("SOAK_TIMEOUT_S"));
    Header("fleet soak " + label + ": " + std::to_string(checks) + " Kerberos checks over HTTP (sealed), 200 "
           "computers, 32 processes, -t " + std::to_string(timeoutS));
    enum Kind { Quick, Slow, Stuck };
    const auto kindOf = [](size_t computer) { return computer < 180 ? Quick : computer < 198 ? Slow : Stuck; };
    const char* prefixes[] = {"QUICK", "SLOW", "STALL"};
    const auto name = [](size_t computer) {
        char text[16];
        std::snprintf(text, sizeof text, "node%03zu", computer + 1);
        return std::string(text);
    };
    // The same check alone, a computer of each kind that answers, one at a time.
    double alone[2] = {};
    for (int kind : {Quick, Slow}) {
        std::vector<double> wall;
        for (const Outcome& o : RunAll(std::vector<Command>(kind == Quick ? 20 : 5,
                                                            Check(Way::KerberosHttp, prefixes[kind],
                                                                  name(kind == Quick ? 0 : 180), timeoutS)),
                                       1))
            wall.push_back(o.wallMs);
        alone[kind] = Percentile(wall, 50);
    }
    // The same 32 processes over computers that all answer at once: what
    // the load itself costs a check on these cores, without the slow and
    // the never-answering computers.
    std::vector<double> loaded;
    {
        std::vector<Command> quick;
        for (size_t i = 0; i < std::max<size_t>(64, checks / 10); ++i)
            quick.push_back(Check(Way::KerberosHttp, prefixes[Quick], name(i % 180), timeoutS));
        for (const Outcome& o : RunAll(quick, 32)) loaded.push_back(o.wallMs);
    }
    const double loadedQuick = Percentile(loaded, 50);
    std::vector<Command> commands;
    std::vector<Kind> kinds;
    std::mt19937 random(12345);
    std::vector<size_t> order;
    for (size_t i = 0; i < checks; ++i) order.push_back(i % 200);
    std::shuffle(order.begin(), order.end(), random);
    for (size_t computer : order) {
        kinds.push_back(kindOf(computer));
        commands.push_back(Check(Way::KerberosHttp, prefixes[kinds.back()], name(computer), timeoutS));
    }
    std::vector<nlohmann::json> before;
    for (const char* prefix : prefixes) before.push_back(State(Config(std::string(prefix) + "_HTTP")));
    double seconds = 0;
    const std::vector<Outcome> outcomes = RunAll(commands, 32, &seconds);
    size_t healthy = 0, failed = 0, stuck = 0, stuckLate = 0, stuckWrong = 0;
    std::string stuckLine;
    std::vector<double> ratios, againstLoaded, stuckMs;
    long rss = 0;
    std::string firstFailure;
    for (size_t i = 0; i < outcomes.size(); ++i) {
        const Outcome& o = outcomes[i];
        rss = std::max(rss, o.maxRssKiB);
        if (kinds[i] == Stuck) {
            ++stuck;
            stuckMs.push_back(o.wallMs);
            if (stuckLine.empty() || o.wallMs > (timeoutS + 1) * 1000.0) stuckLine = o.out;
            stuckLate += o.wallMs > (timeoutS + 1) * 1000.0;
            stuckWrong += o.code != 3 || o.out.rfind("WMI UNKNOWN", 0) != 0;
            continue;
        }
        ++healthy;
        if (!Healthy(o, false)) {
            if (firstFailure.empty()) firstFailure = o.out;
            ++failed;
        }
        ratios.push_back(o.wallMs / alone[kinds[i]]);
        // The computer's own delay on top of a quick check under the same load.
        againstLoaded.push_back(o.wallMs / (loadedQuick + alone[kinds[i]] - alone[Quick]));
    }
    // The driver's own peak (VmHWM): its rusage counts what its children
    // held before they replaced the image it shared with them.
    long driverKiB = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmHWM:", 0) == 0) driverKiB = std::atol(line.c_str() + 6);
    long long open = 0, enumerations = 0;
    for (size_t k = 0; k < 3; ++k) {
        const nlohmann::json after = State(Config(std::string(prefixes[k]) + "_HTTP"));
        open += Count(after, "open");
        enumerations += Count(after, "enumerations") - Count(before[k], "enumerations");
    }
    std::cout << "time " << Fixed(seconds) << " s, " << Fixed(checks / seconds) << " checks/s\n"
              << "healthy checks failed: " << failed << " of " << healthy
              << (firstFailure.empty() ? "" : " (first: " + firstFailure + ")") << "\n"
              << "alone: quick " << Fixed(alone[Quick]) << " ms, slow " << Fixed(alone[Slow])
              << " ms; healthy against alone: median x" << Fixed(Percentile(ratios, 50), 2) << ", p99 x"
              << Fixed(Percentile(ratios, 99), 2) << "\n"
              << "the same 32 processes, every computer quick: " << loaded.size() << " checks, median "
              << Fixed(loadedQuick) << " ms, p99 " << Fixed(Percentile(loaded, 99))
              << " ms; healthy against that (plus the computer's delay): median x"
              << Fixed(Percentile(againstLoaded, 50), 2) << ", p99 x" << Fixed(Percentile(againstLoaded, 99), 2)
              << "\n"
              << "never answering: " << stuck << " checks, UNKNOWN in " << Fixed(Percentile(stuckMs, 50))
              << " ms (median), " << Fixed(Percentile(stuckMs, 100)) << " ms at most; past -t + 1 s: " << stuckLate
              << ", not UNKNOWN: " << stuckWrong << "\n  (" << stuckLine.substr(0, 120) << ")\n"
              << "the doubles' enumerations " << enumerations << ", open at the end: " << open << "\n"
              << "max RSS: a wmicheck process " << rss << " KiB, the driver " << driverKiB << " KiB\n";
    Expect(failed == 0, "healthy checks failed");
    // Its time is reported, not judged: a busy machine may hold a process back.
    Expect(stuckWrong == 0, "a check of a computer that never answers did not end UNKNOWN");
    Expect(open == 0, "enumerations left open");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::cerr << "usage: linux-bench CONFIG round-trips|cost|throughput|tickets|soak [N] [LABEL]\n";
        return 2;
    }
    std::ifstream in(argv[1]);
    if (!in) {
        std::cerr << "linux-bench: cannot read " << argv[1] << "\n";
        return 2;
    }
    for (std::string line; std::getline(in, line);) {
        const size_t eq = line.find('=');
        if (eq != std::string::npos) g_config[line.substr(0, eq)] = line.substr(eq + 1);
    }
    const std::string mode = argv[2];
    const auto number = [&](size_t fallback) {
        if (argc < 4) return fallback;
        char* end = nullptr;
        const unsigned long value = std::strtoul(argv[3], &end, 10);
        if (*end || value == 0) {
            std::cerr << "linux-bench: N must be a positive number, not " << argv[3] << "\n";
            std::exit(2);
        }
        return static_cast<size_t>(value);
    };
    curl_global_init(CURL_GLOBAL_DEFAULT);
    try {
        if (mode == "round-trips") RoundTrips();
        else if (mode == "cost") ProcessCost(number(20));
        else if (mode == "throughput") Throughput(number(96));
        else if (mode == "tickets") Tickets(number(20));
        else if (mode == "soak") Soak(number(20000), argc > 4 ? argv[4] : "");
        else {
            std::cerr << "linux-bench: no mode " << mode << "\n";
            return 2;
        }
    } catch (const std::exception& error) {
        std::cerr << "linux-bench: " << error.what() << "\n";
        return 1;
    }
    std::cout << (g_failed ? "linux-bench " + mode + ": " + std::to_string(g_failed) + " facts did not hold\n"
                           : "linux-bench " + mode + ": done\n");
    return g_failed ? 1 : 0;
}

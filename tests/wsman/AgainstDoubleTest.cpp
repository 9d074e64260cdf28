// The Linux wmicheck against the WinRM double over HTTPS: the README's
// checks, one item per Pull; a run that times out mid-way releases its
// enumeration, so the next one is not refused for the quota; a service that
// answers nothing costs no more than -t; --diagnose tells each step.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "RunProgram.h"

namespace {

using wsmantest::RunProgram;

const std::string kFolder = TEST_FOLDER;

// The double on the loopback with its extra options, until destroyed.
class Double {
public:
    explicit Double(const std::vector<std::string>& extra) {
        const std::string ready = kFolder + "/ready";
        unlink(ready.c_str());
        std::vector<std::string> args = {WINRM_DOUBLE,      "--cert", kFolder + "/server.pem", "--key",
                                         kFolder + "/server.key", "--accounts", kFolder + "/accounts",
                                         "--ready-file", ready};
        args.insert(args.end(), extra.begin(), extra.end());
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<char*> argv;
            for (std::string& arg : args) argv.push_back(&arg[0]);
            argv.push_back(nullptr);
            execv(WINRM_DOUBLE, argv.data());
            _exit(127);
        }
        for (int i = 0; i < 100 && port_.empty(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::ifstream in(ready);
            std::string http, https;
            if (in >> http >> https) {
                port_ = https.substr(https.find('=') + 1);
                httpPort_ = http.substr(http.find('=') + 1);
            }
        }
    }
    ~Double() {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    const std::string& Port() const { return port_; }
    const std::string& HttpPort() const { return httpPort_; }
    // The double's own account of itself (GET /double/state), read with
    // libcurl rather than the client under test.
    nlohmann::json State() const {
        std::string body;
        CURL* curl = curl_easy_init();
        curl_easy_setopt(curl, CURLOPT_URL, ("https://localhost:" + port_ + "/double/state").c_str());
        curl_easy_setopt(curl, CURLOPT_CAINFO, (kFolder + "/ca.pem").c_str());
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, +[](char* data, size_t, size_t n, void* out) {
            static_cast<std::string*>(out)->append(data, n);
            return n;
        });
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
        const CURLcode result = curl_easy_perform(curl);
        curl_easy_cleanup(curl);
        return result == CURLE_OK ? nlohmann::json::parse(body, nullptr, false) : nlohmann::json();
    }

private:
    pid_t pid_ = -1;
    std::string port_, httpPort_;
};

class AgainstDouble : public testing::Test {
protected:
    static void SetUpTestSuite() {
        mkdir(kFolder.c_str(), 0700);
        ASSERT_EQ(std::system(("sh '" MAKE_CERTS "' '" + kFolder + "'").c_str()), 0);
        std::ofstream(kFolder + "/accounts") << "monitor:Pa55 word\n";
    }
    // wmicheck's command line for the double listening on port.
    static std::vector<std::string> Args(const std::string& port, std::vector<std::string> check) {
        std::vector<std::string> args = {"-H", "localhost", "--port", port, "--https", "--ca-file",
                                         kFolder + "/ca.pem", "--auth", "basic", "--user", "monitor"};
        args.insert(args.end(), check.begin(), check.end());
        return args;
    }
};

TEST_F(AgainstDouble, CommonChecksOnePerPull) {
    Double service({"--one-per-pull"});
    ASSERT_FALSE(service.Port().empty());
    struct Row {
        std::vector<std::string> check;
        const char* password;
        int code;
        const char* starts;
    } table[] = {
        {{"--class", "Win32_LogicalDisk", "--filter", "DriveType=3", "--property", "FreeSpace", "--percent-of",
          "Size", "-w", "20:", "-c", "10:"},
         "Pa55 word", 0, "WMI OK - all 2 Win32_LogicalDisk instances ok: C: FreeSpace/Size="},
        {{"--class", "Win32_Service", "--filter", "StartMode='Auto' AND State<>'Running'", "--exclude",
          "DelayedAutoStart=True", "--exclude", "Name=RemoteRegistry", "--exclude", "Name=sppsvc", "--exclude",
          "Name=CDPUserSvc", "--count", "-c", "0"},
         "Pa55 word", 0, "WMI OK - 0 Win32_Service instances"},
        {{"--class", "Win32_Service", "--count"}, "Pa55 word", 0, "WMI OK - 187 Win32_Service instances: "},
        {{"--class", "Win32_Service", "--filter", "Name='EventLog'", "--property", "State", "--op", "EXA", "--value",
          "Running"},
         "Pa55 word", 0, "WMI OK - 1 Win32_Service instance satisfies State EXA Running: EventLog"},
        {{"--class", "Win32_Nope", "--count"}, "Pa55 word", 3, "WMI UNKNOWN - cannot query Win32_Nope (0x80041010)"},
        {{"--class", "Win32_Service", "--count"}, "wrong", 3,
         "WMI UNKNOWN - cannot connect to https://localhost:"},
    };
    for (const Row& row : table) {
        const auto outcome = RunProgram(Args(service.Port(), row.check), row.password);
        EXPECT_EQ(outcome.code, row.code) << outcome.out;
        EXPECT_EQ(outcome.out.rfind(row.starts, 0), 0u) << outcome.out;
    }
}

TEST_F(AgainstDouble, ATimedOutRunLeavesNoOperationOpen) {
    // One open enumeration per user, and 50 ms a round trip: 187 Pulls
    // cannot end within 1 s.
    Double service({"--one-per-pull", "--quota", "1", "--latency-ms", "50"});
    ASSERT_FALSE(service.Port().empty());
    auto first = RunProgram(Args(service.Port(), {"--class", "Win32_Service", "--count", "-t", "1"}), "Pa55 word");
    EXPECT_EQ(first.code, 3) << first.out;
    EXPECT_EQ(first.out.rfind("WMI UNKNOWN - cannot query Win32_Service (timed out)", 0), 0u) << first.out;
    EXPECT_LT(first.seconds, 1.5);
    const nlohmann::json state = service.State();
    EXPECT_EQ(0, state.value("open", -1)) << state.dump() << ": the timed-out enumeration was not released";
    EXPECT_EQ(1, state.value("released", -1)) << state.dump();
    auto next = RunProgram(Args(service.Port(), {"--class", "Win32_OperatingSystem", "--count"}), "Pa55 word");
    EXPECT_EQ(next.code, 0) << next.out;
}

TEST_F(AgainstDouble, AStalledServiceCostsTheTimeOut) {
    Double service({"--stall"});
    ASSERT_FALSE(service.Port().empty());
    auto run = RunProgram(Args(service.Port(), {"--class", "Win32_Service", "--count", "-t", "1"}), "Pa55 word");
    EXPECT_EQ(run.code, 3) << run.out;
    EXPECT_EQ(run.out.rfind("WMI UNKNOWN - cannot query Win32_Service (timed out)", 0), 0u) << run.out;
    EXPECT_LT(run.seconds, 2.0);
}

// Logons through a real KDC (tests/kdc/start-kdc.sh) against the double's
// GSS-API acceptor: each row the mechanism the double counted and the verdict.
class LogonAgainstDouble : public AgainstDouble {
protected:
    static void SetUpTestSuite() {
        AgainstDouble::SetUpTestSuite();
        kdc_ = kFolder + "/kdc";
        std::FILE* start = popen(("bash '" START_KDC "' '" + kdc_ + "'").c_str(), "r");
        ASSERT_TRUE(start);
        ASSERT_EQ(1, std::fscanf(start, "%d", &kdcPid_));
        pclose(start);
        setenv("KRB5_CONFIG", (kdc_ + "/krb5.conf").c_str(), 1);
        std::ofstream(kdc_ + "/ntlm.users") << "CORP:monitor:M0nitor!\n";
        // The poller's ticket cache, filled by kinit (the password on its
        // standard input).
        Kinit("poller.ccache", "");
        // A ticket that lives one second, expired by the time it is used.
        Kinit("short.ccache", "-l 1s");
        shortIssued_ = std::chrono::steady_clock::now();
    }
    static void Kinit(const std::string& cache, const std::string& options) {
        const std::string command =
            "KRB5CCNAME=FILE:" + kdc_ + "/" + cache + " kinit " + options + " monitor@CORP.EXAMPLE >/dev/null 2>&1";
        std::FILE* kinit = popen(command.c_str(), "w");
        ASSERT_TRUE(kinit);
        std::fputs("M0nitor!\n", kinit);
        ASSERT_EQ(0, pclose(kinit));
    }
    static void TearDownTestSuite() {
        if (kdcPid_ > 0) kill(kdcPid_, SIGTERM);
        unsetenv("KRB5CCNAME");
        unsetenv("KRB5_CONFIG");
    }
    static std::string kdc_;
    static int kdcPid_;
    static std::chrono::steady_clock::time_point shortIssued_;
};
std::string LogonAgainstDouble::kdc_;
std::chrono::steady_clock::time_point LogonAgainstDouble::shortIssued_;
int LogonAgainstDouble::kdcPid_ = -1;

TEST_F(LogonAgainstDouble, EachWayToLogOn) {
    Double service({"--keytab", kdc_ + "/http.keytab", "--ntlm-users", kdc_ + "/ntlm.users", "--no-rights",
                    "norights@CORP.EXAMPLE", "--require-channel-binding"});
    ASSERT_FALSE(service.HttpPort().empty());
    const std::string http = service.HttpPort(), https = service.Port();
    const std::string ca = kFolder + "/ca.pem", keytab = kdc_ + "/svc-poller.keytab";
    struct Row {
        const char* name;
        std::vector<std::string> args;
        const char* password;
        const char* cache;      // the ticket cache in the KDC's folder
        const char* mechanism;  // what the double counted; "" for no logon
        int code;
        const char* text;
        long long requests = 0;  // HTTP requests of the check, each a round trip; 0: not counted
    } table[] = {
        {"cache", {"-H", "localhost", "--port", http}, nullptr, "poller.ccache", "kerberos", 0, "WMI OK", 2},
        {"keytab",
         {"-H", "localhost", "--port", http, "--user", "svc-poller@CORP.EXAMPLE", "--keytab", keytab},
         nullptr,
         "none.ccache",
         "kerberos",
         0,
         "WMI OK", 2},
        {"password",
         {"-H", "localhost", "--port", http, "--user", "CORP\\monitor"},
         "M0nitor!",
         "none.ccache",
         "kerberos",
         0,
         "WMI OK", 2},
        {"https, bound",
         {"-H", "localhost", "--port", https, "--https", "--ca-file", ca},
         nullptr,
         "poller.ccache",
         "kerberos",
         0,
         "WMI OK", 1},
        {"ntlm",
         {"-H", "localhost", "--port", http, "--auth", "ntlm", "--user", "CORP\\monitor"},
         "M0nitor!",
         "none.ccache",
         "ntlm",
         0,
         "WMI OK", 3},
        {"basic",
         {"-H", "localhost", "--port", https, "--https", "--ca-file", ca, "--auth", "basic", "--user", "monitor"},
         "Pa55 word",
         "none.ccache",
         "basic",
         0,
         "WMI OK", 1},
        {"address",
         {"-H", "127.0.0.1", "--port", http, "--user", "CORP\\monitor"},
         "M0nitor!",
         "none.ccache",
         "ntlm",
         0,
         "WMI OK", 3},
        {"no SPN, negotiate",
         {"-H", "svcnone", "--address", "127.0.0.1", "--port", http, "--user", "CORP\\monitor"},
         "M0nitor!",
         "none.ccache",
         "ntlm",
         0,
         "WMI OK", 3},
        {"no SPN, kerberos",
         {"-H", "svcnone", "--address", "127.0.0.1", "--port", http, "--auth", "kerberos"},
         nullptr,
         "poller.ccache",
         "",
         3,
         "knows no service principal HTTP/svcnone"},
        {"wrong password",
         {"-H", "localhost", "--port", http, "--user", "CORP\\monitor"},
         "Wr0ng-pass",
         "none.ccache",
         "",
         3,
         "password of monitor is wrong"},
        {"expired",
         {"-H", "localhost", "--port", http, "--user", "expired"},
         "Exp1red!",
         "none.ccache",
         "",
         3,
         "has expired, or is locked out"},
        {"expired ticket",
         {"-H", "localhost", "--port", http},
         nullptr,
         "short.ccache",
         "",
         3,
         "ticket of the ticket cache's account has expired"},
        {"no ticket", {"-H", "localhost", "--port", http}, nullptr, "none.ccache", "", 3, "no Kerberos ticket"},
        {"no rights",
         {"-H", "localhost", "--port", http, "--user", "norights@CORP.EXAMPLE"},
         "N0rights!",
         "none.ccache",
         "kerberos",
         3,
         "access denied to norights@CORP.EXAMPLE"},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        setenv("KRB5CCNAME", ("FILE:" + kdc_ + "/" + row.cache).c_str(), 1);
        if (std::string(row.cache) == "short.ccache")
            std::this_thread::sleep_until(shortIssued_ + std::chrono::milliseconds(2500));
        const nlohmann::json before = service.State();
        std::vector<std::string> args = row.args;
        args.insert(args.end(), {"--class", "Win32_OperatingSystem", "--count"});
        const auto outcome = RunProgram(args, row.password);
        const nlohmann::json after = service.State();
        EXPECT_EQ(row.code, outcome.code) << outcome.out;
        EXPECT_NE(std::string::npos, outcome.out.find(row.text)) << outcome.out;
        // Kerberos over HTTPS: the ticket rides on the Enumerate, one round
        // trip; sealing needs the context first; NTLM two legs.
        if (row.requests) {
            EXPECT_EQ(row.requests, after.value("requests", 0LL) - before.value("requests", 0LL));
        }
        if (row.password) {
            EXPECT_EQ(std::string::npos, outcome.out.find(row.password));
        }
        for (const char* mechanism : {"kerberos", "ntlm", "basic"}) {
            const bool counted = after["mechanisms"].value(mechanism, 0) > before["mechanisms"].value(mechanism, 0);
            EXPECT_EQ(std::string(mechanism) == row.mechanism, counted) << mechanism << " " << after.dump();
        }
    }
    // Over HTTP nothing went in the clear.
    EXPECT_GT(service.State().value("encrypted", 0), 0);
    EXPECT_EQ(0, service.State()["refusals"].value("unencrypted", 0));
}

}  // namespace

// A port on the loopback that nothing listens on (bound, then closed).
std::string ClosedPort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return std::to_string(ntohs(address.sin_port));
}

// --diagnose: each row the step that fails (or none), its line and the
// closing line's count of steps and skipped ones.
TEST_F(LogonAgainstDouble, DiagnoseEachStep) {
    Double service({"--keytab", kdc_ + "/http.keytab", "--ntlm-users", kdc_ + "/ntlm.users", "--no-rights",
                    "norights@CORP.EXAMPLE"});
    Double stalled({"--stall"});
    ASSERT_FALSE(service.HttpPort().empty());
    ASSERT_FALSE(stalled.HttpPort().empty());
    const std::string http = service.HttpPort(), https = service.Port(), ca = kFolder + "/ca.pem";
    struct Row {
        const char* name;
        std::vector<std::string> args;
        const char* password;
        const char* cache;
        bool hosts;  // names from tests/winrmdouble/hosts (libnss-wrapper)
        int code;
        std::string line;
        const char* closing;
    } table[] = {
        {"kerberos over http", {"-H", "localhost", "--port", http}, nullptr, "poller.ccache", false, 0,
         "[OK] the answer came back encrypted with the Kerberos context", "DIAGNOSE OK - all 6 steps passed"},
        {"basic over https",
         {"-H", "localhost", "--port", https, "--https", "--ca-file", ca, "--auth", "basic", "--user", "monitor"},
         "Pa55 word", "none.ccache", false, 0, "names localhost and verifies with --ca-file",
         "DIAGNOSE OK - all 7 steps passed"},
        {"no such name", {"-H", "nosuch.corp.example", "--port", http}, nullptr, "poller.ccache", true, 2,
         "[CRITICAL] nosuch.corp.example does not resolve", "1 of 1 steps need attention, 5 skipped"},
        {"refused", {"-H", "localhost", "--port", ClosedPort()}, nullptr, "poller.ccache", false, 2,
         "refused the connection to", "1 of 2 steps need attention, 4 skipped"},
        {"no answer", {"-H", "localhost", "--port", stalled.HttpPort(), "-t", "1"}, nullptr, "poller.ccache", false,
         2, "did not answer Identify within 1 s", "1 of 3 steps need attention, 3 skipped"},
        {"unknown authority", {"-H", "localhost", "--port", https, "--https"}, nullptr, "poller.ccache", false, 2,
         "comes from an authority this computer does not trust: give that authority's certificate with --ca-file",
         "1 of 3 steps need attention, 4 skipped"},
        {"address", {"-H", "127.0.0.1", "--port", http, "--user", "CORP\\monitor"}, "M0nitor!", "none.ccache", false,
         0, "with NTLM (127.0.0.1 is an IP address, which Kerberos cannot name)", "DIAGNOSE OK - all 6 steps passed"},
        {"no ticket", {"-H", "localhost", "--port", http}, nullptr, "none.ccache", false, 2,
         "[CRITICAL] the logon with Kerberos failed: cannot connect to http://localhost:" + http +
             "/wsman: no Kerberos ticket",
         "1 of 4 steps need attention, 2 skipped"},
        {"unknown principal", {"-H", "svcfail01", "--port", http}, nullptr, "poller.ccache", true, 2,
         "the KDC knows no service principal HTTP/svcfail01", "1 of 4 steps need attention, 2 skipped"},
        {"wrong password", {"-H", "localhost", "--port", http, "--user", "CORP\\monitor"}, "Wr0ng-pass",
         "none.ccache", false, 2, "the password of monitor is wrong", "1 of 4 steps need attention, 2 skipped"},
        {"no rights", {"-H", "localhost", "--port", http, "--user", "norights@CORP.EXAMPLE"}, "N0rights!",
         "none.ccache", false, 2, "logged on with Kerberos, then refused", "1 of 4 steps need attention, 2 skipped"},
        {"query", {"-H", "localhost", "--port", http, "--namespace", "root\\nope"}, nullptr, "poller.ccache", false,
         2, "[CRITICAL] cannot query Win32_OperatingSystem (0x8004100E)", "DIAGNOSE CRITICAL - 1 of 6 steps"},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        setenv("KRB5CCNAME", ("FILE:" + kdc_ + "/" + row.cache).c_str(), 1);
        if (row.hosts) {
            setenv("LD_PRELOAD", "libnss_wrapper.so", 1);
            setenv("NSS_WRAPPER_HOSTS", HOSTS_FILE, 1);
        }
        std::vector<std::string> args = row.args;
        args.insert(args.begin(), "--diagnose");
        const auto outcome = RunProgram(args, row.password);
        unsetenv("LD_PRELOAD");
        unsetenv("NSS_WRAPPER_HOSTS");
        EXPECT_EQ(row.code, outcome.code) << outcome.out;
        EXPECT_NE(std::string::npos, outcome.out.find(row.line)) << outcome.out;
        const size_t last = outcome.out.rfind("\nDIAGNOSE ");
        ASSERT_NE(std::string::npos, last) << outcome.out;
        EXPECT_NE(std::string::npos, outcome.out.find(row.closing, last)) << outcome.out;
        if (row.password) {
            EXPECT_EQ(std::string::npos, outcome.out.find(row.password));
        }
        EXPECT_LT(outcome.seconds, 5.0);
    }
}

// The WinRM double seen from the wire, through libcurl: its refusals, its
// paging, its quota and its state after Release. Each test starts its own
// double with the switches it needs.
#include <curl/curl.h>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

const char* const kWql = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
const char* const kAllClasses = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*";
const std::string kEnumeration = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/";

// The folder with the certificates and accounts, made once a run in the
// build tree.
const std::string& Folder() {
    static const std::string folder = [] {
        const std::string made = TEST_FOLDER;
        const std::string command = "rm -rf '" + made + "' && " + MAKE_CERTS + " '" + made + "' svcfail01";
        if (std::system(command.c_str()) != 0) return std::string();
        std::ofstream(made + "/accounts") << "# local accounts\nmonitor:s3cret word\n";
        return made;
    }();
    return folder;
}

struct Answer {
    long status = 0;
    std::string body;
    pugi::xml_document xml;

    std::string Subcode() const {
        return xml.select_node("//*[local-name()='Subcode']/*[local-name()='Value']").node().text().get();
    }
    std::string Code() const {
        return xml.select_node("//*[local-name()='WSManFault']").node().attribute("Code").value();
    }
    std::string InnerCode() const {
        return xml.select_node("//*[local-name()='ProviderFault']/*[local-name()='WSManFault']")
            .node()
            .attribute("Code")
            .value();
    }
    std::string Context() const {
        return xml.select_node("//*[local-name()='EnumerationContext']").node().text().get();
    }
    size_t Items(const char* property = "DeviceID") const {
        return xml.select_nodes(("//*[local-name()='" + std::string(property) + "']").c_str()).size();
    }
    bool Ended() const { return xml.select_node("//*[local-name()='EndOfSequence']"); }
};

size_t Collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// A request as a WS-Management client sends it, built with pugixml.
struct Request {
    std::string action = kEnumeration + "Enumerate";
    std::string resourceUri = kAllClasses;
    std::string timeout = "PT20.000S";
    std::string maxEnvelope = "153600";
    std::string dialect = kWql;
    std::string query = "SELECT * FROM Win32_Processor";
    std::string context;     // Pull and Release
    bool optimize = false;
    int maxElements = 10;

    bool identify = false;  // an Identify alone

    std::string Xml() const {
        pugi::xml_document document;
        if (identify) {
            pugi::xml_node envelope = document.append_child("s:Envelope");
            envelope.append_attribute("xmlns:s") = "http://www.w3.org/2003/05/soap-envelope";
            envelope.append_attribute("xmlns:wsmid") = "http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd";
            envelope.append_child("s:Header");
            envelope.append_child("s:Body").append_child("wsmid:Identify");
            std::ostringstream out;
            document.save(out, "", pugi::format_raw);
            return out.str();
        }
        pugi::xml_node envelope = document.append_child("s:Envelope");
        envelope.append_attribute("xmlns:s") = "http://www.w3.org/2003/05/soap-envelope";
        envelope.append_attribute("xmlns:a") = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
        envelope.append_attribute("xmlns:n") = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
        envelope.append_attribute("xmlns:w") = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
        pugi::xml_node header = envelope.append_child("s:Header");
        header.append_child("a:To").text() = "https://localhost/wsman";
        header.append_child("a:ReplyTo").append_child("a:Address").text() =
            "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
        header.append_child("a:Action").text() = action.c_str();
        header.append_child("a:MessageID").text() = "uuid:00000000-0000-4000-8000-000000000001";
        header.append_child("w:ResourceURI").text() = resourceUri.c_str();
        pugi::xml_node size = header.append_child("w:MaxEnvelopeSize");
        size.append_attribute("s:mustUnderstand") = "true";
        size.text() = maxEnvelope.c_str();
        header.append_child("w:OperationTimeout").text() = timeout.c_str();
        header.append_child("w:Locale").append_attribute("xml:lang") = "en-US";
        pugi::xml_node body = envelope.append_child("s:Body");
        if (action == kEnumeration + "Enumerate") {
            pugi::xml_node enumerate = body.append_child("n:Enumerate");
            if (optimize) enumerate.append_child("w:OptimizeEnumeration");
            enumerate.append_child("w:MaxElements").text() = maxElements;
            enumerate.append_child("w:EnumerationMode").text() = "EnumerateObjectAndEPR";
            pugi::xml_node filter = enumerate.append_child("w:Filter");
            filter.append_attribute("Dialect") = dialect.c_str();
            filter.text() = query.c_str();
        } else {
            pugi::xml_node operation = body.append_child(action == kEnumeration + "Pull" ? "n:Pull" : "n:Release");
            operation.append_child("n:EnumerationContext").text() = context.c_str();
            if (action == kEnumeration + "Pull") operation.append_child("n:MaxElements").text() = maxElements;
        }
        std::ostringstream out;
        document.save(out, "", pugi::format_raw);
        return out.str();
    }
};

class Double {
public:
    explicit Double(std::vector<std::string> switches) {
        ready_ = Folder() + "/ready-" + std::to_string(++count_);
        std::vector<std::string> args = {WINRM_DOUBLE, "--cert", Folder() + "/server.pem", "--key",
                                         Folder() + "/server.key", "--accounts", Folder() + "/accounts",
                                         "--ready-file", ready_};
        args.insert(args.end(), switches.begin(), switches.end());
        std::vector<char*> argv;
        for (std::string& arg : args) argv.push_back(&arg[0]);
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, WINRM_DOUBLE, nullptr, nullptr, argv.data(), environ) != 0) pid_ = 0;
        for (int i = 0; i < 100 && pid_; ++i) {
            std::ifstream in(ready_);
            if (in >> http_ >> https_) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ~Double() {
        if (!pid_) return;
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
    }
    bool Ready() const { return http_.size() > 5 && https_.size() > 6; }

    long clientTimeoutMs = 20000;  // when the client gives up

    // POSTs the request to /wsman as user (empty: no Authorization).
    Answer Post(const Request& request, const std::string& user = "monitor", const std::string& password = "s3cret word",
                bool https = true, const std::string& host = "localhost") const {
        const std::string url = (https ? "https://" + host + ":" + https_.substr(6) : "http://" + host + ":" +
                                 http_.substr(5)) + "/wsman";
        return Send(url, request.Xml(), user, password, host);
    }

    nlohmann::json State() const {
        Answer answer = Send("http://localhost:" + http_.substr(5) + "/double/state", "", "", "", "localhost");
        return nlohmann::json::parse(answer.body, nullptr, false);
    }

private:
    Answer Send(const std::string& url, const std::string& body, const std::string& user,
                const std::string& password, const std::string& host) const {
        Answer answer;
        CURL* curl = curl_easy_init();
        const std::string resolve = host + ":" + https_.substr(6) + ":127.0.0.1";
        curl_slist* resolves = curl_slist_append(nullptr, resolve.c_str());
        curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/soap+xml;charset=UTF-8");
        if (user.empty()) headers = curl_slist_append(headers, "WSMANIDENTIFY: unauthenticated");
        curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
        curl_easy_setopt(curl, CURLOPT_RESOLVE, resolves);
        curl_easy_setopt(curl, CURLOPT_CAINFO, (Folder() + "/ca.pem").c_str());
        if (!body.empty()) {
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.c_str());
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
        }
        if (!user.empty()) {
            curl_easy_setopt(curl, CURLOPT_HTTPAUTH, CURLAUTH_BASIC);
            curl_easy_setopt(curl, CURLOPT_USERNAME, user.c_str());
            curl_easy_setopt(curl, CURLOPT_PASSWORD, password.c_str());
        }
        curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, clientTimeoutMs);
        curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, Collect);
        curl_easy_setopt(curl, CURLOPT_WRITEDATA, &answer.body);
        if (curl_easy_perform(curl) == CURLE_OK) curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &answer.status);
        curl_easy_cleanup(curl);
        curl_slist_free_all(headers);
        curl_slist_free_all(resolves);
        answer.xml.load_string(answer.body.c_str());
        return answer;
    }

    static inline int count_ = 0;
    pid_t pid_ = 0;
    std::string ready_, http_, https_;
};

// Each row changes one thing in an otherwise good Enumerate.
struct RefusalRow {
    const char* name;
    const char* user;
    const char* password;
    bool https;
    void (*change)(Request*);
    long status;
    const char* subcode;  // empty: no fault expected
    const char* code;
    const char* innerCode;
};

TEST(WinrmDouble, RefusesWhatWindowsRefuses) {
    ASSERT_FALSE(Folder().empty());
    Double service({});
    ASSERT_TRUE(service.Ready());
    const auto none = [](Request*) {};
    const char* const good = "s3cret word";
    const RefusalRow rows[] = {
        {"Basic over HTTP", "monitor", good, false, none, 401, "", "", ""},
        {"Basic for DOMAIN\\user", "CORP\\monitor", good, true, none, 401, "", "", ""},
        {"Basic for user@domain", "monitor@corp.example", good, true, none, 401, "", "", ""},
        {"a wrong password", "monitor", "s3cret", true, none, 401, "", "", ""},
        {"an unknown dialect", "monitor", good, true,
         [](Request* r) { r->dialect = "http://www.w3.org/TR/1999/REC-xpath-19991116"; }, 500,
         "n:FilterDialectRequestedUnavailable", "2150858777", ""},
        {"MaxEnvelopeSize below 8192", "monitor", good, true, [](Request* r) { r->maxEnvelope = "4096"; }, 500,
         "w:EncodingLimit", "2150858862", ""},
        {"an envelope above its MaxEnvelopeSize", "monitor", good, true,
         [](Request* r) {
             r->maxEnvelope = "8192";
             r->query += " WHERE Name <> '" + std::string(9000, 'x') + "'";
         },
         500, "w:EncodingLimit", "2150858824", ""},
        {"an unknown class", "monitor", good, true, [](Request* r) { r->query = "SELECT * FROM Win32_NoSuchClass"; },
         500, "n:CannotProcessFilter", "2150858778", "2147749904"},
        {"a WHERE naming no property", "monitor", good, true,
         [](Request* r) { r->query = "SELECT * FROM Win32_Processor WHERE NoSuch = 1"; }, 500,
         "n:CannotProcessFilter", "2150858778", "2147749911"},
        {"a namespace WMI lacks", "monitor", good, true,
         [](Request* r) { r->resourceUri = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/nothing/*"; }, 500,
         "n:CannotProcessFilter", "2150858778", "2147749902"},
    };
    for (const RefusalRow& row : rows) {
        SCOPED_TRACE(row.name);
        Request request;
        row.change(&request);
        const Answer answer = service.Post(request, row.user, row.password, row.https);
        EXPECT_EQ(row.status, answer.status) << answer.body;
        EXPECT_EQ(row.subcode, answer.Subcode());
        EXPECT_EQ(row.code, answer.Code());
        EXPECT_EQ(row.innerCode, answer.InnerCode());
    }
    EXPECT_EQ(4, service.State()["refusedLogons"]);
    // Above MaxTimeoutms the service uses MaxTimeoutms (60 s) and answers.
    Request longer;
    longer.timeout = "PT120.000S";
    EXPECT_EQ(200, service.Post(longer).status);
    EXPECT_EQ(60000, service.State()["lastOperationTimeoutMs"]);
}

// A copy of the data with one process whose path is longer than the
// smallest envelope: it fits no answer, the other items do.
TEST(WinrmDouble, AnItemThatCannotFitTheEnvelope) {
    const std::string data = Folder() + "/data";
    ASSERT_EQ(0, std::system(("cp -r '" + std::string(DATA_DIR) + "' '" + data + "'").c_str()));
    std::ofstream(data + "/processes-default.tsv", std::ios::app)
        << "9999\tlong.exe\t9999\t4\t0\t1\t4096\tnow-5\tC:\\" << std::string(9000, 'x') << "\n";
    Double service({"--data", data});
    ASSERT_TRUE(service.Ready());
    Request request;
    request.optimize = true;
    request.maxEnvelope = "8192";
    request.query = "SELECT * FROM Win32_Process WHERE ProcessId = 9999";
    const Answer answer = service.Post(request);
    EXPECT_EQ(500, answer.status);
    EXPECT_EQ("w:EncodingLimit", answer.Subcode());
    EXPECT_EQ("2150858823", answer.Code());
    EXPECT_EQ(0, service.State()["open"]) << "the refused enumeration is not left open";
    // The others fill the envelope with as many items as fit, then Pull.
    request.query = "SELECT * FROM Win32_Process WHERE ProcessId < 9999";
    const Answer first = service.Post(request);
    EXPECT_EQ(200, first.status);
    EXPECT_LE(first.body.size(), 8192u);
    EXPECT_GT(first.Items("ProcessId"), 1u);
    EXPECT_LT(first.Items("ProcessId"), 10u);
}

TEST(WinrmDouble, OneItemPerPullUntilTheEnd) {
    Double service({"--one-per-pull"});
    ASSERT_TRUE(service.Ready());
    Request request;
    request.optimize = true;
    Answer answer = service.Post(request);
    ASSERT_EQ(200, answer.status) << answer.body;
    EXPECT_EQ(1u, answer.Items());
    EXPECT_FALSE(answer.Ended());
    EXPECT_EQ(1, service.State()["open"]);
    Request pull;
    pull.action = kEnumeration + "Pull";
    pull.context = answer.Context();
    answer = service.Post(pull);
    ASSERT_EQ(200, answer.status) << answer.body;
    EXPECT_EQ(1u, answer.Items());
    EXPECT_TRUE(answer.Ended());
    EXPECT_EQ("", answer.Context()) << "no context at the end";
    EXPECT_EQ(0, service.State()["open"]) << "read to its end, it is closed";
    // The used context is gone.
    EXPECT_EQ("n:InvalidEnumerationContext", service.Post(pull).Subcode());
}

TEST(WinrmDouble, QuotaOfOpenEnumerationsAndRelease) {
    Double service({"--quota", "2"});
    ASSERT_TRUE(service.Ready());
    Request request;  // not optimized: each stays open until pulled or released
    std::vector<std::string> contexts;
    // Account names compare without case: both count for the same user.
    for (const char* user : {"monitor", "MONITOR"}) contexts.push_back(service.Post(request, user).Context());
    const Answer refused = service.Post(request);
    EXPECT_EQ(500, refused.status);
    EXPECT_EQ("w:QuotaLimit", refused.Subcode());
    EXPECT_EQ("2150859174", refused.Code());
    Request release;
    release.action = kEnumeration + "Release";
    for (const std::string& context : contexts) {
        release.context = context;
        EXPECT_EQ(200, service.Post(release).status);
    }
    const nlohmann::json state = service.State();
    EXPECT_EQ(0, state["open"]);
    EXPECT_EQ(2, state["released"]);
    EXPECT_EQ(2, state["enumerations"]);
    EXPECT_EQ(200, service.Post(request).status) << "released, the quota is free again";
}

TEST(WinrmDouble, ComputerFromHostAndWindowsForms) {
    Double service({});
    ASSERT_TRUE(service.Ready());
    Request request;
    request.optimize = true;
    request.query = "SELECT * FROM Win32_Service WHERE Name = 'Spooler'";
    EXPECT_NE(std::string::npos, service.Post(request).body.find("<p:State>Running</p:State>"));
    const Answer overlay = service.Post(request, "monitor", "s3cret word", true, "svcfail01");
    EXPECT_NE(std::string::npos, overlay.body.find("<p:State>Stopped</p:State>")) << overlay.body;
    // Types as Windows writes them: booleans, nulls, datetimes, a key selector.
    EXPECT_NE(std::string::npos, overlay.body.find("<p:Started>false</p:Started>"));
    EXPECT_NE(std::string::npos, overlay.body.find("<w:Selector Name=\"Name\">Spooler</w:Selector>"));
    request.query = "SELECT * FROM Win32_LogicalDisk WHERE DeviceID = 'E:'";
    const Answer disk = service.Post(request);
    EXPECT_NE(std::string::npos, disk.body.find("<p:Size xsi:nil=\"true\"")) << disk.body;
    request.query = "SELECT * FROM Win32_OperatingSystem";
    const Answer system = service.Post(request);
    EXPECT_NE(std::string::npos, system.body.find("<p:LastBootUpTime><cim:Datetime>20")) << system.body;
    EXPECT_EQ(std::string::npos, system.body.find("SelectorSet")) << "a singleton has no key";
}

TEST(WinrmDouble, IdentifyWithAndWithoutLogon) {
    Double service({});
    ASSERT_TRUE(service.Ready());
    Request identify;
    identify.identify = true;
    const struct {
        const char* user;
        bool https;
        long status;
        const char* version;
    } rows[] = {
        {"", false, 200, "OS: 0.0.0 SP: 0.0 Stack: 3.0"},  // WSMANIDENTIFY: unauthenticated: no OS
        {"monitor", true, 200, "OS: 10.0.17763 SP: 0.0 Stack: 3.0"},
        {"monitor", false, 401, ""},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.user);
        const Answer answer = service.Post(identify, row.user, "s3cret word", row.https);
        EXPECT_EQ(row.status, answer.status);
        EXPECT_EQ(row.version,
                  std::string(answer.xml.select_node("//*[local-name()='ProductVersion']").node().text().get()));
        if (row.status == 200) {
            EXPECT_STREQ("Microsoft Corporation",
                         answer.xml.select_node("//*[local-name()='ProductVendor']").node().text().get());
        }
    }
}

struct SlowRow {
    const char* name;
    std::vector<std::string> switches;
    const char* operationTimeout;
    long clientTimeoutMs;
    long status;  // 0: no answer
    const char* code;
    long minMs, maxMs;
};

TEST(WinrmDouble, SlowAndStalled) {
    const SlowRow rows[] = {
        {"a latency within the time-out", {"--latency-ms", "300"}, "PT20.000S", 20000, 200, "", 300, 5000},
        {"a latency past the time-out", {"--latency-ms", "5000"}, "PT0.500S", 20000, 500, "2150858793", 500, 3000},
        {"a stall", {"--stall"}, "PT20.000S", 1000, 0, "", 1000, 5000},
    };
    for (const SlowRow& row : rows) {
        SCOPED_TRACE(row.name);
        const auto start = std::chrono::steady_clock::now();
        long elapsedMs = 0;
        {
            Double service(row.switches);
            ASSERT_TRUE(service.Ready());
            service.clientTimeoutMs = row.clientTimeoutMs;
            Request request;
            request.timeout = row.operationTimeout;
            const Answer answer = service.Post(request);
            elapsedMs = static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                              std::chrono::steady_clock::now() - start).count());
            EXPECT_EQ(row.status, answer.status);
            EXPECT_EQ(row.code, answer.Code());
        }  // a stalled double still stops at once
        EXPECT_GE(elapsedMs, row.minMs);
        EXPECT_LE(elapsedMs, row.maxMs);
    }
}

}  // namespace

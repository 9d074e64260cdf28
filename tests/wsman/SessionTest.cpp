// The enumeration's requests against a scripted service: every page
// counted, an enumeration that ends early released within the deadline,
// and the Linux source's answers over it.
#include <curl/curl.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>

#include "WsmanSource.h"

namespace {

using std::chrono::milliseconds;
using wsman::Clock;

const char kHead[] =
    "<s:Envelope xmlns:s=\"http://www.w3.org/2003/05/soap-envelope\" "
    "xmlns:a=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
    "xmlns:n=\"http://schemas.xmlsoap.org/ws/2004/09/enumeration\" "
    "xmlns:w=\"http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd\"><s:Header/><s:Body>";

std::string Item(const std::string& name, const std::string& pid) {
    return "<w:Item><p:Win32_Service xmlns:p=\"http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/"
           "Win32_Service\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" xsi:type=\"p:Win32_Service_Type\">"
           "<p:Name>" + name + "</p:Name><p:ProcessId>" + pid + "</p:ProcessId><p:PathName xsi:nil=\"true\"/>"
           "<p:Blank> </p:Blank>"
           "</p:Win32_Service><a:EndpointReference><a:Address>"
           "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous</a:Address><a:ReferenceParameters>"
           "<w:ResourceURI>http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_Service</w:ResourceURI>"
           "<w:SelectorSet><w:Selector Name=\"Name\">" + name + "</w:Selector></w:SelectorSet>"
           "</a:ReferenceParameters></a:EndpointReference></w:Item>";
}

// Windows' answers: an optimized Enumerate's in w:, a Pull's in n:.
std::string Enumerated(const std::string& items, bool end, const std::string& context = "uuid:A") {
    return kHead + std::string("<n:EnumerateResponse>") +
           (end ? "" : "<n:EnumerationContext>" + context + "</n:EnumerationContext>") + "<w:Items>" + items + "</w:Items>" +
           (end ? "<w:EndOfSequence/>" : "") + "</n:EnumerateResponse></s:Body></s:Envelope>";
}

// Each answer may name a new context; the next request carries the last one.
std::string Pulled(const std::string& items, bool end, const std::string& context = "uuid:B") {
    return kHead + std::string("<n:PullResponse>") +
           (end ? "" : "<n:EnumerationContext>" + context + "</n:EnumerationContext>") + "<n:Items>" + items + "</n:Items>" +
           (end ? "<n:EndOfSequence/>" : "") + "</n:PullResponse></s:Body></s:Envelope>";
}

std::string TimedOutFault() {
    return kHead + std::string("<s:Fault><s:Code><s:Value>s:Receiver</s:Value><s:Subcode><s:Value>w:TimedOut"
                               "</s:Value></s:Subcode></s:Code><s:Reason><s:Text xml:lang=\"en-US\">The operation "
                               "timed out.</s:Text></s:Reason></s:Fault></s:Body></s:Envelope>");
}

// Answers each request with the next scripted step; records what it got.
class Scripted final : public wsman::Transport {
public:
    struct Request {
        std::string action, body;
        milliseconds bound;
    };
    std::deque<std::function<wsman::Reply()>> steps;
    std::vector<Request>* requests;

    explicit Scripted(std::vector<Request>* log) : requests(log) {}
    wsman::Reply Post(const std::string& envelope, milliseconds bound) override {
        pugi::xml_document document;
        document.load_string(envelope.c_str());
        const std::string action = document.document_element().first_element_by_path("s:Header/a:Action").child_value();
        requests->push_back({action.substr(action.rfind('/') + 1), envelope, bound});
        if (steps.empty()) return {200, Pulled("", true), ""};
        auto step = steps.front();
        steps.pop_front();
        return step();
    }
};

std::function<wsman::Reply()> Answer(long status, std::string body) {
    return [=] { return wsman::Reply{status, body, ""}; };
}

std::function<wsman::Reply()> CurlTimesOut() {
    return []() -> wsman::Reply {
        wsman::Error error;
        error.kind = wsman::Error::Kind::Transport;
        error.curlCode = CURLE_OPERATION_TIMEDOUT;
        error.connected = true;
        throw error;
    };
}

struct Scripts {
    std::vector<Scripted::Request> requests;
    std::unique_ptr<wmicheck::WsmanSource> source;
};

// A source over the script, with a time-out of timeoutMs from now.
void Prepare(Scripts* run, std::deque<std::function<wsman::Reply()>> steps, long timeoutMs = 10000) {
    auto transport = std::make_unique<Scripted>(&run->requests);
    transport->steps = std::move(steps);
    wmicheck::SourceSettings settings;
    settings.connection.endpoint = {true, "srv01", 5986};
    settings.classPath = "Win32_Service";
    settings.timeout = milliseconds(timeoutMs);
    settings.deadline = Clock::now() + settings.timeout;
    run->source = std::make_unique<wmicheck::WsmanSource>(std::move(settings), std::move(transport));
}

std::vector<std::string> Actions(const Scripts& run) {
    std::vector<std::string> actions;
    for (const auto& request : run.requests) actions.push_back(request.action);
    return actions;
}

TEST(Session, OneItemPerPullCountsThemAll) {
    Scripts run;
    Prepare(&run, {Answer(200, Enumerated(Item("A", "10"), false)), Answer(200, Pulled(Item("B", "20"), false)),
                   Answer(200, Pulled(Item("C", "30"), true))});
    ASSERT_EQ(run.source->Query(), 3u);
    EXPECT_EQ(Actions(run), (std::vector<std::string>{"Enumerate", "Pull", "Pull"}));
    EXPECT_NE(run.requests[1].body.find("<n:EnumerationContext>uuid:A</n:EnumerationContext>"), std::string::npos);
    EXPECT_NE(run.requests[2].body.find("<n:EnumerationContext>uuid:B</n:EnumerationContext>"), std::string::npos);

    check::Value value;
    ASSERT_TRUE(run.source->Field(2, "ProcessId", &value));
    EXPECT_EQ(value.kind, check::Value::Kind::Number);
    EXPECT_EQ(value.number, 30);
    EXPECT_FALSE(run.source->Field(0, "processid", &value));
    ASSERT_TRUE(run.source->Field(0, "Blank", &value));
    EXPECT_EQ(value.text, " ");
    EXPECT_EQ(run.source->PathLabel(1), "B");
    EXPECT_EQ(run.source->KeyNames(), std::vector<std::string>{"Name"});
    std::vector<check::PropertyInfo> properties;
    ASSERT_TRUE(run.source->ClassProperties(&properties));
    ASSERT_EQ(properties.size(), 4u);
    EXPECT_TRUE(properties[1].numeric);   // ProcessId
    EXPECT_FALSE(properties[2].numeric);  // PathName, null in every instance
}

TEST(Session, NothingFoundLeavesTheClassOpen) {
    Scripts run;
    Prepare(&run, {Answer(200, Enumerated("", true))});
    EXPECT_EQ(run.source->Query(), 0u);
    std::vector<check::PropertyInfo> properties;
    EXPECT_FALSE(run.source->ClassProperties(&properties));
    EXPECT_TRUE(run.source->KeyNames().empty());
}

TEST(Session, AnEnumerationEndingEarlyIsReleasedInTime) {
    struct Row {
        const char* name;
        std::function<wsman::Reply()> failure;
        const char* text;
    } table[] = {
        {"fault", Answer(500, TimedOutFault()), "cannot query Win32_Service (w:TimedOut): WMI on srv01"},
        {"transfer", CurlTimesOut(), "cannot query Win32_Service (timed out): WMI on srv01"},
        {"garbage", Answer(200, "<html/>"), "cannot query Win32_Service: the answer of srv01 is not"},
    };
    for (const Row& row : table) {
        Scripts run;
        Prepare(&run, {Answer(200, Enumerated(Item("A", "1"), false)), Answer(200, Pulled(Item("B", "2"), false)),
                       row.failure},
                1000);
        try {
            run.source->Query();
            ADD_FAILURE() << row.name << ": no failure";
        } catch (const check::Failure& failure) {
            EXPECT_EQ(failure.text.rfind(row.text, 0), 0u) << row.name << ": " << failure.text;
        }
        ASSERT_EQ(Actions(run), (std::vector<std::string>{"Enumerate", "Pull", "Pull", "Release"})) << row.name;
        EXPECT_NE(run.requests[3].body.find("uuid:B"), std::string::npos) << row.name;  // the last context
        // The Pull's transfer leaves half the reserve (300 ms of a 1 s
        // time-out) for the Release.
        EXPECT_LE(run.requests[2].bound.count(), 850) << row.name;
        EXPECT_GT(run.requests[3].bound.count(), 0) << row.name;
        EXPECT_LE(run.requests[3].bound.count(), 1000) << row.name;
    }
}

TEST(Session, OperationTimeoutIsWhatIsLeftAndAtMostAMinute) {
    for (long timeoutMs : {5000L, 300000L}) {
        Scripts run;
        Prepare(&run, {Answer(200, Enumerated("", true))}, timeoutMs);
        run.source->Query();
        pugi::xml_document document;
        document.load_string(run.requests[0].body.c_str());
        const std::string duration =
            document.document_element().first_element_by_path("s:Header/w:OperationTimeout").child_value();
        double seconds = std::stod(duration.substr(2));
        EXPECT_LE(seconds, 60) << duration;
        EXPECT_LE(seconds, (timeoutMs - wsman::ReleaseReserve(milliseconds(timeoutMs)).count()) / 1000.0)
            << duration;
        EXPECT_GT(seconds, timeoutMs >= 60000 ? 59.0 : 3.5) << duration;
    }
}

TEST(Session, BasicIsNeverSentOverHttp) {
    wsman::Settings settings;
    settings.endpoint = {false, "192.0.2.1", 5985};
    settings.user = "monitor";
    settings.password = "secret";
    wsman::CurlTransport transport(settings);
    const auto start = Clock::now();
    try {
        transport.Post("<x/>", milliseconds(5000));
        ADD_FAILURE() << "sent";
    } catch (const wsman::Error& error) {
        EXPECT_EQ(error.kind, wsman::Error::Kind::Refused);
    }
    EXPECT_LT(Clock::now() - start, milliseconds(100));  // refused before connecting
}

}  // namespace

// WinRM's XML forms of a WMI instance, as Windows renders them, read as the
// check's values.
#include <gtest/gtest.h>

#include "Render.h"

namespace {

using Kind = check::Value::Kind;

const char kInstance[] =
    R"(<p:Win32_Demo xmlns:p="http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_Demo" )"
    R"(xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" xmlns:cim="http://schemas.dmtf.org/wbem/wscim/1/common" )"
    R"(xsi:type="p:Win32_Demo_Type">)"
    R"(<p:Caption xsi:nil="true"/>)"
    R"(<p:Started>true</p:Started><p:Paused>false</p:Paused><p:Upper>True</p:Upper>)"
    R"(<p:ProcessId>4242</p:ProcessId><p:Negative>-17</p:Negative><p:Plus>+3</p:Plus>)"
    R"(<p:Load>2.50</p:Load><p:Half>.5</p:Half><p:Exponent>1E+20</p:Exponent>)"
    R"(<p:FreeSpace>18446744073709551615</p:FreeSpace><p:Serial>0042</p:Serial>)"
    R"(<p:Padded> 5</p:Padded><p:Empty></p:Empty><p:Name>Bits &amp; &lt;more&gt; 日本</p:Name>)"
    R"(<p:Boot><cim:Datetime>2026-12-09T11:50:25.123456+01:00</cim:Datetime></p:Boot>)"
    R"(<p:West><cim:Datetime>2026-01-02T03:04:05-05:30</cim:Datetime></p:West>)"
    R"(<p:Utc><cim:Datetime>2026-01-02T03:04:05.1234567Z</cim:Datetime></p:Utc>)"
    R"(<p:Up><cim:Interval>P1DT2H3M4.000005S</cim:Interval></p:Up>)"
    R"(<p:Long><cim:Interval>PT36H</cim:Interval></p:Long>)"
    R"(<p:Months><cim:Interval>P1M</cim:Interval></p:Months>)"
    R"(<p:Dmtf><cim:CIMDateTime>20261209115025.000000+060</cim:CIMDateTime></p:Dmtf>)"
    R"(<p:Codes>1</p:Codes><p:Codes>2</p:Codes><p:Codes xsi:nil="true"/>)"
    R"(<p:Embedded><p:Inner>x</p:Inner></p:Embedded>)"
    R"(</p:Win32_Demo>)";

struct Rendering {
    const char* name;
    Kind kind;
    const char* text;
    bool hasNumber;
    double number;
};

TEST(Render, EachFormAsTheCheckReadsIt) {
    pugi::xml_document document;
    ASSERT_TRUE(document.load_string(kInstance));
    const pugi::xml_node instance = document.first_child();
    const Rendering table[] = {
        {"Caption", Kind::Null, "", false, 0},
        {"Started", Kind::Boolean, "True", true, -1},
        {"Paused", Kind::Boolean, "False", true, 0},
        {"Upper", Kind::Text, "True", false, 0},  // xs:boolean is lower case only
        {"ProcessId", Kind::Number, "4242", true, 4242},
        {"Negative", Kind::Number, "-17", true, -17},
        {"Plus", Kind::Number, "+3", true, 3},
        {"Load", Kind::Number, "2.50", true, 2.5},
        {"Half", Kind::Number, ".5", true, 0.5},
        {"Exponent", Kind::Text, "1E+20", false, 0},
        {"FreeSpace", Kind::Number, "18446744073709551615", true, 18446744073709551615.0},
        {"Serial", Kind::Number, "0042", true, 42},
        {"Padded", Kind::Text, " 5", false, 0},
        {"Empty", Kind::Text, "", false, 0},
        {"Name", Kind::Text, "Bits & <more> 日本", false, 0},
        {"Boot", Kind::DateTime, "20261209115025.123456+060", false, 0},
        {"West", Kind::DateTime, "20260102030405.000000-330", false, 0},
        {"Utc", Kind::DateTime, "20260102030405.123456+000", false, 0},
        {"Up", Kind::Interval, "00000001020304.000005:000", false, 0},
        {"Long", Kind::Interval, "00000001120000.000000:000", false, 0},
        {"Months", Kind::Text, "P1M", false, 0},
        {"Dmtf", Kind::DateTime, "20261209115025.000000+060", false, 0},
    };
    for (const Rendering& row : table) {
        check::Value value;
        ASSERT_TRUE(wmicheck::RenderField(instance, row.name, &value)) << row.name;
        EXPECT_EQ(value.kind, row.kind) << row.name;
        EXPECT_EQ(value.text, row.text) << row.name;
        EXPECT_TRUE(value.hasText) << row.name;
        EXPECT_EQ(value.hasNumber, row.hasNumber) << row.name;
        if (row.hasNumber) {
            EXPECT_DOUBLE_EQ(value.number, row.number) << row.name;
        }
    }

    check::Value value;
    ASSERT_TRUE(wmicheck::RenderField(instance, "Codes", &value));
    EXPECT_EQ(value.kind, Kind::Array);
    EXPECT_FALSE(value.hasText);
    ASSERT_EQ(value.items.size(), 3u);
    EXPECT_EQ(value.items[1].text, "2");
    EXPECT_EQ(value.items[2].kind, Kind::Null);

    ASSERT_TRUE(wmicheck::RenderField(instance, "Embedded", &value));
    EXPECT_EQ(value.kind, Kind::Object);
    EXPECT_FALSE(value.hasText);

    // Names are exact: case counts, and a missing one is no value.
    EXPECT_FALSE(wmicheck::RenderField(instance, "processid", &value));
    EXPECT_FALSE(wmicheck::RenderField(instance, "Inner", &value));
    EXPECT_EQ(wmicheck::PropertyNames(instance).size(), 24u);  // Codes once
}

TEST(Render, DateTimesAndIntervalsThatAreNone) {
    const char* notDateTimes[] = {"2026-12-09", "2026-13-09T00:00:00", "2026-12-09T11:50:25+1:00", "yesterday",
                                  "2026-12-09T11:50:25.5+01:00 "};
    std::string out;
    for (const char* text : notDateTimes) EXPECT_FALSE(wmicheck::DmtfDateTime(text, &out)) << text;
    const char* notIntervals[] = {"P", "PT", "P1Y", "1D", "P1.5D", "PT1.5M", "-P1D", "P1DT"};
    for (const char* text : notIntervals) EXPECT_FALSE(wmicheck::DmtfInterval(text, &out)) << text;
}

TEST(Render, LabelsFromTheReference) {
    struct Row {
        std::vector<std::pair<std::string, std::string>> selectors;
        bool hasReference;
        const char* label;
    } table[] = {
        {{{"Name", "BITS"}}, true, "BITS"},
        {{{"Handle", "x"}, {"Number", "5"}}, true, "x,5"},
        {{{"__cimnamespace", "root/cimv2"}, {"Name", "BITS"}}, true, "BITS"},  // WinRM's own selector is no key
        {{{"__cimnamespace", "root/cimv2"}}, true, "Win32_WMISetting"},
        {{{"DeviceID", ""}}, true, ""},
        {{}, true, "Win32_WMISetting"},  // a singleton names its class, as its path "=@" does
        {{}, false, ""},
    };
    for (const Row& row : table) {
        wsman::Item item;
        item.hasReference = row.hasReference;
        item.resourceUri = "http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/Win32_WMISetting";
        item.selectors = row.selectors;
        EXPECT_EQ(wmicheck::PathLabel(item), row.label);
    }
}

}  // namespace

// The SOAP messages of the WS-Management operations a check makes (Identify,
// Enumerate with a WQL filter, Pull, Release) and the parts of the answers
// it reads: pages of items with their endpoint references, faults, the
// identity. Built and read with pugixml; elements are matched by their
// namespace, whatever prefix the other side gives them.
#pragma once

#include <pugixml.hpp>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace wsman {

namespace ns {
constexpr char kSoap[] = "http://www.w3.org/2003/05/soap-envelope";
constexpr char kAddressing[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing";
constexpr char kEnumeration[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration";
constexpr char kWsman[] = "http://schemas.dmtf.org/wbem/wsman/1/wsman.xsd";
constexpr char kMicrosoft[] = "http://schemas.microsoft.com/wbem/wsman/1/wsman.xsd";
constexpr char kIdentity[] = "http://schemas.dmtf.org/wbem/wsman/identity/1/wsmanidentity.xsd";
constexpr char kFault[] = "http://schemas.microsoft.com/wbem/wsman/1/wsmanfault";
constexpr char kCim[] = "http://schemas.dmtf.org/wbem/wscim/1/common";
constexpr char kInstance[] = "http://www.w3.org/2001/XMLSchema-instance";
constexpr char kWql[] = "http://schemas.microsoft.com/wbem/wsman/1/WQL";
constexpr char kAnonymous[] = "http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous";
}  // namespace ns

// The resource URI of a WMI namespace's classes, for a WQL enumeration:
// root\cimv2 -> http://schemas.microsoft.com/wbem/wsman/1/wmi/root/cimv2/*
std::string WmiResourceUri(const std::string& nameSpace);

// An xs:duration of whole milliseconds, as the service reads
// OperationTimeout: "PT20.000S".
std::string Duration(std::chrono::milliseconds time);

// A fresh "uuid:..." message identifier (random, version 4).
std::string NewMessageId();

// The headers every request but Identify carries.
struct Header {
    std::string to;           // the endpoint's URL
    std::string resourceUri;
    std::chrono::milliseconds operationTimeout{60000};
    unsigned maxEnvelopeSize = 153600;
    std::string locale = "en-US";
    std::string messageId;    // NewMessageId() when empty
};

std::string IdentifyEnvelope();
std::string EnumerateEnvelope(const Header& header, const std::string& wql, unsigned maxElements);
std::string PullEnvelope(const Header& header, const std::string& context, unsigned maxElements);
std::string ReleaseEnvelope(const Header& header, const std::string& context);

// A SOAP fault as WinRM sends it.
struct Fault {
    std::string code;     // s:Code/s:Value, "s:Sender"
    std::string subcode;  // s:Subcode/s:Value with its namespace's usual prefix: "w:QuotaLimit"
    std::string reason;   // s:Reason/s:Text
    bool hasWsmanCode = false;
    std::uint32_t wsmanCode = 0;  // f:WSManFault's Code
    std::string machine;
    std::string message;  // f:Message's own text, without the provider's part
    bool hasProviderCode = false;
    std::uint32_t providerCode = 0;  // the provider's (WMI's) HRESULT inside f:ProviderFault
    std::string providerMessage;
    // The most telling text: the provider's message, else the fault's, else its reason.
    std::string Text() const;
};

// Reads a SOAP fault; false when the document holds none.
bool ParseFault(const std::string& body, Fault* fault);

// One item of an enumeration: the instance element and its reference.
struct Item {
    pugi::xml_node instance;
    bool hasReference = false;
    std::string resourceUri;  // of the instance's class
    std::vector<std::pair<std::string, std::string>> selectors;  // name, value, in the order sent
};

// An EnumerateResponse or PullResponse. Items point into document.
struct Page {
    std::unique_ptr<pugi::xml_document> document;
    std::string context;  // "" when the answer carries none
    bool endOfSequence = false;
    std::vector<Item> items;
};

// Reads an answer to Enumerate or Pull; false with *error when it is neither.
bool ParsePage(const std::string& body, Page* page, std::string* error);

struct Identity {
    std::string protocolVersion, productVendor, productVersion;
};
bool ParseIdentity(const std::string& body, Identity* identity);

// The namespace URI of an element's name (the xmlns in scope for its prefix).
std::string NamespaceOf(pugi::xml_node node);
// The xmlns in scope at node for prefix ("" for the default namespace).
std::string ResolvePrefix(pugi::xml_node node, const std::string& prefix);
// An element's or attribute's name without its prefix.
const char* LocalName(const char* name);

}  // namespace wsman

#include "Messages.h"

#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>

namespace wsman {

namespace {

constexpr char kEnumerateAction[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Enumerate";
constexpr char kPullAction[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Pull";
constexpr char kReleaseAction[] = "http://schemas.xmlsoap.org/ws/2004/09/enumeration/Release";

std::string PrefixOf(const char* name);

}  // namespace

std::string ResolvePrefix(pugi::xml_node node, const std::string& prefix) {
    const std::string attribute = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    for (pugi::xml_node at = node; at; at = at.parent()) {
        if (at.type() != pugi::node_element) continue;
        const pugi::xml_attribute declared = at.attribute(attribute.c_str());
        if (declared) return declared.value();
    }
    return "";
}

namespace {

std::string PrefixOf(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon ? std::string(name, colon) : std::string();
}

bool Is(pugi::xml_node node, const char* nameSpace, const char* local) {
    return node.type() == pugi::node_element && std::strcmp(LocalName(node.name()), local) == 0 &&
           NamespaceOf(node) == nameSpace;
}

pugi::xml_node Child(pugi::xml_node node, const char* nameSpace, const char* local) {
    for (pugi::xml_node child : node.children())
        if (Is(child, nameSpace, local)) return child;
    return pugi::xml_node();
}

// The first element of that name anywhere below node.
pugi::xml_node Find(pugi::xml_node node, const char* nameSpace, const char* local) {
    return node.find_node([&](pugi::xml_node n) { return Is(n, nameSpace, local); });
}

std::string Trimmed(const char* text) {
    std::string s(text);
    const size_t first = s.find_first_not_of(" \t\r\n");
    if (first == std::string::npos) return "";
    return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// A QName's text ("w:QuotaLimit" under whatever prefix the sender chose) with
// the prefix this client gives that namespace.
std::string CanonicalQName(pugi::xml_node scope, const std::string& qname) {
    const std::string prefix = PrefixOf(qname.c_str());
    const std::string local = LocalName(qname.c_str());
    const std::string uri = ResolvePrefix(scope, prefix);
    static const std::pair<const char*, const char*> kKnown[] = {
        {ns::kSoap, "s"}, {ns::kAddressing, "a"}, {ns::kEnumeration, "n"}, {ns::kWsman, "w"}, {ns::kMicrosoft, "p"},
    };
    for (const auto& known : kKnown)
        if (uri == known.first) return std::string(known.second) + ":" + local;
    return qname;
}

bool ReadCode(pugi::xml_node fault, std::uint32_t* code) {
    const char* text = fault.attribute("Code").value();
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    if (!*text || *end || value > 0xFFFFFFFFull) return false;
    *code = static_cast<std::uint32_t>(value);
    return true;
}

// The document's text with the XML declaration, in UTF-8, on one line.
std::string Serialize(const pugi::xml_document& document) {
    std::ostringstream out;
    document.save(out, "", pugi::format_raw, pugi::encoding_utf8);
    return out.str();
}

pugi::xml_node NewEnvelope(pugi::xml_document* document) {
    pugi::xml_node envelope = document->append_child("s:Envelope");
    envelope.append_attribute("xmlns:s") = ns::kSoap;
    envelope.append_attribute("xmlns:a") = ns::kAddressing;
    envelope.append_attribute("xmlns:n") = ns::kEnumeration;
    envelope.append_attribute("xmlns:w") = ns::kWsman;
    envelope.append_attribute("xmlns:p") = ns::kMicrosoft;
    return envelope;
}

void AddText(pugi::xml_node parent, const char* name, const std::string& text) {
    parent.append_child(name).text().set(text.c_str());
}

// The envelope with its headers; returns its body.
pugi::xml_node Begin(pugi::xml_document* document, const Header& header, const char* action) {
    pugi::xml_node envelope = NewEnvelope(document);
    pugi::xml_node head = envelope.append_child("s:Header");
    AddText(head, "a:To", header.to);
    pugi::xml_node replyTo = head.append_child("a:ReplyTo").append_child("a:Address");
    replyTo.append_attribute("s:mustUnderstand") = "true";
    replyTo.text().set(ns::kAnonymous);
    pugi::xml_node act = head.append_child("a:Action");
    act.append_attribute("s:mustUnderstand") = "true";
    act.text().set(action);
    pugi::xml_node size = head.append_child("w:MaxEnvelopeSize");
    size.append_attribute("s:mustUnderstand") = "true";
    size.text().set(std::to_string(header.maxEnvelopeSize).c_str());
    AddText(head, "a:MessageID", header.messageId.empty() ? NewMessageId() : header.messageId);
    pugi::xml_node resource = head.append_child("w:ResourceURI");
    resource.append_attribute("s:mustUnderstand") = "true";
    resource.text().set(header.resourceUri.c_str());
    pugi::xml_node locale = head.append_child("w:Locale");
    locale.append_attribute("xml:lang") = header.locale.c_str();
    locale.append_attribute("s:mustUnderstand") = "false";
    AddText(head, "w:OperationTimeout", Duration(header.operationTimeout));
    return envelope.append_child("s:Body");
}

}  // namespace

const char* LocalName(const char* name) {
    const char* colon = std::strchr(name, ':');
    return colon ? colon + 1 : name;
}

std::string NamespaceOf(pugi::xml_node node) { return ResolvePrefix(node, PrefixOf(node.name())); }

std::string WmiResourceUri(const std::string& nameSpace) {
    std::string path = nameSpace;
    for (char& c : path)
        if (c == '\\') c = '/';
    while (!path.empty() && path.front() == '/') path.erase(0, 1);
    return "http://schemas.microsoft.com/wbem/wsman/1/wmi/" + path + "/*";
}

std::string Duration(std::chrono::milliseconds time) {
    const long long ms = time.count() < 0 ? 0 : time.count();
    char text[48];
    std::snprintf(text, sizeof text, "PT%lld.%03lldS", ms / 1000, ms % 1000);
    return text;
}

std::string NewMessageId() {
    std::random_device device;
    unsigned char bytes[16];
    for (unsigned char& b : bytes) b = static_cast<unsigned char>(device());
    bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
    bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
    char text[48];
    std::snprintf(text, sizeof text,
                  "uuid:%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1],
                  bytes[2], bytes[3], bytes[4], bytes[5], bytes[6], bytes[7], bytes[8], bytes[9], bytes[10], bytes[11],
                  bytes[12], bytes[13], bytes[14], bytes[15]);
    return text;
}

std::string IdentifyEnvelope() {
    pugi::xml_document document;
    pugi::xml_node envelope = document.append_child("s:Envelope");
    envelope.append_attribute("xmlns:s") = ns::kSoap;
    envelope.append_attribute("xmlns:wsmid") = ns::kIdentity;
    envelope.append_child("s:Header");
    envelope.append_child("s:Body").append_child("wsmid:Identify");
    return Serialize(document);
}

std::string EnumerateEnvelope(const Header& header, const std::string& wql, unsigned maxElements) {
    pugi::xml_document document;
    pugi::xml_node enumerate = Begin(&document, header, kEnumerateAction).append_child("n:Enumerate");
    enumerate.append_child("w:OptimizeEnumeration");
    AddText(enumerate, "w:MaxElements", std::to_string(maxElements));
    AddText(enumerate, "w:EnumerationMode", "EnumerateObjectAndEPR");
    pugi::xml_node filter = enumerate.append_child("w:Filter");
    filter.append_attribute("Dialect") = ns::kWql;
    filter.text().set(wql.c_str());
    return Serialize(document);
}

std::string PullEnvelope(const Header& header, const std::string& context, unsigned maxElements) {
    pugi::xml_document document;
    pugi::xml_node pull = Begin(&document, header, kPullAction).append_child("n:Pull");
    AddText(pull, "n:EnumerationContext", context);
    AddText(pull, "n:MaxElements", std::to_string(maxElements));
    return Serialize(document);
}

std::string ReleaseEnvelope(const Header& header, const std::string& context) {
    pugi::xml_document document;
    AddText(Begin(&document, header, kReleaseAction).append_child("n:Release"), "n:EnumerationContext", context);
    return Serialize(document);
}

std::string Fault::Text() const {
    if (!providerMessage.empty()) return providerMessage;
    if (!message.empty()) return message;
    return reason;
}

bool ParseFault(const std::string& body, Fault* fault) {
    pugi::xml_document document;
    if (!document.load_buffer(body.data(), body.size())) return false;
    const pugi::xml_node node = Find(document, ns::kSoap, "Fault");
    if (!node) return false;
    *fault = Fault();
    const pugi::xml_node code = Child(node, ns::kSoap, "Code");
    const pugi::xml_node value = Child(code, ns::kSoap, "Value");
    fault->code = CanonicalQName(value, Trimmed(value.child_value()));
    const pugi::xml_node subValue = Child(Child(code, ns::kSoap, "Subcode"), ns::kSoap, "Value");
    if (subValue) fault->subcode = CanonicalQName(subValue, Trimmed(subValue.child_value()));
    fault->reason = Trimmed(Child(Child(node, ns::kSoap, "Reason"), ns::kSoap, "Text").child_value());
    const pugi::xml_node detail = Child(node, ns::kSoap, "Detail");
    const pugi::xml_node outer = Find(detail, ns::kFault, "WSManFault");
    if (outer) {
        fault->hasWsmanCode = ReadCode(outer, &fault->wsmanCode);
        fault->machine = outer.attribute("Machine").value();
        const pugi::xml_node message = Child(outer, ns::kFault, "Message");
        // The message's own text, leaving out the provider's nested fault.
        std::string own;
        for (pugi::xml_node part : message.children())
            if (part.type() == pugi::node_pcdata || part.type() == pugi::node_cdata) own += part.value();
        fault->message = Trimmed(own.c_str());
        const pugi::xml_node provider = Find(message, ns::kFault, "ProviderFault");
        const pugi::xml_node inner = Find(provider, ns::kFault, "WSManFault");
        if (inner) {
            fault->hasProviderCode = ReadCode(inner, &fault->providerCode);
            fault->providerMessage = Trimmed(Child(inner, ns::kFault, "Message").child_value());
        }
        if (fault->message.empty() && fault->providerMessage.empty())
            fault->message = Trimmed(provider.child_value());
    }
    return true;
}

bool ParsePage(const std::string& body, Page* page, std::string* error) {
    auto document = std::make_unique<pugi::xml_document>();
    // A value of blanks alone (a string property " ") is kept as it came.
    const pugi::xml_parse_result parsed =
        document->load_buffer(body.data(), body.size(), pugi::parse_default | pugi::parse_ws_pcdata_single);
    if (!parsed) {
        *error = std::string("the answer is not XML: ") + parsed.description();
        return false;
    }
    const pugi::xml_node soapBody = Child(Child(*document, ns::kSoap, "Envelope"), ns::kSoap, "Body");
    pugi::xml_node response = Child(soapBody, ns::kEnumeration, "EnumerateResponse");
    if (!response) response = Child(soapBody, ns::kEnumeration, "PullResponse");
    if (!response) {
        *error = "the answer holds no EnumerateResponse or PullResponse";
        return false;
    }
    Page result;
    result.context = Trimmed(Child(response, ns::kEnumeration, "EnumerationContext").child_value());
    // An optimized Enumerate answers in w:Items and w:EndOfSequence, a Pull
    // in n:Items and n:EndOfSequence.
    result.endOfSequence = Child(response, ns::kEnumeration, "EndOfSequence") ||
                           Child(response, ns::kWsman, "EndOfSequence");
    pugi::xml_node items = Child(response, ns::kEnumeration, "Items");
    if (!items) items = Child(response, ns::kWsman, "Items");
    for (pugi::xml_node entry : items.children()) {
        if (entry.type() != pugi::node_element) continue;
        Item item;
        if (Is(entry, ns::kWsman, "Item")) {
            // EnumerateObjectAndEPR: the instance, then its reference.
            for (pugi::xml_node part : entry.children()) {
                if (part.type() != pugi::node_element) continue;
                if (Is(part, ns::kAddressing, "EndpointReference")) {
                    item.hasReference = true;
                    const pugi::xml_node parameters = Child(part, ns::kAddressing, "ReferenceParameters");
                    item.resourceUri = Trimmed(Child(parameters, ns::kWsman, "ResourceURI").child_value());
                    for (pugi::xml_node selector : Child(parameters, ns::kWsman, "SelectorSet").children())
                        if (Is(selector, ns::kWsman, "Selector"))
                            item.selectors.emplace_back(selector.attribute("Name").value(), selector.child_value());
                } else if (!item.instance) {
                    item.instance = part;
                }
            }
        } else {
            item.instance = entry;  // EnumerateObject: the instance alone
        }
        if (item.instance) result.items.push_back(std::move(item));
    }
    result.document = std::move(document);
    *page = std::move(result);
    return true;
}

bool ParseIdentity(const std::string& body, Identity* identity) {
    pugi::xml_document document;
    if (!document.load_buffer(body.data(), body.size())) return false;
    const pugi::xml_node response = Find(document, ns::kIdentity, "IdentifyResponse");
    if (!response) return false;
    identity->protocolVersion = Trimmed(Child(response, ns::kIdentity, "ProtocolVersion").child_value());
    identity->productVendor = Trimmed(Child(response, ns::kIdentity, "ProductVendor").child_value());
    identity->productVersion = Trimmed(Child(response, ns::kIdentity, "ProductVersion").child_value());
    return true;
}

}  // namespace wsman

// WinRM's message encryption: see Sealing.h for the framing.
#include "Sealing.h"

#include <cstdint>
#include <cstring>
#include <string.h>
#include <vector>

#include <gssapi/gssapi_ext.h>

namespace wsman {
namespace {

const char kBoundary[] = "Encrypted Boundary";
const char kSpnegoProtocol[] = "application/HTTP-SPNEGO-session-encrypted";
const char kKerberosProtocol[] = "application/HTTP-Kerberos-session-encrypted";
const char kOpen[] = "--Encrypted Boundary\r\n";
const char kClose[] = "--Encrypted Boundary--";
const std::size_t kNtlmSignatureSize = 16;

void WipeString(std::string* text) noexcept {
    if (!text->empty()) explicit_bzero(&(*text)[0], text->size());
    text->clear();
}

// A string wiped at the end of its scope: the plain text in transit.
struct Scratch {
    std::string text;
    Scratch() = default;
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    ~Scratch() { WipeString(&text); }
};

bool EqualsNoCase(const std::string& a, const char* b) {
    return strcasecmp(a.c_str(), b) == 0 && a.size() == std::strlen(b);
}

std::string Trim(const std::string& text) {
    const char* blanks = " \t";
    std::size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return std::string();
    std::size_t last = text.find_last_not_of(blanks);
    return text.substr(first, last - first + 1);
}

std::string Unquote(const std::string& text) {
    if (text.size() >= 2 && text.front() == '"' && text.back() == '"') return text.substr(1, text.size() - 2);
    return text;
}

struct Parameter {
    std::string name;
    std::string value;
};

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// "a; b=c; d="e"" → "a" in *head, then the parameters' names (lower case)
// and values (unquoted); split at ';' outside quotes.
void SplitParameters(const std::string& text, std::string* head, std::vector<Parameter>* parameters) {
    std::vector<std::string> items;
    std::string item;
    bool quoted = false;
    for (char c : text) {
        if (c == '"') quoted = !quoted;
        if (c == ';' && !quoted) {
            items.push_back(item);
            item.clear();
        } else {
            item += c;
        }
    }
    items.push_back(item);
    *head = Trim(items[0]);
    for (std::size_t i = 1; i < items.size(); ++i) {
        std::size_t equals = items[i].find('=');
        Parameter parameter;
        parameter.name = Lower(Trim(items[i].substr(0, equals)));
        if (equals != std::string::npos) parameter.value = Unquote(Trim(items[i].substr(equals + 1)));
        if (!parameter.name.empty()) parameters->push_back(parameter);
    }
}

bool IsProtocol(const std::string& value) {
    return EqualsNoCase(value, kSpnegoProtocol) || EqualsNoCase(value, kKerberosProtocol);
}

// A decimal length, digits only, below 2^32.
bool ReadLength(const std::string& text, std::size_t* length) {
    if (text.empty() || text.size() > 10) return false;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull) return false;
    *length = static_cast<std::size_t>(value);
    return true;
}

// One header line of a part at *position: "\tName: value\r\n".
bool ReadHeaderLine(const std::string& body, std::size_t* position, std::string* name, std::string* value) {
    std::size_t end = body.find("\r\n", *position);
    if (end == std::string::npos) return false;
    std::string line = body.substr(*position, end - *position);
    std::size_t colon = line.find(':');
    if (colon == std::string::npos) return false;
    *name = Trim(line.substr(0, colon));
    *value = Trim(line.substr(colon + 1));
    *position = end + 2;
    return true;
}

bool Fail(std::string* error, const std::string& text) {
    if (error != nullptr) *error = text;
    return false;
}

enum class Mechanism { Kerberos, Ntlm };

bool SameOid(const gss_OID oid, const char* bytes, std::size_t size) {
    return oid != GSS_C_NO_OID && oid->length == size && std::memcmp(oid->elements, bytes, size) == 0;
}

std::string OidText(const gss_OID oid) {
    OM_uint32 minor = 0;
    GssBuffer text;
    if (oid == GSS_C_NO_OID || gss_oid_to_str(&minor, oid, &text.value) != GSS_S_COMPLETE) return "(none)";
    return std::string(static_cast<const char*>(text.value.value), text.value.length);
}

// GSS-API's own words for a failure: the major status, then the mechanism's.
std::string GssText(OM_uint32 major, OM_uint32 minor, gss_OID mech) {
    std::string text;
    struct Kind {
        OM_uint32 code;
        int type;
    };
    for (Kind kind : {Kind{major, GSS_C_GSS_CODE}, Kind{minor, GSS_C_MECH_CODE}}) {
        if (kind.code == 0) continue;
        OM_uint32 context = 0;
        do {
            OM_uint32 ignored = 0;
            GssBuffer part;
            if (GSS_ERROR(gss_display_status(&ignored, kind.code, kind.type, mech, &context, &part.value))) break;
            if (!text.empty()) text += ": ";
            text.append(static_cast<const char*>(part.value.value), part.value.length);
        } while (context != 0);
    }
    return text.empty() ? "unknown GSS-API failure" : text;
}

bool FindMechanism(gss_ctx_id_t context, Mechanism* mechanism, gss_OID* oid, std::string* error) {
    // krb5, Microsoft's krb5 and NTLMSSP, DER without tag and length.
    static const char kKrb5[] = "\x2a\x86\x48\x86\xf7\x12\x01\x02\x02";
    static const char kMsKrb5[] = "\x2a\x86\x48\x82\xf7\x12\x01\x02\x02";
    static const char kNtlm[] = "\x2b\x06\x01\x04\x01\x82\x37\x02\x02\x0a";
    if (context == GSS_C_NO_CONTEXT) return Fail(error, "no security context to protect the message with");
    OM_uint32 minor = 0;
    gss_OID mech = GSS_C_NO_OID;
    int open = 0;
    OM_uint32 major = gss_inquire_context(&minor, context, nullptr, nullptr, nullptr, &mech, nullptr, nullptr, &open);
    if (GSS_ERROR(major)) return Fail(error, "the security context cannot be read: " + GssText(major, minor, mech));
    if (!open) return Fail(error, "the security context is not established yet");
    if (SameOid(mech, kKrb5, sizeof kKrb5 - 1) || SameOid(mech, kMsKrb5, sizeof kMsKrb5 - 1)) {
        *mechanism = Mechanism::Kerberos;
    } else if (SameOid(mech, kNtlm, sizeof kNtlm - 1)) {
        *mechanism = Mechanism::Ntlm;
    } else {
        return Fail(error, "messages cannot be encrypted with the mechanism " + OidText(mech) +
                               " (Kerberos or NTLM only)");
    }
    *oid = mech;
    return true;
}

std::string LittleEndian32(std::uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

bool SealKerberos(gss_ctx_id_t context, gss_OID mech, const std::string& soap, std::string* signature,
                  std::string* sealed, std::string* error) {
    gss_iov_buffer_desc iov[3];
    iov[0].type = GSS_IOV_BUFFER_TYPE_HEADER;
    iov[0].buffer = {0, nullptr};
    iov[1].type = GSS_IOV_BUFFER_TYPE_DATA;
    iov[1].buffer = {soap.size(), nullptr};
    iov[2].type = GSS_IOV_BUFFER_TYPE_PADDING;
    iov[2].buffer = {0, nullptr};
    OM_uint32 minor = 0;
    int confidential = 0;
    OM_uint32 major = gss_wrap_iov_length(&minor, context, 1, GSS_C_QOP_DEFAULT, &confidential, iov, 3);
    if (GSS_ERROR(major)) return Fail(error, "the message cannot be sealed: " + GssText(major, minor, mech));

    std::string header(iov[0].buffer.length, '\0');
    Scratch data;  // the plain text, sealed in place
    data.text = soap;
    data.text.append(iov[2].buffer.length, '\0');
    iov[0].buffer.value = header.empty() ? nullptr : &header[0];
    iov[1].buffer.value = data.text.empty() ? nullptr : &data.text[0];
    iov[2].buffer.value = iov[2].buffer.length == 0 ? nullptr : &data.text[soap.size()];
    major = gss_wrap_iov(&minor, context, 1, GSS_C_QOP_DEFAULT, &confidential, iov, 3);
    if (GSS_ERROR(major)) return Fail(error, "the message cannot be sealed: " + GssText(major, minor, mech));
    if (!confidential) return Fail(error, "the security context cannot encrypt messages (integrity only)");
    data.text.resize(soap.size() + iov[2].buffer.length);
    *signature = header.substr(0, iov[0].buffer.length);
    *sealed = data.text;
    return true;
}

bool SealNtlm(gss_ctx_id_t context, gss_OID mech, const std::string& soap, std::string* signature,
              std::string* sealed, std::string* error) {
    Scratch plain;
    plain.text = soap;
    gss_buffer_desc input{plain.text.size(), &plain.text[0]};
    GssBuffer output;
    OM_uint32 minor = 0;
    int confidential = 0;
    OM_uint32 major = gss_wrap(&minor, context, 1, GSS_C_QOP_DEFAULT, &input, &confidential, &output.value);
    if (GSS_ERROR(major)) return Fail(error, "the message cannot be sealed: " + GssText(major, minor, mech));
    if (!confidential) return Fail(error, "the security context cannot encrypt messages (integrity only)");
    if (output.value.length < kNtlmSignatureSize)
        return Fail(error, "the NTLM mechanism returned a sealed message without its signature");
    const char* bytes = static_cast<const char*>(output.value.value);
    signature->assign(bytes, kNtlmSignatureSize);
    sealed->assign(bytes + kNtlmSignatureSize, output.value.length - kNtlmSignatureSize);
    return true;
}

bool UnsealKerberos(gss_ctx_id_t context, gss_OID mech, const sealing::Parts& parts, std::string* soap,
                    std::string* error) {
    // The sealed data is the message and the cipher's padding (none with
    // AES), laid out as Seal lays them out: HEADER, DATA, PADDING.
    gss_iov_buffer_desc sizes[3];
    sizes[0].type = GSS_IOV_BUFFER_TYPE_HEADER;
    sizes[0].buffer = {0, nullptr};
    sizes[1].type = GSS_IOV_BUFFER_TYPE_DATA;
    sizes[1].buffer = {parts.plainLength, nullptr};
    sizes[2].type = GSS_IOV_BUFFER_TYPE_PADDING;
    sizes[2].buffer = {0, nullptr};
    OM_uint32 minor = 0;
    int confidential = 0;
    OM_uint32 major = gss_wrap_iov_length(&minor, context, 1, GSS_C_QOP_DEFAULT, &confidential, sizes, 3);
    if (GSS_ERROR(major)) return Fail(error, "the message cannot be unsealed: " + GssText(major, minor, mech));
    const std::size_t padding = sizes[2].buffer.length;
    if (parts.sealed.size() != parts.plainLength + padding)
        return Fail(error, "the sealed data is " + std::to_string(parts.sealed.size()) + " bytes, not its Length of " +
                               std::to_string(parts.plainLength) +
                               (padding != 0 ? " and " + std::to_string(padding) + " bytes of padding" : ""));

    std::string header = parts.signature;
    Scratch data;  // unsealed in place
    data.text = parts.sealed;
    gss_iov_buffer_desc iov[3];
    iov[0].type = GSS_IOV_BUFFER_TYPE_HEADER;
    iov[0].buffer = {header.size(), &header[0]};
    iov[1].type = GSS_IOV_BUFFER_TYPE_DATA;
    iov[1].buffer = {parts.plainLength, data.text.empty() ? nullptr : &data.text[0]};
    iov[2].type = GSS_IOV_BUFFER_TYPE_PADDING;
    iov[2].buffer = {padding, padding == 0 ? nullptr : &data.text[parts.plainLength]};
    gss_qop_t qop = 0;
    major = gss_unwrap_iov(&minor, context, &confidential, &qop, iov, padding == 0 ? 2 : 3);
    if (GSS_ERROR(major))
        return Fail(error, "the encrypted message does not verify: " + GssText(major, minor, mech));
    if (!confidential) return Fail(error, "the message was signed but not encrypted");
    soap->assign(data.text, 0, parts.plainLength);
    return true;
}

bool UnsealNtlm(gss_ctx_id_t context, gss_OID mech, const sealing::Parts& parts, std::string* soap,
                std::string* error) {
    if (parts.signature.size() != kNtlmSignatureSize)
        return Fail(error, "an NTLM signature is 16 bytes, not " + std::to_string(parts.signature.size()));
    if (parts.sealed.size() != parts.plainLength)
        return Fail(error, "the sealed data is " + std::to_string(parts.sealed.size()) +
                               " bytes, not its Length of " + std::to_string(parts.plainLength));
    std::string token = parts.signature + parts.sealed;
    gss_buffer_desc input{token.size(), &token[0]};
    GssBuffer output;
    OM_uint32 minor = 0;
    int confidential = 0;
    gss_qop_t qop = 0;
    OM_uint32 major = gss_unwrap(&minor, context, &input, &output.value, &confidential, &qop);
    if (GSS_ERROR(major))
        return Fail(error, "the encrypted message does not verify: " + GssText(major, minor, mech));
    if (!confidential) return Fail(error, "the message was signed but not encrypted");
    if (output.value.length != parts.plainLength)
        return Fail(error, "the encrypted message holds " + std::to_string(output.value.length) +
                               " bytes, not its Length of " + std::to_string(parts.plainLength));
    soap->assign(static_cast<const char*>(output.value.value), output.value.length);
    return true;
}

}  // namespace

namespace sealing {

std::string ContentType() {
    return std::string("multipart/encrypted;protocol=\"") + kSpnegoProtocol + "\";boundary=\"" + kBoundary + "\"";
}

std::string Frame(const std::string& signature, const std::string& sealed, std::size_t plainLength) {
    std::string body;
    body.reserve(200 + signature.size() + sealed.size());
    body += kOpen;
    body += "\tContent-Type: ";
    body += kSpnegoProtocol;
    body += "\r\n\tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=";
    body += std::to_string(plainLength);
    body += "\r\n";
    body += kOpen;
    body += "\tContent-Type: application/octet-stream\r\n";
    body += LittleEndian32(static_cast<std::uint32_t>(signature.size()));
    body += signature;
    body += sealed;
    body += kClose;
    body += "\r\n";
    return body;
}

bool Parse(const std::string& contentType, const std::string& body, Parts* parts, std::string* error) {
    std::string type;
    std::vector<Parameter> parameters;
    SplitParameters(contentType, &type, &parameters);
    if (!EqualsNoCase(type, "multipart/encrypted"))
        return Fail(error, "the message is not encrypted (Content-Type " + contentType + ")");
    std::string protocol, boundary;
    for (const Parameter& parameter : parameters) {
        if (parameter.name == "protocol") protocol = parameter.value;
        if (parameter.name == "boundary") boundary = parameter.value;
    }
    if (!IsProtocol(protocol))
        return Fail(error, "the message is encrypted with an unknown protocol \"" + protocol + "\"");
    if (boundary != kBoundary) return Fail(error, "the encrypted message's boundary is \"" + boundary + "\", not \"" +
                                                      kBoundary + "\"");

    const std::size_t openSize = sizeof kOpen - 1;
    if (body.compare(0, openSize, kOpen) != 0)
        return Fail(error, "the encrypted message does not begin with its boundary");
    std::size_t position = openSize;
    bool haveType = false, haveLength = false;
    std::size_t plainLength = 0;
    while (body.compare(position, openSize, kOpen) != 0) {
        std::string name, value;
        if (!ReadHeaderLine(body, &position, &name, &value))
            return Fail(error, "the encrypted message's first part is truncated or malformed");
        if (EqualsNoCase(name, "Content-Type")) {
            if (!IsProtocol(value))
                return Fail(error, "the encrypted message's first part has the type \"" + value + "\"");
            haveType = true;
        } else if (EqualsNoCase(name, "OriginalContent")) {
            std::string original;
            std::vector<Parameter> fields;
            SplitParameters(value, &original, &fields);
            // "type=application/soap+xml" comes first as a parameter of its own.
            for (const Parameter& field : fields)
                if (field.name == "charset" && !EqualsNoCase(field.value, "UTF-8"))
                    return Fail(error, "the encrypted message's charset is " + field.value + ", not UTF-8");
            for (const Parameter& field : fields)
                if (field.name == "length") haveLength = ReadLength(field.value, &plainLength);
            if (!haveLength) return Fail(error, "the encrypted message's OriginalContent has no valid Length");
        }
    }
    if (!haveType) return Fail(error, "the encrypted message's first part has no Content-Type");
    if (!haveLength) return Fail(error, "the encrypted message has no OriginalContent line");
    position += openSize;

    std::string name, value;
    if (!ReadHeaderLine(body, &position, &name, &value) || !EqualsNoCase(name, "Content-Type") ||
        !EqualsNoCase(value, "application/octet-stream"))
        return Fail(error, "the encrypted message's second part is not application/octet-stream");

    // The trailing boundary, with or without its line end.
    const std::size_t closeSize = sizeof kClose - 1;
    std::size_t end = body.size();
    if (end >= 2 && body.compare(end - 2, 2, "\r\n") == 0) end -= 2;
    if (end < position + closeSize || body.compare(end - closeSize, closeSize, kClose) != 0)
        return Fail(error, "the encrypted message is truncated (no closing boundary)");
    end -= closeSize;

    if (end - position < 4) return Fail(error, "the encrypted message is truncated before its signature");
    std::uint32_t signatureSize = 0;
    for (int i = 3; i >= 0; --i)
        signatureSize = (signatureSize << 8) | static_cast<unsigned char>(body[position + i]);
    position += 4;
    if (signatureSize == 0) return Fail(error, "the encrypted message has no signature");
    if (signatureSize > end - position)
        return Fail(error, "the encrypted message's signature length " + std::to_string(signatureSize) +
                               " runs past its end");
    std::size_t sealedSize = end - position - signatureSize;
    if (sealedSize < plainLength)
        return Fail(error, "the sealed data is " + std::to_string(sealedSize) + " bytes, shorter than its Length of " +
                               std::to_string(plainLength));

    parts->signature.assign(body, position, signatureSize);
    parts->sealed.assign(body, position + signatureSize, sealedSize);
    parts->plainLength = plainLength;
    return true;
}

}  // namespace sealing

bool Seal(gss_ctx_id_t context, const std::string& soap, std::string* body, std::string* contentType,
          std::string* error) {
    Mechanism mechanism;
    gss_OID mech = GSS_C_NO_OID;
    if (!FindMechanism(context, &mechanism, &mech, error)) return false;
    // gss-ntlmssp seals nothing empty, and WinRM sends no empty message:
    // both mechanisms refuse one alike.
    if (soap.empty()) return Fail(error, "an empty message cannot be sealed");
    if (soap.size() > 0xFFFFFFFFull - 4096) return Fail(error, "the message is too long to be sealed");
    std::string signature, sealed;
    bool sealedOk = mechanism == Mechanism::Kerberos ? SealKerberos(context, mech, soap, &signature, &sealed, error)
                                                     : SealNtlm(context, mech, soap, &signature, &sealed, error);
    if (!sealedOk) return false;
    *body = sealing::Frame(signature, sealed, soap.size());
    *contentType = sealing::ContentType();
    return true;
}

bool Unseal(gss_ctx_id_t context, const std::string& contentType, const std::string& body, std::string* soap,
            std::string* error) {
    sealing::Parts parts;
    if (!sealing::Parse(contentType, body, &parts, error)) return false;
    Mechanism mechanism;
    gss_OID mech = GSS_C_NO_OID;
    if (!FindMechanism(context, &mechanism, &mech, error)) return false;
    return mechanism == Mechanism::Kerberos ? UnsealKerberos(context, mech, parts, soap, error)
                                            : UnsealNtlm(context, mech, parts, soap, error);
}

}  // namespace wsman

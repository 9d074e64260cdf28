// WinRM's message encryption over HTTP: a SOAP message sealed with an
// established GSS-API context (Kerberos or NTLM, directly or through SPNEGO)
// and framed as the two-part multipart/encrypted body WinRM expects:
//
//   --Encrypted Boundary\r\n
//   \tContent-Type: application/HTTP-SPNEGO-session-encrypted\r\n
//   \tOriginalContent: type=application/soap+xml;charset=UTF-8;Length=N\r\n
//   --Encrypted Boundary\r\n
//   \tContent-Type: application/octet-stream\r\n
//   <signature length, 4 bytes little-endian><signature><sealed data>--Encrypted Boundary--\r\n
//
// Kerberos seals with gss_wrap_iov (the token header is the signature),
// NTLM with gss_wrap (its first 16 bytes are the signature). Both sides of a
// connection use the same functions: the client for its requests and the
// service's answers, the WinRM double the other way round.
#pragma once

#include <string.h>

#include <cstddef>
#include <string>

#include <gssapi/gssapi.h>

namespace wsman {

// A buffer the GSS-API allocated: wiped and released at the end of its scope.
struct GssBuffer {
    gss_buffer_desc value{0, nullptr};
    GssBuffer() = default;
    GssBuffer(const GssBuffer&) = delete;
    GssBuffer& operator=(const GssBuffer&) = delete;
    ~GssBuffer() {
        if (value.value != nullptr) {
            explicit_bzero(value.value, value.length);
            OM_uint32 minor = 0;
            gss_release_buffer(&minor, &value);
        }
    }
    std::string Text() const { return std::string(static_cast<const char*>(value.value), value.length); }
};

// The protection of one established GSS context (mechanism found with gss_inquire_context).
// Seal: soap → the multipart/encrypted body and its Content-Type header value.
// Unseal: the body and Content-Type → the soap text; false with *error on any fault (bad framing, bad signature, wrong length).
// Neither throws (std::bad_alloc aside) nor changes its outputs when it fails.
bool Seal(gss_ctx_id_t context, const std::string& soap, std::string* body, std::string* contentType, std::string* error);
bool Unseal(gss_ctx_id_t context, const std::string& contentType, const std::string& body, std::string* soap, std::string* error);

// The framing alone, without GSS-API: what Seal and Unseal build and read
// around the signature and the sealed data.
namespace sealing {

// "multipart/encrypted;protocol="application/HTTP-SPNEGO-session-encrypted";boundary="Encrypted Boundary""
std::string ContentType();

// The body around a signature and sealed data of a message of plainLength bytes.
std::string Frame(const std::string& signature, const std::string& sealed, std::size_t plainLength);

struct Parts {
    std::string signature;
    std::string sealed;
    std::size_t plainLength = 0;  // OriginalContent's Length
};

// Reads a body framed as above (the protocol may also be WinRM's
// application/HTTP-Kerberos-session-encrypted); false with *error when the
// content type, a boundary, a header or a length does not fit.
bool Parse(const std::string& contentType, const std::string& body, Parts* parts, std::string* error);

}  // namespace sealing
}  // namespace wsman

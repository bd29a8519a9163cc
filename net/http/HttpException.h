// HttpException: the HTTP client's exception and its small error codes.
//
// EHttpException carries a message and ErrorCode: either one of the client's own codes
// below, or an HTTP status of 400 or more (the message is then the server's reason text),
// or 404 for a host that cannot be resolved or reached. Included through HttpProt.h.
#pragma once

#include "platform/rtl/SysUtils.h"

#include <cstdint>
#include <string>

class EHttpException : public Exception {
public:
    EHttpException(const std::string& message, uint16_t errorCode)
        : Exception(message), FErrorCode(errorCode) {}
    uint16_t ErrorCode() const { return FErrorCode; }

private:
    uint16_t FErrorCode;
};

// The client's own error codes (HTTP statuses start at 400, so these never clash).
enum : uint16_t {
    httperrBusy = 1,                // a request is running on this component
    httperrNothingToPost = 2,       // POST without a SendStream
    httperrLineTooLong = 4,         // a header line longer than the 8192-byte receive buffer
    httperrTimeout = 5,             // nothing received or sent for Timeout milliseconds
    httperrTooManyRelocations = 6,  // more than 20 relocations in a row
    httperrBadStatusLine = 7,       // the response does not start with a valid status line
    httperrBadContentLength = 8,    // Content-Length not a number, negative, or conflicting
    httperrHeaderTooLarge = 9,      // the header block exceeds 1 MiB
    httperrBadChunk = 10,           // malformed chunked transfer coding
    httperrIncomplete = 11,         // the connection ended before the head or the announced body
                                    // did, or was reset during a body that ends at the close
    httperrBadCharacter = 12,       // a control byte in a value that goes into the request
    httperrAborted = 13,            // Abort() ended the request
    httperrUnsupportedProtocol = 14,  // the address or a Location names a scheme other than
                                      // http or https, https through a proxy, or a Location
                                      // leads from https to http
    httperrTls = 15,                // the TLS handshake failed: the certificate was not accepted,
                                    // or no protocol, cipher or alert was agreed
};

// Messages of the codes above; the time-out and bad-character texts add details.
inline const char* const SHttpBusy = "HTTP component is busy";
inline const char* const SHttpNothingToPost = "HTTP component has nothing to post";
inline const char* const SHttpLineTooLong = "HTTP line too long";
inline const char* const SHttpTooManyRelocations = "Too many relocations";
inline const char* const SHttpBadStatusLine = "Invalid HTTP status line";
inline const char* const SHttpBadContentLength = "Invalid Content-Length";
inline const char* const SHttpHeaderTooLarge = "HTTP header too large";
inline const char* const SHttpBadChunk = "Invalid chunked transfer coding";
inline const char* const SHttpIncomplete = "Connection closed before end of document";
inline const char* const SHttpHeadIncomplete = "Connection closed before end of header";
inline const char* const SHttpAborted = "HTTP request aborted";
inline const char* const SHttpUnsupportedProtocol = "Unsupported protocol: ";  // + the scheme, lower case
inline const char* const SHttpTlsThroughProxy = "Unsupported protocol: https through a proxy";
inline const char* const SHttpInsecureRedirect = "Redirect from https to http refused";

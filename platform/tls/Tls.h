// Tls: what the transfer stacks need of OpenSSL 3, and nothing of their own beyond
// driving it: the process's verification settings, client and server contexts, a client
// session set up for one host, a transport (BIO) over the caller's own non-blocking
// send and receive, the sessions kept for resumption, and the texts of failures.
//
// Client contexts verify by default: the system trust store (ca-certificates; the
// SSL_CERT_FILE and SSL_CERT_DIR variables honoured), the host name or IP address checked
// against the certificate, SNI sent for a name, TLS 1.2 at least. The settings may add a
// file of CA certificates or turn checking off; a context is made for the settings in
// force when it is first asked for (the variables are read then) and shared until they
// change. Everything here is safe to
// call from any thread; one SSL object belongs to one thread at a time.
//
// Failures are ETlsError with the system's texts; a failed check names the host and
// OpenSSL's own reason ("certificate has expired").
// Tested by tests/platform/tls.
#pragma once

#include "platform/rtl/SysUtils.h"

#include <openssl/ssl.h>

#include <cstddef>
#include <memory>
#include <string>

namespace tls {

class ETlsError : public Exception { using Exception::Exception; };

// ==== settings ===================================================================================

struct TVerifySettings {
    bool Verify = true;       // check the chain, the host and the dates
    std::string CaFile;       // a PEM file of CA certificates trusted besides the system's
};
TVerifySettings VerifySettings();
// Applies to every connection opened afterwards. Throws ETlsError when CaFile cannot be
// read ("Cannot read CA certificates from <file>: <reason>"), and then changes nothing.
void SetVerifySettings(const TVerifySettings& settings);
// The line a program prints on each run while checking is off.
extern const char* const SNoCheckWarning;

// ==== contexts and sessions ========================================================================

struct TSslCtxFree { void operator()(SSL_CTX* c) const { SSL_CTX_free(c); } };
struct TSslFree { void operator()(SSL* s) const { SSL_free(s); } };
using TSslCtxPtr = std::shared_ptr<SSL_CTX>;
using TSslPtr = std::unique_ptr<SSL, TSslFree>;

// The client context of the settings in force.
TSslCtxPtr ClientContext();
// A server context with the certificate chain and key of two PEM files; TLS 1.2 at least.
// Throws ETlsError "Cannot load TLS certificate <file>: <reason>" (or "key").
TSslCtxPtr ServerContext(const std::string& certFile, const std::string& keyFile);

// A client session of Ctx for Host (a name or a dotted address): SNI for a name, the
// name or address checked against the certificate when the context verifies, and a
// session of an earlier connection to Host:Port resumed when one is kept.
TSslPtr NewClientSession(const TSslCtxPtr& ctx, const std::string& host, int port);
// Keeps the session of Ssl for the next connection to Host:Port (when it may be resumed).
void KeepSession(SSL* ssl, const std::string& host, int port);
// Forgets every kept session (for tests and benchmarks).
void ForgetSessions();
// True when Ssl's handshake resumed a kept session.
bool Resumed(SSL* ssl);

// ==== transport ===================================================================================

// The caller's own non-blocking byte transport under a session.
class TTransport {
public:
    virtual ~TTransport() = default;
    // Bytes taken or given (> 0), 0 when the peer closed (Receive only), -1 with
    // WouldBlock set when nothing can move now, -1 without it on a failure.
    virtual int Send(const char* data, int len, bool& wouldBlock) = 0;
    virtual int Receive(char* buffer, int size, bool& wouldBlock) = 0;
};
// Puts Transport (not owned; it must outlive the session) under Ssl for reading and writing.
void AttachTransport(SSL* ssl, TTransport* transport);

// ==== failures ====================================================================================

// The text of a failed handshake with Host: a failed check names the host and the reason
// ("Certificate of 127.0.0.1 not accepted: certificate has expired"); anything else reads
// "TLS handshake with <host> failed: <reason>". Takes the thread's OpenSSL error queue.
std::string HandshakeFailureText(SSL* ssl, const std::string& host);
// The reason of the oldest error in the thread's OpenSSL error queue ("" when empty); the
// queue is emptied.
std::string TakeErrorText();

}  // namespace tls

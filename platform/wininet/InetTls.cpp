// InetTls: a TLS session over one blocking-style connection, the CONNECT tunnel and the
// failure texts (see InetTls.h). Sections: the session, preparing a connection.
//
// OpenSSL drives the session through the transport below (Send, Receive on the socket's
// non-blocking descriptor); a call that cannot go on says which way it waits, and the
// socket waits that way with its own bounds.
#include "platform/wininet/InetTls.h"

#include "platform/rtl/SysUtils.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>

namespace inetwire {

std::string& LastFailureText() {
    static thread_local std::string text;
    return text;
}

std::string SecureKey(const std::string& key, bool secure) { return secure ? "tls " + key : key; }

// ==== the session ===================================================================================

TInetTls::TInetTls(int fd, const std::string& host, uint16_t port) : FFd(fd), FHost(host), FPort(port) {
    FSsl = tls::NewClientSession(tls::ClientContext(), host, port);
    tls::AttachTransport(FSsl.get(), this);
}

TInetTls::~TInetTls() = default;

int TInetTls::Send(const char* data, int len, bool& wouldBlock) {
    for (;;) {
        ssize_t n = ::send(FFd, data, size_t(len), MSG_NOSIGNAL);
        if (n >= 0) return int(n);
        if (errno == EINTR) continue;
        wouldBlock = errno == EAGAIN || errno == EWOULDBLOCK;
        if (!wouldBlock) FTransportErrno = errno;
        return -1;
    }
}

int TInetTls::Receive(char* buffer, int size, bool& wouldBlock) {
    for (;;) {
        ssize_t n = ::recv(FFd, buffer, size_t(size), 0);
        if (n >= 0) return int(n);
        if (errno == EINTR) continue;
        wouldBlock = errno == EAGAIN || errno == EWOULDBLOCK;
        if (!wouldBlock) FTransportErrno = errno;
        return -1;
    }
}

ssize_t TInetTls::Failed(int err, short& events) {
    switch (err) {
    case SSL_ERROR_WANT_READ: events = POLLIN; return WouldBlock;
    case SSL_ERROR_WANT_WRITE: events = POLLOUT; return WouldBlock;
    default: break;
    }
    ERR_clear_error();
    errno = FTransportErrno ? FTransportErrno : EPROTO;
    return -1;
}

int TInetTls::Handshake(short& events, std::string& failure) {
    ERR_clear_error();
    int rc = SSL_connect(FSsl.get());
    if (rc == 1) {
        tls::KeepSession(FSsl.get(), FHost, FPort);
        return 1;
    }
    int err = SSL_get_error(FSsl.get(), rc);
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) return int(Failed(err, events));
    failure = tls::HandshakeFailureText(FSsl.get(), FHost);
    return -1;
}

ssize_t TInetTls::Read(char* buffer, size_t size, short& events) {
    ERR_clear_error();
    size_t got = 0;
    if (SSL_read_ex(FSsl.get(), buffer, size, &got) == 1) {
        // A TLS 1.3 server's session tickets come before its first answer: they are there now.
        if (!FSessionKept) tls::KeepSession(FSsl.get(), FHost, FPort);
        FSessionKept = true;
        return ssize_t(got);
    }
    int err = SSL_get_error(FSsl.get(), 0);
    if (err == SSL_ERROR_ZERO_RETURN) {
        FAlertSeen = true;
        return 0;
    }
    // The TCP connection ended without the closing alert: the end of the data, but a cut.
    if ((err == SSL_ERROR_SYSCALL || err == SSL_ERROR_SSL) && FTransportErrno == 0 &&
        ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
        ERR_clear_error();
        return 0;
    }
    return Failed(err, events);
}

ssize_t TInetTls::Write(const char* data, size_t len, short& events) {
    ERR_clear_error();
    size_t done = 0;
    if (SSL_write_ex(FSsl.get(), data, len, &done) == 1) return ssize_t(done);
    return Failed(SSL_get_error(FSsl.get(), 0), events);
}

bool TInetTls::Pending() const { return SSL_has_pending(FSsl.get()) == 1; }

void TInetTls::Shutdown() {
    if (FTransportErrno || (SSL_get_shutdown(FSsl.get()) & SSL_SENT_SHUTDOWN) || !SSL_is_init_finished(FSsl.get()))
        return;
    ERR_clear_error();
    SSL_shutdown(FSsl.get());
    ERR_clear_error();
}

// ==== preparing a connection ==========================================================================

namespace {

// The failure's number for a handshake that failed with Text: a certificate not accepted
// by the reason OpenSSL gave, anything else a failure of the secure channel.
DWORD HandshakeError(const std::string& text) {
    if (!StartsText("Certificate of ", text)) return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    if (text.find(X509_verify_cert_error_string(X509_V_ERR_CERT_HAS_EXPIRED)) != std::string::npos ||
        text.find(X509_verify_cert_error_string(X509_V_ERR_CERT_NOT_YET_VALID)) != std::string::npos)
        return ERROR_INTERNET_SEC_CERT_DATE_INVALID;
    if (text.find(X509_verify_cert_error_string(X509_V_ERR_HOSTNAME_MISMATCH)) != std::string::npos ||
        text.find(X509_verify_cert_error_string(X509_V_ERR_IP_ADDRESS_MISMATCH)) != std::string::npos)
        return ERROR_INTERNET_SEC_CERT_CN_INVALID;
    return ERROR_INTERNET_INVALID_CA;
}

// Asks the proxy on Sock for a tunnel to Host:Port and reads its answer.
DWORD OpenTunnel(TInetSocket& sock, const TProxy& proxy, const std::string& host, uint16_t port, DWORD timeoutMs) {
    std::string place = host + ":" + IntToStr(port);
    std::string head = "CONNECT " + place + " HTTP/1.1\r\nHost: " + place + "\r\n";
    if (!proxy.Credentials.empty()) head += "Proxy-Authorization: Basic " + Base64(proxy.Credentials) + "\r\n";
    DWORD r = sock.SendAll(head + "\r\n", timeoutMs);
    TResponseHead answer;
    if (r == ERROR_SUCCESS) r = ReadResponseHead(sock, timeoutMs, answer);
    if (r != ERROR_SUCCESS) return r;
    // Whatever the proxy sent beyond its head is not the server's: no tunnel then either.
    if (answer.Status / 100 == 2 && sock.Available() == 0) return ERROR_SUCCESS;
    LastFailureText() = "proxy " + proxy.Host + ":" + IntToStr(proxy.Port) + " refused the tunnel to " + place +
                        ": HTTP " + IntToStr(answer.Status) + (answer.StatusText.empty() ? "" : " " + answer.StatusText);
    return ERROR_INTERNET_CANNOT_CONNECT;
}

}  // namespace

DWORD PrepareConnection(TInetSocket& sock, bool secure, const TProxy& proxy, const std::string& host, uint16_t port,
                        DWORD timeoutMs) {
    if (!secure) return ERROR_SUCCESS;
    if (!proxy.Host.empty()) {
        DWORD r = OpenTunnel(sock, proxy, host, port, timeoutMs);
        if (r != ERROR_SUCCESS) return r;
    }
    std::string failure;
    DWORD r = ERROR_SUCCESS;
    try {
        r = sock.StartTls(host, port, timeoutMs, failure);
    } catch (const tls::ETlsError& e) {
        failure = e.Message();  // a CA file that cannot be read, a context that cannot be made
        r = ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
    }
    if (!failure.empty()) {
        LastFailureText() = failure;
        return HandshakeError(failure);
    }
    return r;
}

}  // namespace inetwire

// InetTls: https on the internet library's blocking connections: a TLS session (platform/
// tls) over one TInetSocket, the CONNECT tunnel through an HTTP proxy that an https
// request goes through, and the texts of their failures. Internal to the library.
//
// A TInetTls is the socket's own: the socket's sends and receives go through it once the
// handshake is done, and its waits stay the socket's (bounded, watching the request's
// abort descriptor). Verification follows the process's settings (tls::VerifySettings):
// the trust store, the host name or address checked, SNI sent, TLS 1.2 at least. A body
// that ends at the close is whole only when the peer's closing alert came before the TCP
// close (AlertSeen); a close without it is a cut.
//
// Failures of a handshake or a tunnel set the thread's failure text (LastFailureText),
// which InternetGetLastResponseInfoA hands out: it names the host and OpenSSL's reason.
#pragma once

#include "platform/tls/Tls.h"
#include "platform/wininet/InetWire.h"

#include <string>
#include <sys/types.h>

namespace inetwire {

class TInetTls : public tls::TTransport {
public:
    // A client session for Host:Port over the connected descriptor Fd (not owned).
    TInetTls(int fd, const std::string& host, uint16_t port);
    ~TInetTls() override;
    TInetTls(const TInetTls&) = delete;
    TInetTls& operator=(const TInetTls&) = delete;

    // The results of Handshake, Read and Write when nothing can move now: wait for Events.
    static constexpr int WouldBlock = -2;
    // One step of the handshake: 1 when done, WouldBlock, or -1 (Failure set).
    int Handshake(short& events, std::string& failure);
    // As recv and send: bytes moved; 0 at the end of the peer's data (Read only; AlertSeen
    // tells whether it was the closing alert); WouldBlock with Events to wait for; -1 on a
    // failure, errno set (ECONNRESET, EPIPE, or EPROTO for a TLS error).
    ssize_t Read(char* buffer, size_t size, short& events);
    ssize_t Write(const char* data, size_t len, short& events);
    // True when decrypted bytes wait inside the session (no poll would show them).
    bool Pending() const;
    bool AlertSeen() const { return FAlertSeen; }
    // Sends our closing alert when it can go out at once; never waits.
    void Shutdown();

private:
    int Send(const char* data, int len, bool& wouldBlock) override;
    int Receive(char* buffer, int size, bool& wouldBlock) override;
    // Events, or -1 with errno set, for an SSL call's failure Err.
    ssize_t Failed(int err, short& events);

    int FFd;
    std::string FHost;
    uint16_t FPort;
    tls::TSslPtr FSsl;
    int FTransportErrno = 0;  // the errno of the last failed send or receive
    bool FAlertSeen = false;
    bool FSessionKept = false;
};

// "tls " before Key for a TLS connection: the pool keeps them apart from plain ones.
std::string SecureKey(const std::string& key, bool secure);

// Makes a new connection ready for a request to Host:Port. Secure: through Proxy (when
// its Host is not empty) a CONNECT tunnel first, then the TLS handshake, bounded by
// TimeoutMs. Nothing to do for a plain one. ERROR_SUCCESS or the failure's number:
// ERROR_INTERNET_SEC_CERT_* for a certificate not accepted, _SECURITY_CHANNEL_ERROR for
// another handshake failure, _CANNOT_CONNECT for a tunnel the proxy refused (the thread's
// failure text says why), or a socket error.
DWORD PrepareConnection(TInetSocket& sock, bool secure, const TProxy& proxy, const std::string& host, uint16_t port,
                        DWORD timeoutMs);

// The thread's text of the last handshake or tunnel failure ("" when the last call that
// sends had none).
std::string& LastFailureText();

}  // namespace inetwire

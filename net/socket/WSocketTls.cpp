// WSocketTls: TLS on a TCustomWSocket connection: the handshake after the TCP connect
// (or after Dup on a serving socket), reading and writing through the session, and its
// end (see WSocket.h and WSocketTls.h).
//
// Nothing here waits: a handshake step, read or write that OpenSSL cannot finish now
// reports "would block", and the socket's next notification (FD_READ, FD_WRITE, FD_CLOSE)
// takes it up again. While the handshake runs, every notification goes to it and the
// socket stays wsConnecting; when it is done the socket becomes wsConnected and fires
// OnSessionConnected, exactly as a plain connect does. Plaintext that OpenSSL holds
// decrypted but unread is offered again by a FD_READ the socket posts to itself, as no
// notification of the system would ever announce it.
#include "net/socket/WSocketTls.h"
#include "net/socket/WSocketBinding.h"

#include <openssl/err.h>

#include <algorithm>
#include <cstring>

using namespace winsock;

// ==== transport =================================================================================

int TCustomWSocket::TTlsLink::Send(const char* data, int len, bool& wouldBlock) {
    int n = WS(send)(Handle, data, len, 0);
    if (n < 0) {
        int e = WS(WSAGetLastError)();
        wouldBlock = e == WSAEWOULDBLOCK;
        if (!wouldBlock) TransportError = e;
    }
    return n;
}

int TCustomWSocket::TTlsLink::Receive(char* buffer, int size, bool& wouldBlock) {
    if (!HasInput()) {
        int n = WS(recv)(Handle, Input.data(), int(Input.size()), 0);
        if (n <= 0) {
            if (n < 0) {
                int e = WS(WSAGetLastError)();
                wouldBlock = e == WSAEWOULDBLOCK;
                if (!wouldBlock) TransportError = e;
            }
            return n;
        }
        InputAt = 0;
        InputEnd = size_t(n);
    }
    size_t n = std::min(InputEnd - InputAt, size_t(size));
    std::memcpy(buffer, Input.data() + InputAt, n);
    InputAt += n;
    return int(n);
}

// ==== settings ==================================================================================

void TCustomWSocket::SetSslEnable(bool value) {
    if (value == FSslEnable) return;
    if (FState != wsClosed) {
        RaiseError("Cannot change SslEnable if not closed");
        return;
    }
    FSslEnable = value;
}

bool TCustomWSocket::TlsResumed() const { return FTls && FTlsPhase == tlsOpen && tls::Resumed(FTls->Ssl.get()); }

// ==== handshake =================================================================================

// Starts the handshake on the connected handle. A failure to set the session up (a CA
// file that cannot be read, say) fails the handshake like any other.
void TCustomWSocket::BeginTls(bool server) {
    FTlsFailure.clear();
    FTlsCloseNotify = false;
    auto link = std::make_unique<TTlsLink>();
    link->Handle = FHSocket;
    link->Server = server;
    link->Host = FSslHost.empty() ? FAddrStr : FSslHost;
    link->Port = WS(ntohs)(FSin.sin_port);
    try {
        if (server) {
            link->Ssl.reset(SSL_new(FSslServerContext.get()));
            if (!link->Ssl) throw tls::ETlsError("Cannot make a TLS session: " + tls::TakeErrorText());
            SSL_set_accept_state(link->Ssl.get());
        } else {
            link->Ssl = tls::NewClientSession(tls::ClientContext(), link->Host, link->Port);
            SSL_set_connect_state(link->Ssl.get());
        }
        tls::AttachTransport(link->Ssl.get(), link.get());
    } catch (const tls::ETlsError& e) {
        FTls = std::move(link);
        FTlsPhase = tlsHandshake;
        FailTlsHandshake(e.Message());
        return;
    }
    FTls = std::move(link);
    FTlsPhase = tlsHandshake;
    ContinueTlsHandshake(0);
}

void TCustomWSocket::ContinueTlsHandshake(uint16_t event) {
    ERR_clear_error();
    int rc = SSL_do_handshake(FTls->Ssl.get());
    if (rc != 1) {
        int err = SSL_get_error(FTls->Ssl.get(), rc);
        if ((err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) && !(event & FD_CLOSE)) return;
        FailTlsHandshake(tls::HandshakeFailureText(FTls->Ssl.get(), FTls->Host));
        return;
    }
    FTlsPhase = tlsOpen;
    const SOCKET s = FHSocket;
    ChangeState(wsConnected);
    DoSessionConnected(0);
    if (s != FHSocket) return;
    // What came with the end of the handshake, and a close met on the way, are reported
    // as the system would have reported them.
    if (event & FD_CLOSE)
        PostMessageA(FWindowHandle, WM_SOCKET_SELECT, WPARAM(uint32_t(s)), WSAMAKESELECTREPLY(FD_CLOSE, 0));
    else
        OfferTlsPending();
}

// The connection ends as a refused connect does: OnSessionConnected with the error, then
// the close. Nothing was sent or received through TLS, so no closing alert goes out.
void TCustomWSocket::FailTlsHandshake(const std::string& text) {
    FTlsFailure = text;
    FLastError = WSAECONNABORTED;
    EndTls(false);
    ChangeState(wsConnected);
    DoSessionConnected(WSAECONNABORTED);
    if (FState != wsClosed) Close();
}

// ==== data ======================================================================================

int32_t TCustomWSocket::TlsRead(void* buffer, int32_t size) {
    ERR_clear_error();
    int n = SSL_read(FTls->Ssl.get(), buffer, size);
    if (n > 0) return n;
    switch (SSL_get_error(FTls->Ssl.get(), n)) {
    case SSL_ERROR_ZERO_RETURN:
        // The peer's closing alert is its end, even while it keeps the TCP connection
        // open for ours: it is reported as the system reports a close.
        if (!FTlsCloseNotify)
            PostMessageA(FWindowHandle, WM_SOCKET_SELECT, WPARAM(uint32_t(FHSocket)), WSAMAKESELECTREPLY(FD_CLOSE, 0));
        FTlsCloseNotify = true;
        return 0;
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
        WS(WSASetLastError)(WSAEWOULDBLOCK);
        return -1;
    default:
        // The connection ended without the closing alert, or broke: a cut.
        ERR_clear_error();
        WS(WSASetLastError)(FTls->TransportError ? FTls->TransportError : WSAECONNABORTED);
        return -1;
    }
}

int32_t TCustomWSocket::TlsWrite(const void* data, int32_t len) {
    ERR_clear_error();
    int n = SSL_write(FTls->Ssl.get(), data, len);
    if (n > 0) return n;
    int err = SSL_get_error(FTls->Ssl.get(), n);
    ERR_clear_error();
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
        WS(WSASetLastError)(WSAEWOULDBLOCK);
    else
        WS(WSASetLastError)(FTls->TransportError ? FTls->TransportError : WSAECONNABORTED);
    return -1;
}

// Decrypted bytes, or received ones OpenSSL has not taken yet: no notification of the
// system would announce either. (Reading them may still end in "would block" when they
// are not a whole record; then nothing is pending any more.)
bool TCustomWSocket::TlsHasPending() const {
    return FTls && FTlsPhase == tlsOpen && (SSL_pending(FTls->Ssl.get()) > 0 || FTls->HasInput());
}

void TCustomWSocket::OfferTlsPending() {
    if (TlsHasPending())
        PostMessageA(FWindowHandle, WM_SOCKET_SELECT, WPARAM(uint32_t(FHSocket)), WSAMAKESELECTREPLY(FD_READ, 0));
}

// A peer that closed a TLS connection without its closing alert cut it short; after the
// alert, what the TCP connection does (a reset, say) changes nothing: all had come.
uint16_t TCustomWSocket::TlsCloseError(uint16_t error) const {
    if (FTlsPhase != tlsOpen) return error;
    return FTlsCloseNotify ? 0 : error != 0 ? error : uint16_t(WSAECONNABORTED);
}

// ==== end =======================================================================================

void TCustomWSocket::SendCloseAlert() {
    if (FTlsPhase != tlsOpen || (SSL_get_shutdown(FTls->Ssl.get()) & SSL_SENT_SHUTDOWN)) return;
    // One try, never a wait: the alert goes out when the system takes it now.
    ERR_clear_error();
    SSL_shutdown(FTls->Ssl.get());
    ERR_clear_error();
}

void TCustomWSocket::EndTls(bool orderly) {
    if (!FTls) return;
    if (orderly && FTlsPhase == tlsOpen) {
        SendCloseAlert();
        if (!FTls->Server) tls::KeepSession(FTls->Ssl.get(), FTls->Host, FTls->Port);
    }
    FTls.reset();
    FTlsPhase = tlsOff;
}

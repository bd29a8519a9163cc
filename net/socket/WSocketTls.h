// WSocketTls: the TLS session of one TCustomWSocket connection (see WSocket.h, TLS).
//
// TTlsLink owns the SSL object and is its transport: OpenSSL reads and writes the
// connection through the Winsock binding (WS(recv), WS(send)) and never through the
// descriptor, so Winsock's notification rules hold for TLS too (a recv re-enables
// FD_READ, a send that would block brings FD_WRITE). Received bytes are taken from the
// system in large blocks and handed to OpenSSL from a buffer of the link, so that a
// record costs no system call of its own. Included by the socket's sources only.
#pragma once

#include "net/socket/WSocket.h"

#include <vector>

struct TCustomWSocket::TTlsLink : tls::TTransport {
    SOCKET Handle = INVALID_SOCKET;
    tls::TSslPtr Ssl;
    std::string Host;    // SNI and the name checked; also the key of the kept session
    int Port = 0;
    bool Server = false;
    int TransportError = 0;  // the Winsock error of the last failing send or receive
    std::vector<char> Input = std::vector<char>(65536);  // received, not yet taken by OpenSSL
    size_t InputAt = 0, InputEnd = 0;

    bool HasInput() const { return InputAt < InputEnd; }

    int Send(const char* data, int len, bool& wouldBlock) override;
    int Receive(char* buffer, int size, bool& wouldBlock) override;
};

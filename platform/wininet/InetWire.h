// InetWire: the wire side of the internet library: one TCP connection with bounded,
// abortable waits, the response head reader and the body reader, plus the small text
// helpers the calls share (control-byte checks, server names, Basic credentials, the
// proxy settings of the environment, redirect targets). The rules behind the readers and
// helpers are the ones the HTTP client uses too (platform/httpwire).
//
// Invariant: nothing here blocks without a bound. Every wait is one poll() on the socket
// and the request's abort descriptor, with the handle's time-out; the abort descriptor
// becoming readable makes the wait fail with ERROR_INTERNET_OPERATION_CANCELLED.
#pragma once

#include "platform/httpwire/HttpChunk.h"
#include "platform/httpwire/HttpWire.h"
#include "platform/wininet/WinInet.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace inetwire {

class TInetTls;

// Connection time-outs in milliseconds; 0 means no bound.
struct TTimeouts {
    DWORD Connect = 10000;
    DWORD Send = 30000;
    DWORD Receive = 30000;
};

// One TCP connection. Received bytes collect in Buffer from Pos on. A persistent
// connection outlives the request that opened it: it waits in the session's pool (or in
// the getter's line, net/inetget) and serves later requests, each watching its own abort
// descriptor.
class TInetSocket {
public:
    explicit TInetSocket(int abortFd);
    ~TInetSocket();
    TInetSocket(const TInetSocket&) = delete;
    TInetSocket& operator=(const TInetSocket&) = delete;

    // Every wait from now on also watches AbortFd (-1: none).
    void SetAbortFd(int abortFd) { FAbortFd = abortFd; }
    int AbortFd() const { return FAbortFd; }
    // True when the connection is open, nothing received is unread, and nothing has come
    // since (no byte, no close, no error): a new request may be sent on it.
    bool IdleAndOpen() const;
    // Bytes received over the connection's life.
    uint64_t BytesReceived() const { return FBytesReceived; }
    // True until a byte was sent: the connection has carried no request (a preconnection).
    bool Fresh() const { return !FSentAny; }
    // True when the connection ended in an orderly close: the end of stream came, and no
    // send or receive ever failed on it (a reset seen by a send leaves a later receive
    // reporting a plain end of stream) and no error waits on the socket.
    bool ClosedInOrder() const;

    // Resolves Host (IPv4) and connects. ERROR_SUCCESS or an ERROR_INTERNET_* number.
    DWORD Connect(const std::string& host, uint16_t port, DWORD timeoutMs);
    // Puts TLS for Host:Port over the connection (InetTls.h): the handshake, bounded by
    // TimeoutMs; from then on every send and receive goes through it. ERROR_SUCCESS; a
    // wait's failure; or ERROR_INTERNET_SECURITY_CHANNEL_ERROR with Failure set.
    DWORD StartTls(const std::string& host, uint16_t port, DWORD timeoutMs, std::string& failure);
    bool Secure() const { return FTls != nullptr; }
    // True when a TLS connection's data ended with the TCP close but without the peer's
    // closing alert: it was cut, whatever came before.
    bool CutWithoutAlert() const;
    DWORD SendAll(const std::string& bytes, DWORD timeoutMs);
    // Receives whatever is there (waiting for at least one byte) into Buffer. At an orderly
    // close sets Eof and returns ERROR_SUCCESS; a reset gives ERROR_INTERNET_CONNECTION_RESET.
    DWORD Fill(DWORD timeoutMs);
    void Close();

    size_t Available() const { return Buffer.size() - Pos; }
    // Drops consumed bytes once they are a good part of the buffer.
    void Compact();

    std::string Buffer;
    size_t Pos = 0;
    bool Eof = false;

private:
    // Waits for Events on the socket; ERROR_SUCCESS, _TIMEOUT or _OPERATION_CANCELLED.
    DWORD Wait(short events, DWORD timeoutMs);
    // As send and recv, through TLS when it is on: bytes moved, 0 at the end of stream
    // (Take only), TInetTls::WouldBlock with Events to wait for, or -1 with errno set.
    ssize_t Transmit(const char* data, size_t len, short& events);
    ssize_t Take(char* buffer, size_t size, short& events);

    int FAbortFd;
    int FFd = -1;
    uint64_t FBytesReceived = 0;
    bool FSentAny = false;
    bool FBroken = false;  // a send or receive failed (reset, broken pipe ...)
    std::unique_ptr<TInetTls> FTls;  // https: the session over the connection
};

// A parsed response head.
struct TResponseHead {
    std::string Version;  // "HTTP/1.1"
    int Status = 0;
    std::string StatusText;
    std::vector<std::pair<std::string, std::string>> Headers;  // in order, names as sent
    std::string Raw;      // the head as received, lines ending in CR LF, blank line included
    // What the head says about the framing of the body (httpwire::THeadRules).
    int64_t ContentLength = -1;
    bool HasTransferEncoding = false;
    bool Chunked = false;

    // The Index-th value of header Name (case-insensitive); false when absent.
    bool Find(const std::string& name, size_t index, std::string& value) const;
};

// The size bound of a response head (status line and headers).
constexpr size_t MaxHeadBytes = 64 * 1024;

// Reads a response head from the socket by the head rules shared with the HTTP client
// (empty lines before the status line skipped, a few; folded continuation lines joined to
// the field before them). ERROR_SUCCESS, a socket error, or
// ERROR_HTTP_INVALID_SERVER_RESPONSE (not a status line, a bad or conflicting
// Content-Length, a folded framing header, a head of more than MaxHeadBytes, the
// connection closed before the blank line).
DWORD ReadResponseHead(TInetSocket& sock, DWORD timeoutMs, TResponseHead& head);

// Decodes one response body from the socket.
class TBodyReader {
public:
    enum TMode { None, Length, Chunked, UntilClose };
    // Chooses the framing from the head and the request's verb (httpwire::FramingOf).
    void Start(const TResponseHead& head, const std::string& verb);
    // Copies up to Count body bytes into Dest, waiting until Count have come or the body
    // ended; *Got receives the count. A failure after some bytes were copied is kept and
    // returned by the next call, so no byte is lost. A malformed chunked body fails with
    // ERROR_HTTP_INVALID_SERVER_RESPONSE, a body cut short with
    // ERROR_INTERNET_CONNECTION_ABORTED. A body framed by the close ends only at an
    // orderly close of a connection that carried no request behind it; a reset fails it
    // with ERROR_INTERNET_CONNECTION_RESET, a close after requests sent behind it with
    // ERROR_INTERNET_CONNECTION_ABORTED (its end cannot be told from a cut).
    DWORD Read(TInetSocket& sock, char* dest, size_t count, size_t* got, DWORD timeoutMs);
    bool Ended() const { return FState == Done; }
    TMode Mode() const { return FMode; }
    // A request went out on the connection behind this answer (or the connection carried
    // requests sent ahead before it): the server may close, or reset, because of requests
    // it left unread, so a close never ends this body. Start clears it.
    void NoteRequestBehind() { FRequestBehind = true; }

private:
    enum TState { Data, Done };
    DWORD Step(TInetSocket& sock, char* dest, size_t count, size_t* got, DWORD timeoutMs);
    DWORD ChunkedStep(TInetSocket& sock, char* dest, size_t count, size_t* got);

    TMode FMode = None;
    TState FState = Done;
    uint64_t FRemaining = 0;  // bytes left of the body (Length)
    httpwire::TChunkDecoder FChunks{httpwire::MaxLineBytes, MaxHeadBytes};
    DWORD FPendingError = ERROR_SUCCESS;
    bool FRequestBehind = false;
};

// ---- texts ----------------------------------------------------------------------------------

// True when Text holds no byte below 0x20 and no 0x7F (tab allowed when AllowTab).
bool IsCleanText(const std::string& text, bool allowTab = true);
// Splits "host[:port]"; the port written in the name wins over DefaultPort (0: port 80).
// False when the host is empty or holds a control byte, a blank or one of : / ? # @, or
// the port is not a number from 1 to 65535.
bool SplitServerName(const std::string& name, uint16_t defaultPort, std::string& host,
                     uint16_t& port);
// "host" for the scheme's default port (80; Secure: 443), "host:port" otherwise.
std::string HostHeader(const std::string& host, uint16_t port, bool secure = false);
// Base64(Bytes): standard Base64 of Basic credentials.
using httpwire::Base64;

// A proxy to use: Host empty means go direct.
struct TProxy {
    std::string Host;
    uint16_t Port = 0;
    std::string Credentials;  // "user:password" or empty
    std::string Bypass;       // no_proxy's form
};
// Parses "[http://][user:password@]host[:port]" (port default 80; "http=" prefix allowed).
bool ParseProxy(const std::string& text, TProxy& proxy);
// The environment's http_proxy (Secure: https_proxy) and no_proxy (empty Host when none
// is set or it is invalid).
TProxy EnvironmentProxy(bool secure = false);
// True when Host matches an entry of the bypass list.
bool Bypassed(const std::string& bypass, const std::string& host);

// A redirect target resolved against the current address (Secure: https, else http;
// host, port and object name) as RFC 3986 section 5 resolves a reference
// (httpwire::ResolveReference): "." and ".." segments removed, "#s" the same object, a
// fragment dropped. Http may lead to https (Secure set; its default port 443); https
// never leads to http. False for a malformed target (a control byte, a server name
// SplitServerName refuses) or any other scheme, with Scheme set to the target's (so
// "http" from https, "ftp", "file", "javascript" ...).
bool ResolveLocation(const std::string& location, bool& secure, std::string& host, uint16_t& port,
                     std::string& object, std::string& scheme);
// The same from and to http only: an https target is refused like any other scheme.
bool ResolveLocation(const std::string& location, std::string& host, uint16_t& port,
                     std::string& object, std::string& scheme);

}  // namespace inetwire

// InetExchange: one request's exchange on a connection, for the internet library's calls:
// the request head composed from the handles, the connection taken from the pool or made,
// the final response head read, and the connection given back (to the next request in its
// line, to the pool, or closed) once the body has ended. Internal to the library.
//
// A request holds its connection (Sock) from the send until its body ended; then the
// connection goes to the session's pool (InetPool) when both sides mean to keep it, and is
// closed otherwise. A request whose head went out early is in the line (InetLine) of that
// connection and keeps a share of it (Line); the holder of a connection with a line keeps
// one too, and hands the connection to the line instead of the pool.
#pragma once

#include "platform/wininet/InetHandles.h"

#include <string>
#include <vector>

namespace inetwire {

// ---- request composition ---------------------------------------------------------------------

// The caller's header text: Length bytes, or up to the NUL for (DWORD)-1.
std::string HeaderText(LPCSTR headers, DWORD length);
// The object name as it goes on the request line: spaces and bytes above 127
// percent-encoded, a leading "/" added.
std::string EncodeObject(const std::string& object);
// The caller's extra header lines, checked: false for a line that is not "Name: value" or
// holds control bytes. Content-Length lines are dropped: framing is ours to write.
bool SplitExtraHeaders(const std::string& text, std::vector<std::string>& lines);

struct TTarget {
    std::string Host;
    uint16_t Port = INTERNET_DEFAULT_HTTP_PORT;
    std::string Object;
    std::string Verb;
    bool SendCredentials = true;  // false once a redirect left the original server
    bool Secure = false;          // https
};

// Where the request goes before any redirect.
TTarget FirstTarget(const TRequestHandle& req);
// The proxy requests of the session to Host go through (https_proxy's for a secure one);
// an empty Host when they go direct.
TProxy ProxyFor(const TSessionHandle& session, const std::string& host, bool secure);
// The pool key of connections to T's place through Proxy (or direct); TLS ones apart.
std::string TargetKey(const TTarget& t, const TProxy& proxy);

// True when a value of header Name holds Token.
bool HeaderHasToken(const TResponseHead& head, const std::string& name, const std::string& token);

// How a request asks about its connection (see WinInet.h): the version on the wire, the
// Connection line we add (empty: none), and whether it asks to keep the connection.
struct TConnectionAsk {
    std::string Version;
    std::string Line;
    bool Persistent = false;
};

TConnectionAsk AskForConnection(const TRequestHandle& req, const std::vector<std::string>& extra);
// The request head: request line (absolute form through a proxy), our header lines, the
// caller's, and Content-Length for a body (or a POST or PUT).
std::string ComposeHead(const TRequestHandle& req, const TConnectHandle& conn, const TSessionHandle& session,
                        const TTarget& t, bool proxied, const TConnectionAsk& ask,
                        const std::vector<std::string>& extra, size_t bodyLength);
// True when requests of the session to Host go through its proxy (Secure: the https one).
bool Proxied(const TSessionHandle& session, const std::string& host, bool secure);

// ---- exchanges and connections -----------------------------------------------------------------

// Reads the final response head on the request's connection, skipping interim 1xx answers.
DWORD ReadFinalHead(TRequestHandle& req, const TTimeouts& limits);
// True when the exchange failed because the server closed (or reset) the connection
// before any byte of the answer: it may never have seen the request.
bool ClosedUnanswered(DWORD r, const TInetSocket& sock, uint64_t receivedBefore);
// Takes an idle pooled connection of the kind asked for, when Reuse allows, or connects.
DWORD TakeOrConnect(TRequestHandle& req, const std::string& key, bool reuse, TInetPool::TTake kind,
                    const std::string& host, uint16_t port, DWORD connectMs, std::unique_ptr<TInetSocket>& sock,
                    bool& reused);
// Connects for a request to T (through Proxy when its Host is set): the connection,
// then for https the tunnel and the TLS handshake (InetTls.h).
DWORD ConnectFor(TRequestHandle& req, const TTarget& t, const TProxy& proxy, DWORD connectMs,
                 std::unique_ptr<TInetSocket>& sock);
// One exchange: connection, send, final head (see the source for the retry rule).
DWORD Exchange(TRequestHandle& req, const TTimeouts& limits, const TTarget& t, bool proxied, const TProxy& proxy,
               const std::string& head, const std::string& body, bool newOnly);
// Lets go of the request's place in its line, breaking the line.
void LeaveLine(TRequestHandle& req);
// Closes the request's connection before its body ended.
void DropConnection(TRequestHandle& req);
// The answer of a request sent ahead, read on its line's connection when its turn came.
DWORD AnswerFromLine(TRequestHandle& req, const TTimeouts& limits, bool& again, bool& newOnly);
// True when an answer says its connection stays open after it.
bool HeadKeepsConnection(const TResponseHead& head);
// True when the request's connection may serve another request.
bool ConnectionKept(const TRequestHandle& req);
// Once the body has ended, the connection goes to the next in line, to the pool, or closes.
void ReleaseConnection(TRequestHandle& req);
// Reads a short redirect body away so that its connection can serve the next hop.
void DrainRedirect(TRequestHandle& req, const std::string& verb);
bool IsRedirect(int status);

}  // namespace inetwire

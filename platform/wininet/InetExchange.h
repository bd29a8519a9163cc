// InetExchange: one request's exchange on a connection, for the internet library's calls:
// the request head composed from the handles, the connection taken from the pool or made,
// the final response head read, and the connection given back (to the pool, or closed)
// once the body has ended. Internal to the library; the wire rules it follows are shared
// (InetRequestHead.h).
//
// A request holds its connection (Sock) from the send until its body ended; then the
// connection goes to the session's pool (InetPool) when both sides mean to keep it, and is
// closed otherwise.
#pragma once

#include "platform/wininet/InetHandles.h"
#include "platform/wininet/InetRequestHead.h"

#include <string>
#include <vector>

namespace inetwire {

// ---- request composition ---------------------------------------------------------------------

// The caller's header text: Length bytes, or up to the NUL for (DWORD)-1.
std::string HeaderText(LPCSTR headers, DWORD length);

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

// How the request asks about its connection (see WinInet.h and InetRequestHead.h).
TConnectionAsk AskForConnection(const TRequestHandle& req, const std::vector<std::string>& extra);
// The request head: request line (absolute form through a proxy), our header lines, the
// caller's, and Content-Length for a body (or a POST or PUT).
std::string ComposeHead(const TRequestHandle& req, const TConnectHandle& conn, const TSessionHandle& session,
                        const TTarget& t, bool proxied, const TConnectionAsk& ask,
                        const std::vector<std::string>& extra, size_t bodyLength);

// ---- exchanges and connections -----------------------------------------------------------------

// Reads the final response head on the request's connection, skipping interim 1xx answers.
DWORD ReadFinalHead(TRequestHandle& req, const TTimeouts& limits);
// Takes an idle pooled connection when Reuse allows, or connects.
DWORD TakeOrConnect(TRequestHandle& req, const std::string& key, bool reuse, const std::string& host, uint16_t port,
                    DWORD connectMs, std::unique_ptr<TInetSocket>& sock, bool& reused);
// One exchange: connection, send, final head (see the source for the retry rule).
DWORD Exchange(TRequestHandle& req, const TTimeouts& limits, const TTarget& t, bool proxied, const TProxy& proxy,
               const std::string& head, const std::string& body);
// Closes the request's connection before its body ended.
void DropConnection(TRequestHandle& req);
// True when the request's connection may serve another request.
bool ConnectionKept(const TRequestHandle& req);
// Once the body has ended, the connection goes to the pool, or closes.
void ReleaseConnection(TRequestHandle& req);
// Reads a short redirect body away so that its connection can serve the next hop.
void DrainRedirect(TRequestHandle& req, const std::string& verb);
bool IsRedirect(int status);

}  // namespace inetwire

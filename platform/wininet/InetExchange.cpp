// InetExchange: a request's exchange on a connection (see InetExchange.h). Sections:
// request composition, exchanges and connections.
#include "platform/wininet/InetExchange.h"

#include "platform/rtl/SysUtils.h"
#include "platform/wininet/InetTls.h"

#include <chrono>

namespace inetwire {

// The caller's header text: Length bytes, or up to the NUL for (DWORD)-1.
std::string HeaderText(LPCSTR headers, DWORD length) {
    if (!headers) return "";
    return length == DWORD(-1) ? std::string(headers) : std::string(headers, length);
}

// ==== request composition =====================================================================

TConnectionAsk AskForConnection(const TRequestHandle& req, const std::vector<std::string>& extra) {
    return inetwire::AskForConnection(req.Version, (req.Flags & INTERNET_FLAG_KEEP_CONNECTION) != 0, extra);
}

std::string ComposeHead(const TRequestHandle& req, const TConnectHandle& conn, const TSessionHandle& session,
                        const TTarget& t, bool proxied, const TConnectionAsk& ask,
                        const std::vector<std::string>& extra, size_t bodyLength) {
    // Through a proxy an https request travels in its tunnel, as to the server itself.
    const bool absolute = proxied && !t.Secure;
    TRequestFields f;
    f.Verb = t.Verb;
    f.Target = absolute ? "http://" + HostHeader(t.Host, t.Port) + t.Object : t.Object;
    f.Version = ask.Version;
    f.Accept = req.Accept;
    f.Referer = req.Referer;
    f.Agent = session.Agent;
    f.Host = HostHeader(t.Host, t.Port, t.Secure);
    if (t.SendCredentials && !conn.UserName.empty()) f.Credentials = conn.UserName + ":" + conn.Password;
    if (absolute) f.ProxyCredentials = session.Proxy.Credentials;
    f.PragmaNoCache = (req.Flags & INTERNET_FLAG_PRAGMA_NOCACHE) != 0;
    f.Connection = ask.Line;
    f.Extra = extra;
    f.SendsLength = bodyLength || SameText(t.Verb, "POST") || SameText(t.Verb, "PUT");
    f.BodyLength = bodyLength;
    return ComposeRequestHead(f);
}

// ==== exchanges and connections ===================================================================

// Reads the final response head on the request's connection, skipping interim 1xx answers.
DWORD ReadFinalHead(TRequestHandle& req, const TTimeouts& limits) {
    DWORD r = ReadFinalResponseHead(*req.Sock, limits.Receive, req.Response);
    if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_RECEIVE_TIMEOUT;
    return r;
}

// Takes an idle pooled connection to Key when Reuse allows and there is one (Reused set),
// or connects to Host and Port; either way the connection watches the request's abort
// descriptor. ERROR_SUCCESS or the connect failure's number.
DWORD TakeOrConnect(TRequestHandle& req, const std::string& key, bool reuse, const std::string& host, uint16_t port,
                    DWORD connectMs, std::unique_ptr<TInetSocket>& sock, bool& reused) {
    sock = reuse ? req.Session().Pool->Take(key) : nullptr;
    reused = sock != nullptr;
    if (reused) {
        sock->SetAbortFd(req.AbortFd);
        return ERROR_SUCCESS;
    }
    sock = std::make_unique<TInetSocket>(req.AbortFd);
    DWORD r = sock->Connect(host, port, connectMs);
    if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_CONNECT_TIMEOUT;
    return r;
}

// One exchange: takes an idle connection to the same place (a GET without a body only)
// or connects, sends, and reads the head, skipping interim 1xx answers. An idle
// connection can have been closed by the server at any moment since it was pooled: when
// it ends before any byte of an answer, the GET goes once more on a new connection. A new
// connection failing so is the server's failure and is not retried; other verbs always
// go on a new connection and are never sent twice.
DWORD Exchange(TRequestHandle& req, const TTimeouts& limits, const TTarget& t, bool proxied,
               const TProxy& proxy, const std::string& head, const std::string& body) {
    const TProxy via = proxied ? proxy : TProxy();
    req.SockKey = TargetKey(t, via);
    bool mayReuse = req.Persistent && SameText(t.Verb, "GET") && body.empty();
    for (int attempt = 0;; ++attempt) {
        bool reused = false;
        DWORD r = TakeOrConnect(req, req.SockKey, attempt == 0 && mayReuse, proxied ? proxy.Host : t.Host,
                                proxied ? proxy.Port : t.Port, limits.Connect, req.Sock, reused);
        // A new https connection is of no use before its tunnel and handshake.
        if (r == ERROR_SUCCESS && !reused) r = PrepareConnection(*req.Sock, t.Secure, via, t.Host, t.Port, limits.Connect);
        if (r == ERROR_INTERNET_TIMEOUT && !reused && !req.ExpiredTimeout)
            req.ExpiredTimeout = INTERNET_OPTION_CONNECT_TIMEOUT;
        uint64_t before = req.Sock->BytesReceived();
        if (r == ERROR_SUCCESS) {
            r = req.Sock->SendAll(head + body, limits.Send);
            if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_SEND_TIMEOUT;
        }
        if (r == ERROR_SUCCESS) r = ReadFinalHead(req, limits);
        if (reused && ClosedUnanswered(r, *req.Sock, before)) continue;
        return r;
    }
}

// Closes the request's connection before its body ended (a failure, a new send, a redirect
// not worth draining).
void DropConnection(TRequestHandle& req) { req.Sock.reset(); }

// True when the request's connection may serve another request: we asked to keep it, its
// body ended by its framing (not by the close) with nothing sent beyond it (Put checks
// that), and the answer keeps it.
bool ConnectionKept(const TRequestHandle& req) {
    if (!req.Persistent || !req.Body.Ended() || req.Body.Mode() == TBodyReader::UntilClose) return false;
    return HeadKeepsConnection(req.Response);
}

// Once the body has ended, the connection goes to the pool, or is closed.
void ReleaseConnection(TRequestHandle& req) {
    if (!req.Sock || !req.Body.Ended()) return;
    std::unique_ptr<TInetSocket> sock = std::move(req.Sock);
    if (ConnectionKept(req)) req.Session().Pool->Put(req.SockKey, std::move(sock));
}

// Reads a redirect's body away, so that its connection can serve the next hop, when it is
// short and comes at once; a long or slow one is not worth the wait and its connection is
// closed instead.
void DrainRedirect(TRequestHandle& req, const std::string& verb) {
    constexpr size_t MaxDrainBytes = 64 * 1024;
    constexpr auto MaxDrainTime = std::chrono::milliseconds(200);
    req.Body.Start(req.Response, verb);
    auto deadline = std::chrono::steady_clock::now() + MaxDrainTime;
    size_t total = 0;
    while (req.Persistent && !req.Body.Ended() && total <= MaxDrainBytes) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        char scratch[4096];
        size_t got = 0;
        if (req.Body.Read(*req.Sock, scratch, sizeof scratch, &got, DWORD(left)) != ERROR_SUCCESS) break;
        total += got;
    }
    ReleaseConnection(req);
    DropConnection(req);
}

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

TProxy ProxyFor(const TSessionHandle& session, const std::string& host, bool secure) {
    const TProxy& proxy = secure ? session.SecureProxy : session.Proxy;
    return proxy.Host.empty() || Bypassed(proxy.Bypass, host) ? TProxy() : proxy;
}

TTarget FirstTarget(const TRequestHandle& req) {
    TTarget t{req.Connection().Host, req.Port, req.Object, req.Verb, true};
    t.Secure = req.Secure;
    return t;
}

std::string TargetKey(const TTarget& t, const TProxy& proxy) {
    return SecureKey(PoolKey(t.Host, t.Port, proxy.Host, proxy.Port), t.Secure);
}

}  // namespace inetwire

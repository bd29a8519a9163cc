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

// Spaces and bytes above 127 in an object name are percent-encoded so that the request
// line stays three words of plain ASCII; everything else goes as given.
std::string EncodeObject(const std::string& object) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : object) {
        if (c == ' ' || c >= 0x80) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += char(c);
        }
    }
    if (out.empty() || out[0] != '/') out = "/" + out;
    return out;
}

// The caller's extra header lines, checked: each is "Name: value" without control bytes.
bool SplitExtraHeaders(const std::string& text, std::vector<std::string>& lines) {
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(start, nl - start);
        start = nl + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) continue;
        size_t colon = line.find(':');
        if (!IsCleanText(line) || colon == std::string::npos || colon == 0 || line[0] == ' ')
            return false;
        // Framing headers are ours to write.
        if (SameText(Trim(line.substr(0, colon)), "Content-Length")) continue;
        lines.push_back(line);
    }
    return true;
}


// True when a value of header Name holds Token.
bool HeaderHasToken(const TResponseHead& head, const std::string& name, const std::string& token) {
    std::string value;
    for (size_t i = 0; head.Find(name, i, value); ++i)
        if (httpwire::ListHasToken(value, token)) return true;
    return false;
}


TConnectionAsk AskForConnection(const TRequestHandle& req, const std::vector<std::string>& extra) {
    TConnectionAsk ask;
    bool keep = req.Version == "HTTP/1.1" ||
                (req.Version == "HTTP/1.0" && (req.Flags & INTERNET_FLAG_KEEP_CONNECTION));
    ask.Version = keep ? "HTTP/1.1" : req.Version;
    ask.Persistent = keep;
    // HTTP/1.0 closes by default; any other version is asked to.
    ask.Line = keep ? "Keep-Alive" : req.Version == "HTTP/1.0" ? "" : "close";
    for (const std::string& line : extra) {
        size_t colon = line.find(':');
        if (!SameText(Trim(line.substr(0, colon)), "Connection")) continue;
        ask.Line.clear();  // the caller's line says it
        if (httpwire::ListHasToken(line.substr(colon + 1), "close")) ask.Persistent = false;
    }
    return ask;
}

std::string ComposeHead(const TRequestHandle& req, const TConnectHandle& conn, const TSessionHandle& session,
                        const TTarget& t, bool proxied, const TConnectionAsk& ask,
                        const std::vector<std::string>& extra, size_t bodyLength) {
    // Through a proxy an https request travels in its tunnel, as to the server itself.
    const bool absolute = proxied && !t.Secure;
    std::string target = absolute ? "http://" + HostHeader(t.Host, t.Port) + t.Object : t.Object;
    std::string head = t.Verb + " " + target + " " + ask.Version + "\r\n";
    if (!req.Accept.empty()) head += "Accept: " + req.Accept + "\r\n";
    if (!req.Referer.empty()) head += "Referer: " + req.Referer + "\r\n";
    if (!session.Agent.empty()) head += "User-Agent: " + session.Agent + "\r\n";
    head += "Host: " + HostHeader(t.Host, t.Port, t.Secure) + "\r\n";
    if (t.SendCredentials && !conn.UserName.empty())
        head += "Authorization: Basic " + Base64(conn.UserName + ":" + conn.Password) + "\r\n";
    if (absolute && !session.Proxy.Credentials.empty())
        head += "Proxy-Authorization: Basic " + Base64(session.Proxy.Credentials) + "\r\n";
    if (req.Flags & INTERNET_FLAG_PRAGMA_NOCACHE) head += "Pragma: no-cache\r\n";
    if (!ask.Line.empty()) head += "Connection: " + ask.Line + "\r\n";
    for (const std::string& line : extra) head += line + "\r\n";
    if (bodyLength || SameText(t.Verb, "POST") || SameText(t.Verb, "PUT"))
        head += "Content-Length: " + IntToStr(int64_t(bodyLength)) + "\r\n";
    return head + "\r\n";
}

// ==== exchanges and connections ===================================================================

// Interim 1xx answers skipped before the final one; real servers send one or two.
constexpr int MaxInterimAnswers = 16;

// Reads the final response head on the request's connection, skipping interim 1xx answers.
DWORD ReadFinalHead(TRequestHandle& req, const TTimeouts& limits) {
    DWORD r = ERROR_SUCCESS;
    for (int interim = 0; r == ERROR_SUCCESS; ++interim) {
        // A server that sends interim answers without end would hold the request
        // forever, each one a fresh head within the bounds.
        if (interim > MaxInterimAnswers) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        r = ReadResponseHead(*req.Sock, limits.Receive, req.Response);
        if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_RECEIVE_TIMEOUT;
        if (r != ERROR_SUCCESS || req.Response.Status < 100 || req.Response.Status >= 200) break;
    }
    return r;
}

// True when the exchange failed because the server closed (or reset) the connection
// before any byte of the answer: it may never have seen the request.
bool ClosedUnanswered(DWORD r, const TInetSocket& sock, uint64_t receivedBefore) {
    return r != ERROR_SUCCESS && r != ERROR_INTERNET_TIMEOUT && r != ERROR_INTERNET_OPERATION_CANCELLED &&
           sock.BytesReceived() == receivedBefore;
}

// Takes an idle pooled connection to Key when Reuse allows and there is one of the kind
// asked for (Reused set), or connects to Host and Port; either way the connection watches
// the request's abort descriptor. ERROR_SUCCESS or the connect failure's number.
DWORD TakeOrConnect(TRequestHandle& req, const std::string& key, bool reuse, TInetPool::TTake kind, const std::string& host,
                    uint16_t port, DWORD connectMs, std::unique_ptr<TInetSocket>& sock, bool& reused) {
    sock = reuse ? req.Session().Pool->Take(key, kind) : nullptr;
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

DWORD ConnectFor(TRequestHandle& req, const TTarget& t, const TProxy& proxy, DWORD connectMs,
                 std::unique_ptr<TInetSocket>& sock) {
    const bool proxied = !proxy.Host.empty();
    bool reused = false;
    DWORD r = TakeOrConnect(req, "", false, TInetPool::tkAny, proxied ? proxy.Host : t.Host,
                            proxied ? proxy.Port : t.Port, connectMs, sock, reused);
    if (r == ERROR_SUCCESS) r = PrepareConnection(*sock, t.Secure, proxy, t.Host, t.Port, connectMs);
    if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_CONNECT_TIMEOUT;
    return r;
}

// One exchange: takes an idle connection to the same place (GET only; not with NewOnly)
// or connects, sends, and reads the head, skipping interim 1xx answers. An idle
// connection can have been closed by the server at any moment since it was pooled: when
// it ends before any byte of an answer, the GET goes once more on a new connection. A new
// connection failing so is the server's failure and is not retried; other verbs are
// never sent twice.
DWORD Exchange(TRequestHandle& req, const TTimeouts& limits, const TTarget& t, bool proxied,
               const TProxy& proxy, const std::string& head, const std::string& body, bool newOnly) {
    const TProxy via = proxied ? proxy : TProxy();
    req.SockKey = TargetKey(t, via);
    bool mayReuse = req.Persistent && SameText(t.Verb, "GET") && body.empty() && !newOnly;
    for (int attempt = 0;; ++attempt) {
        bool reused = false;
        // Any verb may take a preconnection: no request has been on it yet.
        DWORD r = TakeOrConnect(req, req.SockKey, attempt == 0 && !newOnly,
                                mayReuse ? TInetPool::tkAny : TInetPool::tkFreshOnly, proxied ? proxy.Host : t.Host,
                                proxied ? proxy.Port : t.Port, limits.Connect, req.Sock, reused);
        // A new https connection is of no use before its tunnel and handshake.
        if (r == ERROR_SUCCESS && !reused) r = PrepareConnection(*req.Sock, t.Secure, via, t.Host, t.Port, limits.Connect);
        if (r == ERROR_INTERNET_TIMEOUT && !reused && !req.ExpiredTimeout)
            req.ExpiredTimeout = INTERNET_OPTION_CONNECT_TIMEOUT;
        req.ConnectionId = req.Sock->Id();
        uint64_t before = req.Sock->BytesReceived();
        if (r == ERROR_SUCCESS) {
            r = req.Sock->SendAll(head + body, limits.Send);
            if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_SEND_TIMEOUT;
        }
        if (r == ERROR_SUCCESS) r = ReadFinalHead(req, limits);
        if (reused && mayReuse && ClosedUnanswered(r, *req.Sock, before)) continue;
        return r;
    }
}

// Lets go of the request's place in its line, breaking the line: the requests behind it
// will be sent afresh.
void LeaveLine(TRequestHandle& req) {
    if (!req.Line) return;
    req.Line->Break(req.Id);
    req.Line.reset();
}

// Closes the request's connection before its body ended (a failure, a new send, a redirect
// not worth draining).
void DropConnection(TRequestHandle& req) {
    LeaveLine(req);
    req.Sock.reset();
}

// The answer of a request sent ahead, read on its line's connection when its turn has
// come. Again is set when the request must be sent afresh instead: on any connection when
// the line broke before its turn, on a new one (NewOnly) when the connection closed before
// any byte of its answer.
DWORD AnswerFromLine(TRequestHandle& req, const TTimeouts& limits, bool& again, bool& newOnly) {
    again = newOnly = false;
    req.Sock = req.Line->TakeTurn(req.Id);
    if (!req.Sock) {
        req.Line.reset();
        again = true;
        return ERROR_SUCCESS;
    }
    req.Sock->SetAbortFd(req.AbortFd);
    // Bytes already there are this answer's: the server had begun it.
    bool begun = req.Sock->Available() > 0;
    uint64_t before = req.Sock->BytesReceived();
    DWORD r = ReadFinalHead(req, limits);
    if (r != ERROR_SUCCESS && !begun && ClosedUnanswered(r, *req.Sock, before)) {
        DropConnection(req);
        again = newOnly = true;
        return ERROR_SUCCESS;
    }
    return r;
}

// True when an answer says its connection stays open after it: the server did not say
// close, and an HTTP/1.0 server said keep-alive.
bool HeadKeepsConnection(const TResponseHead& head) {
    if (HeaderHasToken(head, "Connection", "close") || HeaderHasToken(head, "Proxy-Connection", "close"))
        return false;
    if (head.Version == "HTTP/1.0")
        return HeaderHasToken(head, "Connection", "keep-alive") ||
               HeaderHasToken(head, "Proxy-Connection", "keep-alive");
    return head.Version.compare(0, 7, "HTTP/1.") == 0;
}

// True when the request's connection may serve another request: we asked to keep it, its
// body ended by its framing (not by the close) with nothing sent beyond it (Put checks
// that), and the answer keeps it.
bool ConnectionKept(const TRequestHandle& req) {
    if (!req.Persistent || !req.Body.Ended() || req.Body.Mode() == TBodyReader::UntilClose) return false;
    return HeadKeepsConnection(req.Response);
}

// Once the body has ended, the connection goes to the next request in its line, to the
// pool, or is closed.
void ReleaseConnection(TRequestHandle& req) {
    if (!req.Sock || !req.Body.Ended()) return;
    std::unique_ptr<TInetSocket> sock = std::move(req.Sock);
    bool kept = ConnectionKept(req);
    if (req.Line) {
        sock = req.Line->Release(req.Id, std::move(sock), kept);
        req.Line.reset();
    }
    if (sock && kept) req.Session().Pool->Put(req.SockKey, std::move(sock));
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


bool Proxied(const TSessionHandle& session, const std::string& host, bool secure) {
    return !ProxyFor(session, host, secure).Host.empty();
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

// WinInet: the handle table and the internet library's calls (see WinInet.h).
//
// Every handle is a THandle in a table keyed by its number. A call takes a shared
// reference out of the table under the table lock, then works on the object with the
// table lock released, so InternetCloseHandle from another thread can remove the handle
// (and its descendants) at any moment: it marks them closed and signals each request's
// abort descriptor, which every wait of that request watches. The object itself lives on
// until the last call holding it returns.
//
// Connections: a request holds its connection (Sock) from the send until its body ended;
// then the connection goes to the session's pool (InetPool) when both sides mean to keep
// it, and is closed otherwise. A pooled connection belongs to the session: closing the
// session closes the pool.
//
// Sending ahead: a request whose head went out early is in the line (InetLine) of that
// connection and keeps a share of it (Line). The holder of a connection with a line keeps
// one too, and hands the connection to the line instead of the pool. A request touches
// another request's fields only under that request's lock, taken with try_lock: a call
// never waits for another thread.
//
// Lock order: a request's own lock, then (tried only) other requests' locks, then the
// table lock, then a line's lock. A handle can be destroyed under the table lock, and its
// destructor takes its line's lock.
//
// Sections: handles and errors, session and connection, request composition, sending and
// redirects, sending ahead, queries, reading, options.
#include "platform/wininet/WinInet.h"

#include "platform/wininet/InetLine.h"
#include "platform/wininet/InetPool.h"
#include "platform/wininet/InetWire.h"
#include "platform/rtl/SysUtils.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>

using namespace inetwire;

namespace {

// ==== handles and errors =====================================================================

enum THandleKind { hkSession, hkConnect, hkRequest };

struct THandle {
    THandleKind Kind = hkSession;
    uintptr_t Id = 0;
    std::shared_ptr<THandle> Parent;
    std::vector<std::weak_ptr<THandle>> Children;  // guarded by the table lock
    TTimeouts Timeouts;
    int AbortFd = -1;                              // requests: readable once closed
    std::mutex Lock;                               // serialises calls on this handle

    // Session.
    std::string Agent;
    TProxy Proxy;
    std::shared_ptr<TInetPool> Pool;
    // Connection.
    std::string Host, UserName, Password;
    uint16_t Port = INTERNET_DEFAULT_HTTP_PORT;
    // Request.
    std::string Verb, Object, Version, Referer, Accept;
    DWORD Flags = 0;
    std::string RequestHead;  // the head last sent, for HTTP_QUERY_FLAG_REQUEST_HEADERS
    bool HaveResponse = false;
    TResponseHead Response;
    std::unique_ptr<TInetSocket> Sock;  // until the body ended
    std::string SockKey;                // where Sock goes (PoolKey)
    bool Persistent = false;            // the request asked to keep its connection
    TBodyReader Body;
    std::atomic<DWORD> ExpiredTimeout{0};  // INTERNET_OPTION_EXPIRED_TIMEOUT
    std::atomic<DWORD> ConnectionId{0};    // INTERNET_OPTION_CONNECTION_ID
    bool Sent = false;                     // HttpSendRequestA was called
    bool SentAhead = false;                // its head went out ahead, its answer is due on Line
    std::vector<std::string> AheadExtra;   // the header lines it was sent ahead with
    std::shared_ptr<TInetLine> Line;       // the line it waits in, or whose connection it holds

    ~THandle() {
        // Closed in line or holding the connection: nobody would read the answers behind.
        if (Line) Line->Break(Id);
        Sock.reset();
        if (AbortFd >= 0) ::close(AbortFd);
    }
};

std::mutex gTableLock;
std::map<uintptr_t, std::shared_ptr<THandle>> gHandles;
uintptr_t gNextHandle = 1;
TTimeouts gDefaultTimeouts;      // guarded by gTableLock
TPoolLimits gDefaultPoolLimits;  // guarded by gTableLock

thread_local DWORD tLastError = ERROR_SUCCESS;

// Sets the thread's error and returns the failure value of the call's type.
BOOL Fail(DWORD error) {
    tLastError = error;
    return FALSE;
}
HINTERNET FailHandle(DWORD error) {
    tLastError = error;
    return nullptr;
}

// The live handle of this number and kind, or null with the thread's error set.
std::shared_ptr<THandle> Lookup(HINTERNET h, THandleKind kind) {
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(h));
    if (it == gHandles.end()) {
        tLastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (it->second->Kind != kind) {
        tLastError = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        return nullptr;
    }
    return it->second;
}

// Enters a new handle below Parent (null for a session), inheriting its time-outs.
// Refused as a closed handle when Parent was closed after the caller looked it up: the
// close did not see the new handle, so nothing would ever wake a wait on it.
HINTERNET Insert(std::shared_ptr<THandle> h, std::shared_ptr<THandle> parent) {
    std::lock_guard<std::mutex> g(gTableLock);
    if (parent && gHandles.count(parent->Id) == 0) return FailHandle(ERROR_INVALID_HANDLE);
    h->Timeouts = parent ? parent->Timeouts : gDefaultTimeouts;
    if (parent) parent->Children.push_back(h);
    h->Parent = std::move(parent);
    h->Id = gNextHandle++;
    gHandles.emplace(h->Id, h);
    tLastError = ERROR_SUCCESS;
    return reinterpret_cast<HINTERNET>(h->Id);
}

// Removes H and its descendants from the table and wakes every wait on them. Caller
// holds the table lock.
void CloseTree(const std::shared_ptr<THandle>& h) {
    gHandles.erase(h->Id);
    if (h->Pool) h->Pool->Close();
    if (h->AbortFd >= 0) {
        uint64_t one = 1;
        (void)!::write(h->AbortFd, &one, sizeof one);
    }
    for (auto& weak : h->Children)
        if (auto child = weak.lock()) CloseTree(child);
    h->Children.clear();
}

const char* OrEmpty(LPCSTR s) { return s ? s : ""; }

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

struct TTarget {
    std::string Host;
    uint16_t Port = INTERNET_DEFAULT_HTTP_PORT;
    std::string Object;
    std::string Verb;
    bool SendCredentials = true;  // false once a redirect left the original server
};

// True when a value of header Name holds Token.
bool HeaderHasToken(const TResponseHead& head, const std::string& name, const std::string& token) {
    std::string value;
    for (size_t i = 0; head.Find(name, i, value); ++i)
        if (httpwire::ListHasToken(value, token)) return true;
    return false;
}

// How a request asks about its connection (see WinInet.h): the version on the wire, the
// Connection line we add (empty: none), and whether it asks to keep the connection.
struct TConnectionAsk {
    std::string Version;
    std::string Line;
    bool Persistent = false;
};

TConnectionAsk AskForConnection(const THandle& req, const std::vector<std::string>& extra) {
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

std::string ComposeHead(const THandle& req, const THandle& conn, const THandle& session,
                        const TTarget& t, bool proxied, const TConnectionAsk& ask,
                        const std::vector<std::string>& extra, size_t bodyLength) {
    std::string target = proxied ? "http://" + HostHeader(t.Host, t.Port) + t.Object : t.Object;
    std::string head = t.Verb + " " + target + " " + ask.Version + "\r\n";
    if (!req.Accept.empty()) head += "Accept: " + req.Accept + "\r\n";
    if (!req.Referer.empty()) head += "Referer: " + req.Referer + "\r\n";
    if (!session.Agent.empty()) head += "User-Agent: " + session.Agent + "\r\n";
    head += "Host: " + HostHeader(t.Host, t.Port) + "\r\n";
    if (t.SendCredentials && !conn.UserName.empty())
        head += "Authorization: Basic " + Base64(conn.UserName + ":" + conn.Password) + "\r\n";
    if (proxied && !session.Proxy.Credentials.empty())
        head += "Proxy-Authorization: Basic " + Base64(session.Proxy.Credentials) + "\r\n";
    if (req.Flags & INTERNET_FLAG_PRAGMA_NOCACHE) head += "Pragma: no-cache\r\n";
    if (!ask.Line.empty()) head += "Connection: " + ask.Line + "\r\n";
    for (const std::string& line : extra) head += line + "\r\n";
    if (bodyLength || SameText(t.Verb, "POST") || SameText(t.Verb, "PUT"))
        head += "Content-Length: " + IntToStr(int64_t(bodyLength)) + "\r\n";
    return head + "\r\n";
}

// ==== sending and redirects ========================================================================

THandle& SessionOf(THandle& req) { return *req.Parent->Parent; }

// Interim 1xx answers skipped before the final one; real servers send one or two.
constexpr int MaxInterimAnswers = 16;

// Reads the final response head on the request's connection, skipping interim 1xx answers.
DWORD ReadFinalHead(THandle& req, const TTimeouts& limits) {
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
DWORD TakeOrConnect(THandle& req, const std::string& key, bool reuse, TInetPool::TTake kind, const std::string& host,
                    uint16_t port, DWORD connectMs, std::unique_ptr<TInetSocket>& sock, bool& reused) {
    sock = reuse ? SessionOf(req).Pool->Take(key, kind) : nullptr;
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

// One exchange: takes an idle connection to the same place (GET only; not with NewOnly)
// or connects, sends, and reads the head, skipping interim 1xx answers. An idle
// connection can have been closed by the server at any moment since it was pooled: when
// it ends before any byte of an answer, the GET goes once more on a new connection. A new
// connection failing so is the server's failure and is not retried; other verbs are
// never sent twice.
DWORD Exchange(THandle& req, const TTimeouts& limits, const TTarget& t, bool proxied,
               const TProxy& proxy, const std::string& head, const std::string& body, bool newOnly) {
    req.SockKey = proxied ? PoolKey(t.Host, t.Port, proxy.Host, proxy.Port) : PoolKey(t.Host, t.Port, "", 0);
    bool mayReuse = req.Persistent && SameText(t.Verb, "GET") && body.empty() && !newOnly;
    for (int attempt = 0;; ++attempt) {
        bool reused = false;
        // Any verb may take a preconnection: no request has been on it yet.
        DWORD r = TakeOrConnect(req, req.SockKey, attempt == 0 && !newOnly,
                                mayReuse ? TInetPool::tkAny : TInetPool::tkFreshOnly, proxied ? proxy.Host : t.Host,
                                proxied ? proxy.Port : t.Port, limits.Connect, req.Sock, reused);
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
void LeaveLine(THandle& req) {
    if (!req.Line) return;
    req.Line->Break(req.Id);
    req.Line.reset();
}

// Closes the request's connection before its body ended (a failure, a new send, a redirect
// not worth draining).
void DropConnection(THandle& req) {
    LeaveLine(req);
    req.Sock.reset();
}

// The answer of a request sent ahead, read on its line's connection when its turn has
// come. Again is set when the request must be sent afresh instead: on any connection when
// the line broke before its turn, on a new one (NewOnly) when the connection closed before
// any byte of its answer.
DWORD AnswerFromLine(THandle& req, const TTimeouts& limits, bool& again, bool& newOnly) {
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
bool ConnectionKept(const THandle& req) {
    if (!req.Persistent || !req.Body.Ended() || req.Body.Mode() == TBodyReader::UntilClose) return false;
    return HeadKeepsConnection(req.Response);
}

// Once the body has ended, the connection goes to the next request in its line, to the
// pool, or is closed.
void ReleaseConnection(THandle& req) {
    if (!req.Sock || !req.Body.Ended()) return;
    std::unique_ptr<TInetSocket> sock = std::move(req.Sock);
    bool kept = ConnectionKept(req);
    if (req.Line) {
        sock = req.Line->Release(req.Id, std::move(sock), kept);
        req.Line.reset();
    }
    if (sock && kept) SessionOf(req).Pool->Put(req.SockKey, std::move(sock));
}

// Reads a redirect's body away, so that its connection can serve the next hop, when it is
// short and comes at once; a long or slow one is not worth the wait and its connection is
// closed instead.
void DrainRedirect(THandle& req, const std::string& verb) {
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

// The handle's time-outs as they are now (InternetSetOptionA may change them meanwhile).
TTimeouts TimeoutsNow(const THandle& h) {
    std::lock_guard<std::mutex> g(gTableLock);
    return h.Timeouts;
}

bool IsRedirect(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

}  // namespace

DWORD GetLastError() { return tLastError; }
void SetLastError(DWORD error) { tLastError = error; }

// ==== session and connection =========================================================================

HINTERNET InternetOpenA(LPCSTR agent, DWORD accessType, LPCSTR proxy, LPCSTR proxyBypass, DWORD) {
    auto h = std::make_shared<THandle>();
    h->Kind = hkSession;
    h->Agent = OrEmpty(agent);
    if (!IsCleanText(h->Agent)) return FailHandle(ERROR_INVALID_PARAMETER);
    switch (accessType) {
    case INTERNET_OPEN_TYPE_PRECONFIG: h->Proxy = EnvironmentProxy(); break;
    case INTERNET_OPEN_TYPE_DIRECT: break;
    case INTERNET_OPEN_TYPE_PROXY:
        if (!proxy || !ParseProxy(proxy, h->Proxy)) return FailHandle(ERROR_INVALID_PARAMETER);
        h->Proxy.Bypass = OrEmpty(proxyBypass);
        break;
    default: return FailHandle(ERROR_INVALID_PARAMETER);
    }
    TPoolLimits limits;
    {
        std::lock_guard<std::mutex> g(gTableLock);
        limits = gDefaultPoolLimits;
    }
    h->Pool = std::make_shared<TInetPool>(limits);
    return Insert(h, nullptr);
}

HINTERNET InternetConnectA(HINTERNET session, LPCSTR serverName, INTERNET_PORT serverPort,
                           LPCSTR userName, LPCSTR password, DWORD service, DWORD, DWORD_PTR) {
    auto s = Lookup(session, hkSession);
    if (!s) return nullptr;
    if (service != INTERNET_SERVICE_HTTP) return FailHandle(ERROR_INVALID_PARAMETER);
    auto h = std::make_shared<THandle>();
    h->Kind = hkConnect;
    if (!SplitServerName(OrEmpty(serverName), serverPort, h->Host, h->Port))
        return FailHandle(ERROR_INTERNET_INVALID_URL);
    h->UserName = OrEmpty(userName);
    h->Password = OrEmpty(password);
    if (!IsCleanText(h->UserName) || !IsCleanText(h->Password))
        return FailHandle(ERROR_INVALID_PARAMETER);
    return Insert(h, s);
}

HINTERNET HttpOpenRequestA(HINTERNET connect, LPCSTR verb, LPCSTR objectName, LPCSTR version,
                           LPCSTR referrer, LPCSTR* acceptTypes, DWORD flags, DWORD_PTR) {
    auto c = Lookup(connect, hkConnect);
    if (!c) return nullptr;
    if (flags & INTERNET_FLAG_SECURE) return FailHandle(ERROR_INTERNET_UNRECOGNIZED_SCHEME);
    auto h = std::make_shared<THandle>();
    h->Kind = hkRequest;
    h->Verb = verb && *verb ? verb : "GET";
    h->Version = version && *version ? version : "HTTP/1.1";
    h->Referer = OrEmpty(referrer);
    h->Flags = flags;
    std::string object = OrEmpty(objectName);
    if (!IsCleanText(object, false)) return FailHandle(ERROR_INTERNET_INVALID_URL);
    h->Object = EncodeObject(object);
    for (LPCSTR* a = acceptTypes; a && *a; ++a) {
        if (!h->Accept.empty()) h->Accept += ", ";
        h->Accept += *a;
    }
    bool tokens = h->Verb.find_first_of(" ") == std::string::npos &&
                  h->Version.find_first_of(" ") == std::string::npos;
    if (!tokens || !IsCleanText(h->Verb, false) || !IsCleanText(h->Version, false) ||
        !IsCleanText(h->Referer) || !IsCleanText(h->Accept))
        return FailHandle(ERROR_INVALID_PARAMETER);
    h->AbortFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (h->AbortFd < 0) return FailHandle(ERROR_INTERNET_INTERNAL_ERROR);
    return Insert(h, c);
}

BOOL InternetCloseHandle(HINTERNET handle) {
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == gHandles.end()) return Fail(ERROR_INVALID_HANDLE);
    std::shared_ptr<THandle> h = it->second;
    CloseTree(h);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

// ==== sending ==========================================================================================

BOOL HttpSendRequestA(HINTERNET request, LPCSTR headers, DWORD headersLength, LPVOID optional,
                      DWORD optionalLength) {
    auto req = Lookup(request, hkRequest);
    if (!req) return FALSE;
    std::lock_guard<std::mutex> g(req->Lock);
    THandle& conn = *req->Parent;
    THandle& session = *conn.Parent;

    // A request sent ahead is what went out then: its headers, and no body.
    bool fromLine = req->SentAhead;
    std::vector<std::string> extra = req->AheadExtra;
    std::string body;
    if (!fromLine) {
        extra.clear();
        if (!SplitExtraHeaders(HeaderText(headers, headersLength), extra)) return Fail(ERROR_HTTP_INVALID_HEADER);
        if (optional) body.assign(static_cast<const char*>(optional), optionalLength);
        DropConnection(*req);
    }
    req->Sent = true;
    req->SentAhead = false;
    req->HaveResponse = false;
    req->ExpiredTimeout = 0;
    TConnectionAsk ask = AskForConnection(*req, extra);
    req->Persistent = ask.Persistent;
    TTimeouts limits = TimeoutsNow(*req);
    TTarget t{conn.Host, conn.Port, req->Object, req->Verb, true};
    for (int redirects = 0;; ++redirects) {
        bool proxied = !session.Proxy.Host.empty() && !Bypassed(session.Proxy.Bypass, t.Host);
        DWORD r = ERROR_SUCCESS;
        bool again = true, newOnly = false;
        if (fromLine) r = AnswerFromLine(*req, limits, again, newOnly);
        fromLine = false;
        if (again) {
            req->RequestHead = ComposeHead(*req, conn, session, t, proxied, ask, extra, body.size());
            r = Exchange(*req, limits, t, proxied, session.Proxy, req->RequestHead, body, newOnly);
        }
        if (r != ERROR_SUCCESS) {
            DropConnection(*req);
            return Fail(r);
        }
        std::string location;
        bool follow = !(req->Flags & INTERNET_FLAG_NO_AUTO_REDIRECT) &&
                      IsRedirect(req->Response.Status) && req->Response.Find("Location", 0, location);
        if (!follow) break;
        std::string scheme;
        if (redirects >= 10 || !ResolveLocation(location, t.Host, t.Port, t.Object, scheme)) {
            DropConnection(*req);
            return Fail(ERROR_HTTP_REDIRECT_FAILED);
        }
        DrainRedirect(*req, t.Verb);
        t.Object = EncodeObject(t.Object);
        // Credentials stay with the server they were given for.
        if (t.Host != conn.Host || t.Port != conn.Port) t.SendCredentials = false;
        int status = req->Response.Status;
        if (status == 303 || ((status == 301 || status == 302) && SameText(t.Verb, "POST"))) {
            if (!SameText(t.Verb, "HEAD")) t.Verb = "GET";
            body.clear();
        }
    }
    req->HaveResponse = true;
    req->Body.Start(req->Response, t.Verb);
    ReleaseConnection(*req);  // a response without a body ends here
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

// ==== sending ahead ===================================================================================

namespace {

// The live request numbered Id, or null once it was closed.
std::shared_ptr<THandle> LiveRequest(uintptr_t id) {
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gHandles.find(id);
    return it == gHandles.end() ? nullptr : it->second;
}

// True when the request may go ahead: a GET that keeps its connection and goes direct (a
// proxy or other intermediary is where pipelining breaks).
bool MayGoAhead(const THandle& req, const std::vector<std::string>& extra) {
    const THandle& conn = *req.Parent;
    const THandle& session = *conn.Parent;
    bool proxied = !session.Proxy.Host.empty() && !Bypassed(session.Proxy.Bypass, conn.Host);
    return SameText(req.Verb, "GET") && AskForConnection(req, extra).Persistent && !proxied;
}

// Sends Head on an idle pooled connection to Key that was kept after an answer, which
// becomes the line the request waits first in. A new connection (or a preconnection) is
// not known to be kept by the server: the first request on it goes alone, by
// HttpSendRequestA (RFC 9112, section 9.3.2).
DWORD SendOnOwnConnection(THandle& req, const std::string& key, const std::string& head,
                          const TTimeouts& limits, std::shared_ptr<TInetLine>& line) {
    std::unique_ptr<TInetSocket> sock = SessionOf(req).Pool->Take(key, TInetPool::tkProvenOnly);
    if (!sock) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    sock->SetAbortFd(req.AbortFd);
    DWORD r = sock->SendAll(head, limits.Send);
    if (r == ERROR_INTERNET_TIMEOUT && !req.ExpiredTimeout) req.ExpiredTimeout = INTERNET_OPTION_SEND_TIMEOUT;
    if (r != ERROR_SUCCESS) return r;
    sock->SetAbortFd(-1);
    line = std::make_shared<TInetLine>(key, std::move(sock), req.Id);
    return ERROR_SUCCESS;
}

// True when requests may wait behind the answer Behind is reading: its head says the
// connection stays open and its body has an end of its own (a length or chunks), so the
// answers behind it can be told apart from it.
bool AnswerTakesRequestsBehind(const THandle& behind) {
    TBodyReader::TMode mode = behind.Body.Mode();
    return behind.Persistent && HeadKeepsConnection(behind.Response) && mode != TBodyReader::UntilClose;
}

// The line of the connection Behind's answer comes (or will come) on, made when Behind
// holds a connection without one. Caller holds Behind's lock.
DWORD LineBehind(THandle& behind, const std::string& key, std::shared_ptr<TInetLine>& line) {
    // Behind's own answer has come: it must show that the connection goes on after it.
    if (behind.HaveResponse && behind.Sock && !behind.Body.Ended() && !AnswerTakesRequestsBehind(behind))
        return ERROR_INVALID_PARAMETER;
    if (behind.Line) {
        line = behind.Line;  // a line is made only on a connection known to be kept
    } else if (behind.HaveResponse && behind.Sock && !behind.Body.Ended()) {
        line = std::make_shared<TInetLine>(behind.SockKey, behind.Sock->Id(), behind.Id);
        behind.Line = line;
    } else {
        return ERROR_INTERNET_INCORRECT_HANDLE_STATE;  // not sent, or its connection has gone
    }
    // A redirect may have taken its answer to another place.
    return line->Key() == key ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

// Sends Head at the end of Behind's line. The connection is written to only while no call
// reads it: it waits in the line, or its holder is not inside a call (its lock, tried).
DWORD SendBehind(THandle& req, THandle& behind, const std::string& key, const std::string& head,
                 const TTimeouts& limits, std::shared_ptr<TInetLine>& line) {
    std::unique_lock<std::mutex> behindLock(behind.Lock, std::try_to_lock);
    if (!behindLock) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    DWORD r = LineBehind(behind, key, line);
    if (r != ERROR_SUCCESS) return r;
    uintptr_t holderId = 0;
    if (!line->Holder(holderId)) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    std::shared_ptr<THandle> holder;
    std::unique_lock<std::mutex> holderLock;  // released before Holder
    TInetSocket* held = nullptr;
    if (holderId == behind.Id) {
        held = behind.Sock.get();
    } else if (holderId) {
        holder = LiveRequest(holderId);
        if (!holder) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
        holderLock = std::unique_lock<std::mutex>(holder->Lock, std::try_to_lock);
        if (!holderLock) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
        held = holder->Sock.get();
    }
    r = line->SendBehind(req.Id, head, req.AbortFd, limits.Send, holderId, held);
    if (r == ERROR_INTERNET_TIMEOUT) req.ExpiredTimeout = INTERNET_OPTION_SEND_TIMEOUT;
    return r;
}

}  // namespace

BOOL HttpSendRequestAheadA(HINTERNET request, HINTERNET behind, LPCSTR headers, DWORD headersLength) {
    auto req = Lookup(request, hkRequest);
    if (!req) return FALSE;
    std::shared_ptr<THandle> after;
    if (behind) {
        after = Lookup(behind, hkRequest);
        if (!after) return FALSE;
        if (after == req) return Fail(ERROR_INVALID_PARAMETER);
    }
    std::lock_guard<std::mutex> g(req->Lock);
    THandle& conn = *req->Parent;
    THandle& session = *conn.Parent;
    if (req->Sent || req->SentAhead) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    std::vector<std::string> extra;
    if (!SplitExtraHeaders(HeaderText(headers, headersLength), extra)) return Fail(ERROR_HTTP_INVALID_HEADER);
    if (!MayGoAhead(*req, extra)) return Fail(ERROR_INVALID_PARAMETER);
    // Parents never change, so another request's session and place are read without its lock.
    const THandle& afterConn = after ? *after->Parent : conn;
    if (&SessionOf(after ? *after : *req) != &session ||
        PoolKey(afterConn.Host, afterConn.Port, "", 0) != PoolKey(conn.Host, conn.Port, "", 0))
        return Fail(ERROR_INVALID_PARAMETER);

    req->ExpiredTimeout = 0;
    TConnectionAsk ask = AskForConnection(*req, extra);
    TTarget t{conn.Host, conn.Port, req->Object, req->Verb, true};
    std::string head = ComposeHead(*req, conn, session, t, false, ask, extra, 0);
    std::string key = PoolKey(conn.Host, conn.Port, "", 0);
    TTimeouts limits = TimeoutsNow(*req);
    std::shared_ptr<TInetLine> line;
    DWORD r = after ? SendBehind(*req, *after, key, head, limits, line)
                    : SendOnOwnConnection(*req, key, head, limits, line);
    if (r != ERROR_SUCCESS) return Fail(r);
    req->Line = std::move(line);
    req->SentAhead = true;
    req->AheadExtra = std::move(extra);
    req->RequestHead = head;
    req->Persistent = true;
    req->SockKey = key;
    req->ConnectionId = req->Line->ConnectionId();
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL InternetPreconnectA(HINTERNET request) {
    auto req = Lookup(request, hkRequest);
    if (!req) return FALSE;
    std::lock_guard<std::mutex> g(req->Lock);
    const THandle& conn = *req->Parent;
    const THandle& session = *conn.Parent;
    bool proxied = !session.Proxy.Host.empty() && !Bypassed(session.Proxy.Bypass, conn.Host);
    std::string key = proxied ? PoolKey(conn.Host, conn.Port, session.Proxy.Host, session.Proxy.Port)
                              : PoolKey(conn.Host, conn.Port, "", 0);
    req->ExpiredTimeout = 0;
    std::unique_ptr<TInetSocket> sock;
    bool reused = false;
    DWORD r = TakeOrConnect(*req, key, false, TInetPool::tkAny, proxied ? session.Proxy.Host : conn.Host,
                            proxied ? session.Proxy.Port : conn.Port, TimeoutsNow(*req).Connect, sock, reused);
    if (r != ERROR_SUCCESS) return Fail(r);
    SessionOf(*req).Pool->Put(key, std::move(sock));
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

// ==== queries ===========================================================================================

namespace {

// The value the query asks for; false when absent.
bool QueryValue(THandle& req, DWORD level, bool requestHeaders, LPVOID buffer, size_t index,
                std::string& value) {
    TResponseHead sent;
    const TResponseHead* head = &req.Response;
    if (requestHeaders) {
        // Parse our own head with the response parser: only the first line differs.
        std::string text = req.RequestHead;
        size_t eol = text.find("\r\n");
        TInetSocket none(-1);
        none.Buffer = "HTTP/1.0 200 x" + text.substr(eol);
        none.Eof = true;
        if (ReadResponseHead(none, 0, sent) != ERROR_SUCCESS) return false;
        sent.Raw = req.RequestHead;
        head = &sent;
    }
    const char* name = nullptr;
    switch (level) {
    case HTTP_QUERY_STATUS_CODE:
        value = IntToStr(head->Status);
        return !requestHeaders && index == 0;
    case HTTP_QUERY_STATUS_TEXT:
        value = head->StatusText;
        return !requestHeaders && index == 0;
    case HTTP_QUERY_VERSION:
        value = head->Version;
        return !requestHeaders && index == 0;
    case HTTP_QUERY_RAW_HEADERS_CRLF:
        value = head->Raw;
        return index == 0;
    case HTTP_QUERY_CONTENT_TYPE: name = "Content-Type"; break;
    case HTTP_QUERY_CONTENT_LENGTH: name = "Content-Length"; break;
    case HTTP_QUERY_DATE: name = "Date"; break;
    case HTTP_QUERY_LOCATION: name = "Location"; break;
    case HTTP_QUERY_TRANSFER_ENCODING: name = "Transfer-Encoding"; break;
    case HTTP_QUERY_CUSTOM:
        if (!buffer) return false;
        name = static_cast<const char*>(buffer);
        break;
    default: return false;
    }
    std::string wanted = name;  // the buffer is overwritten below
    return head->Find(wanted, index, value);
}

}  // namespace

BOOL HttpQueryInfoA(HINTERNET request, DWORD infoLevel, LPVOID buffer, LPDWORD bufferLength,
                    LPDWORD index) {
    auto req = Lookup(request, hkRequest);
    if (!req) return FALSE;
    if (!bufferLength) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(req->Lock);
    bool requestHeaders = (infoLevel & HTTP_QUERY_FLAG_REQUEST_HEADERS) != 0;
    if (requestHeaders ? req->RequestHead.empty() : !req->HaveResponse)
        return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    std::string value;
    size_t which = index ? *index : 0;
    if (!QueryValue(*req, infoLevel & HTTP_QUERY_HEADER_MASK, requestHeaders, buffer, which, value))
        return Fail(ERROR_HTTP_HEADER_NOT_FOUND);
    if (infoLevel & HTTP_QUERY_FLAG_NUMBER) {
        std::string digits = Trim(value);
        if (digits.empty() || digits.size() > 10 || digits.find_first_not_of("0123456789") != std::string::npos)
            return Fail(ERROR_HTTP_INVALID_HEADER);
        if (*bufferLength < sizeof(DWORD) || !buffer) {
            *bufferLength = sizeof(DWORD);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        DWORD number = DWORD(std::stoull(digits));
        std::memcpy(buffer, &number, sizeof number);
        *bufferLength = sizeof(DWORD);
    } else {
        if (!buffer || *bufferLength < value.size() + 1) {
            *bufferLength = DWORD(value.size() + 1);
            return Fail(ERROR_INSUFFICIENT_BUFFER);
        }
        std::memcpy(buffer, value.c_str(), value.size() + 1);
        *bufferLength = DWORD(value.size());
    }
    if (index) *index = DWORD(which + 1);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

// ==== reading =============================================================================================

BOOL InternetReadFile(HINTERNET file, LPVOID buffer, DWORD numberOfBytesToRead,
                      LPDWORD numberOfBytesRead) {
    if (!numberOfBytesRead) return Fail(ERROR_INVALID_PARAMETER);
    *numberOfBytesRead = 0;
    auto req = Lookup(file, hkRequest);
    if (!req) return FALSE;
    if (!buffer && numberOfBytesToRead) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(req->Lock);
    if (!req->HaveResponse) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    tLastError = ERROR_SUCCESS;
    // The connection has gone (to the pool, or closed) once the body ended.
    if (req->Body.Ended()) return TRUE;
    if (!req->Sock) return Fail(ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    size_t got = 0;
    DWORD r = req->Body.Read(*req->Sock, static_cast<char*>(buffer), numberOfBytesToRead, &got,
                             TimeoutsNow(*req).Receive);
    *numberOfBytesRead = DWORD(got);
    if (r == ERROR_INTERNET_TIMEOUT) req->ExpiredTimeout = INTERNET_OPTION_RECEIVE_TIMEOUT;
    if (r != ERROR_SUCCESS) {
        LeaveLine(*req);  // the answers behind this one cannot be found on it any more
        return Fail(r);
    }
    ReleaseConnection(*req);
    return TRUE;
}

// ==== options ==============================================================================================

namespace {

DWORD* TimeoutSlot(TTimeouts& t, DWORD option) {
    switch (option) {
    case INTERNET_OPTION_CONNECT_TIMEOUT: return &t.Connect;
    case INTERNET_OPTION_SEND_TIMEOUT: return &t.Send;
    case INTERNET_OPTION_RECEIVE_TIMEOUT: return &t.Receive;
    default: return nullptr;
    }
}

DWORD* PoolSlot(TPoolLimits& l, DWORD option) {
    switch (option) {
    case INTERNET_OPTION_POOL_PER_SERVER: return &l.PerServer;
    case INTERNET_OPTION_POOL_TOTAL: return &l.Total;
    case INTERNET_OPTION_POOL_IDLE_TIMEOUT: return &l.IdleMs;
    default: return nullptr;
    }
}

// Reads (Write false) or sets one option of a live handle, or of the defaults for null.
// ERROR_SUCCESS or the failure's number. Caller holds the table lock.
DWORD AccessOption(HINTERNET handle, DWORD option, DWORD& value, bool write) {
    THandle* h = nullptr;
    if (handle) {
        auto it = gHandles.find(reinterpret_cast<uintptr_t>(handle));
        if (it == gHandles.end()) return ERROR_INVALID_HANDLE;
        h = it->second.get();
    }
    // Time-outs are read by the request's own calls through TimeoutsNow, under this lock.
    if (DWORD* slot = TimeoutSlot(h ? h->Timeouts : gDefaultTimeouts, option)) {
        if (write) *slot = value;
        else value = *slot;
        return ERROR_SUCCESS;
    }
    if (option == INTERNET_OPTION_EXPIRED_TIMEOUT || option == INTERNET_OPTION_CONNECTION_ID) {
        if (!h || h->Kind != hkRequest) return ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        if (write) return ERROR_INTERNET_OPTION_NOT_SETTABLE;
        value = option == INTERNET_OPTION_EXPIRED_TIMEOUT ? h->ExpiredTimeout.load() : h->ConnectionId.load();
        return ERROR_SUCCESS;
    }
    TPoolLimits limits = h && h->Pool ? h->Pool->Limits() : gDefaultPoolLimits;
    DWORD* slot = PoolSlot(limits, option);
    if (!slot) return ERROR_INTERNET_INVALID_OPTION;
    if (h && h->Kind != hkSession) return ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
    if (!write) {
        value = *slot;
        return ERROR_SUCCESS;
    }
    *slot = value;
    if (h) h->Pool->SetLimits(limits);
    else gDefaultPoolLimits = limits;
    return ERROR_SUCCESS;
}

}  // namespace

BOOL InternetSetOptionA(HINTERNET handle, DWORD option, LPVOID buffer, DWORD bufferLength) {
    if (!buffer || bufferLength < sizeof(DWORD)) return Fail(ERROR_INVALID_PARAMETER);
    DWORD value = 0;
    std::memcpy(&value, buffer, sizeof value);
    std::lock_guard<std::mutex> g(gTableLock);
    DWORD r = AccessOption(handle, option, value, true);
    if (r != ERROR_SUCCESS) return Fail(r);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

BOOL InternetQueryOptionA(HINTERNET handle, DWORD option, LPVOID buffer, LPDWORD bufferLength) {
    if (!bufferLength) return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> g(gTableLock);
    DWORD value = 0;
    DWORD r = AccessOption(handle, option, value, false);
    if (r != ERROR_SUCCESS) return Fail(r);
    if (!buffer || *bufferLength < sizeof(DWORD)) {
        *bufferLength = sizeof(DWORD);
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    std::memcpy(buffer, &value, sizeof(DWORD));
    *bufferLength = sizeof(DWORD);
    tLastError = ERROR_SUCCESS;
    return TRUE;
}

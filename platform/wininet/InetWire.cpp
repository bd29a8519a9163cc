// InetWire: connection, response head, body framing and text helpers of the internet
// library (see InetWire.h). Sections: socket, head, body, texts, proxy, redirects. The
// head, the body framing, the texts and the redirect targets follow the wire rules shared
// with the HTTP client (platform/httpwire); what is left here is how this library applies
// them.
#include "platform/wininet/InetWire.h"

#include "platform/rtl/SysUtils.h"
#include "platform/wininet/InetTls.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace inetwire {

namespace {

int PollTimeout(DWORD ms) { return ms == 0 ? -1 : int(ms); }

DWORD SocketError(int err) {
    switch (err) {
    case ECONNRESET: return ERROR_INTERNET_CONNECTION_RESET;
    case ETIMEDOUT: return ERROR_INTERNET_TIMEOUT;
    case EPIPE: return ERROR_INTERNET_CONNECTION_ABORTED;
    default: return ERROR_INTERNET_CONNECTION_ABORTED;
    }
}

}  // namespace

// ==== socket ==================================================================================

// Numbers start at 1: 0 is what a request reports before it has a connection.
TInetSocket::TInetSocket(int abortFd) : FAbortFd(abortFd) {}

TInetSocket::~TInetSocket() { Close(); }

void TInetSocket::Close() {
    if (FTls) FTls->Shutdown();
    FTls.reset();
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
}

DWORD TInetSocket::Wait(short events, DWORD timeoutMs) {
    pollfd p[2] = {{FFd, events, 0}, {FAbortFd, POLLIN, 0}};
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int wait = PollTimeout(timeoutMs);
        if (timeoutMs != 0) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()).count();
            wait = left < 0 ? 0 : int(left);
        }
        int r = ::poll(p, 2, wait);
        if (r < 0 && errno == EINTR) continue;
        // Abort first: a closed handle must win over data that happens to be there.
        if (r > 0 && p[1].revents) return ERROR_INTERNET_OPERATION_CANCELLED;
        if (r > 0) return ERROR_SUCCESS;
        return r == 0 ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_INTERNAL_ERROR;
    }
}

DWORD TInetSocket::Connect(const std::string& host, uint16_t port, DWORD timeoutMs) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || !found)
        return ERROR_INTERNET_NAME_NOT_RESOLVED;
    sockaddr_in addr = *reinterpret_cast<sockaddr_in*>(found->ai_addr);
    ::freeaddrinfo(found);
    addr.sin_port = htons(port);

    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (FFd < 0) return ERROR_INTERNET_INTERNAL_ERROR;
    int one = 1;
    ::setsockopt(FFd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(FFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) return ERROR_SUCCESS;
    if (errno != EINPROGRESS) return ERROR_INTERNET_CANNOT_CONNECT;
    DWORD w = Wait(POLLOUT, timeoutMs);
    if (w != ERROR_SUCCESS) return w;
    int err = 0;
    socklen_t len = sizeof err;
    ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &err, &len);
    if (err == 0) return ERROR_SUCCESS;
    return err == ETIMEDOUT ? ERROR_INTERNET_TIMEOUT : ERROR_INTERNET_CANNOT_CONNECT;
}

ssize_t TInetSocket::Transmit(const char* data, size_t len, short& events) {
    if (FTls) return FTls->Write(data, len, events);
    for (;;) {
        ssize_t n = ::send(FFd, data, len, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            events = POLLOUT;
            return TInetTls::WouldBlock;
        }
        return n;
    }
}

ssize_t TInetSocket::Take(char* buffer, size_t size, short& events) {
    if (FTls) return FTls->Read(buffer, size, events);
    for (;;) {
        ssize_t n = ::recv(FFd, buffer, size, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            events = POLLIN;
            return TInetTls::WouldBlock;
        }
        return n;
    }
}

DWORD TInetSocket::StartTls(const std::string& host, uint16_t port, DWORD timeoutMs, std::string& failure) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    FTls = std::make_unique<TInetTls>(FFd, host, port);
    for (;;) {
        short events = 0;
        int r = FTls->Handshake(events, failure);
        if (r == 1) return ERROR_SUCCESS;
        if (r != TInetTls::WouldBlock) {
            FTls.reset();  // never an alert on a session that did not open
            FBroken = true;
            return ERROR_INTERNET_SECURITY_CHANNEL_ERROR;
        }
        // One bound for the whole handshake, however many round trips it takes.
        DWORD left = 0;
        if (timeoutMs != 0) {
            auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
            if (ms <= 0) return ERROR_INTERNET_TIMEOUT;
            left = DWORD(ms);
        }
        DWORD w = Wait(events, left);
        if (w != ERROR_SUCCESS) return w;
    }
}

bool TInetSocket::CutWithoutAlert() const { return FTls && Eof && !FTls->AlertSeen(); }

DWORD TInetSocket::SendAll(const std::string& bytes, DWORD timeoutMs) {
    size_t done = 0;
    while (done < bytes.size()) {
        short events = 0;
        ssize_t n = Transmit(bytes.data() + done, bytes.size() - done, events);
        if (n > 0) {
            FSentAny = true;
            done += size_t(n);
            continue;
        }
        if (n == TInetTls::WouldBlock) {
            DWORD w = Wait(events, timeoutMs);
            if (w != ERROR_SUCCESS) return w;
            continue;
        }
        FBroken = true;
        return SocketError(errno);
    }
    return ERROR_SUCCESS;
}

DWORD TInetSocket::Fill(DWORD timeoutMs) {
    Compact();
    for (;;) {
        char chunk[65536];
        short events = 0;
        ssize_t n = Take(chunk, sizeof chunk, events);
        if (n > 0) {
            Buffer.append(chunk, size_t(n));
            FBytesReceived += uint64_t(n);
            return ERROR_SUCCESS;
        }
        if (n == 0) {
            Eof = true;
            return ERROR_SUCCESS;
        }
        if (n != TInetTls::WouldBlock) {
            FBroken = true;
            return SocketError(errno);
        }
        DWORD w = Wait(events, timeoutMs);
        if (w != ERROR_SUCCESS) return w;
    }
}

bool TInetSocket::IdleAndOpen() const {
    if (FFd < 0 || Eof || Available() != 0 || (FTls && FTls->Pending())) return false;
    pollfd p{FFd, POLLIN, 0};
    // Readable means a close, a reset or bytes nobody asked for: none of them may meet the
    // next request.
    return ::poll(&p, 1, 0) == 0;
}

bool TInetSocket::ClosedInOrder() const {
    if (!Eof || FBroken || CutWithoutAlert()) return false;
    if (FFd < 0) return true;  // bytes handed in whole, with no connection behind them
    // Over TLS the closing alert is the proof of the end; a reset after it cuts nothing.
    if (FTls) return true;
    int err = 0;
    socklen_t len = sizeof err;
    // A reset that came after the end of stream is still pending here.
    return ::getsockopt(FFd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
}

void TInetSocket::Compact() {
    if (Pos == Buffer.size()) {
        Buffer.clear();
        Pos = 0;
    } else if (Pos > 65536) {
        Buffer.erase(0, Pos);
        Pos = 0;
    }
}

// ==== response head ===========================================================================

bool TResponseHead::Find(const std::string& name, size_t index, std::string& value) const {
    for (const auto& h : Headers) {
        if (!SameText(h.first, name)) continue;
        if (index-- == 0) {
            value = h.second;
            return true;
        }
    }
    return false;
}

namespace {

// The next line in the buffer (without its line end), or false when its LF has not come.
// Scanned: how many bytes after Pos are known to hold no LF (the buffer may move when it
// is filled, so this is counted from Pos).
bool TakeLine(TInetSocket& sock, size_t& scanned, std::string& line, size_t& taken) {
    size_t nl = sock.Buffer.find('\n', sock.Pos + scanned);
    if (nl == std::string::npos) {
        scanned = sock.Available();
        return false;
    }
    taken = nl + 1 - sock.Pos;
    line = httpwire::WithoutLineEnd(sock.Buffer.substr(sock.Pos, taken));
    sock.Pos = nl + 1;
    scanned = 0;
    return true;
}

}  // namespace

DWORD ReadResponseHead(TInetSocket& sock, DWORD timeoutMs, TResponseHead& head) {
    head = TResponseHead();
    httpwire::THeadRules rules;
    size_t headBytes = 0, scanned = 0;
    for (;;) {
        std::string line;
        size_t taken = 0;
        if (!TakeLine(sock, scanned, line, taken)) {
            if (headBytes + sock.Available() > MaxHeadBytes || sock.Eof) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
            // A first line that cannot become a status line is refused without waiting for more.
            if (!rules.SawStatusLine() && sock.Available() >= 5 &&
                sock.Buffer.compare(sock.Pos, 5, "HTTP/") != 0)
                return ERROR_HTTP_INVALID_SERVER_RESPONSE;
            DWORD r = sock.Fill(timeoutMs);
            if (r != ERROR_SUCCESS) return r;
            continue;
        }
        headBytes += taken;
        if (headBytes > MaxHeadBytes) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        std::string name, value;
        switch (rules.Line(line)) {
        case httpwire::hvSkipped:
            continue;
        case httpwire::hvStatus:
            head.Version = rules.Status().Version;
            head.Status = rules.Status().Status;
            head.StatusText = Trim(rules.Status().Reason);
            break;
        case httpwire::hvField:
            httpwire::SplitHeaderField(line, name, value);
            // A line without a name is tolerated, as browsers do, but not kept.
            if (!Trim(name).empty()) head.Headers.emplace_back(Trim(name), Trim(value));
            break;
        case httpwire::hvFold:
            if (!head.Headers.empty()) head.Headers.back().second += " " + Trim(line);
            break;
        case httpwire::hvOther:
            break;  // tolerated, as browsers do
        case httpwire::hvEnd:
            head.Raw += "\r\n";
            head.ContentLength = rules.ContentLength();
            head.HasTransferEncoding = rules.HasTransferEncoding();
            head.Chunked = rules.Chunked();
            return ERROR_SUCCESS;
        case httpwire::hvBadStatusLine:
        case httpwire::hvBadContentLength:
        case httpwire::hvBadTransferEncoding:
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        }
        head.Raw += line + "\r\n";
    }
}

// ==== body ======================================================================================

void TBodyReader::Start(const TResponseHead& head, const std::string& verb) {
    FPendingError = ERROR_SUCCESS;
    FRequestBehind = false;
    FChunks.Reset();
    switch (httpwire::FramingOf(head.Status, SameText(verb, "HEAD"), head.HasTransferEncoding,
                                head.Chunked, head.ContentLength)) {
    case httpwire::TFraming::NoBody:
        FMode = None;
        FState = Done;
        break;
    case httpwire::TFraming::Chunked:
        FMode = Chunked;
        FState = Data;
        break;
    case httpwire::TFraming::Length:
        FMode = Length;
        FRemaining = uint64_t(head.ContentLength);
        FState = FRemaining ? Data : Done;
        break;
    case httpwire::TFraming::UntilClose:
        FMode = UntilClose;
        FState = Data;
        break;
    }
}

DWORD TBodyReader::Read(TInetSocket& sock, char* dest, size_t count, size_t* got, DWORD timeoutMs) {
    *got = 0;
    if (FPendingError != ERROR_SUCCESS) return FPendingError;
    while (*got < count && FState != Done) {
        DWORD r = Step(sock, dest, count, got, timeoutMs);
        if (r == ERROR_SUCCESS) continue;
        if (*got == 0) return r;
        FPendingError = r;  // report it on the next call; these bytes go out first
        break;
    }
    return ERROR_SUCCESS;
}

// One step of the body: copies available data (decoding chunks), or waits once.
DWORD TBodyReader::Step(TInetSocket& sock, char* dest, size_t count, size_t* got, DWORD timeoutMs) {
    if (sock.Available() == 0) {
        if (!sock.Eof) return sock.Fill(timeoutMs);
        if (FMode != UntilClose) return ERROR_INTERNET_CONNECTION_ABORTED;  // closed inside the body
        // The close is the body's end only when nothing else can explain it; over TLS only
        // after the closing alert.
        if (sock.CutWithoutAlert()) return ERROR_INTERNET_CONNECTION_ABORTED;
        if (!sock.ClosedInOrder()) return ERROR_INTERNET_CONNECTION_RESET;
        if (FRequestBehind) return ERROR_INTERNET_CONNECTION_ABORTED;
        FState = Done;
        return ERROR_SUCCESS;
    }
    if (FMode == Chunked) return ChunkedStep(sock, dest, count, got);
    size_t n = std::min(count - *got, sock.Available());
    if (FMode == Length && n > FRemaining) n = size_t(FRemaining);
    std::memcpy(dest + *got, sock.Buffer.data() + sock.Pos, n);
    sock.Pos += n;
    *got += n;
    if (FMode == Length) {
        FRemaining -= n;
        if (FRemaining == 0) FState = Done;
    }
    return ERROR_SUCCESS;
}

DWORD TBodyReader::ChunkedStep(TInetSocket& sock, char* dest, size_t count, size_t* got) {
    const char* begin = sock.Buffer.data();
    const char* p = begin + sock.Pos;
    const char* data = nullptr;
    size_t len = 0;
    httpwire::TChunkDecoder::TEvent event = FChunks.Next(p, begin + sock.Buffer.size(), count - *got, data, len);
    sock.Pos = size_t(p - begin);
    switch (event) {
    case httpwire::TChunkDecoder::ceData:
        std::memcpy(dest + *got, data, len);
        *got += len;
        return ERROR_SUCCESS;
    case httpwire::TChunkDecoder::ceNeedMore:
        return ERROR_SUCCESS;
    case httpwire::TChunkDecoder::ceDone:
        FState = Done;
        return ERROR_SUCCESS;
    default:
        return ERROR_HTTP_INVALID_SERVER_RESPONSE;
    }
}

// ==== texts ======================================================================================

bool IsCleanText(const std::string& text, bool allowTab) { return !httpwire::HasControlBytes(text, allowTab); }

bool SplitServerName(const std::string& name, uint16_t defaultPort, std::string& host,
                     uint16_t& port) {
    return httpwire::SplitHostPort(name, defaultPort ? defaultPort : INTERNET_DEFAULT_HTTP_PORT, host, port);
}

std::string HostHeader(const std::string& host, uint16_t port, bool secure) {
    return port == (secure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT) ? host : host + ":" + IntToStr(port);
}

// ==== proxy =======================================================================================

bool ParseProxy(const std::string& text, TProxy& proxy) {
    std::string t = Trim(text);
    if (StartsText("http=", t)) t = t.substr(5);
    if (StartsText("http://", t)) t = t.substr(7);
    else if (t.find("://") != std::string::npos) return false;  // only plain HTTP proxies
    size_t slash = t.find('/');
    if (slash != std::string::npos) t = t.substr(0, slash);
    size_t at = t.rfind('@');
    proxy.Credentials = at == std::string::npos ? "" : t.substr(0, at);
    if (at != std::string::npos) t = t.substr(at + 1);
    return SplitServerName(t, INTERNET_DEFAULT_HTTP_PORT, proxy.Host, proxy.Port) &&
           IsCleanText(proxy.Credentials);
}

TProxy EnvironmentProxy(bool secure) {
    TProxy proxy;
    const char* p = std::getenv(secure ? "https_proxy" : "http_proxy");
    if (!p || !*p) p = std::getenv(secure ? "HTTPS_PROXY" : "HTTP_PROXY");
    if (!p || !*p || !ParseProxy(p, proxy)) return TProxy();
    const char* bypass = std::getenv("no_proxy");
    if (!bypass || !*bypass) bypass = std::getenv("NO_PROXY");
    proxy.Bypass = bypass ? bypass : "";
    return proxy;
}

bool Bypassed(const std::string& bypass, const std::string& host) {
    std::string h = LowerCase(host);
    size_t start = 0;
    while (start <= bypass.size()) {
        size_t comma = bypass.find_first_of(", ;", start);
        if (comma == std::string::npos) comma = bypass.size();
        std::string entry = LowerCase(Trim(bypass.substr(start, comma - start)));
        start = comma + 1;
        size_t colon = entry.rfind(':');
        if (colon != std::string::npos) entry = entry.substr(0, colon);
        if (entry.empty()) continue;
        if (entry == "*" || (entry == "<local>" && h.find('.') == std::string::npos)) return true;
        if (entry[0] == '.') entry = entry.substr(1);
        if (h == entry) return true;
        if (h.size() > entry.size() && h.compare(h.size() - entry.size(), entry.size(), entry) == 0 &&
            h[h.size() - entry.size() - 1] == '.')
            return true;
    }
    return false;
}

// ==== redirects ====================================================================================

bool ResolveLocation(const std::string& location, bool& secure, std::string& host, uint16_t& port,
                     std::string& object, std::string& scheme) {
    httpwire::TReference ref;
    switch (httpwire::ReadLocation(location, ref)) {
    case httpwire::lvInvalid:
        return false;
    case httpwire::lvUnsupportedScheme:
        if (ref.Scheme != "https") {
            scheme = ref.Scheme;
            return false;
        }
        break;
    case httpwire::lvFollow:
        break;
    }
    // A relative path whose first segment holds a ":" ("host:8080/x") is a path, as the
    // Location rules read it, not a scheme.
    std::string reference = Trim(location);
    if (httpwire::SchemeOf(reference).empty() && !ref.HasAuthority &&
        reference.find(':') < reference.find_first_of("/?#"))
        reference = "./" + reference;
    const std::string base = std::string(secure ? "https" : "http") + "://" + HostHeader(host, port, secure) + object;
    httpwire::SplitReference(httpwire::ResolveReference(base, reference, false), ref);
    if ((ref.Scheme != "http" && ref.Scheme != "https") || (secure && ref.Scheme == "http")) {
        scheme = ref.Scheme;
        return false;
    }
    // Credentials written into the target are not used.
    std::string userInfo, server;
    httpwire::SplitAuthority(ref.Authority, userInfo, server);
    const bool toSecure = ref.Scheme == "https";
    uint16_t newPort = 0;
    std::string newHost;
    if (!httpwire::SplitHostPort(server, toSecure ? INTERNET_DEFAULT_HTTPS_PORT : INTERNET_DEFAULT_HTTP_PORT, newHost,
                                 newPort))
        return false;
    scheme = ref.Scheme;
    secure = toSecure;
    host = newHost;
    port = newPort;
    object = ref.Path.empty() || ref.Path[0] != '/' ? "/" + ref.Path : ref.Path;
    return true;
}

bool ResolveLocation(const std::string& location, std::string& host, uint16_t& port,
                     std::string& object, std::string& scheme) {
    bool secure = false;
    if (!ResolveLocation(location, secure, host, port, object, scheme)) return false;
    if (!secure) return true;
    scheme = "https";
    return false;
}

}  // namespace inetwire

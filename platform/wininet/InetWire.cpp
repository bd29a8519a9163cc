// InetWire: connection, response head, body framing and text helpers of the internet
// library (see InetWire.h). Sections: socket, head, body, texts, proxy, redirects.
#include "platform/wininet/InetWire.h"

#include "platform/rtl/SysUtils.h"

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

TInetSocket::~TInetSocket() { Close(); }

void TInetSocket::Close() {
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

DWORD TInetSocket::SendAll(const std::string& bytes, DWORD timeoutMs) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(FFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            DWORD w = Wait(POLLOUT, timeoutMs);
            if (w != ERROR_SUCCESS) return w;
            continue;
        }
        return SocketError(errno);
    }
    return ERROR_SUCCESS;
}

DWORD TInetSocket::Fill(DWORD timeoutMs) {
    Compact();
    for (;;) {
        char chunk[65536];
        ssize_t n = ::recv(FFd, chunk, sizeof chunk, 0);
        if (n > 0) {
            Buffer.append(chunk, size_t(n));
            FBytesReceived += uint64_t(n);
            return ERROR_SUCCESS;
        }
        if (n == 0) {
            Eof = true;
            return ERROR_SUCCESS;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return SocketError(errno);
        DWORD w = Wait(POLLIN, timeoutMs);
        if (w != ERROR_SUCCESS) return w;
    }
}

bool TInetSocket::IdleAndOpen() const {
    if (FFd < 0 || Eof || Available() != 0) return false;
    pollfd p{FFd, POLLIN, 0};
    // Readable means a close, a reset or bytes nobody asked for: none of them may meet the
    // next request.
    return ::poll(&p, 1, 0) == 0;
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

// "HTTP/d.d nnn text" -> head fields; false when it is not a status line.
bool ParseStatusLine(const std::string& line, TResponseHead& head) {
    if (line.size() < 12 || line.compare(0, 5, "HTTP/") != 0) return false;
    size_t sp = line.find(' ');
    if (sp == std::string::npos || sp + 4 > line.size()) return false;
    head.Version = line.substr(0, sp);
    int status = 0;
    for (size_t i = sp + 1; i < sp + 4; ++i) {
        if (line[i] < '0' || line[i] > '9') return false;
        status = status * 10 + (line[i] - '0');
    }
    if (sp + 4 < line.size() && line[sp + 4] != ' ') return false;
    head.Status = status;
    head.StatusText = sp + 5 <= line.size() ? Trim(line.substr(std::min(line.size(), sp + 5))) : "";
    return true;
}

// Splits a complete head (without its blank line) into status line and headers; folded
// continuation lines join the header before them.
bool ParseHead(const std::string& text, TResponseHead& head) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        std::string line = text.substr(start, nl - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = nl + 1;
    }
    if (lines.empty() || !ParseStatusLine(lines[0], head)) return false;
    for (size_t i = 1; i < lines.size(); ++i) {
        const std::string& l = lines[i];
        if (l.empty()) continue;
        if ((l[0] == ' ' || l[0] == '\t') && !head.Headers.empty()) {
            head.Headers.back().second += " " + Trim(l);
            continue;
        }
        size_t colon = l.find(':');
        if (colon == std::string::npos || colon == 0) continue;  // tolerated, as browsers do
        head.Headers.emplace_back(Trim(l.substr(0, colon)), Trim(l.substr(colon + 1)));
    }
    head.Raw.clear();
    for (const std::string& l : lines) head.Raw += l + "\r\n";
    head.Raw += "\r\n";
    return true;
}

}  // namespace

DWORD ReadResponseHead(TInetSocket& sock, DWORD timeoutMs, TResponseHead& head) {
    size_t scanned = sock.Pos;
    for (;;) {
        const std::string& b = sock.Buffer;
        // Look for the blank line from a little before where the last scan stopped.
        size_t from = scanned > sock.Pos + 3 ? scanned - 3 : sock.Pos;
        size_t end = std::string::npos, skip = 0;
        for (size_t i = from; i < b.size(); ++i) {
            if (b[i] != '\n') continue;
            if (i + 1 < b.size() && b[i + 1] == '\n') { end = i; skip = 2; break; }
            if (i + 2 < b.size() && b[i + 1] == '\r' && b[i + 2] == '\n') { end = i; skip = 3; break; }
        }
        if (end != std::string::npos) {
            std::string text = b.substr(sock.Pos, end - sock.Pos);
            if (!text.empty() && text.back() == '\r') text.pop_back();
            sock.Pos = end + skip;
            head = TResponseHead();
            return ParseHead(text, head) ? ERROR_SUCCESS : ERROR_HTTP_INVALID_SERVER_RESPONSE;
        }
        scanned = b.size();
        if (sock.Available() > MaxHeadBytes || sock.Eof) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        // A first line that cannot become a status line is refused without waiting for more.
        if (sock.Available() >= 5 && b.compare(sock.Pos, 5, "HTTP/") != 0)
            return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        DWORD r = sock.Fill(timeoutMs);
        if (r != ERROR_SUCCESS) return r;
    }
}

// ==== body ======================================================================================

namespace {

// A Content-Length value: digits only (one value, or repeats of the same value).
bool ContentLength(const TResponseHead& head, uint64_t& length) {
    std::string value;
    bool found = false;
    for (size_t i = 0; head.Find("Content-Length", i, value); ++i) {
        if (value.empty() || value.size() > 18) return false;
        uint64_t v = 0;
        for (char c : value) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + uint64_t(c - '0');
        }
        if (found && v != length) return false;
        length = v;
        found = true;
    }
    return found;
}

}  // namespace

void TBodyReader::Start(const TResponseHead& head, const std::string& verb) {
    FPendingError = ERROR_SUCCESS;
    std::string coding;
    uint64_t length = 0;
    if (SameText(verb, "HEAD") || (head.Status >= 100 && head.Status < 200) ||
        head.Status == 204 || head.Status == 304) {
        FMode = None;
        FState = Done;
    } else if (head.Find("Transfer-Encoding", 0, coding) &&
               Pos("chunked", LowerCase(coding)) != 0) {
        FMode = Chunked;
        FState = ChunkSize;
    } else if (ContentLength(head, length)) {
        FMode = Length;
        FRemaining = length;
        FState = length ? Data : Done;
    } else {
        FMode = UntilClose;
        FState = Data;
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

DWORD TBodyReader::ReadLine(TInetSocket& sock, DWORD timeoutMs, std::string& line) {
    for (;;) {
        size_t nl = sock.Buffer.find('\n', sock.Pos);
        if (nl != std::string::npos) {
            line = sock.Buffer.substr(sock.Pos, nl - sock.Pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            sock.Pos = nl + 1;
            return ERROR_SUCCESS;
        }
        // Chunk-size lines and trailers are short; a long one is not chunked coding.
        if (sock.Available() > 4096) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        if (sock.Eof) return ERROR_INTERNET_CONNECTION_ABORTED;
        DWORD r = sock.Fill(timeoutMs);
        if (r != ERROR_SUCCESS) return r;
    }
}

// One step of the body: copies available data, or reads one framing line, or waits once.
DWORD TBodyReader::Step(TInetSocket& sock, char* dest, size_t count, size_t* got, DWORD timeoutMs) {
    std::string line;
    switch (FState) {
    case Data: {
        if (sock.Available() == 0) {
            if (sock.Eof) {
                if (FMode == UntilClose) {
                    FState = Done;
                    return ERROR_SUCCESS;
                }
                return ERROR_INTERNET_CONNECTION_ABORTED;  // closed inside the body
            }
            return sock.Fill(timeoutMs);
        }
        size_t n = std::min(count - *got, sock.Available());
        if (FMode != UntilClose && n > FRemaining) n = size_t(FRemaining);
        std::memcpy(dest + *got, sock.Buffer.data() + sock.Pos, n);
        sock.Pos += n;
        *got += n;
        if (FMode != UntilClose) {
            FRemaining -= n;
            if (FRemaining == 0) FState = FMode == Chunked ? ChunkDataEnd : Done;
        }
        return ERROR_SUCCESS;
    }
    case ChunkSize: {
        DWORD r = ReadLine(sock, timeoutMs, line);
        if (r != ERROR_SUCCESS) return r;
        std::string size = Trim(line.substr(0, line.find(';')));
        if (size.empty() || size.size() > 15) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        uint64_t v = 0;
        for (char c : size) {
            int d = (c >= '0' && c <= '9') ? c - '0' : (c >= 'a' && c <= 'f') ? c - 'a' + 10
                  : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
            if (d < 0) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
            v = v * 16 + uint64_t(d);
        }
        FRemaining = v;
        FState = v ? Data : Trailers;
        return ERROR_SUCCESS;
    }
    case ChunkDataEnd: {
        DWORD r = ReadLine(sock, timeoutMs, line);
        if (r != ERROR_SUCCESS) return r;
        if (!line.empty()) return ERROR_HTTP_INVALID_SERVER_RESPONSE;
        FState = ChunkSize;
        return ERROR_SUCCESS;
    }
    case Trailers: {
        DWORD r = ReadLine(sock, timeoutMs, line);
        if (r != ERROR_SUCCESS) return r;
        if (line.empty()) FState = Done;
        return ERROR_SUCCESS;
    }
    case Done: return ERROR_SUCCESS;
    }
    return ERROR_INTERNET_INTERNAL_ERROR;
}

// ==== texts ======================================================================================

bool IsCleanText(const std::string& text, bool allowTab) {
    for (unsigned char c : text) {
        if (c == 0x7F || (c < 0x20 && !(allowTab && c == '\t'))) return false;
    }
    return true;
}

bool SplitServerName(const std::string& name, uint16_t defaultPort, std::string& host,
                     uint16_t& port) {
    size_t colon = name.rfind(':');
    host = name.substr(0, colon);
    port = defaultPort ? defaultPort : INTERNET_DEFAULT_HTTP_PORT;
    if (colon != std::string::npos) {
        std::string digits = name.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) return false;
        long v = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') return false;
            v = v * 10 + (c - '0');
        }
        if (v < 1 || v > 65535) return false;
        port = uint16_t(v);
    }
    return !host.empty() && IsCleanText(host, false) && host.find_first_of(" /?#@") == std::string::npos;
}

std::string HostHeader(const std::string& host, uint16_t port) {
    return port == INTERNET_DEFAULT_HTTP_PORT ? host : host + ":" + IntToStr(port);
}

std::string Base64(const std::string& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16 | uint32_t(uint8_t(bytes[i + 1])) << 8 |
                     uint8_t(bytes[i + 2]);
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += digits[(v >> 6) & 63];
        out += digits[v & 63];
    }
    if (i < bytes.size()) {
        uint32_t v = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) v |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? digits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
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

TProxy EnvironmentProxy() {
    TProxy proxy;
    const char* p = std::getenv("http_proxy");
    if (!p || !*p) p = std::getenv("HTTP_PROXY");
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

bool ResolveLocation(const std::string& location, std::string& host, uint16_t& port,
                     std::string& object, std::string& scheme) {
    std::string loc = Trim(location);
    if (loc.empty() || !IsCleanText(loc, false)) return false;
    size_t sep = loc.find("://");
    if (sep != std::string::npos && loc.find_first_of("/?#") > sep) {
        scheme = LowerCase(loc.substr(0, sep));
        if (scheme != "http") return false;
        std::string rest = loc.substr(sep + 3);
        size_t slash = rest.find_first_of("/?#");
        std::string server = rest.substr(0, slash);
        std::string path = slash == std::string::npos ? "/" : rest.substr(slash);
        if (path[0] != '/') path = "/" + path;
        size_t at = server.rfind('@');
        if (at != std::string::npos) server = server.substr(at + 1);
        if (!SplitServerName(server, INTERNET_DEFAULT_HTTP_PORT, host, port)) return false;
        object = path;
    } else if (loc.compare(0, 2, "//") == 0) {
        return ResolveLocation("http:" + loc, host, port, object, scheme);
    } else if (loc[0] == '/') {
        object = loc;
    } else {
        // Relative to the folder of the current object name.
        std::string base = object.substr(0, object.find('?'));
        object = base.substr(0, base.rfind('/') + 1) + loc;
    }
    size_t hash = object.find('#');
    if (hash != std::string::npos) object = object.substr(0, hash);
    scheme = "http";
    return true;
}

}  // namespace inetwire

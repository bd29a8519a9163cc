// ScriptedServer: the scripted loopback server and the case-file reader.
//
// Threads: one acceptor, plus one thread per accepted connection. All of them block only
// in poll() on their socket and the stop pipe, so writing one byte to the pipe releases
// every thread at once; the destructor then joins them. The record of received bytes is
// shared with the test thread under FLock. Over TLS a connection's socket is non-blocking
// and every OpenSSL call that would block waits in the same poll() first.
#include "tests/support/ScriptedServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

using TClock = std::chrono::steady_clock;

int RemainingMs(TClock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    return left < 0 ? 0 : int(left);
}

// Length of a complete request head (through the blank line) in Data, 0 if incomplete.
size_t HeadLength(const std::string& data) {
    size_t p = data.find("\r\n\r\n");
    if (p != std::string::npos) return p + 4;
    p = data.find("\n\n");
    return p == std::string::npos ? 0 : p + 2;
}

// The Content-Length announced in a request head; 0 when none.
size_t AnnouncedLength(const std::string& head) {
    std::istringstream in(head);
    std::string line;
    while (std::getline(in, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        if (SameText(Trim(line.substr(0, colon)), "Content-Length"))
            return size_t(StrToIntDef(Trim(line.substr(colon + 1)), 0));
    }
    return 0;
}

}  // namespace

// ==== scripts =============================================================================

namespace {

TScriptStep Step(TScriptStep::TKind kind, const std::string& data = "") {
    TScriptStep s;
    s.Kind = kind;
    s.Data = data;
    return s;
}

}  // namespace

TScript& TScript::ReadRequest() { Steps.push_back(Step(TScriptStep::ReadRequest)); return *this; }
TScript& TScript::Read(size_t count) {
    TScriptStep s = Step(TScriptStep::ReadBytes);
    s.Count = count;
    Steps.push_back(s);
    return *this;
}
TScript& TScript::ReadUntilClose() { Steps.push_back(Step(TScriptStep::ReadUntilClose)); return *this; }
TScript& TScript::Send(const std::string& bytes) {
    TScriptStep s = Step(TScriptStep::Send, bytes);
    Steps.push_back(s);
    return *this;
}
TScript& TScript::Trickle(const std::string& bytes, int msBetweenBytes) {
    TScriptStep s = Step(TScriptStep::Trickle, bytes);
    s.Ms = msBetweenBytes;
    Steps.push_back(s);
    return *this;
}
TScript& TScript::Delay(int ms) {
    TScriptStep s = Step(TScriptStep::Delay);
    s.Ms = ms;
    Steps.push_back(s);
    return *this;
}
TScript& TScript::Close() { Steps.push_back(Step(TScriptStep::Close)); return *this; }
TScript& TScript::Drop() { Steps.push_back(Step(TScriptStep::Drop)); return *this; }
TScript& TScript::Alert() { Steps.push_back(Step(TScriptStep::Alert)); return *this; }
TScript& TScript::Reset() { Steps.push_back(Step(TScriptStep::Reset)); return *this; }
TScript& TScript::Hang() { Steps.push_back(Step(TScriptStep::Hang)); return *this; }
TScript& TScript::Loop() { Steps.push_back(Step(TScriptStep::Loop)); return *this; }

// ==== server life ===========================================================================

void TScriptedServer::TSslFree::operator()(ssl_st* s) const { SSL_free(s); }
void TScriptedServer::TCtxFree::operator()(ssl_ctx_st* c) const { SSL_CTX_free(c); }

TScriptedServer::TScriptedServer(std::vector<TScript> scripts, int stepTimeoutMs)
    : FScripts(std::move(scripts)), FStepTimeoutMs(stepTimeoutMs) {
    Start();
}

TScriptedServer::TScriptedServer(std::vector<TScript> scripts, const TServerTls& tls, int stepTimeoutMs)
    : FScripts(std::move(scripts)), FStepTimeoutMs(stepTimeoutMs) {
    FTls.reset(SSL_CTX_new(TLS_server_method()));
    SSL_CTX* ctx = FTls.get();
    if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, tls.CertFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, tls.KeyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw Exception("Scripted server: cannot load " + tls.CertFile + " and " + tls.KeyFile);
    // An old protocol is offered only when the security level allows it.
    if (tls.MinVersion && tls.MinVersion < TLS1_2_VERSION) SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_min_proto_version(ctx, tls.MinVersion);
    SSL_CTX_set_max_proto_version(ctx, tls.MaxVersion);
    SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    Start();
}

void TScriptedServer::Start() {
    if (FScripts.empty()) throw Exception("Scripted server needs at least one script");
    // A peer that closes while we send must not kill the test process.
    std::signal(SIGPIPE, SIG_IGN);
    if (::pipe2(FStopPipe, O_CLOEXEC) != 0) throw Exception("Scripted server: pipe failed");
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (FListenFd < 0 || ::bind(FListenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(FListenFd, 64) != 0 ||
        ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (FListenFd >= 0) ::close(FListenFd);
        ::close(FStopPipe[0]);
        ::close(FStopPipe[1]);
        throw Exception("Scripted server: cannot listen on 127.0.0.1");
    }
    FPort = ntohs(a.sin_port);
    FAcceptor = std::thread([this] { AcceptLoop(); });
}

TScriptedServer::~TScriptedServer() {
    FStopping = true;
    char b = 1;
    (void)!::write(FStopPipe[1], &b, 1);
    FAcceptor.join();
    // No new connection can appear now; join the ones that exist without holding the lock
    // (their threads take it to record bytes).
    std::vector<TConnection*> conns;
    {
        std::lock_guard<std::mutex> g(FLock);
        for (auto& c : FConnections) conns.push_back(c.get());
    }
    for (TConnection* c : conns)
        if (c->Thread.joinable()) c->Thread.join();
    for (TConnection* c : conns)
        if (c->Fd >= 0) ::close(c->Fd);
    ::close(FListenFd);
    ::close(FStopPipe[0]);
    ::close(FStopPipe[1]);
}

void TScriptedServer::AcceptLoop() {
    while (!FStopping) {
        if (!WaitReady(FListenFd, POLLIN, -1)) return;
        int fd = ::accept4(FListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        auto conn = std::make_unique<TConnection>();
        conn->Fd = fd;
        TConnection* raw = conn.get();
        std::lock_guard<std::mutex> g(FLock);
        size_t index = FConnections.size();
        const TScript& script = FScripts[std::min(index, FScripts.size() - 1)];
        FConnections.push_back(std::move(conn));
        raw->Thread = std::thread([this, raw, &script] { RunScript(raw, script); });
        FChanged.notify_all();
    }
}

// ==== playing a script ======================================================================

void TScriptedServer::RunScript(TConnection* conn, const TScript& script) {
    bool closed = false;
    if (FTls && !Handshake(conn)) {
        std::lock_guard<std::mutex> g(FLock);
        conn->Finished = true;
        FChanged.notify_all();
        return;
    }
    for (size_t i = 0; i < script.Steps.size(); ++i) {
        const TScriptStep& step = script.Steps[i];
        if (FStopping || !RunStep(conn, step)) break;
        if (step.Kind == TScriptStep::Close || step.Kind == TScriptStep::Drop || step.Kind == TScriptStep::Reset ||
            step.Kind == TScriptStep::Hang) {
            closed = true;
            break;
        }
        if (step.Kind == TScriptStep::Loop) i = size_t(-1);  // the next pass starts at 0
    }
    if (!closed && conn->Fd >= 0) CloseSending(conn, true);
    std::lock_guard<std::mutex> g(FLock);
    conn->Finished = true;
    FChanged.notify_all();
}

bool TScriptedServer::RunStep(TConnection* conn, const TScriptStep& step) {
    switch (step.Kind) {
    case TScriptStep::ReadRequest: {
        // From the first byte no step took: requests sent ahead (pipelined) may have come
        // with the one before, in one read.
        size_t start;
        {
            std::lock_guard<std::mutex> g(FLock);
            start = conn->Taken;
        }
        for (;;) {
            std::string got;
            {
                std::lock_guard<std::mutex> g(FLock);
                got = conn->Received.substr(start);
            }
            size_t head = HeadLength(got);
            if (head && got.size() >= head + AnnouncedLength(got.substr(0, head))) {
                std::lock_guard<std::mutex> g(FLock);
                conn->Taken = start + head + AnnouncedLength(got.substr(0, head));
                ++conn->Requests;
                FChanged.notify_all();
                return true;
            }
            if (ReadSome(conn, FStepTimeoutMs) <= 0) return false;
        }
    }
    case TScriptStep::ReadBytes: {
        size_t goal;
        {
            std::lock_guard<std::mutex> g(FLock);
            goal = conn->Received.size() + step.Count;
        }
        for (;;) {
            {
                std::lock_guard<std::mutex> g(FLock);
                if (conn->Received.size() >= goal) {
                    conn->Taken = conn->Received.size();
                    return true;
                }
            }
            if (ReadSome(conn, FStepTimeoutMs) <= 0) return false;
        }
    }
    case TScriptStep::ReadUntilClose:
        for (;;) {
            long n = ReadSome(conn, FStepTimeoutMs);
            if (n == 0) {
                std::lock_guard<std::mutex> g(FLock);
                conn->Taken = conn->Received.size();
                return true;
            }
            if (n < 0) return false;
        }
    case TScriptStep::Send:
        return SendAll(conn, step.Data);
    case TScriptStep::Trickle:
        for (char c : step.Data) {
            if (!SendAll(conn, std::string(1, c)) || !Pause(step.Ms)) return false;
        }
        return true;
    case TScriptStep::Delay:
        return Pause(step.Ms);
    case TScriptStep::Alert:
        if (conn->Ssl) {
            ERR_clear_error();
            SSL_shutdown(conn->Ssl.get());
        }
        return true;
    case TScriptStep::Close:
    case TScriptStep::Drop:
        CloseSending(conn, step.Kind == TScriptStep::Close);
        // Let the peer read everything, then take the rest so that our close does not
        // turn into a reset because of unread bytes.
        while (ReadSome(conn, 200) > 0) {
        }
        return true;
    case TScriptStep::Reset: {
        linger l{1, 0};
        ::setsockopt(conn->Fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        std::lock_guard<std::mutex> g(FLock);
        ::close(conn->Fd);
        conn->Fd = -1;
        return true;
    }
    case TScriptStep::Hang:
        // Keep recording what the peer sends until it closes or the server stops.
        while (ReadSome(conn, -1) > 0) {
        }
        return true;
    case TScriptStep::Loop:
        return true;
    }
    return false;
}

bool TScriptedServer::WaitReady(int fd, short events, int timeoutMs) const {
    pollfd p[2] = {{fd, events, 0}, {FStopPipe[0], POLLIN, 0}};
    auto deadline = TClock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        int wait = timeoutMs < 0 ? -1 : RemainingMs(deadline);
        int r = ::poll(p, 2, wait);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0 || (p[1].revents & POLLIN)) return false;
        return p[0].revents != 0;
    }
}

long TScriptedServer::ReadSome(TConnection* conn, int timeoutMs) {
    char buf[16384];
    ssize_t n;
    if (conn->Ssl) {
        for (;;) {
            if (conn->Fd < 0) return -1;
            if (SSL_pending(conn->Ssl.get()) == 0 && !WaitReady(conn->Fd, POLLIN, timeoutMs)) return -1;
            ERR_clear_error();
            int r = SSL_read(conn->Ssl.get(), buf, sizeof buf);
            if (r > 0) {
                n = r;
                break;
            }
            int e = SSL_get_error(conn->Ssl.get(), r);
            if (e == SSL_ERROR_WANT_READ) continue;
            return e == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
    } else {
        if (conn->Fd < 0 || !WaitReady(conn->Fd, POLLIN, timeoutMs)) return -1;
        n = ::recv(conn->Fd, buf, sizeof buf, 0);
        if (n <= 0) return n == 0 ? 0 : -1;
    }
    std::lock_guard<std::mutex> g(FLock);
    conn->Received.append(buf, size_t(n));
    FChanged.notify_all();
    return long(n);
}

bool TScriptedServer::SendAll(TConnection* conn, const std::string& bytes) {
    const int fd = conn->Fd;
    size_t done = 0;
    while (conn->Ssl && done < bytes.size()) {
        ERR_clear_error();
        int n = SSL_write(conn->Ssl.get(), bytes.data() + done, int(bytes.size() - done));
        if (n > 0) {
            done += size_t(n);
            continue;
        }
        int e = SSL_get_error(conn->Ssl.get(), n);
        if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) return false;
        if (!WaitReady(fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, FStepTimeoutMs)) return false;
    }
    while (done < bytes.size()) {
        if (!WaitReady(fd, POLLOUT, FStepTimeoutMs)) return false;
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

bool TScriptedServer::Handshake(TConnection* conn) {
    ::fcntl(conn->Fd, F_SETFL, ::fcntl(conn->Fd, F_GETFL) | O_NONBLOCK);
    SSL* ssl = SSL_new(FTls.get());
    conn->Ssl.reset(ssl);
    SSL_set_fd(ssl, conn->Fd);
    auto deadline = TClock::now() + std::chrono::milliseconds(FStepTimeoutMs);
    for (;;) {
        ERR_clear_error();
        int r = SSL_accept(ssl);
        if (r == 1) break;
        int e = SSL_get_error(ssl, r);
        if ((e != SSL_ERROR_WANT_READ && e != SSL_ERROR_WANT_WRITE) ||
            !WaitReady(conn->Fd, e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, RemainingMs(deadline)))
            return false;
    }
    const char* name = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name);
    std::lock_guard<std::mutex> g(FLock);
    conn->ServerName = name ? name : "";
    conn->HandshakeDone = true;
    conn->Resumed = SSL_session_reused(ssl) == 1;
    FChanged.notify_all();
    return true;
}

void TScriptedServer::CloseSending(TConnection* conn, bool alert) {
    if (conn->Ssl && alert) {
        ERR_clear_error();
        SSL_shutdown(conn->Ssl.get());
    }
    ::shutdown(conn->Fd, SHUT_WR);
}

bool TScriptedServer::Pause(int ms) const {
    pollfd p{FStopPipe[0], POLLIN, 0};
    return ::poll(&p, 1, ms) == 0;
}

// ==== what the test reads ====================================================================

int TScriptedServer::ConnectionCount() const {
    std::lock_guard<std::mutex> g(FLock);
    return int(FConnections.size());
}

template <typename T>
T TScriptedServer::Of(int index, T TConnection::*field) const {
    std::lock_guard<std::mutex> g(FLock);
    if (index < 0 || size_t(index) >= FConnections.size()) return T();
    return FConnections[size_t(index)].get()->*field;
}

std::string TScriptedServer::ServerName(int index) const { return Of(index, &TConnection::ServerName); }
bool TScriptedServer::HandshakeDone(int index) const { return Of(index, &TConnection::HandshakeDone); }
bool TScriptedServer::Resumed(int index) const { return Of(index, &TConnection::Resumed); }
std::string TScriptedServer::Received(int index) const { return Of(index, &TConnection::Received); }
int TScriptedServer::RequestCount(int index) const { return Of(index, &TConnection::Requests); }

int TScriptedServer::TotalRequestCount() const {
    std::lock_guard<std::mutex> g(FLock);
    int n = 0;
    for (auto& c : FConnections) n += c->Requests;
    return n;
}

bool TScriptedServer::WaitForConnections(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs),
                             [&] { return int(FConnections.size()) >= count; });
}

bool TScriptedServer::WaitForReceived(int index, size_t bytes, int timeoutMs) const {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return index >= 0 && size_t(index) < FConnections.size() &&
               FConnections[size_t(index)]->Received.size() >= bytes;
    });
}

bool TScriptedServer::WaitForFinished(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        int n = 0;
        for (auto& c : FConnections) n += c->Finished ? 1 : 0;
        return n >= count;
    });
}

// ==== a port whose connects hang ================================================================

TStalledListener::TStalledListener() {
    FListenFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (FListenFd < 0 || ::bind(FListenFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(FListenFd, 0) != 0 || ::getsockname(FListenFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        if (FListenFd >= 0) ::close(FListenFd);
        throw Exception("Stalled listener: cannot listen on 127.0.0.1");
    }
    FPort = ntohs(a.sin_port);
    // The one connection a backlog of 0 admits; it stays queued, never accepted.
    FFillerFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (FFillerFd < 0 || ::connect(FFillerFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        if (FFillerFd >= 0) ::close(FFillerFd);
        ::close(FListenFd);
        throw Exception("Stalled listener: cannot fill the backlog");
    }
}

TStalledListener::~TStalledListener() {
    ::close(FFillerFd);
    ::close(FListenFd);
}

// ==== case files ==============================================================================

std::string TCaseFile::Field(const std::string& name, const std::string& Default) const {
    auto it = Info.find(name);
    return it == Info.end() ? Default : it->second;
}

std::string TCaseFile::Section(const std::string& name) const {
    auto it = Sections.find(name);
    return it == Sections.end() ? std::string() : it->second;
}

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

[[noreturn]] void CaseError(int line, const std::string& reason) {
    throw Exception("Case file line " + IntToStr(line) + ": " + reason);
}

int ParseCount(const std::string& word, int line) {
    int64_t v = StrToIntDef(word, -1);
    if (v < 0) CaseError(line, "bad number '" + word + "'");
    return int(v);
}

// A script line waiting for the data sections, which may come later in the file.
struct TPendingStep {
    int Line;
    std::vector<std::string> Words;
    std::string Rest;  // the text after the first word (send-text)
};

TScriptStep ResolveStep(const TPendingStep& p, const std::map<std::string, std::string>& sections) {
    const auto& w = p.Words;
    auto section = [&](size_t index) {
        std::string name = w.size() > index ? w[index] : "reply";
        auto it = sections.find(name);
        if (it == sections.end()) CaseError(p.Line, "no section [" + name + "]");
        return it->second;
    };
    TScriptStep s;
    const std::string& op = w[0];
    if (op == "read-request") {
        s.Kind = TScriptStep::ReadRequest;
    } else if (op == "read" && w.size() == 2) {
        s.Kind = TScriptStep::ReadBytes;
        s.Count = size_t(ParseCount(w[1], p.Line));
    } else if (op == "read-until-close") {
        s.Kind = TScriptStep::ReadUntilClose;
    } else if (op == "send") {
        s.Kind = TScriptStep::Send;
        s.Data = section(1);
    } else if (op == "send-head" && w.size() >= 2) {
        s.Kind = TScriptStep::Send;
        s.Data = section(2).substr(0, size_t(ParseCount(w[1], p.Line)));
    } else if (op == "send-text") {
        s.Kind = TScriptStep::Send;
        s.Data = DecodeEscapes(p.Rest);
    } else if (op == "trickle" && w.size() >= 2) {
        s.Kind = TScriptStep::Trickle;
        s.Ms = ParseCount(w[1], p.Line);
        s.Data = section(2);
    } else if (op == "delay" && w.size() == 2) {
        s.Kind = TScriptStep::Delay;
        s.Ms = ParseCount(w[1], p.Line);
    } else if (op == "close") {
        s.Kind = TScriptStep::Close;
    } else if (op == "alert") {
        s.Kind = TScriptStep::Alert;
    } else if (op == "drop") {
        s.Kind = TScriptStep::Drop;
    } else if (op == "reset") {
        s.Kind = TScriptStep::Reset;
    } else if (op == "hang") {
        s.Kind = TScriptStep::Hang;
    } else if (op == "loop") {
        s.Kind = TScriptStep::Loop;
    } else {
        CaseError(p.Line, "unknown script action '" + op + "'");
    }
    return s;
}

}  // namespace

std::string DecodeEscapes(const std::string& line) {
    std::string out;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] != '\\') {
            out += line[i];
            continue;
        }
        if (++i >= line.size()) throw Exception("Escape at end of line");
        switch (line[i]) {
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case '0': out += '\0'; break;
        case '\\': out += '\\'; break;
        case 'x': {
            int hi = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
            int lo = i + 2 < line.size() ? HexDigit(line[i + 2]) : -1;
            if (hi < 0 || lo < 0) throw Exception("Bad \\x escape");
            out += char(hi * 16 + lo);
            i += 2;
            break;
        }
        default: throw Exception(std::string("Unknown escape \\") + line[i]);
        }
    }
    return out;
}

std::string ExpandPort(const std::string& text, int port) {
    std::string out = text;
    const std::string key = "%PORT%", value = IntToStr(port);
    for (size_t p = out.find(key); p != std::string::npos; p = out.find(key, p + value.size()))
        out.replace(p, key.size(), value);
    return out;
}

TCaseFile ParseCaseText(const std::string& text) {
    TCaseFile result;
    std::vector<std::vector<TPendingStep>> scripts;
    std::string section;  // current section name, "" before the first
    std::istringstream in(text);
    std::string line;
    int lineNo = 0;
    while (std::getline(in, line)) {
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            section = line.substr(1, line.size() - 2);
            if (section == "script") scripts.emplace_back();
            else if (section != "info") result.Sections[section];
            continue;
        }
        if (section.empty()) {
            if (!Trim(line).empty() && line[0] != '#') CaseError(lineNo, "text before the first section");
        } else if (section == "info") {
            if (Trim(line).empty() || line[0] == '#') continue;
            size_t eq = line.find('=');
            if (eq == std::string::npos) CaseError(lineNo, "expected name = value");
            result.Info[Trim(line.substr(0, eq))] = Trim(line.substr(eq + 1));
        } else if (section == "script") {
            std::string t = Trim(line);
            if (t.empty() || t[0] == '#') continue;
            TPendingStep p{lineNo, {}, ""};
            std::istringstream words(t);
            for (std::string w; words >> w;) p.Words.push_back(w);
            size_t sp = t.find(' ');
            p.Rest = sp == std::string::npos ? "" : t.substr(sp + 1);
            scripts.back().push_back(p);
        } else {
            bool joined = !line.empty() && line.back() == '\\' &&
                          (line.size() < 2 || line[line.size() - 2] != '\\');
            if (joined) line.pop_back();
            try {
                result.Sections[section] += DecodeEscapes(line) + (joined ? "" : "\r\n");
            } catch (const Exception& e) {
                CaseError(lineNo, e.Message());
            }
        }
    }
    if (scripts.empty())
        scripts.push_back({{0, {"read-request"}, ""}, {0, {"send"}, ""}, {0, {"close"}, ""}});
    for (const auto& pending : scripts) {
        TScript s;
        for (const TPendingStep& p : pending) s.Steps.push_back(ResolveStep(p, result.Sections));
        result.Scripts.push_back(s);
    }
    return result;
}

TCaseFile LoadCaseFile(const std::string& path) {
    TStringStream text;
    {
        TFileStream f(path, fmOpenRead);
        text.CopyFrom(f, 0);
    }
    return ParseCaseText(text.DataString());
}

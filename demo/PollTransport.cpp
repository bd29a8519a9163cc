// PollTransport: the demo site's transport over plain BSD sockets and poll().
//
// One thread serves every connection. A connection is its session (what to read, what to
// send, when) until the session is finished; then it drains (our side shut down, the
// rest of what the client sends read and dropped until it closes or the drain time
// passes). Each pass polls for reading when the session wants input, for writing when it
// has bytes pending; poll's time-out is the nearest deadline of any session or drain, so
// latencies, trickle pauses and idle limits are served by the loop, never by sleeping.
// Over TLS a connection first runs its handshake, polled for what OpenSSL waits for;
// then reads and writes go through its session, and the shutdown of our side sends the
// closing alert before the FIN, unless the answer was cut off.
#include "demo/SiteTransport.h"

#include <openssl/err.h>

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
constexpr auto DrainTimeout = std::chrono::milliseconds(DrainTimeoutMs);

// Closes a descriptor when it goes out of scope.
class TFd {
public:
    TFd() = default;
    explicit TFd(int fd) : FFd(fd) {}
    ~TFd() { Reset(); }
    TFd(TFd&& o) noexcept : FFd(o.Release()) {}
    TFd& operator=(TFd&& o) noexcept {
        if (this != &o) {
            Reset();
            FFd = o.Release();
        }
        return *this;
    }
    int Get() const { return FFd; }
    int Release() { int fd = FFd; FFd = -1; return fd; }
    void Reset() {
        if (FFd >= 0) ::close(FFd);
        FFd = -1;
    }

private:
    int FFd = -1;
};

struct TConnection {
    TConnection(int fd, TSiteSession session) : Fd(fd), Session(std::move(session)) {}
    TFd Fd;
    TSiteSession Session;
    tls::TSslPtr Ssl;            // null: plain
    bool Handshaking = false;
    short HandshakeWants = POLLIN;  // what the handshake waits for
    bool Draining = false;
    TClock::time_point DrainEnd;

    TClock::time_point Deadline() const { return Draining ? DrainEnd : Session.Deadline(); }
};

class TPollTransport : public TSiteTransport {
public:
    TPollTransport();
    int Listen(const std::string& bindAddress, int port) override;
    void Run() override;
    void Stop() override;

private:
    void Accept();
    void OnReadable(TConnection& c);
    void OnWritable(TConnection& c);
    void Handshake(TConnection& c);
    // Reads or sends through the connection's session or socket: bytes moved, 0 at the
    // peer's end, -1 with errno EAGAIN when nothing can move now, -1 on a failure.
    ssize_t Read(TConnection& c, char* buf, size_t size);
    ssize_t Write(TConnection& c, const char* data, size_t len);
    void Settle(TConnection& c, TClock::time_point now);
    int PollTimeoutMs(TClock::time_point now) const;

    TFd FListen;
    TFd FWakeRead, FWakeWrite;
    std::atomic<bool> FStopped{false};
    std::list<TConnection> FConnections;
};

TPollTransport::TPollTransport() {
    int fds[2];
    if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) != 0)
        throw ESiteError(std::string("Cannot create wake pipe: ") + std::strerror(errno));
    FWakeRead = TFd(fds[0]);
    FWakeWrite = TFd(fds[1]);
}

int TPollTransport::Listen(const std::string& bindAddress, int port) {
    auto fail = [&](const char* what) {
        throw ESiteError("Cannot listen on " + bindAddress + ":" + std::to_string(port) + ": " +
                         what + ": " + std::strerror(errno));
    };
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    if (port < 0 || port > 65535 || ::inet_pton(AF_INET, bindAddress.c_str(), &sa.sin_addr) != 1) {
        errno = EINVAL;
        fail("address");
    }
    TFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (fd.Get() < 0) fail("socket");
    int one = 1;
    ::setsockopt(fd.Get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fail("bind");
    if (::listen(fd.Get(), 128) != 0) fail("listen");
    socklen_t len = sizeof sa;
    ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&sa), &len);
    FListen = std::move(fd);
    return ntohs(sa.sin_port);
}

void TPollTransport::Stop() {
    FStopped = true;
    char b = 1;
    ssize_t ignored = ::write(FWakeWrite.Get(), &b, 1);
    (void)ignored;
}

void TPollTransport::Run() {
    std::vector<pollfd> fds;
    std::vector<TConnection*> owners;
    while (!FStopped) {
        fds.clear();
        owners.clear();
        fds.push_back({FWakeRead.Get(), POLLIN, 0});
        fds.push_back({FListen.Get(), POLLIN, 0});
        bool decrypted = false;  // a session holds bytes no poll will announce
        for (TConnection& c : FConnections) {
            short ev = 0;
            if (c.Draining || c.Session.WantsInput()) ev |= POLLIN;
            if (!c.Draining && c.Session.Pending().second > 0) ev |= POLLOUT;
            if (c.Handshaking) ev = c.HandshakeWants;
            if (c.Ssl && !c.Handshaking && (ev & POLLIN) && SSL_pending(c.Ssl.get()) > 0) decrypted = true;
            fds.push_back({c.Fd.Get(), ev, 0});  // errors and hang-ups are reported anyway
            owners.push_back(&c);
        }
        int n = ::poll(fds.data(), fds.size(), decrypted ? 0 : PollTimeoutMs(TClock::now()));
        if (n < 0 && errno != EINTR) break;
        if (FStopped) break;
        if (fds[1].revents & POLLIN) Accept();
        for (size_t i = 0; i < owners.size(); ++i) {
            short re = fds[i + 2].revents;
            TConnection& c = *owners[i];
            if ((fds[i + 2].events & POLLIN) && c.Ssl && !c.Handshaking && SSL_pending(c.Ssl.get()) > 0)
                re |= POLLIN;
            if (c.Handshaking && (re & (POLLIN | POLLOUT))) {
                Handshake(c);
                continue;
            }
            if ((re & POLLOUT) && c.Fd.Get() >= 0) OnWritable(c);
            if ((re & POLLIN) && c.Fd.Get() >= 0)
                OnReadable(c);
            else if (re & (POLLERR | POLLHUP))
                c.Fd.Reset();  // reset or closed both ways: nothing more can be said
        }
        auto now = TClock::now();
        for (TConnection& c : FConnections) {
            if (c.Fd.Get() < 0) continue;
            if (c.Draining && now >= c.DrainEnd) c.Fd.Reset();
            else if (!c.Draining && now >= c.Session.Deadline()) c.Session.OnTime(now);
            Settle(c, now);
        }
        FConnections.remove_if([](const TConnection& c) { return c.Fd.Get() < 0; });
    }
    FConnections.clear();
    char drain[64];
    while (::read(FWakeRead.Get(), drain, sizeof drain) > 0) {}
}

int TPollTransport::PollTimeoutMs(TClock::time_point now) const {
    if (FConnections.empty()) return -1;  // nothing is due until a connection arrives
    auto nearest = TClock::time_point::max();
    for (const TConnection& c : FConnections) nearest = std::min(nearest, c.Deadline());
    if (nearest == TClock::time_point::max()) return -1;
    if (nearest <= now) return 0;
    // Rounded up, so the loop does not wake a moment early and poll again at once.
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now).count() + 1;
    return int(std::min<int64_t>(ms, 3600 * 1000));
}

void TPollTransport::Accept() {
    for (;;) {
        int fd = ::accept4(FListen.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a connection that went away before accept
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        TConnection& c = FConnections.emplace_back(fd, TSiteSession(Times, Handler, OnLog, TClock::now()));
        if (!Tls) continue;
        c.Ssl.reset(SSL_new(Tls.get()));
        if (!c.Ssl || SSL_set_fd(c.Ssl.get(), fd) != 1) {
            c.Fd.Reset();
            continue;
        }
        SSL_set_accept_state(c.Ssl.get());
        c.Handshaking = true;
    }
}

// One step of a connection's handshake; a failed one closes the connection.
void TPollTransport::Handshake(TConnection& c) {
    ERR_clear_error();
    int rc = SSL_do_handshake(c.Ssl.get());
    if (rc == 1) {
        c.Handshaking = false;
        return;
    }
    int err = SSL_get_error(c.Ssl.get(), rc);
    ERR_clear_error();
    if (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE)
        c.HandshakeWants = err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
    else
        c.Fd.Reset();
}

ssize_t TPollTransport::Read(TConnection& c, char* buf, size_t size) {
    if (!c.Ssl) return ::recv(c.Fd.Get(), buf, size, 0);
    ERR_clear_error();
    int n = SSL_read(c.Ssl.get(), buf, int(size));
    if (n > 0) return n;
    int err = SSL_get_error(c.Ssl.get(), n);
    ERR_clear_error();
    if (err == SSL_ERROR_ZERO_RETURN) return 0;  // the client's closing alert
    errno = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? EAGAIN : ECONNRESET;
    return -1;
}

ssize_t TPollTransport::Write(TConnection& c, const char* data, size_t len) {
    if (!c.Ssl) return ::send(c.Fd.Get(), data, len, MSG_NOSIGNAL);
    ERR_clear_error();
    int n = SSL_write(c.Ssl.get(), data, int(std::min<size_t>(len, 1 << 20)));
    if (n > 0) return n;
    int err = SSL_get_error(c.Ssl.get(), n);
    ERR_clear_error();
    errno = err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE ? EAGAIN : ECONNRESET;
    return -1;
}

void TPollTransport::OnReadable(TConnection& c) {
    char buf[16384];
    ssize_t n = Read(c, buf, sizeof buf);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0 || (n == 0 && c.Draining)) {
        c.Fd.Reset();  // a failed connection, or a drained one the client has closed
        return;
    }
    if (c.Draining) return;
    if (n == 0)
        c.Session.PeerClosed(TClock::now());  // no more input is asked for after this
    else
        c.Session.Received(buf, size_t(n), TClock::now());
}

void TPollTransport::OnWritable(TConnection& c) {
    if (c.Draining) return;
    auto pending = c.Session.Pending();
    if (pending.second == 0) return;
    ssize_t n = Write(c, pending.first, pending.second);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) {
        c.Fd.Reset();  // the client went away
        return;
    }
    c.Session.Sent(size_t(n), TClock::now());
}

// Starts draining a connection whose session is finished.
void TPollTransport::Settle(TConnection& c, TClock::time_point now) {
    if (c.Fd.Get() < 0 || c.Draining || !c.Session.Finished()) return;
    // Shut down our side: the client sees the end of the answer (or, for a cut-off
    // answer, an end before the announced length). Then wait for it to close.
    if (c.Ssl && !c.Session.Cut()) {
        ERR_clear_error();
        SSL_shutdown(c.Ssl.get());  // the closing alert, if the socket takes it now
        ERR_clear_error();
    }
    ::shutdown(c.Fd.Get(), SHUT_WR);
    c.Draining = true;
    c.DrainEnd = now + DrainTimeout;
}

}  // namespace

std::unique_ptr<TSiteTransport> NewPollTransport() { return std::make_unique<TPollTransport>(); }

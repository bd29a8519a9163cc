// PollTransport: the demo site's transport over plain BSD sockets and poll().
//
// One thread serves every connection. Each connection moves through reading (the request),
// writing (the answer, paused between trickle pieces), and draining (our side shut down;
// the rest of what the client sends is read and dropped until it closes, so that closing
// never resets a connection whose answer the client has not read yet). Poll's time-out is
// the nearest deadline: a trickle pause ending or an idle connection expiring.
#include "demo/SiteTransport.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <list>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
constexpr auto IdleTimeout = std::chrono::seconds(15);
constexpr auto DrainTimeout = std::chrono::seconds(2);

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
    enum TPhase { Reading, Writing, Pausing, Draining };
    TFd Fd;
    TPhase Phase = Reading;
    TRequestReader Reader;
    std::optional<TResponseSender> Sender;
    TClock::time_point Deadline;  // idle limit, end of a pause, or end of draining
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
    void Answer(TConnection& c, const TSiteResponse& response);
    void FinishWriting(TConnection& c);
    void OnDeadline(TConnection& c, TClock::time_point now);
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
    if (::listen(fd.Get(), 64) != 0) fail("listen");
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
        for (TConnection& c : FConnections) {
            if (c.Phase == TConnection::Pausing) continue;
            short ev = c.Phase == TConnection::Writing ? POLLOUT : POLLIN;
            fds.push_back({c.Fd.Get(), ev, 0});
            owners.push_back(&c);
        }
        int n = ::poll(fds.data(), fds.size(), PollTimeoutMs(TClock::now()));
        if (n < 0 && errno != EINTR) break;
        if (FStopped) break;
        if (fds[1].revents & POLLIN) Accept();
        for (size_t i = 0; i < owners.size(); ++i) {
            short re = fds[i + 2].revents;
            if (!re) continue;
            if (owners[i]->Phase == TConnection::Writing && (re & (POLLOUT | POLLERR | POLLHUP)))
                OnWritable(*owners[i]);
            else if (re & (POLLIN | POLLERR | POLLHUP))
                OnReadable(*owners[i]);
        }
        auto now = TClock::now();
        for (TConnection& c : FConnections)
            if (c.Fd.Get() >= 0 && now >= c.Deadline) OnDeadline(c, now);
        FConnections.remove_if([](const TConnection& c) { return c.Fd.Get() < 0; });
    }
    FConnections.clear();
    char drain[64];
    while (::read(FWakeRead.Get(), drain, sizeof drain) > 0) {}
}

int TPollTransport::PollTimeoutMs(TClock::time_point now) const {
    auto nearest = now + IdleTimeout;
    for (const TConnection& c : FConnections) nearest = std::min(nearest, c.Deadline);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - now).count();
    return int(std::max<int64_t>(ms + 1, 0));
}

void TPollTransport::Accept() {
    for (;;) {
        int fd = ::accept4(FListen.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;  // EAGAIN, or a connection that went away before accept
        FConnections.emplace_back();
        FConnections.back().Fd = TFd(fd);
        FConnections.back().Deadline = TClock::now() + IdleTimeout;
    }
}

void TPollTransport::OnReadable(TConnection& c) {
    char buf[16384];
    ssize_t n = ::recv(c.Fd.Get(), buf, sizeof buf, 0);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n <= 0) {
        c.Fd.Reset();  // the client went away (or finished after our answer)
        return;
    }
    if (c.Phase == TConnection::Draining) return;
    size_t used = 0;
    TRequestReader::TState st = c.Reader.Feed(buf, size_t(n), &used);
    if (st == TRequestReader::rsNeedMore) return;
    TSiteResponse response = st == TRequestReader::rsDone && Handler
                                 ? Handler(c.Reader.Request())
                                 : PlainErrorResponse(st == TRequestReader::rsDone ? 500 : c.Reader.ErrorStatus());
    Answer(c, response);
}

void TPollTransport::Answer(TConnection& c, const TSiteResponse& response) {
    if (OnLog) OnLog(RequestLogLine(c.Reader.Request(), response));
    c.Sender.emplace(response);
    c.Phase = TConnection::Writing;
    c.Deadline = TClock::now() + IdleTimeout;
}

void TPollTransport::OnWritable(TConnection& c) {
    TResponseSender& s = *c.Sender;
    auto pending = s.Pending();
    ssize_t n = ::send(c.Fd.Get(), pending.first, pending.second, MSG_NOSIGNAL);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    if (n < 0) {
        c.Fd.Reset();
        return;
    }
    s.Advance(size_t(n));
    c.Deadline = TClock::now() + IdleTimeout;
    if (s.Done()) {
        FinishWriting(c);
    } else if (s.DelayMs() > 0) {
        c.Phase = TConnection::Pausing;
        c.Deadline = TClock::now() + std::chrono::milliseconds(s.DelayMs());
    }
}

void TPollTransport::FinishWriting(TConnection& c) {
    // Shut down our side: the client sees the end of the answer (or, for a cut-off
    // answer, an end before the announced length). Then wait for it to close.
    ::shutdown(c.Fd.Get(), SHUT_WR);
    c.Phase = TConnection::Draining;
    c.Deadline = TClock::now() + DrainTimeout;
}

void TPollTransport::OnDeadline(TConnection& c, TClock::time_point now) {
    if (c.Phase == TConnection::Pausing) {
        c.Sender->OpenPiece();
        c.Phase = TConnection::Writing;
        c.Deadline = now + IdleTimeout;
        return;
    }
    c.Fd.Reset();  // idle too long, or the client never closed after our answer
}

}  // namespace

std::unique_ptr<TSiteTransport> NewPollTransport() { return std::make_unique<TPollTransport>(); }

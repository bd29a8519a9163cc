// SocketTestUtil: the loopback peers (see SocketTestUtil.h).
#include "tests/net/socket/SocketTestUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int BoundLoopback(int type, int& port) {
    int fd = ::socket(AF_INET, type, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Waits for Fd or the stop pipe; true when Fd is ready.
bool Ready(int fd, int stopFd, int timeoutMs) {
    pollfd p[2] = {{fd, POLLIN, 0}, {stopFd, POLLIN, 0}};
    if (::poll(p, 2, timeoutMs) <= 0) return false;
    return !(p[1].revents & POLLIN) && (p[0].revents & (POLLIN | POLLHUP | POLLERR));
}
}  // namespace

TEchoPeer::TEchoPeer() {
    FListen = BoundLoopback(SOCK_STREAM, FPort);
    ::listen(FListen, 64);
    if (::pipe(FStop) != 0) FStop[0] = FStop[1] = -1;
    FThread = std::thread([this] { Run(); });
}

TEchoPeer::~TEchoPeer() {
    char c = 1;
    ssize_t w = ::write(FStop[1], &c, 1);
    (void)w;
    FThread.join();
    ::close(FListen);
    ::close(FStop[0]);
    ::close(FStop[1]);
}

void TEchoPeer::Run() {
    while (Ready(FListen, FStop[0], 10000)) {
        int c = ::accept(FListen, nullptr, nullptr);
        if (c < 0) continue;
        char buf[65536];
        while (Ready(c, FStop[0], 10000)) {
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            for (ssize_t off = 0; off < n;) {
                ssize_t w = ::send(c, buf + off, size_t(n - off), MSG_NOSIGNAL);
                if (w <= 0) break;
                off += w;
            }
        }
        ::close(c);
    }
}

TRefusedPort::TRefusedPort() { FFd = BoundLoopback(SOCK_STREAM, FPort); }
TRefusedPort::~TRefusedPort() { ::close(FFd); }

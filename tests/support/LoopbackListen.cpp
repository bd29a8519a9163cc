// LoopbackListen: the loopback listener and its stoppable wait (see LoopbackListen.h).
#include "tests/support/LoopbackListen.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

TLoopbackListener::TLoopbackListener(int backlog) {
    if (::pipe2(FStop, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
    FFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (FFd < 0 || ::bind(FFd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(FFd, backlog) != 0 ||
        ::getsockname(FFd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        CloseAll();
        throw std::runtime_error("listen");
    }
    FPort = ntohs(a.sin_port);
}

TLoopbackListener::~TLoopbackListener() { CloseAll(); }

void TLoopbackListener::CloseAll() {
    for (int* fd : {&FFd, &FStop[0], &FStop[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
}

void TLoopbackListener::Stop() {
    char b = 1;
    (void)!::write(FStop[1], &b, 1);
}

bool TLoopbackListener::Readable(int fd, int timeoutMs) const {
    pollfd p[2] = {{fd, POLLIN, 0}, {FStop[0], POLLIN, 0}};
    for (;;) {
        int r = ::poll(p, 2, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        return r > 0 && !p[1].revents && p[0].revents;
    }
}

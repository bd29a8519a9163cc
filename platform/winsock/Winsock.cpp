// Winsock: Windows Sockets 1.1 over non-blocking BSD sockets (see Winsock.h).
//
// Organisation: a process-wide table maps handles to socket records (descriptor, target
// window, event mask, and the arming state of each notification). One lock guards the
// table; the reactor thread holds it while it turns epoll readiness into posted
// messages, and every call that changes a record (recv re-arming FD_READ, a blocked send
// arming FD_WRITE, closesocket removing the record) takes it too. So once closesocket has
// returned, the reactor can no longer post for that handle, and epoll readiness reported
// for a removed record (its handle is the epoll cookie, not the descriptor) is dropped.
//
// Arming: a record registers with epoll only the conditions whose notification is armed,
// level-triggered. A notification is disarmed when posted and re-armed by the call that
// consumes it (recv, accept, a send that would block), which is Winsock's re-enabling
// rule. A record with nothing armed is removed from epoll, so a hung-up descriptor whose
// owner has not yet reacted cannot make the reactor spin.
//
// Lookups are in WinsockResolver.cpp.
#include "platform/winsock/Winsock.h"
#include "platform/winsock/WinsockInternal.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/sockios.h>
#include <map>
#include <memory>
#include <mutex>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace winsock {

namespace {

struct TSockRec {
    int Fd = -1;
    HWND Wnd = nullptr;
    UINT Msg = 0;
    long Mask = 0;
    bool Dgram = false;
    bool Connecting = false;   // connect issued, FD_CONNECT not yet posted
    bool Connected = false;    // data can flow (stream connected, or datagram)
    bool Listening = false;
    bool ReadArmed = false;    // FD_READ / FD_CLOSE watch
    bool WriteArmed = false;   // FD_WRITE
    bool AcceptArmed = false;  // FD_ACCEPT
    bool ClosePosted = false;  // FD_CLOSE has gone out; nothing more but FD_WRITE
    bool Registered = false;   // present in the epoll set
    uint32_t Events = 0;       // the epoll events registered
    int FatalErrno = 0;        // last connection error seen by recv/send, for FD_CLOSE
    uint64_t LingerDeadline = 0;  // first closesocket attempt of a lingering close
};

std::mutex gLock;
std::map<SOCKET, std::unique_ptr<TSockRec>> gSockets;
SOCKET gNextHandle = 0x100;
int gStartCount = 0;
int gEpoll = -1;
int gWakeFd = -1;
bool gStopReactor = false;
// Held without a destructor: a thread still running at exit is stopped by TStopAtExit,
// never terminated by the destruction of a joinable thread object.
std::thread& gReactor = *new std::thread();

thread_local int tlsLastError = 0;

int Fail(int wsaError) {
    tlsLastError = wsaError;
    return SOCKET_ERROR;
}

int FailErrno() { return Fail(WSAErrorFromErrno(errno)); }

// The record of a handle; caller holds gLock.
TSockRec* Find(SOCKET s) {
    auto it = gSockets.find(s);
    return it == gSockets.end() ? nullptr : it->second.get();
}

// Brings the epoll registration in line with the armed notifications. Caller holds gLock.
void UpdateInterest(SOCKET s, TSockRec& r) {
    uint32_t want = 0;
    if (r.Wnd && r.Msg && r.Mask) {
        if (r.Connecting) want |= EPOLLOUT;
        if (r.ReadArmed || r.AcceptArmed) want |= EPOLLIN | EPOLLRDHUP;
        if (r.WriteArmed) want |= EPOLLOUT;
    }
    epoll_event ev{};
    ev.events = want;
    ev.data.u64 = uint64_t(uint32_t(s));
    if (want == 0) {
        if (r.Registered) epoll_ctl(gEpoll, EPOLL_CTL_DEL, r.Fd, &ev);
        r.Registered = false;
    } else if (!r.Registered) {
        if (epoll_ctl(gEpoll, EPOLL_CTL_ADD, r.Fd, &ev) == 0) r.Registered = true;
    } else if (want != r.Events) {
        epoll_ctl(gEpoll, EPOLL_CTL_MOD, r.Fd, &ev);
    }
    r.Events = want;
}

void Post(SOCKET s, const TSockRec& r, long event, int err) {
    if (!(r.Mask & event)) return;
    PostMessageA(r.Wnd, r.Msg, WPARAM(uint32_t(s)), WSAMAKESELECTREPLY(uint16_t(event), uint16_t(err)));
}

int PendingErrno(int fd) {
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) return errno;
    return err;
}

int BytesWaiting(int fd) {
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return 0;
    return n;
}

// Turns one epoll report into notifications. Caller holds gLock.
void HandleReady(SOCKET s, TSockRec& r, uint32_t ev) {
    // Connection completion first: FD_CONNECT precedes any data of the connection.
    if (r.Connecting && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        int err = PendingErrno(r.Fd);
        r.Connecting = false;
        if (err == 0) {
            r.Connected = true;
            r.ReadArmed = (r.Mask & (FD_READ | FD_CLOSE)) != 0;
            r.WriteArmed = (r.Mask & FD_WRITE) != 0;
        }
        Post(s, r, FD_CONNECT, err ? WSAErrorFromErrno(err) : 0);
        UpdateInterest(s, r);
        return;  // readiness of the new connection comes with the next report
    }
    if (r.AcceptArmed && (ev & EPOLLIN)) {
        r.AcceptArmed = false;
        Post(s, r, FD_ACCEPT, 0);
    }
    if (r.ReadArmed && (ev & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR))) {
        // Bytes still waiting are announced before the close, so FD_CLOSE follows the
        // last FD_READ of the connection.
        if (r.Dgram || BytesWaiting(r.Fd) > 0) {
            r.ReadArmed = false;
            Post(s, r, FD_READ, 0);
        } else if (ev & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) {
            int err = PendingErrno(r.Fd);
            if (err == 0) err = r.FatalErrno;
            r.ReadArmed = false;
            r.ClosePosted = true;
            Post(s, r, FD_CLOSE, err ? WSAErrorFromErrno(err) : 0);
        } else {
            r.ReadArmed = false;  // readable without bytes: end of stream follows
            Post(s, r, FD_READ, 0);
        }
    }
    if (r.WriteArmed && (ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) {
        r.WriteArmed = false;
        Post(s, r, FD_WRITE, 0);
    }
    UpdateInterest(s, r);
}

void ReactorLoop() {
    epoll_event events[64];
    for (;;) {
        int n = epoll_wait(gEpoll, events, 64, -1);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard<std::mutex> guard(gLock);
        if (gStopReactor) return;
        for (int i = 0; i < n; ++i) {
            if (events[i].data.u64 == 0) {
                uint64_t v;
                ssize_t rd = ::read(gWakeFd, &v, sizeof v);
                (void)rd;
                continue;
            }
            SOCKET s = SOCKET(uint32_t(events[i].data.u64));
            if (TSockRec* r = Find(s)) HandleReady(s, *r, events[i].events);
        }
    }
}

// Re-arms the input watch after the owner consumed input. Caller holds gLock.
void RearmRead(SOCKET s, TSockRec& r) {
    if (r.Connected && !r.ClosePosted && (r.Mask & (FD_READ | FD_CLOSE))) {
        r.ReadArmed = true;
        UpdateInterest(s, r);
    }
}

void CloseRecord(TSockRec& r) {
    if (r.Registered) {
        epoll_event ev{};
        epoll_ctl(gEpoll, EPOLL_CTL_DEL, r.Fd, &ev);
    }
    ::close(r.Fd);
}

SOCKET Insert(int fd, bool dgram, bool connected) {
    auto rec = std::make_unique<TSockRec>();
    rec->Fd = fd;
    rec->Dgram = dgram;
    rec->Connected = connected;
    std::lock_guard<std::mutex> guard(gLock);
    SOCKET s = gNextHandle++;
    gSockets.emplace(s, std::move(rec));
    return s;
}

// Descriptor of a handle for a call that needs no record update; -1 with the error set.
int FdOf(SOCKET s) {
    std::lock_guard<std::mutex> guard(gLock);
    if (gStartCount == 0) return Fail(WSANOTINITIALISED);
    TSockRec* r = Find(s);
    if (!r) return Fail(WSAENOTSOCK);
    return r->Fd;
}

}  // namespace

// ==== errors ==================================================================================

int WSAErrorFromErrno(int err) {
    switch (err) {
        case 0: return 0;
        case EINTR: return WSAEINTR;
        case EBADF: return WSAEBADF;
        case EACCES: return WSAEACCES;
        case EFAULT: return WSAEFAULT;
        case EINVAL: return WSAEINVAL;
        case EMFILE: case ENFILE: return WSAEMFILE;
        case EAGAIN: return WSAEWOULDBLOCK;
        case EINPROGRESS: return WSAEWOULDBLOCK;  // a non-blocking connect under way
        case EALREADY: return WSAEALREADY;
        case ENOTSOCK: return WSAENOTSOCK;
        case EDESTADDRREQ: return WSAEDESTADDRREQ;
        case EMSGSIZE: return WSAEMSGSIZE;
        case EPROTOTYPE: return WSAEPROTOTYPE;
        case ENOPROTOOPT: return WSAENOPROTOOPT;
        case EPROTONOSUPPORT: return WSAEPROTONOSUPPORT;
        case ESOCKTNOSUPPORT: return WSAESOCKTNOSUPPORT;
        case EOPNOTSUPP: return WSAEOPNOTSUPP;
        case EPFNOSUPPORT: return WSAEPFNOSUPPORT;
        case EAFNOSUPPORT: return WSAEAFNOSUPPORT;
        case EADDRINUSE: return WSAEADDRINUSE;
        case EADDRNOTAVAIL: return WSAEADDRNOTAVAIL;
        case ENETDOWN: return WSAENETDOWN;
        case ENETUNREACH: return WSAENETUNREACH;
        case ENETRESET: return WSAENETRESET;
        case ECONNABORTED: return WSAECONNABORTED;
        case ECONNRESET: return WSAECONNRESET;
        case EPIPE: return WSAECONNRESET;  // sending after the peer has gone
        case ENOBUFS: case ENOMEM: return WSAENOBUFS;
        case EISCONN: return WSAEISCONN;
        case ENOTCONN: return WSAENOTCONN;
        case ESHUTDOWN: return WSAESHUTDOWN;
        case ETOOMANYREFS: return WSAETOOMANYREFS;
        case ETIMEDOUT: return WSAETIMEDOUT;
        case ECONNREFUSED: return WSAECONNREFUSED;
        case ELOOP: return WSAELOOP;
        case ENAMETOOLONG: return WSAENAMETOOLONG;
        case EHOSTDOWN: return WSAEHOSTDOWN;
        case EHOSTUNREACH: return WSAEHOSTUNREACH;
        case ENOTEMPTY: return WSAENOTEMPTY;
        case EUSERS: return WSAEUSERS;
        case EDQUOT: return WSAEDQUOT;
        case ESTALE: return WSAESTALE;
        case EREMOTE: return WSAEREMOTE;
        default: return WSASYSCALLFAILURE;
    }
}

void WSASetLastError(int error) { tlsLastError = error; }
int WSAGetLastError() { return tlsLastError; }

// ==== start-up ================================================================================

int WSAStartup(WORD versionRequested, WSADATA* data) {
    uint8_t major = uint8_t(versionRequested & 0xFF), minor = uint8_t(versionRequested >> 8);
    if (major < 1 || (major == 1 && minor < 1)) return WSAVERNOTSUPPORTED;
    if (data) {
        *data = WSADATA{};
        data->wVersion = 0x0101;
        data->wHighVersion = 0x0101;
        std::strcpy(data->szDescription, "Winsock 1.1 over BSD sockets");
        std::strcpy(data->szSystemStatus, "Running");
        data->iMaxSockets = 0xFFFF;
        data->iMaxUdpDg = 65467;
    }
    std::lock_guard<std::mutex> guard(gLock);
    if (gStartCount++ > 0) return 0;
    gEpoll = epoll_create1(EPOLL_CLOEXEC);
    gWakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = 0;
    epoll_ctl(gEpoll, EPOLL_CTL_ADD, gWakeFd, &ev);
    gStopReactor = false;
    gReactor = std::thread(ReactorLoop);
    ResolverStart();
    return 0;
}

namespace {
// At program exit the threads are stopped even if a caller never matched its WSAStartup.
struct TStopAtExit {
    ~TStopAtExit() {
        bool started;
        {
            std::lock_guard<std::mutex> guard(gLock);
            started = gStartCount > 0;
            if (started) gStartCount = 1;
        }
        if (started) WSACleanup();
    }
} gStopAtExit;
}  // namespace

int WSACleanup() {
    std::thread reactor;
    {
        std::lock_guard<std::mutex> guard(gLock);
        if (gStartCount == 0) return Fail(WSANOTINITIALISED);
        if (--gStartCount > 0) return 0;
        gStopReactor = true;
        uint64_t one = 1;
        ssize_t w = ::write(gWakeFd, &one, sizeof one);
        (void)w;
        reactor = std::move(gReactor);
    }
    reactor.join();
    ResolverStop();
    std::lock_guard<std::mutex> guard(gLock);
    for (auto& entry : gSockets) CloseRecord(*entry.second);
    gSockets.clear();
    ::close(gWakeFd);
    ::close(gEpoll);
    gWakeFd = gEpoll = -1;
    return 0;
}

bool WinsockStarted() {
    std::lock_guard<std::mutex> guard(gLock);
    return gStartCount > 0;
}

// ==== notifications ===========================================================================

int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long mask) {
    std::lock_guard<std::mutex> guard(gLock);
    if (gStartCount == 0) return Fail(WSANOTINITIALISED);
    TSockRec* r = Find(s);
    if (!r) return Fail(WSAENOTSOCK);
    if (msg == 0) mask = 0;
    r->Wnd = wnd;
    r->Msg = msg;
    r->Mask = mask;
    // A new selection replaces the old one and re-announces what is possible now:
    // pending input, a pending connection, and writability of a connected socket.
    r->ReadArmed = r->Connected && !r->ClosePosted && (mask & (FD_READ | FD_CLOSE));
    r->AcceptArmed = r->Listening && (mask & FD_ACCEPT);
    r->WriteArmed = r->Connected && !r->ClosePosted && (mask & FD_WRITE);
    UpdateInterest(s, *r);
    return 0;
}

// ==== socket calls =============================================================================

SOCKET socket(int af, int type, int protocol) {
    if (!WinsockStarted()) return Fail(WSANOTINITIALISED);
    if (af != AF_INET) return Fail(WSAEAFNOSUPPORT);
    int fd = ::socket(af, type | SOCK_NONBLOCK | SOCK_CLOEXEC, protocol);
    if (fd < 0) return FailErrno();
    return Insert(fd, type == SOCK_DGRAM, type == SOCK_DGRAM);
}

int closesocket(SOCKET s) {
    std::lock_guard<std::mutex> guard(gLock);
    if (gStartCount == 0) return Fail(WSANOTINITIALISED);
    TSockRec* r = Find(s);
    if (!r) return Fail(WSAENOTSOCK);
    // A lingering close never blocks the caller: while unsent bytes remain and the linger
    // time has not run out it answers WSAEWOULDBLOCK, and the caller tries again.
    linger lg{};
    socklen_t len = sizeof lg;
    if (!r->Dgram && ::getsockopt(r->Fd, SOL_SOCKET, SO_LINGER, &lg, &len) == 0 && lg.l_onoff && lg.l_linger > 0) {
        int unsent = 0;
        uint64_t now = GetTickCount64();
        if (r->LingerDeadline == 0) r->LingerDeadline = now + uint64_t(lg.l_linger) * 1000;
        if (::ioctl(r->Fd, SIOCOUTQ, &unsent) == 0 && unsent > 0 && now < r->LingerDeadline)
            return Fail(WSAEWOULDBLOCK);
        linger off{};
        ::setsockopt(r->Fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
    CloseRecord(*r);
    gSockets.erase(s);
    return 0;
}

int shutdown(SOCKET s, int how) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    return ::shutdown(fd, how) == 0 ? 0 : FailErrno();
}

int bind(SOCKET s, const sockaddr* name, int nameLen) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    return ::bind(fd, name, socklen_t(nameLen)) == 0 ? 0 : FailErrno();
}

int listen(SOCKET s, int backlog) {
    std::lock_guard<std::mutex> guard(gLock);
    TSockRec* r = Find(s);
    if (!r) return Fail(gStartCount ? WSAENOTSOCK : WSANOTINITIALISED);
    // Linux silently drops connection attempts beyond the backlog, and the clients then
    // wait seconds for a retransmission; a Winsock-sized backlog (5) would stall a burst
    // of clients, so the queue is never shorter than 128.
    if (::listen(r->Fd, backlog < 128 ? 128 : backlog) != 0) return FailErrno();
    r->Listening = true;
    r->AcceptArmed = (r->Mask & FD_ACCEPT) != 0;
    UpdateInterest(s, *r);
    return 0;
}

SOCKET accept(SOCKET s, sockaddr* addr, int* addrLen) {
    int fd;
    {
        std::lock_guard<std::mutex> guard(gLock);
        TSockRec* r = Find(s);
        if (!r) return Fail(gStartCount ? WSAENOTSOCK : WSANOTINITIALISED);
        socklen_t len = addrLen ? socklen_t(*addrLen) : 0;
        fd = ::accept4(r->Fd, addr, addrLen ? &len : nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        int err = errno;
        if (r->Listening && (r->Mask & FD_ACCEPT)) {
            r->AcceptArmed = true;
            UpdateInterest(s, *r);
        }
        if (fd < 0) return Fail(WSAErrorFromErrno(err));
        if (addrLen) *addrLen = int(len);
    }
    return Insert(fd, false, true);
}

int connect(SOCKET s, const sockaddr* name, int nameLen) {
    std::lock_guard<std::mutex> guard(gLock);
    TSockRec* r = Find(s);
    if (!r) return Fail(gStartCount ? WSAENOTSOCK : WSANOTINITIALISED);
    int rc = ::connect(r->Fd, name, socklen_t(nameLen));
    int err = errno;
    if (r->Dgram) return rc == 0 ? 0 : Fail(WSAErrorFromErrno(err));
    if (rc != 0 && err != EINPROGRESS) return Fail(WSAErrorFromErrno(err));
    // Completion, even an immediate one, is announced by FD_CONNECT.
    r->Connecting = true;
    UpdateInterest(s, *r);
    return rc == 0 ? 0 : Fail(WSAEWOULDBLOCK);
}

// Records the outcome of a send: a blocked or partial send (the system buffer is full)
// arms FD_WRITE, a broken connection is remembered for FD_CLOSE.
static int SendResult(SOCKET s, ssize_t n, int err, int len) {
    if (n >= 0 && n >= len) return int(n);
    std::lock_guard<std::mutex> guard(gLock);
    if (TSockRec* r = Find(s)) {
        if ((n >= 0 || err == EAGAIN) && (r->Mask & FD_WRITE)) {
            r->WriteArmed = true;
            UpdateInterest(s, *r);
        } else if (err == ECONNRESET || err == EPIPE) {
            r->FatalErrno = ECONNRESET;
        }
    }
    if (n >= 0) return int(n);
    return Fail(WSAErrorFromErrno(err));
}

int send(SOCKET s, const char* buf, int len, int flags) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    ssize_t n = ::send(fd, buf, size_t(len > 0 ? len : 0), flags | MSG_NOSIGNAL);
    return SendResult(s, n, errno, len);
}

int sendv(SOCKET s, const iovec* pieces, int count, int flags) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    msghdr m{};
    m.msg_iov = const_cast<iovec*>(pieces);
    m.msg_iovlen = size_t(count);
    size_t len = 0;
    for (int i = 0; i < count; ++i) len += pieces[i].iov_len;
    ssize_t n = ::sendmsg(fd, &m, flags | MSG_NOSIGNAL);
    return SendResult(s, n, errno, int(len));
}

int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int toLen) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    ssize_t n = ::sendto(fd, buf, size_t(len > 0 ? len : 0), flags | MSG_NOSIGNAL, to, socklen_t(toLen));
    return SendResult(s, n, errno, len);
}

// Re-arms FD_READ (the consuming call was made) and records a broken connection.
static int ReceiveResult(SOCKET s, ssize_t n, int err) {
    std::lock_guard<std::mutex> guard(gLock);
    if (TSockRec* r = Find(s)) {
        if (n < 0 && (err == ECONNRESET || err == ETIMEDOUT)) r->FatalErrno = err;
        RearmRead(s, *r);
    }
    if (n >= 0) return int(n);
    return Fail(WSAErrorFromErrno(err));
}

int recv(SOCKET s, char* buf, int len, int flags) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    ssize_t n = ::recv(fd, buf, size_t(len > 0 ? len : 0), flags);
    return ReceiveResult(s, n, errno);
}

int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    socklen_t l = fromLen ? socklen_t(*fromLen) : 0;
    ssize_t n = ::recvfrom(fd, buf, size_t(len > 0 ? len : 0), flags, from, fromLen ? &l : nullptr);
    int err = errno;
    if (n >= 0 && fromLen) *fromLen = int(l);
    return ReceiveResult(s, n, err);
}

int setsockopt(SOCKET s, int level, int optName, const char* optVal, int optLen) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    return ::setsockopt(fd, level, optName, optVal, socklen_t(optLen)) == 0 ? 0 : FailErrno();
}

int getsockopt(SOCKET s, int level, int optName, char* optVal, int* optLen) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    socklen_t l = optLen ? socklen_t(*optLen) : 0;
    if (::getsockopt(fd, level, optName, optVal, &l) != 0) return FailErrno();
    if (optLen) *optLen = int(l);
    return 0;
}

int getsockname(SOCKET s, sockaddr* name, int* nameLen) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    socklen_t l = nameLen ? socklen_t(*nameLen) : 0;
    if (::getsockname(fd, name, &l) != 0) return FailErrno();
    if (nameLen) *nameLen = int(l);
    return 0;
}

int getpeername(SOCKET s, sockaddr* name, int* nameLen) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    socklen_t l = nameLen ? socklen_t(*nameLen) : 0;
    if (::getpeername(fd, name, &l) != 0) return FailErrno();
    if (nameLen) *nameLen = int(l);
    return 0;
}

int ioctlsocket(SOCKET s, long cmd, u_long* argp) {
    int fd = FdOf(s);
    if (fd < 0) return SOCKET_ERROR;
    if (cmd == long(FIONBIO)) return 0;
    if (cmd != long(FIONREAD) || !argp) return Fail(WSAEINVAL);
    int n = 0;
    if (::ioctl(fd, FIONREAD, &n) != 0) return FailErrno();
    *argp = u_long(n);
    return 0;
}

int SocketDescriptor(SOCKET s) {
    std::lock_guard<std::mutex> guard(gLock);
    TSockRec* r = Find(s);
    return r ? r->Fd : -1;
}

// ==== conversions ==============================================================================

u_long inet_addr(const char* cp) { return cp ? u_long(::inet_addr(cp)) : u_long(INADDR_NONE); }

char* inet_ntoa(in_addr in) {
    static thread_local char text[INET_ADDRSTRLEN];
    ::inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

u_short htons(u_short v) { return ::htons(v); }
u_short ntohs(u_short v) { return ::ntohs(v); }
u_long htonl(u_long v) { return ::htonl(v); }
u_long ntohl(u_long v) { return ::ntohl(v); }

}  // namespace winsock

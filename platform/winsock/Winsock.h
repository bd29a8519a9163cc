// Winsock: Windows Sockets 1.1 over non-blocking BSD sockets (IPv4).
//
// The calls keep Winsock's names, argument meanings, return values and WSA error numbers
// (errno is mapped onto them; WSAGetLastError reads a per-thread value). They live in
// namespace winsock so that they never collide with the C library's socket calls.
//
// Handles: a SOCKET is a number of this layer, counted upwards and never reused, mapped to
// the file descriptor inside. A notification queued for a socket that has since been
// closed therefore carries a handle no later socket will ever have, even when the OS
// hands out the same descriptor number again.
//
// Notifications: WSAAsyncSelect hands a socket to one reactor thread (epoll), which posts
// (window, message, wParam = handle, lParam = WSAMAKESELECTREPLY(event, error)) with
// Winsock's re-enabling rules: one FD_READ until the next recv, FD_ACCEPT until the next
// accept, FD_WRITE after connect, on WSAAsyncSelect of a connected socket and after a send
// that would block, FD_CONNECT once with its error, one FD_CLOSE carrying the error. After
// closesocket returns nothing more is posted for that handle.
//
// Lookups: WSAAsyncGetHostByName/Addr run on one resolver thread, write the host entry into
// the caller's buffer and post (window, message, wParam = request handle, lParam =
// WSAMAKEASYNCREPLY(length, error)). After WSACancelAsyncRequest returns, the buffer is
// never touched and nothing is posted. Dotted addresses and "localhost" never reach a DNS
// server; names under ".invalid" fail at once with WSAHOST_NOT_FOUND.
//
// WSAStartup starts the reactor and resolver threads; the last matching WSACleanup stops
// them and closes every socket still open. Calls before WSAStartup fail with
// WSANOTINITIALISED.
#pragma once

#include "platform/messages/Messages.h"

#include <arpa/inet.h>
#include <cstdint>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/uio.h>

// The C library may define the byte-order conversions as macros; here they are functions,
// so that winsock::htons and ::htons both name a call.
#undef htons
#undef ntohs
#undef htonl
#undef ntohl

namespace winsock {

using SOCKET = int32_t;
using u_short = uint16_t;
using u_long = uint32_t;
using WORD = uint16_t;

constexpr SOCKET INVALID_SOCKET = -1;
constexpr int SOCKET_ERROR = -1;

// Event bits of WSAAsyncSelect.
constexpr long FD_READ = 0x01;
constexpr long FD_WRITE = 0x02;
constexpr long FD_OOB = 0x04;
constexpr long FD_ACCEPT = 0x08;
constexpr long FD_CONNECT = 0x10;
constexpr long FD_CLOSE = 0x20;

constexpr LPARAM WSAMAKESELECTREPLY(uint16_t event, uint16_t error) { return LPARAM(uint32_t(event) | (uint32_t(error) << 16)); }
constexpr LPARAM WSAMAKEASYNCREPLY(uint16_t length, uint16_t error) { return LPARAM(uint32_t(length) | (uint32_t(error) << 16)); }
constexpr uint16_t WSAGETSELECTEVENT(LPARAM l) { return uint16_t(uint32_t(l) & 0xFFFF); }
constexpr uint16_t WSAGETSELECTERROR(LPARAM l) { return uint16_t(uint32_t(l) >> 16); }
constexpr uint16_t WSAGETASYNCBUFLEN(LPARAM l) { return uint16_t(uint32_t(l) & 0xFFFF); }
constexpr uint16_t WSAGETASYNCERROR(LPARAM l) { return uint16_t(uint32_t(l) >> 16); }

constexpr int MAXGETHOSTSTRUCT = 1024;  // the largest host entry a lookup writes

// WSA error numbers.
constexpr int WSABASEERR = 10000;
constexpr int WSAEINTR = 10004;
constexpr int WSAEBADF = 10009;
constexpr int WSAEACCES = 10013;
constexpr int WSAEFAULT = 10014;
constexpr int WSAEINVAL = 10022;
constexpr int WSAEMFILE = 10024;
constexpr int WSAEWOULDBLOCK = 10035;
constexpr int WSAEINPROGRESS = 10036;
constexpr int WSAEALREADY = 10037;
constexpr int WSAENOTSOCK = 10038;
constexpr int WSAEDESTADDRREQ = 10039;
constexpr int WSAEMSGSIZE = 10040;
constexpr int WSAEPROTOTYPE = 10041;
constexpr int WSAENOPROTOOPT = 10042;
constexpr int WSAEPROTONOSUPPORT = 10043;
constexpr int WSAESOCKTNOSUPPORT = 10044;
constexpr int WSAEOPNOTSUPP = 10045;
constexpr int WSAEPFNOSUPPORT = 10046;
constexpr int WSAEAFNOSUPPORT = 10047;
constexpr int WSAEADDRINUSE = 10048;
constexpr int WSAEADDRNOTAVAIL = 10049;
constexpr int WSAENETDOWN = 10050;
constexpr int WSAENETUNREACH = 10051;
constexpr int WSAENETRESET = 10052;
constexpr int WSAECONNABORTED = 10053;
constexpr int WSAECONNRESET = 10054;
constexpr int WSAENOBUFS = 10055;
constexpr int WSAEISCONN = 10056;
constexpr int WSAENOTCONN = 10057;
constexpr int WSAESHUTDOWN = 10058;
constexpr int WSAETOOMANYREFS = 10059;
constexpr int WSAETIMEDOUT = 10060;
constexpr int WSAECONNREFUSED = 10061;
constexpr int WSAELOOP = 10062;
constexpr int WSAENAMETOOLONG = 10063;
constexpr int WSAEHOSTDOWN = 10064;
constexpr int WSAEHOSTUNREACH = 10065;
constexpr int WSAENOTEMPTY = 10066;
constexpr int WSAEPROCLIM = 10067;
constexpr int WSAEUSERS = 10068;
constexpr int WSAEDQUOT = 10069;
constexpr int WSAESTALE = 10070;
constexpr int WSAEREMOTE = 10071;
constexpr int WSASYSNOTREADY = 10091;
constexpr int WSAVERNOTSUPPORTED = 10092;
constexpr int WSANOTINITIALISED = 10093;
constexpr int WSASYSCALLFAILURE = 10107;  // an OS error without a Winsock number
constexpr int WSAHOST_NOT_FOUND = 11001;
constexpr int WSATRY_AGAIN = 11002;
constexpr int WSANO_RECOVERY = 11003;
constexpr int WSANO_DATA = 11004;

struct WSADATA {
    WORD wVersion = 0;
    WORD wHighVersion = 0;
    char szDescription[257] = {};
    char szSystemStatus[129] = {};
    uint16_t iMaxSockets = 0;
    uint16_t iMaxUdpDg = 0;
    char* lpVendorInfo = nullptr;
};

// The Winsock error number of an errno value.
int WSAErrorFromErrno(int err);

// ---- start-up and errors -------------------------------------------------------------

// Starts the layer (counted). Returns 0, or WSAVERNOTSUPPORTED for a version below 1.1.
int WSAStartup(WORD versionRequested, WSADATA* data);
// Ends one WSAStartup; the last one stops the threads and closes every open socket.
int WSACleanup();
void WSASetLastError(int error);
int WSAGetLastError();

// ---- asynchronous services --------------------------------------------------------------

// Posts the events of Mask to Wnd as Msg; Mask 0 (or Msg 0) stops all notifications.
int WSAAsyncSelect(SOCKET s, HWND wnd, UINT msg, long mask);
// Forward lookup on the resolver thread. Returns a request handle (never 0 on success,
// never reused); 0 on failure with WSAGetLastError set.
using HANDLE = uintptr_t;
HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int bufLen);
// Reverse lookup of an IPv4 address (Len 4, Type AF_INET); as above.
HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int bufLen);
// Stops a lookup: 0, or SOCKET_ERROR with WSAEINVAL when it has already completed.
int WSACancelAsyncRequest(HANDLE asyncTaskHandle);

// ---- database calls (blocking; results in per-thread storage) ----------------------------

hostent* gethostbyname(const char* name);
servent* getservbyname(const char* name, const char* proto);
protoent* getprotobyname(const char* name);

// ---- socket calls ----------------------------------------------------------------------

SOCKET socket(int af, int type, int protocol);
int closesocket(SOCKET s);
int shutdown(SOCKET s, int how);
int bind(SOCKET s, const sockaddr* name, int nameLen);
int listen(SOCKET s, int backlog);
SOCKET accept(SOCKET s, sockaddr* addr, int* addrLen);
int connect(SOCKET s, const sockaddr* name, int nameLen);
int send(SOCKET s, const char* buf, int len, int flags);
int sendto(SOCKET s, const char* buf, int len, int flags, const sockaddr* to, int toLen);
int recv(SOCKET s, char* buf, int len, int flags);
int recvfrom(SOCKET s, char* buf, int len, int flags, sockaddr* from, int* fromLen);
int setsockopt(SOCKET s, int level, int optName, const char* optVal, int optLen);
int getsockopt(SOCKET s, int level, int optName, char* optVal, int* optLen);
int getsockname(SOCKET s, sockaddr* name, int* nameLen);
int getpeername(SOCKET s, sockaddr* name, int* nameLen);
// FIONREAD (bytes waiting) and FIONBIO (accepted and ignored: sockets never block).
int ioctlsocket(SOCKET s, long cmd, u_long* argp);

// ---- conversions -------------------------------------------------------------------------

u_long inet_addr(const char* cp);      // INADDR_NONE for a text that is not an address
char* inet_ntoa(in_addr in);           // per-thread buffer
u_short htons(u_short v);
u_short ntohs(u_short v);
u_long htonl(u_long v);
u_long ntohl(u_long v);

// An extension of this layer: send gathering Count pieces in one call (like send for
// their concatenation), so that a queue of small blocks costs one system call.
int sendv(SOCKET s, const struct iovec* pieces, int count, int flags);

// The descriptor behind a handle, -1 when none (for tests and benchmarks).
int SocketDescriptor(SOCKET s);

// Every call a Winsock 1.1 library exports under these names, and this layer's sendv, as
// an X-macro list: the name table below and the socket classes' binding slots are both
// made from it, so the two cannot drift apart and no call of the classes goes around it.
#define WINSOCK_EXPORTS(X) \
    X(WSAStartup) X(WSACleanup) X(WSASetLastError) X(WSAGetLastError) X(WSACancelAsyncRequest) \
    X(WSAAsyncGetHostByName) X(WSAAsyncGetHostByAddr) X(WSAAsyncSelect) X(getservbyname) \
    X(getprotobyname) X(gethostbyname) X(socket) X(shutdown) X(setsockopt) X(getsockopt) \
    X(sendto) X(send) X(recv) X(recvfrom) X(ntohs) X(ntohl) X(htons) X(htonl) X(listen) \
    X(ioctlsocket) X(inet_ntoa) X(inet_addr) X(getsockname) X(getpeername) X(connect) \
    X(closesocket) X(bind) X(accept) X(sendv)

// The address of a call of this layer by its Winsock name, null when there is none
// (the socket classes bind their calls through it, by name).
void* WinsockProcAddress(const std::string& name);

}  // namespace winsock

// WinsockTest: the Winsock layer on its own: FD_READ once until the next recv, FD_CLOSE
// once, no notification for a closed handle even when the OS reuses its descriptor, and
// lookups that complete or are cancelled.
#include "platform/winsock/Winsock.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <vector>

namespace ws = winsock;
using winsock::SOCKET;
using winsock::INVALID_SOCKET;
using winsock::FD_READ;
using winsock::FD_CLOSE;

namespace {

constexpr UINT kSelect = WM_USER + 1;
constexpr UINT kLookup = WM_USER + 2;

struct TLayer {
    TLayer() { EXPECT_EQ(ws::WSAStartup(0x0101, &Data), 0); }
    ~TLayer() { ws::WSACleanup(); }
    ws::WSADATA Data;
};

// A listener and a connected pair (client from the layer, server side plain).
struct TPair {
    SOCKET Listen = INVALID_SOCKET, Client = INVALID_SOCKET, Server = INVALID_SOCKET;
    TPair() {
        Listen = ws::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
        ws::bind(Listen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ws::listen(Listen, 5);
        int len = sizeof a;
        ws::getsockname(Listen, reinterpret_cast<sockaddr*>(&a), &len);
        Client = ws::socket(AF_INET, SOCK_STREAM, 0);
        ws::connect(Client, reinterpret_cast<sockaddr*>(&a), sizeof a);
        WaitUntil([&] { return (Server = ws::accept(Listen, nullptr, nullptr)) != INVALID_SOCKET; }, 2000);
    }
};

}  // namespace

TEST(Winsock, ReadAnnouncedOnceUntilRecvAndCloseOnce) {
    TLayer layer;
    TPair p;
    std::vector<LPARAM> events;
    HWND w = AllocateHWnd([&](TMessage& m) {
        if (m.Msg == kSelect && SOCKET(m.WParam) == p.Server) events.push_back(ws::WSAGETSELECTEVENT(m.LParam));
    });
    ASSERT_EQ(ws::WSAAsyncSelect(p.Server, w, kSelect, FD_READ | FD_CLOSE), 0);
    ws::send(p.Client, "abc", 3, 0);
    WaitUntil([&] { return !events.empty(); }, 2000);
    ws::send(p.Client, "def", 3, 0);
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(events, std::vector<LPARAM>{FD_READ});  // not again before recv
    char buf[16];
    EXPECT_EQ(ws::recv(p.Server, buf, 2, 0), 2);
    WaitUntil([&] { return events.size() == 2; }, 2000);  // bytes remain: announced again
    EXPECT_EQ(ws::recv(p.Server, buf, sizeof buf, 0), 4);
    ws::closesocket(p.Client);
    WaitUntil([&] { return events.size() == 3; }, 2000);
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(events, (std::vector<LPARAM>{FD_READ, FD_READ, FD_CLOSE}));
    DeallocateHWnd(w);
}

TEST(Winsock, ClosedHandleNeverReachesItsSuccessor) {
    TLayer layer;
    TPair p;
    std::vector<SOCKET> seen;
    HWND w = AllocateHWnd([&](TMessage& m) { seen.push_back(SOCKET(m.WParam)); });
    ws::WSAAsyncSelect(p.Server, w, kSelect, FD_READ);
    ws::send(p.Client, "x", 1, 0);
    WaitUntil([] { return false; }, 50);  // FD_READ is queued, not yet taken
    int oldFd = ws::SocketDescriptor(p.Server);
    SOCKET old = p.Server;
    ws::closesocket(p.Server);
    SOCKET next = ws::socket(AF_INET, SOCK_STREAM, 0);  // likely the same descriptor number
    EXPECT_NE(next, old);
    if (ws::SocketDescriptor(next) != oldFd) GTEST_LOG_(INFO) << "descriptor not reused this time";
    seen.clear();
    ws::WSAAsyncSelect(next, w, kSelect, FD_READ);
    WaitUntil([] { return false; }, 100);
    for (SOCKET s : seen) EXPECT_NE(s, next);
    ws::closesocket(next);
    DeallocateHWnd(w);
}

TEST(Winsock, LookupsCompleteOrAreCancelled) {
    TLayer layer;
    std::vector<std::pair<ws::HANDLE, int>> done;
    HWND w = AllocateHWnd([&](TMessage& m) { done.push_back({ws::HANDLE(m.WParam), ws::WSAGETASYNCERROR(m.LParam)}); });
    alignas(hostent) char buf[ws::MAXGETHOSTSTRUCT];
    ws::HANDLE a = ws::WSAAsyncGetHostByName(w, kLookup, "localhost", buf, sizeof buf);
    ASSERT_NE(a, 0u);
    WaitUntil([&] { return !done.empty(); }, 2000);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0], std::make_pair(a, 0));
    const hostent* h = reinterpret_cast<const hostent*>(buf);
    EXPECT_STREQ(h->h_name, "localhost");
    EXPECT_EQ(*reinterpret_cast<const uint32_t*>(h->h_addr_list[0]), ::htonl(INADDR_LOOPBACK));

    ws::HANDLE b = ws::WSAAsyncGetHostByName(w, kLookup, "no-such-host.invalid", buf, sizeof buf);
    WaitUntil([&] { return done.size() == 2; }, 2000);
    EXPECT_EQ(done[1], std::make_pair(b, ws::WSAHOST_NOT_FOUND));
    EXPECT_EQ(ws::WSACancelAsyncRequest(b), ws::SOCKET_ERROR);  // already complete
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSAEINVAL);
    EXPECT_EQ(ws::WSAAsyncGetHostByName(w, kLookup, "x", buf, sizeof buf) != 0, true);
    DeallocateHWnd(w);
}

TEST(Winsock, CallsBeforeStartupFail) {
    EXPECT_EQ(ws::socket(AF_INET, SOCK_STREAM, 0), INVALID_SOCKET);
    EXPECT_EQ(ws::WSAGetLastError(), ws::WSANOTINITIALISED);
    EXPECT_EQ(ws::WSAStartup(0x0001, nullptr), ws::WSAVERNOTSUPPORTED);
}

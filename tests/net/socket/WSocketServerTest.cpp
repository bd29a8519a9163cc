// WSocketServerTest: listening and accepting (sequential and concurrent clients, each
// adopted by its own TWSocket), line mode against a peer that splits lines at every byte,
// line limits, echo and editing, switching line mode off mid-stream, UDP echo, multicast,
// Pause/Resume and WaitForFlag. Counts are checked after the loop has run; waits are bounded.
#include "net/socket/WSocket.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr DWORD kWait = 5000;

// A plain blocking client: connects to 127.0.0.1:Port, sends each piece, calling
// BeforePiece(i) before piece i > 0 (a pause, or a wait for the server to have reacted to
// what came before), then reads until the server closes or TimeoutMs passes.
std::string BlockingClient(int port, const std::vector<std::string>& pieces,
                           const std::function<void(size_t)>& beforePiece, int timeoutMs = 5000) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return "<connect failed>";
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
        if (i > 0 && beforePiece) beforePiece(i);
        ::send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL);
    }
    ::shutdown(fd, SHUT_WR);
    std::string got;
    char buf[4096];
    pollfd p{fd, POLLIN, 0};
    while (::poll(&p, 1, timeoutMs) > 0) {
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    ::close(fd);
    return got;
}

// The same with a pause of PauseMs between pieces (pieces may still arrive together).
std::string BlockingClient(int port, const std::vector<std::string>& pieces, int pauseMs = 0) {
    return BlockingClient(port, pieces, [pauseMs](size_t) {
        if (pauseMs) std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
    });
}

// Counts what a server's handlers did, for a client thread to wait on without a timed gap.
class TReactions {
public:
    void Add() {
        std::lock_guard<std::mutex> lock(FMutex);
        ++FCount;
        FChanged.notify_all();
    }
    int Count() {
        std::lock_guard<std::mutex> lock(FMutex);
        return FCount;
    }
    // True once Count() >= N; false after Ms.
    bool WaitFor(int n, DWORD ms) {
        std::unique_lock<std::mutex> lock(FMutex);
        return FChanged.wait_for(lock, std::chrono::milliseconds(ms), [&] { return FCount >= n; });
    }

private:
    std::mutex FMutex;
    std::condition_variable FChanged;
    int FCount = 0;
};

// A line server: every accepted connection is adopted by its own TWSocket in line mode,
// which answers each line with "<n>:" + line and closes after "quit".
class TLineServer {
public:
    TLineServer() : FListener(nullptr) {
        FListener.SetAddr("127.0.0.1");
        FListener.SetPort("0");
        FListener.OnSessionAvailable = [this](TObject*, uint16_t) {
            auto client = std::make_unique<TWSocket>(nullptr);
            TWSocket* c = client.get();
            c->SetLineMode(true);
            c->OnDataAvailable = [this, c](TObject*, uint16_t) {
                std::string line = c->ReceiveStr();
                Lines.push_back(line);
                if (line.rfind("quit", 0) == 0)
                    c->CloseDelayed();
                else
                    c->SendStr(std::to_string(line.size()) + ":" + line);
            };
            c->OnSessionClosed = [this](TObject*, uint16_t) { ++Closed; };
            c->Dup(FListener.Accept());
            Clients.push_back(std::move(client));
        };
        FListener.Listen();
    }
    int Port() { return std::stoi(FListener.GetLocalBoundPort()); }

    TWSocket FListener;
    std::vector<std::unique_ptr<TWSocket>> Clients;
    std::vector<std::string> Lines;
    int Closed = 0;
};

// Runs a blocking client on a thread while the message loop serves it.
std::string Serve(TLineServer& server, const std::vector<std::string>& pieces, int pauseMs = 0) {
    std::string reply;
    int port = server.Port();
    std::thread t([&] { reply = BlockingClient(port, pieces, pauseMs); });
    int closedBefore = server.Closed;
    WaitUntil([&] { return server.Closed > closedBefore; }, kWait);
    t.join();
    return reply;
}

}  // namespace

TEST(WSocketListen, ServesSequentialClientsInLineMode) {
    TLineServer server;
    EXPECT_EQ(server.FListener.State(), wsListening);
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(Serve(server, {"hello\r\n", "quit\r\n"}), "7:hello\r\n") << i;
    EXPECT_EQ(server.Clients.size(), 20u);
}

TEST(WSocketListen, FiftyConcurrentClients) {
    TLineServer server;
    const int n = 50;
    std::vector<std::string> replies(n);
    std::vector<std::thread> threads;
    int port = server.Port();
    for (int i = 0; i < n; ++i)
        threads.emplace_back([&, i] { replies[i] = BlockingClient(port, {"n" + std::to_string(i) + "\r\nquit\r\n"}); });
    EXPECT_TRUE(WaitUntil([&] { return server.Closed == n; }, 20000));
    for (auto& t : threads) t.join();
    for (int i = 0; i < n; ++i) {
        std::string line = "n" + std::to_string(i) + "\r\n";
        EXPECT_EQ(replies[i], std::to_string(line.size()) + ":" + line);
    }
}

TEST(WSocketListen, ErrorsOfListenAcceptAndDup) {
    TWSocket s(nullptr);
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    EXPECT_EQ(s.Accept(), INVALID_SOCKET);
    EXPECT_EQ(s.LastError(), 10022);
    s.Dup(INVALID_SOCKET);
    EXPECT_EQ(s.LastError(), 10022);
    s.SetAddr("127.0.0.1");
    s.Listen();  // no port
    EXPECT_EQ(errors, 3);
    s.OnError = nullptr;
    try {
        s.Listen();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Error 10022 in function listen: port not assigned\r\nInvalid argument");
    }
    try {
        s.Accept();
        FAIL();
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Error 10022 in function not a listening socket\r\nInvalid argument");
    }
}

TEST(WSocketLineMode, LinesSplitAtEveryByteAndBothLineEnds) {
    TLineServer server;
    std::string input = "abc\r\nde\r\nfgh\nx\r\n";
    std::vector<std::string> bytes;
    for (char c : input) bytes.push_back(std::string(1, c));
    bytes.push_back("quit\r\n");
    std::string reply = Serve(server, bytes, 2);
    EXPECT_EQ(reply, "5:abc\r\n4:de\r\n7:fgh\nx\r\n");
    ASSERT_EQ(server.Lines.size(), 4u);
    EXPECT_EQ(server.Lines[0], "abc\r\n");

    // With LF as the line end both forms split; the final line without one arrives at close.
    TLineServer lf;
    lf.FListener.OnSessionAvailable = [&, prev = lf.FListener.OnSessionAvailable](TObject* o, uint16_t e) {
        prev(o, e);
        lf.Clients.back()->SetLineEnd("\n");
    };
    Serve(lf, {"one\r\ntwo\nthree\r\nquit\n"});
    EXPECT_EQ(lf.Lines, (std::vector<std::string>{"one\r\n", "two\n", "three\r\n", "quit\n"}));
    TLineServer tail;
    Serve(tail, {"abc\r\nunterminated"});
    EXPECT_EQ(tail.Lines, (std::vector<std::string>{"abc\r\n", "unterminated"}));
}

TEST(WSocketLineMode, LimitEchoEditAndSwitchingOff) {
    TWSocket listener(nullptr);
    listener.SetAddr("127.0.0.1");
    listener.SetPort("0");
    std::unique_ptr<TWSocket> c;
    std::vector<std::string> lines;
    std::vector<int> limits;
    std::string raw;
    int closed = 0;
    int mode = 0;
    TReactions reactions;  // lines taken and limits reported, for the client to wait on
    listener.OnSessionAvailable = [&](TObject*, uint16_t) {
        c = std::make_unique<TWSocket>(nullptr);
        c->SetLineMode(true);
        if (mode == 0) c->SetLineLimit(10);
        if (mode == 1) {
            c->SetLineEdit(true);
            c->SetLineEcho(true);
        }
        c->OnLineLimitExceeded = [&](TObject*, int32_t n, bool&) {
            limits.push_back(n);
            reactions.Add();
        };
        c->OnDataAvailable = [&](TObject*, uint16_t) {
            if (!c->LineMode()) {
                raw += c->ReceiveStr();
                return;
            }
            lines.push_back(c->ReceiveStr());
            reactions.Add();
            if (mode == 2) c->SetLineMode(false);  // the rest arrives raw
        };
        c->OnSessionClosed = [&](TObject*, uint16_t) { ++closed; };
        c->Dup(listener.Accept());
    };
    listener.Listen();
    int port = std::stoi(listener.GetLocalBoundPort());
    // Piece i is sent once the server has reacted i times since the run began (a line
    // taken or a limit reported), so the pieces arrive apart however slow the machine.
    auto run = [&](const std::vector<std::string>& pieces) {
        std::string reply;
        int base = reactions.Count();
        std::thread t([&] {
            reply = BlockingClient(port, pieces, [&](size_t i) { reactions.WaitFor(base + int(i), kWait); });
        });
        int before = closed;
        WaitUntil([&] { return closed > before; }, kWait);
        t.join();
        return reply;
    };

    // Twenty bytes without a terminator over a limit of 10: reported, then discarded.
    run({std::string(20, 'z'), "ok\r\n"});
    ASSERT_FALSE(limits.empty());
    EXPECT_EQ(limits[0], 20);
    EXPECT_EQ(lines.front(), "ok\r\n");

    // Editing: a, b, backspace, c; a tab after three characters reaches column 8.
    mode = 1;
    lines.clear();
    std::string echo = run({std::string("ab\bc\r\n"), std::string("xyz\tq\r\n")});
    EXPECT_EQ(lines[0], "ac\r\n");
    EXPECT_EQ(lines[1], "xyz     q\r\n");
    EXPECT_EQ(echo, std::string("ab\b \bc\r\nxyz     q\r\n"));

    // Switching line mode off inside the handler: the rest is delivered raw.
    mode = 2;
    lines.clear();
    raw.clear();
    run({"first\r\nsecond\r\nthird"});
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0], "first\r\n");
    EXPECT_EQ(raw, "second\r\nthird");
}

TEST(WSocketUdp, EchoThroughListenAndConnect) {
    TWSocket server(nullptr), client(nullptr);
    std::vector<std::string> states;
    int serverConnected = 0;
    server.OnChangeState = [&](TObject*, TSocketState, TSocketState n) { states.push_back(std::to_string(n)); };
    server.OnSessionConnected = [&](TObject*, uint16_t e) { serverConnected += e == 0; };
    server.SetProto("udp");
    server.SetAddr("127.0.0.1");
    server.SetPort("0");
    server.OnDataAvailable = [&](TObject*, uint16_t) {
        char buf[512];
        sockaddr_in from{};
        int len = sizeof from;
        int32_t n = server.ReceiveFrom(buf, sizeof buf, from, len);
        if (n > 0) server.SendTo(from, len, buf, n);
    };
    server.Listen();
    EXPECT_EQ(states, (std::vector<std::string>{std::to_string(wsBound), std::to_string(wsListening),
                                                std::to_string(wsConnected)}));
    EXPECT_EQ(serverConnected, 1);
    std::string got;
    client.SetProto("udp");
    client.SetAddr("127.0.0.1");
    client.SetPort(server.GetLocalBoundPort());
    client.OnDataAvailable = [&](TObject*, uint16_t) { got += client.ReceiveStr(); };
    client.Connect();
    EXPECT_EQ(client.State(), wsConnected);
    client.SendStr("datagram");
    EXPECT_TRUE(WaitUntil([&] { return got == "datagram"; }, kWait));
}

TEST(WSocketUdp, MulticastJoin) {
    TWSocket s(nullptr);
    s.SetProto("udp");
    s.SetAddr("0.0.0.0");
    s.SetPort("0");
    s.SetMultiCast(true);
    s.SetReuseAddr(true);
    s.SetMultiCastAddrStr("239.255.42.99");
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.Listen();
    if (errors) GTEST_SKIP() << "this machine does not allow joining a multicast group: " << s.LastError();
    EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketPause, PauseHoldsNotificationsResumeDeliversThem) {
    TLineServer server;
    std::string reply;
    std::thread t;
    server.FListener.OnSessionAvailable = [&, prev = server.FListener.OnSessionAvailable](TObject* o, uint16_t e) {
        prev(o, e);
        server.Clients.back()->Pause();
    };
    int port = server.Port();
    t = std::thread([&] { reply = BlockingClient(port, {"held\r\nquit\r\n"}); });
    WaitUntil([&] { return !server.Clients.empty(); }, kWait);
    WaitUntil([] { return false; }, 100);
    EXPECT_TRUE(server.Lines.empty());
    ASSERT_FALSE(server.Clients.empty());
    server.Clients.back()->Resume();
    WaitUntil([&] { return server.Closed == 1; }, kWait);
    t.join();
    EXPECT_EQ(reply, "6:held\r\n");
}

TEST(WSocketSync, WaitForFlag) {
    TWSocket s(nullptr);
    bool flag = true;
    EXPECT_EQ(s.WaitForFlag(flag), 0);  // already set: no pumping
    s.SetTimeout(100);
    flag = false;
    DWORD start = GetTickCount();
    EXPECT_EQ(s.WaitForFlag(flag), 12001);
    EXPECT_GE(GetTickCount() - start, 95u);
    // Set by a handler running inside the wait; CPU stays idle while waiting.
    HWND w = AllocateHWnd([&](TMessage&) { flag = true; });
    s.SetTimeout(0);
    clock_t cpu0 = clock();
    std::thread poster([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        PostMessageA(w, WM_USER + 99, 0, 0);
    });
    EXPECT_EQ(s.RunAndWait(nullptr, flag), 0);
    poster.join();
    EXPECT_LT(double(clock() - cpu0) / CLOCKS_PER_SEC, 0.1);
    DeallocateHWnd(w);
}

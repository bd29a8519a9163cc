// WSocketTest: the socket core over loopback: unit routines, properties, the binding's
// lifetime, connect/send/receive/close with their event order, lookups, resets, a peer
// that does not read, closing at awkward moments, and destruction inside a handler.
// Events are counted in the handlers and checked after the message loop has run; every
// wait is bounded.
#include "net/socket/WSocket.h"
#include "tests/net/socket/SocketTestUtil.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

constexpr DWORD kWait = 5000;

std::string ExceptionText(const std::function<void()>& f) {
    try {
        f();
    } catch (const ESocketException& e) {
        return e.Message();
    }
    return "<none>";
}

const char* StateName(TSocketState s) {
    static const char* names[] = {"invalid", "opened", "bound", "connecting", "connected", "accepting", "listening", "closed"};
    return names[s];
}

// Records everything a socket reports, as short texts, in order.
struct TRecorder {
    std::vector<std::string> Log;
    std::string Data;
    int Closed = 0, Sent = 0, Connected = 0;
    uint16_t ClosedError = 0xFFFF, ConnectError = 0xFFFF;

    void Attach(TWSocket& s, bool readData = true) {
        s.OnChangeState = [this](TObject*, TSocketState, TSocketState n) { Log.push_back(StateName(n)); };
        s.OnSessionConnected = [this](TObject*, uint16_t e) {
            ++Connected;
            ConnectError = e;
            Log.push_back("connected " + std::to_string(e));
        };
        s.OnSessionClosed = [this](TObject*, uint16_t e) {
            ++Closed;
            ClosedError = e;
            Log.push_back("sessionclosed " + std::to_string(e));
        };
        s.OnDataSent = [this](TObject*, uint16_t) { ++Sent; };
        if (readData)
            s.OnDataAvailable = [this, &s](TObject*, uint16_t) { Data += s.ReceiveStr(); };
    }
};

std::string Pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i) s[i] = char((i * 7 + i / 251) & 0xFF);
    return s;
}

}  // namespace

// ---- unit routines and texts ------------------------------------------------------------

TEST(SocketErrorDesc, EveryCodeHasItsText) {
    const std::vector<std::pair<int, const char*>> table = {
        {0, "No Error"}, {10004, "Interrupted system call"}, {10009, "Bad file number"},
        {10013, "Permission denied"}, {10014, "Bad address"}, {10022, "Invalid argument"},
        {10024, "Too many open files"}, {10035, "Operation would block"},
        {10036, "Operation now in progress"}, {10037, "Operation already in progress"},
        {10038, "Socket operation on non-socket"}, {10039, "Destination address required"},
        {10040, "Message too long"}, {10041, "Protocol wrong type for socket"},
        {10042, "Protocol not available"}, {10043, "Protocol not supported"},
        {10044, "Socket type not supported"}, {10045, "Operation not supported on socket"},
        {10046, "Protocol family not supported"}, {10047, "Address family not supported by protocol family"},
        {10048, "Address already in use"}, {10049, "Address not available"}, {10050, "Network is down"},
        {10051, "Network is unreachable"}, {10052, "Network dropped connection on reset"},
        {10053, "Connection aborted"}, {10054, "Connection reset by peer"},
        {10055, "No buffer space available"}, {10056, "Socket is already connected"},
        {10057, "Socket is not connected"}, {10058, "Can't send after socket shutdown"},
        {10059, "Too many references: can't splice"}, {10060, "Connection timed out"},
        {10061, "Connection refused"}, {10062, "Too many levels of symbolic links"},
        {10063, "File name too long"}, {10064, "Host is down"}, {10065, "No route to host"},
        {10066, "Directory not empty"}, {10067, "Too many processes"}, {10068, "Too many users"},
        {10069, "Disc quota exceeded"}, {10070, "Stale NFS file handle"},
        {10071, "Too many levels of remote in path"}, {10091, "Network sub-system is unusable"},
        {10092, "WinSock DLL cannot support this application"}, {10093, "WinSock not initialized"},
        {11001, "Host not found"}, {11002, "Non-authoritative host not found"},
        {11003, "Non-recoverable error"}, {11004, "No Data"},
        // codes without an entry
        {10025, "Not a WinSock error"}, {10034, "Not a WinSock error"}, {12001, "Not a WinSock error"},
        {-1, "Not a WinSock error"},
    };
    for (const auto& [code, text] : table) EXPECT_EQ(SocketErrorDesc(code), text) << code;
}

TEST(WSocketRoutines, IsDottedIP) {
    const std::vector<std::pair<const char*, bool>> table = {
        {"192.168.0.1", true}, {"  192.168.0.1  ", true}, {"0.0.0.0", true}, {"255.255.255.255", true},
        {"192.168.0", false}, {"192.168.0.256", false}, {"1.2.3.4.5", false}, {"1.2.3.", false},
        {".1.2.3", false}, {"300.1.1.1", false}, {"1..2.3", false}, {"1.2.3.4x", false}, {"", false},
        {"localhost", false}, {"1.2.3.4 x", false},
    };
    for (const auto& [text, dotted] : table) EXPECT_EQ(IsDottedIP(text), dotted) << text;
}

TEST(WSocketRoutines, ResolutionAndItsErrors) {
    EXPECT_EQ(ParseLeadingNumber("  80x"), 80u);
    EXPECT_EQ(ParseLeadingNumber(""), 0u);
    EXPECT_EQ(WSocketResolvePort("8080", "tcp"), 8080);
    EXPECT_EQ(WSocketResolveProto("tcp"), 6);
    EXPECT_EQ(WSocketResolveProto("17"), 17);
    EXPECT_EQ(WSocketResolveHost(" 127.0.0.1 "), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("localhost"), htonl(INADDR_LOOPBACK));
    EXPECT_EQ(WSocketResolveHost("255.255.255.255"), 0xFFFFFFFFu);
    const std::vector<std::pair<std::function<void()>, std::string>> failures = {
        {[] { WSocketResolvePort(std::string(32, '1'), "tcp"); }, "WSocketResolvePort: Invalid Port."},
        {[] { WSocketResolvePort("", "tcp"); }, "WSocketResolvePort: Invalid Port."},
        {[] { WSocketResolvePort("80", ""); }, "WSocketResolvePort: Invalid Proto."},
        {[] { WSocketResolveProto(""); }, "WSocketResolveProto: Invalid Protocol."},
        {[] { WSocketResolveHost(""); }, "WSocketResolveHost: '' Invalid Hostname."},
        {[] { WSocketResolveHost("no-such-host.invalid"); },
         "WSocketResolveHost: Cannot convert host address 'no-such-host.invalid', Error #11001"},
        {[] { WSocketResolvePort("no-such-service-x", "tcp"); },
         "WSocketResolvePort: Cannot convert port 'no-such-service-x', Error #11004"},
    };
    for (const auto& [call, text] : failures) EXPECT_EQ(ExceptionText(call), text);
}

// ---- properties and lifetime ----------------------------------------------------------------

TEST(WSocketProperties, DefaultsTrimmingAndRefusals) {
    TWSocket s(nullptr);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(s.Proto(), "tcp");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(s.LocalPort(), "0");
    EXPECT_EQ(s.LineEnd(), "\r\n");
    EXPECT_EQ(s.LineLimit(), 65536);
    EXPECT_EQ(s.FlushTimeout(), 60);
    EXPECT_EQ(s.PeerAddr(), "error");
    s.SetAddr("  example.test  ");
    EXPECT_EQ(s.Addr(), "example.test");
    s.SetAddr("   ");
    s.SetPort("80");
    EXPECT_EQ(ExceptionText([&] { s.Connect(); }), "Connect: No IP Address Specified");
    EXPECT_EQ(ExceptionText([&] { s.SetLocalAddr("1.2.3.x"); }), "SetLocalAddr(): Invalid IP address");
    s.SetLocalAddr("");
    EXPECT_EQ(s.LocalAddr(), "0.0.0.0");

    // With OnError set, failures are reported there and the operation carries on.
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.SetLocalAddr("bad");
    EXPECT_EQ(s.LocalAddr(), "255.255.255.255");
    EXPECT_EQ(errors, 1);
}

TEST(WSocketProperties, SettersRefuseUnlessClosed) {
    TEchoPeer peer;
    TWSocket s(nullptr);
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_EQ(s.State(), wsConnecting);
    s.SetAddr("127.0.0.1");  // its own text again: nothing
    const std::vector<std::pair<std::function<void()>, std::string>> table = {
        {[&] { s.SetAddr("10.0.0.1"); }, "Cannot change Addr if not closed"},
        {[&] { s.SetPort("81"); }, "Cannot change Port if not closed"},
        {[&] { s.SetProto("udp"); }, "Cannot change Proto if not closed"},
        {[&] { s.SetLocalPort("1"); }, "Cannot change LocalPort if not closed"},
        {[&] { s.SetLocalAddr("127.0.0.1"); }, "Cannot change LocalAddr if not closed"},
        {[&] { s.SetSocksLevel("4"); }, "Can't change socks level if not closed"},
        {[&] { s.Connect(); }, "Connect: Socket already in use"},
    };
    for (const auto& [call, text] : table) EXPECT_EQ(ExceptionText(call), text);
    s.Close();
    // After a close Addr and Port read back but count as unassigned.
    EXPECT_EQ(s.Addr(), "127.0.0.1");
    EXPECT_EQ(ExceptionText([&] { s.Connect(); }), "Connect: No Port Specified");
}

TEST(WSocketBindingLifetime, LoadedOnFirstCallReleasedWithLastSocket) {
    ASSERT_EQ(SocketInstanceCount(), 0);
    {
        TWSocket a(nullptr), b(nullptr);
        EXPECT_FALSE(WinsockLoaded());
        a.SetLocalAddr("127.0.0.1");  // the first Winsock call
        EXPECT_TRUE(WinsockLoaded());
        {
            TWSocket c(nullptr);
            EXPECT_EQ(SocketInstanceCount(), 3);
        }
        EXPECT_TRUE(WinsockLoaded());
    }
    EXPECT_FALSE(WinsockLoaded());
    EXPECT_EQ(SocketInstanceCount(), 0);
}

// Former bug: a program that ended with Winsock loaded by a routine (no socket object left
// to release it) tore down the Winsock layer's lock and wake-up before the binding's exit
// hook stopped the resolver thread waiting on them (ThreadSanitizer: data race in
// pthread_cond_destroy). The child process exits normally with the binding loaded; under
// the sanitizers a report there makes its exit status non-zero.
TEST(WSocketBindingLifetime, ProgramExitWithBindingLoadedStopsTheLayerFirst) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            if (WSocketResolveProto("tcp") != 6) std::exit(2);
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

// ---- connecting, sending, closing -----------------------------------------------------------

TEST(WSocketConnect, EchoEventOrderAndSendQueue) {
    TEchoPeer peer;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    std::vector<int> sendData;
    s.OnSendData = [&](TObject*, int32_t n) { sendData.push_back(n); };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    EXPECT_EQ(s.State(), wsConnecting);
    ASSERT_TRUE(WaitUntil([&] { return r.Connected == 1; }, kWait));
    EXPECT_EQ(s.PeerAddr(), "127.0.0.1");
    EXPECT_EQ(s.PeerPort(), peer.PortStr());
    EXPECT_EQ(s.GetLocalBoundAddr(), "127.0.0.1");

    // The connection's first FD_WRITE reports an empty queue as sent.
    ASSERT_TRUE(WaitUntil([&] { return r.Sent == 1; }, kWait));
    std::string msg = Pattern(3000);
    EXPECT_EQ(s.Send(msg.data(), int32_t(msg.size())), 3000);
    EXPECT_EQ(r.Sent, 1);  // never inside Send
    // Three blocks (1460, 1460, 80) handed over in one gathering call.
    EXPECT_EQ(sendData, (std::vector<int>{3000}));
    ASSERT_TRUE(WaitUntil([&] { return r.Data.size() == msg.size() && r.Sent == 2; }, kWait));
    EXPECT_EQ(r.Data, msg);
    EXPECT_EQ(s.ReadCount(), 3000);
    EXPECT_EQ(s.Send(nullptr, 0), 0);  // an empty send still ends in OnDataSent
    ASSERT_TRUE(WaitUntil([&] { return r.Sent == 3; }, kWait));

    s.Close();
    EXPECT_EQ(r.Log, (std::vector<std::string>{"opened", "connecting", "connected", "connected 0", "closed",
                                               "sessionclosed 0"}));
    EXPECT_EQ(s.Proto(), "tcp");
    WaitUntil([] { return false; }, 50);
    EXPECT_EQ(r.Closed, 1);
}

TEST(WSocketConnect, RefusedConnection) {
    TRefusedPort port;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(port.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return r.Closed == 1; }, kWait));
    EXPECT_EQ(r.Log, (std::vector<std::string>{"opened", "connecting", "connected", "connected 10061", "closed",
                                               "sessionclosed 0"}));
    WaitUntil([] { return false; }, 50);
    EXPECT_EQ(r.Closed, 1);
}

TEST(WSocketConnect, SendWhileConnectingReportsAndCloses) {
    TEchoPeer peer;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    int errors = 0;
    s.OnError = [&](TObject*) { ++errors; };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    EXPECT_EQ(s.SendStr("x"), -1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(s.LastError(), 10057);
    EXPECT_EQ(s.State(), wsClosed);
    EXPECT_EQ(r.ClosedError, 10057);
}

TEST(WSocketConnect, MegabyteEchoedIntactBothWays) {
    TEchoPeer peer;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s, false);
    char buf[8192];
    s.OnDataAvailable = [&](TObject*, uint16_t) {
        int32_t n = s.Receive(buf, sizeof buf);
        if (n > 0) r.Data.append(buf, size_t(n));
    };
    s.SetAddr("localhost");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return r.Connected == 1; }, kWait));
    std::string msg = Pattern(1000000);
    EXPECT_EQ(s.SendStr(msg), 1000000);
    ASSERT_TRUE(WaitUntil([&] { return r.Data.size() >= msg.size(); }, 20000));
    EXPECT_TRUE(r.Data == msg);
    EXPECT_GE(r.Sent, 1);
}

TEST(WSocketConnect, PeerResetClosesWith10054) {
    TScriptedServer server({TScript().Read(4).Reset()});
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(server.Port()));
    s.OnSessionConnected = [&](TObject*, uint16_t) { s.SendStr("ping"); };
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return r.Closed == 1; }, kWait));
    EXPECT_EQ(r.ClosedError, 10054);
    EXPECT_EQ(s.State(), wsClosed);
}

TEST(WSocketConnect, PeerThatDoesNotReadThenDrains) {
    // The peer reads nothing for a while: the queue grows; then it reads everything.
    const size_t total = 8 * 1024 * 1024;
    TScriptedServer server({TScript().Delay(300).Read(total).Close()}, 10000);
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(server.Port()));
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return r.Connected == 1; }, kWait));
    WaitUntil([] { return false; }, 20);
    int sentBefore = r.Sent;
    std::string msg = Pattern(total);
    EXPECT_EQ(s.SendStr(msg), int32_t(total));
    EXPECT_FALSE(s.AllSent());
    ASSERT_TRUE(WaitUntil([&] { return r.Sent > sentBefore; }, 15000));
    EXPECT_EQ(r.Sent, sentBefore + 1);
    ASSERT_TRUE(server.WaitForFinished(1, 10000));
    EXPECT_TRUE(server.Received(0) == msg);
}

TEST(WSocketConnect, FlushWaitsForTheQueue) {
    const size_t total = 4 * 1024 * 1024;
    TScriptedServer server({TScript().Delay(100).Read(total).Close()}, 10000);
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(server.Port()));
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return r.Connected == 1; }, kWait));
    std::string msg = Pattern(total);
    s.SendStr(msg);
    s.Flush();
    EXPECT_TRUE(s.AllSent());
    s.Close();
    ASSERT_TRUE(server.WaitForFinished(1, 10000));
    EXPECT_EQ(server.Received(0).size(), total);
}

// ---- lookups ----------------------------------------------------------------------------------

TEST(WSocketLookup, DottedLocalhostAndFailure) {
    TWSocket s(nullptr);
    std::vector<uint16_t> done;
    s.OnDnsLookupDone = [&](TObject*, uint16_t e) { done.push_back(e); };
    s.DnsLookup("10.1.2.3");
    EXPECT_EQ(done, std::vector<uint16_t>{0});  // inside the call
    EXPECT_EQ(s.DnsResult(), "10.1.2.3");
    EXPECT_EQ(s.DnsResultList().Count(), 0);

    s.DnsLookup("localhost");
    ASSERT_TRUE(WaitUntil([&] { return done.size() == 2; }, kWait));
    EXPECT_EQ(done[1], 0);
    EXPECT_EQ(s.DnsResult(), "127.0.0.1");
    EXPECT_EQ(s.DnsResultList().Count(), 1);

    s.DnsLookup("no-such-host.invalid");
    ASSERT_TRUE(WaitUntil([&] { return done.size() == 3; }, kWait));
    EXPECT_EQ(done[2], 11001);

    // A second lookup cancels the first without a report for it.
    s.DnsLookup("no-such-host.invalid");
    s.DnsLookup("localhost");
    WaitUntil([&] { return done.size() >= 4; }, kWait);
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(done.size(), 4u);
    EXPECT_EQ(done[3], 0);

    s.ReverseDnsLookup("127.0.0.1");
    ASSERT_TRUE(WaitUntil([&] { return done.size() == 5; }, kWait));
    EXPECT_EQ(s.DnsResult(), "localhost");

    // Cancelling reports 10004; an empty name reports 10022 after OnError.
    s.DnsLookup("localhost");
    s.CancelDnsLookup();
    EXPECT_EQ(done.back(), 10004);
    s.OnError = [](TObject*) {};
    s.DnsLookup("");
    EXPECT_EQ(done.back(), 10022);
    EXPECT_EQ(ExceptionText([] { TWSocket t(nullptr); t.DnsLookup(""); }), "DNS lookup: invalid host name.");
}

// ---- closing at awkward moments -----------------------------------------------------------------

TEST(WSocketClose, DuringLookupConnectAndWithQueuedData) {
    TEchoPeer peer;
    {
        TWSocket s(nullptr);
        int done = 0;
        s.OnDnsLookupDone = [&](TObject*, uint16_t) { ++done; };
        s.DnsLookup("localhost");
        s.Abort();  // cancels the lookup: one report, 10004
        EXPECT_EQ(done, 1);
        WaitUntil([] { return false; }, 50);
        EXPECT_EQ(done, 1);
    }
    {
        TWSocket s(nullptr);
        TRecorder r;
        r.Attach(s);
        s.SetAddr("127.0.0.1");
        s.SetPort(peer.PortStr());
        s.Connect();
        s.Close();  // while connecting
        EXPECT_EQ(s.State(), wsClosed);
        EXPECT_EQ(r.Closed, 1);
        WaitUntil([] { return false; }, 50);
        EXPECT_EQ(r.Connected, 0);  // the connect completion of the closed handle is dropped
    }
    {
        TWSocket s(nullptr);
        TRecorder r;
        r.Attach(s);
        s.SetAddr("127.0.0.1");
        s.SetPort(peer.PortStr());
        s.Connect();
        ASSERT_TRUE(WaitUntil([&] { return r.Connected == 1; }, kWait));
        s.SendStr(Pattern(200000));
        s.Close();  // with data queued
        EXPECT_EQ(s.State(), wsClosed);
        WaitUntil([] { return false; }, 50);
        EXPECT_EQ(r.Closed, 1);
    }
}

TEST(WSocketClose, DestroyedInsideItsOwnHandlers) {
    TEchoPeer peer;
    for (int where = 0; where < 3; ++where) {
        auto* s = new TWSocket(nullptr);
        bool gone = false;
        s->SetAddr("127.0.0.1");
        s->SetPort(peer.PortStr());
        if (where == 0) s->OnSessionConnected = [&](TObject*, uint16_t) { delete s; gone = true; };
        if (where == 1) {
            s->OnSessionConnected = [&](TObject*, uint16_t) { s->SendStr("hello"); };
            s->OnDataAvailable = [&](TObject*, uint16_t) { delete s; gone = true; };
        }
        if (where == 2) {
            s->OnSessionConnected = [&](TObject*, uint16_t) { s->Close(); };
            s->OnSessionClosed = [&](TObject*, uint16_t) { delete s; gone = true; };
        }
        s->Connect();
        ASSERT_TRUE(WaitUntil([&] { return gone; }, kWait)) << where;
    }
    EXPECT_EQ(SocketInstanceCount(), 0);
}

TEST(WSocketClose, ExceptionInHandlerAbortsUnlessKept) {
    TEchoPeer peer;
    TWSocket s(nullptr);
    TRecorder r;
    r.Attach(s);
    std::string bgMessage;
    s.OnSessionConnected = [&](TObject*, uint16_t) { throw Exception("boom"); };
    s.OnBgException = [&](TObject*, Exception& e, bool&) { bgMessage = e.Message(); };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return s.State() == wsClosed; }, kWait));
    EXPECT_EQ(bgMessage, "boom");

    // The test message raises inside the window procedure; CanClose false keeps it open.
    s.OnSessionConnected = [&](TObject*, uint16_t) { ++r.Connected; };
    s.OnBgException = [&](TObject*, Exception& e, bool& canClose) {
        bgMessage = e.Message();
        canClose = false;
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(peer.PortStr());
    s.Connect();
    ASSERT_TRUE(WaitUntil([&] { return r.Connected == 1; }, kWait));
    PostMessageA(s.Handle(), WM_SOCKET_TEST_EXCEPTION, 0, 0);
    WaitUntil([&] { return bgMessage == "Test exception in WSocket"; }, kWait);
    EXPECT_EQ(bgMessage, "Test exception in WSocket");
    EXPECT_EQ(s.State(), wsConnected);
}

TEST(WSocketClose, ReleaseAndCloseDelayed) {
    TEchoPeer peer;
    TWSocket* s = new TWSocket(nullptr);
    int closed = 0;
    s->OnSessionClosed = [&](TObject*, uint16_t) { ++closed; };
    s->OnSessionConnected = [&](TObject*, uint16_t) { s->CloseDelayed(); };
    s->SetAddr("127.0.0.1");
    s->SetPort(peer.PortStr());
    s->Connect();
    ASSERT_TRUE(WaitUntil([&] { return closed == 1; }, kWait));
    s->Release();
    ASSERT_TRUE(WaitUntil([&] { return SocketInstanceCount() == 0; }, kWait));
}

// WSocketTlsTest: TLS on TWSocket connections, both ends on this thread's message loop: a
// serving socket adopted with Dup and a server context, a client with SslEnable. Covers
// the order of the events (one OnSessionConnected after the handshake, before any data),
// megabytes both ways through partial writes and decrypted bytes held back, the closing
// alert against a close without it, and a failed check with its text. Counts are
// checked after the loop has run; every wait is bounded.
#include "net/socket/WSocket.h"
#include "platform/tls/Tls.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

constexpr DWORD kWait = 10000;

const TTestCertificates& Certs() { return TTestCertificates::Shared(); }

// A listening TWSocket that serves TLS to one connection and echoes what it receives.
class TTlsEchoServer {
public:
    explicit TTlsEchoServer(const std::string& cert) {
        FContext = tls::ServerContext(cert, Certs().Key());
        FListener.SetProto("tcp");
        FListener.SetAddr("127.0.0.1");
        FListener.SetPort("0");
        FListener.OnSessionAvailable = [this](TObject*, uint16_t) { Accept(); };
        FListener.Listen();
    }
    std::string Port() { return FListener.GetLocalBoundPort(); }

    std::unique_ptr<TWSocket> Peer;
    std::vector<uint16_t> Connected;  // OnSessionConnected errors
    std::vector<uint16_t> Closed;     // OnSessionClosed errors
    size_t Echoed = 0;

private:
    void Accept() {
        SOCKET h = FListener.Accept();
        Peer = std::make_unique<TWSocket>(nullptr);
        Peer->SetSslServerContext(FContext);
        Peer->OnSessionConnected = [this](TObject*, uint16_t e) { Connected.push_back(e); };
        Peer->OnSessionClosed = [this](TObject*, uint16_t e) { Closed.push_back(e); };
        Peer->OnDataAvailable = [this](TObject*, uint16_t) {
            char buf[20000];
            int32_t n = Peer->Receive(buf, sizeof buf);
            if (n > 0) {
                Echoed += size_t(n);
                Peer->Send(buf, n);
            }
        };
        Peer->Dup(h);
    }

    tls::TSslCtxPtr FContext;
    TWSocket FListener{nullptr};
};

// A client socket that records its events in order.
struct TTlsClient {
    TWSocket Sock{nullptr};
    std::vector<std::string> Events;
    std::string Received;

    explicit TTlsClient(const std::string& port, const std::string& host = "localhost") {
        Sock.SetAddr("127.0.0.1");
        Sock.SetPort(port);
        Sock.SetProto("tcp");
        Sock.SetSslEnable(true);
        Sock.SetSslHost(host);
        Sock.OnSessionConnected = [this](TObject*, uint16_t e) {
            Events.push_back("connected " + std::to_string(e) + (Sock.State() == wsConnected ? " wsConnected" : ""));
        };
        Sock.OnSessionClosed = [this](TObject*, uint16_t e) { Events.push_back("closed " + std::to_string(e)); };
        Sock.OnDataAvailable = [this](TObject*, uint16_t) {
            char buf[7000];  // smaller than a record: OpenSSL keeps the rest decrypted
            int32_t n = Sock.Receive(buf, sizeof buf);
            if (n > 0) {
                if (Events.empty() || Events.back() != "data") Events.push_back("data");
                Received.append(buf, size_t(n));
            }
        };
    }
};

class WSocketTls : public testing::Test {
protected:
    void SetUp() override { tls::SetVerifySettings({true, Certs().Ca()}); }
    void TearDown() override { tls::SetVerifySettings({}); }
};

TEST_F(WSocketTls, MegabytesBothWaysThenTheClosingAlert) {
    TTlsEchoServer server(Certs().Valid());
    TTlsClient client(server.Port());
    client.Sock.Connect();
    ASSERT_TRUE(WaitUntil([&] { return !client.Events.empty(); }, kWait));
    EXPECT_TRUE(client.Sock.TlsActive());

    std::string data(3 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = char(i * 7 + i / 251);
    for (size_t at = 0; at < data.size(); at += 100000)
        client.Sock.Send(data.data() + at, int32_t(std::min<size_t>(100000, data.size() - at)));
    ASSERT_TRUE(WaitUntil([&] { return client.Received.size() >= data.size(); }, kWait));
    EXPECT_TRUE(client.Received == data);
    EXPECT_EQ(server.Connected, std::vector<uint16_t>{0});

    client.Sock.Close();
    ASSERT_TRUE(WaitUntil([&] { return !server.Closed.empty(); }, kWait));
    EXPECT_EQ(server.Closed, std::vector<uint16_t>{0});  // the alert came: an end, not a cut
    EXPECT_EQ(client.Events, (std::vector<std::string>{"connected 0 wsConnected", "data", "closed 0"}));
}

TEST_F(WSocketTls, ResumeOffersWhatTheSessionHeldWhilePaused) {
    // A reader that takes a little at a time and pauses after each take, as a server does
    // while an answer waits: the rest of a record that came at once is held by the session,
    // and no notification of the system announces it once the socket is resumed.
    TTlsEchoServer server(Certs().Valid());
    TTlsClient client(server.Port());
    client.Sock.SetComponentOptions(wsoNoReceiveLoop);
    bool paused = false;
    int takes = 0;
    client.Sock.OnDataAvailable = [&](TObject*, uint16_t) {
        char buf[100];
        int32_t n = client.Sock.Receive(buf, sizeof buf);
        if (n <= 0) return;
        client.Received.append(buf, size_t(n));
        ++takes;
        client.Sock.Pause();
        paused = true;
    };
    client.Sock.Connect();
    ASSERT_TRUE(WaitUntil([&] { return !client.Events.empty(); }, kWait));
    const std::string data(1000, 'x');
    client.Sock.SendStr(data);
    EXPECT_TRUE(WaitUntil(
        [&] {
            if (paused) {
                paused = false;
                client.Sock.Resume();
            }
            return client.Received.size() >= data.size();
        },
        kWait));
    EXPECT_EQ(client.Received, data);
    EXPECT_GE(takes, 10);
}

TEST_F(WSocketTls, CloseWithoutTheAlertIsACut) {
    TTlsEchoServer server(Certs().Valid());
    TTlsClient client(server.Port());
    client.Sock.Connect();
    ASSERT_TRUE(WaitUntil([&] { return server.Peer && !server.Connected.empty(); }, kWait));
    client.Sock.SendStr("ping");
    ASSERT_TRUE(WaitUntil([&] { return client.Received == "ping"; }, kWait));
    server.Peer->Abort();  // no closing alert
    ASSERT_TRUE(WaitUntil([&] { return client.Events.back().rfind("closed", 0) == 0; }, kWait));
    EXPECT_EQ(client.Events.back(), "closed " + std::to_string(winsock::WSAECONNABORTED));
}

TEST_F(WSocketTls, FailedCheckEndsTheConnectWithItsText) {
    TTlsEchoServer server(Certs().WrongHost());
    TTlsClient client(server.Port());
    client.Sock.Connect();
    ASSERT_TRUE(WaitUntil([&] { return client.Events.size() >= 2; }, kWait));
    EXPECT_EQ(client.Events, (std::vector<std::string>{"connected " + std::to_string(winsock::WSAECONNABORTED) +
                                                           " wsConnected",
                                                       "closed 0"}));
    EXPECT_EQ(client.Sock.TlsFailure(), "Certificate of localhost not accepted: hostname mismatch");
    EXPECT_EQ(client.Sock.State(), wsClosed);
    EXPECT_FALSE(client.Sock.TlsActive());
    EXPECT_EQ(server.Echoed, 0u);
}

TEST_F(WSocketTls, SettingsRefusedWhileConnected) {
    TTlsEchoServer server(Certs().Valid());
    TTlsClient client(server.Port());
    client.Sock.Connect();
    ASSERT_TRUE(WaitUntil([&] { return !client.Events.empty(); }, kWait));
    try {
        client.Sock.SetSslEnable(false);
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "Cannot change SslEnable if not closed");
    }
    EXPECT_TRUE(client.Sock.SslEnable());
}

TEST_F(WSocketTls, NotThroughASocksServer) {
    TWSocket s(nullptr);
    s.SetAddr("127.0.0.1");
    s.SetPort("443");
    s.SetSocksServer("127.0.0.1");
    s.SetSocksPort("1080");
    s.SetSslEnable(true);
    try {
        s.Connect();
        FAIL() << "no exception";
    } catch (const ESocketException& e) {
        EXPECT_EQ(e.Message(), "TLS is not supported thru socks server");
    }
    EXPECT_EQ(s.State(), wsClosed);
}

}  // namespace

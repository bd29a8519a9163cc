// The getter over https: photos saved byte for byte from a TLS server, certificates not
// accepted (nothing saved, the text names the host and the reason), a TLS body cut without
// the closing alert, redirects between the schemes, a real proxy's CONNECT tunnel
// (tinyproxy), and the stop request during a handshake and during a body.
#include "platform/tls/Tls.h"
#include "tests/net/inetget/GetterFixture.h"
#include "tests/support/TestCertificates.h"

#include <chrono>
#include <thread>

namespace {

const TTestCertificates& Certs() { return TTestCertificates::Shared(); }
TServerTls ServerWith(const std::string& cert) { return {cert, Certs().Key(), 0, 0}; }

std::string Photo() {
    std::string body = "\xFF\xD8";
    for (int i = 0; i < 70000; ++i) body += char(i * 7 % 251);
    return body + "\xFF\xD9";
}
std::string Framed(const std::string& body) {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
std::string SecureUrl(const std::string& host, int port, const std::string& path = "/p.jpg") {
    return "https://" + host + ":" + std::to_string(port) + path;
}

class HTTPGetHttpsTest : public HTTPGetTest {
protected:
    void SetUp() override {
        HTTPGetTest::SetUp();
        for (const char* name : {"https_proxy", "HTTPS_PROXY"}) ::unsetenv(name);
        tls::SetVerifySettings({true, Certs().Ca()});
    }
    void TearDown() override { tls::SetVerifySettings({}); }
};

}  // namespace

TEST_F(HTTPGetHttpsTest, APhotoOverHttpsIsSavedByteForByte) {
    TScriptedServer server({TScript().ReadRequest().Send(Framed(Photo())).Loop()}, ServerWith(Certs().Valid()));
    THTTPGet g(nullptr);
    TEvents ev;
    Prepare(g, ev, SecureUrl("localhost", server.Port()), FDir + "0.jpg");
    g.StartTransfer();
    ASSERT_TRUE(g.LastResult()) << g.ErrorText();
    EXPECT_EQ(ReadFile(FDir + "0.jpg"), Photo());
    EXPECT_EQ(server.ServerName(0), "localhost");
    // The next one goes on the kept TLS connection.
    g.SetFileName(FDir + "1.jpg");
    g.StartTransfer();
    ASSERT_TRUE(g.LastResult()) << g.ErrorText();
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(HTTPGetHttpsTest, CertificatesNotAcceptedSaveNothingAndSayWhy) {
    struct {
        std::string Cert, Error;
    } cases[] = {
        {Certs().Expired(), "Certificate of 127.0.0.1 not accepted: certificate has expired"},
        {Certs().WrongHost(), "Certificate of 127.0.0.1 not accepted: IP address mismatch"},
        {Certs().SelfSigned(), "Certificate of 127.0.0.1 not accepted: self-signed certificate"},
    };
    for (const auto& c : cases) {
        TScriptedServer server({TScript().ReadRequest().Send(Framed(Photo())).Loop()}, ServerWith(c.Cert));
        THTTPGet g(nullptr);
        TEvents ev;
        Prepare(g, ev, SecureUrl("127.0.0.1", server.Port()), FDir + "0.jpg");
        g.StartTransfer();
        EXPECT_FALSE(g.LastResult());
        EXPECT_EQ(ev.Errors, 1);
        EXPECT_EQ(g.ErrorText(), c.Error);
        EXPECT_FALSE(FileExists(FDir + "0.jpg"));
        EXPECT_EQ(server.TotalRequestCount(), 0);
    }
}

TEST_F(HTTPGetHttpsTest, ABodyCutWithoutTheClosingAlertIsNotSaved) {
    const std::string unframed = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n" + Photo();
    TScriptedServer server({TScript().ReadRequest().Send(unframed).Drop(),
                            TScript().ReadRequest().Send(unframed).Close()},
                           ServerWith(Certs().Valid()));
    THTTPGet g(nullptr);
    TEvents ev;
    Prepare(g, ev, SecureUrl("127.0.0.1", server.Port()), FDir + "cut.jpg");
    g.StartTransfer();
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(g.ErrorText(), "connection closed before the end of the answer");
    // The same answer ended by the alert is whole.
    g.SetFileName(FDir + "whole.jpg");
    g.StartTransfer();
    ASSERT_TRUE(g.LastResult()) << g.ErrorText();
    EXPECT_EQ(ReadFile(FDir + "whole.jpg"), Photo());
}

TEST_F(HTTPGetHttpsTest, HttpLeadsToHttpsButHttpsNeverToHttp) {
    TScriptedServer secure({TScript().ReadRequest().Send(Framed(Photo())).Loop()}, ServerWith(Certs().Valid()));
    TScriptedServer plain({TScript().ReadRequest()
                               .Send("HTTP/1.1 302 Found\r\nLocation: " + SecureUrl("localhost", secure.Port()) +
                                     "\r\nContent-Length: 0\r\n\r\n")
                               .Loop()});
    THTTPGet g(nullptr);
    TEvents ev;
    Prepare(g, ev, Url(plain.Port(), "/p.jpg"), FDir + "0.jpg");
    g.StartTransfer();
    ASSERT_TRUE(g.LastResult()) << g.ErrorText();
    EXPECT_EQ(ReadFile(FDir + "0.jpg"), Photo());

    TScriptedServer back({TScript().ReadRequest()
                              .Send("HTTP/1.1 302 Found\r\nLocation: " + Url(plain.Port(), "/p.jpg") +
                                    "\r\nContent-Length: 0\r\n\r\n")
                              .Loop()},
                         ServerWith(Certs().Valid()));
    g.SetURL(SecureUrl("127.0.0.1", back.Port()));
    g.SetFileName(FDir + "1.jpg");
    g.StartTransfer();
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(g.ErrorText(), "redirect from https to http refused");
    EXPECT_FALSE(FileExists(FDir + "1.jpg"));
    EXPECT_EQ(plain.TotalRequestCount(), 1);
}

TEST_F(HTTPGetHttpsTest, HttpsGoesThroughARealProxysTunnel) {
    TScriptedServer server({TScript().ReadRequest().Send(Framed(Photo())).Loop()}, ServerWith(Certs().Valid()));
    TServerProcess proxy = StartTinyProxy();
    ::setenv("https_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port)).c_str(), 1);
    THTTPGet g(nullptr);
    TEvents ev;
    Prepare(g, ev, SecureUrl("localhost", server.Port()), FDir + "0.jpg");
    g.StartTransfer();
    ::unsetenv("https_proxy");
    ASSERT_TRUE(g.LastResult()) << g.ErrorText();
    EXPECT_EQ(ReadFile(FDir + "0.jpg"), Photo());
    // Inside the tunnel the request is the server's own, not a proxy's.
    EXPECT_EQ(server.Received(0).rfind("GET /p.jpg HTTP/1.1\r\n", 0), 0u);
    EXPECT_EQ(server.ServerName(0), "localhost");
}

TEST_F(HTTPGetHttpsTest, StopEndsAHandshakeAndABodyAtOnce) {
    std::string head = "HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n";
    struct {
        const char* Name;
        std::unique_ptr<TScriptedServer> Server;
    } cases[] = {
        // A plain server that never answers the client's hello.
        {"handshake", std::make_unique<TScriptedServer>(std::vector<TScript>{TScript().Hang()})},
        {"body", std::make_unique<TScriptedServer>(std::vector<TScript>{TScript().ReadRequest().Send(head + "\xFF\xD8").Hang()},
                                                   ServerWith(Certs().Valid()))},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THTTPGet g(nullptr);
        TEvents ev;
        Prepare(g, ev, SecureUrl("127.0.0.1", c.Server->Port()), FDir + "stop.jpg");
        g.SetWaitThread(false);
        g.StartTransfer();
        ASSERT_TRUE(c.Server->WaitForConnections(1, 5000));
        if (std::string(c.Name) == "body") {
            ASSERT_TRUE(c.Server->WaitForReceived(0, 10, 5000));
        }
        auto start = std::chrono::steady_clock::now();
        g.CancelTransfer();
        ASSERT_TRUE(WaitUntil([&] { return !g.Busy(); }, 5000));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
        EXPECT_EQ(ev.Errors, 1);
        EXPECT_EQ(ev.ErrorText, "cancelled");
        EXPECT_FALSE(FileExists(FDir + "stop.jpg"));
    }
}

// https in the internet library: requests over TLS to the scripted server (its TLS mode)
// with an authority and certificates made at test time; verification failures with their
// numbers and texts and nothing sent, old protocol versions refused, SNI, the closing
// alert, the pool and session resumption, redirects between the schemes, the CONNECT
// tunnel's refusal, and closing a request during the handshake.
#include "platform/tls/Tls.h"
#include "platform/wininet/WinInet.h"
#include "tests/platform/wininet/InetTestSupport.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <chrono>
#include <thread>

namespace {

const TTestCertificates& Certs() { return TTestCertificates::Shared(); }
TServerTls ServerWith(const std::string& cert) { return {cert, Certs().Key(), 0, 0}; }
const std::string Framed = "HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nsecret";

// Every test trusts the test authority, and starts without kept TLS sessions.
class InetTls : public ::testing::Test {
protected:
    void SetUp() override {
        tls::SetVerifySettings({true, Certs().Ca()});
        tls::ForgetSessions();
    }
    void TearDown() override { tls::SetVerifySettings({}); }
};

HINTERNET Session(DWORD access = INTERNET_OPEN_TYPE_DIRECT, const char* proxy = nullptr, const char* bypass = nullptr) {
    return InternetOpenA("Tls Agent", access, proxy, bypass, 0);
}

// An https GET of Object from Host:Port on Session, sent and read to its end.
TOutcome SecureGet(HINTERNET session, const std::string& host, int port, const std::string& object = "/p.jpg",
                   DWORD flags = INTERNET_FLAG_SECURE) {
    std::string server = host + ":" + std::to_string(port);
    THandleGuard conn(InternetConnectA(session, server.c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    THandleGuard req(HttpOpenRequestA(conn, "GET", object.c_str(), nullptr, nullptr, nullptr, flags, 0));
    return SendAndRead(req, "");
}

std::string LastText() {
    char text[512];
    DWORD len = sizeof text, error = 0;
    if (!InternetGetLastResponseInfoA(&error, text, &len)) return "?";
    return std::string(text, len);
}

TScript Serving(const std::string& reply) { return TScript().ReadRequest().Send(reply).Loop(); }

}  // namespace

// ---- requests over TLS ------------------------------------------------------------------------------

TEST_F(InetTls, AnHttpsRequestGoesOverTlsWithSniForANameOnly) {
    for (const char* host : {"localhost", "127.0.0.1"}) {
        SCOPED_TRACE(host);
        TScriptedServer server({Serving(Framed)}, ServerWith(Certs().Valid()));
        THandleGuard session(Session());
        TOutcome got = SecureGet(session, host, server.Port());
        ASSERT_TRUE(got.Sent) << GetLastError() << " " << LastText();
        EXPECT_EQ(got.Body, "secret");
        EXPECT_EQ(got.ReadError, 0u);
        EXPECT_EQ(server.ServerName(0), std::string(host) == "localhost" ? "localhost" : "");
        // The Host line names the port: it is not https's default.
        EXPECT_NE(server.Received(0).find("Host: " + std::string(host) + ":" + std::to_string(server.Port()) + "\r\n"),
                  std::string::npos);
    }
}

TEST_F(InetTls, CertificatesNotAcceptedFailTheSendBeforeAnythingIsSent) {
    struct {
        const char* Name;
        std::string Cert;
        const char* Host;
        DWORD Error;
        const char* Reason;
    } cases[] = {
        {"expired", Certs().Expired(), "127.0.0.1", ERROR_INTERNET_SEC_CERT_DATE_INVALID, "certificate has expired"},
        {"wrong host", Certs().WrongHost(), "localhost", ERROR_INTERNET_SEC_CERT_CN_INVALID, "mismatch"},
        {"address only, asked by name", Certs().AddressOnly(), "localhost", ERROR_INTERNET_SEC_CERT_CN_INVALID, "mismatch"},
        {"self-signed", Certs().SelfSigned(), "127.0.0.1", ERROR_INTERNET_INVALID_CA, "self-signed certificate"},
        {"untrusted chain", Certs().UntrustedChain(), "127.0.0.1", ERROR_INTERNET_INVALID_CA, "self-signed certificate in certificate chain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({Serving(Framed)}, ServerWith(c.Cert));
        THandleGuard session(Session());
        TOutcome got = SecureGet(session, c.Host, server.Port());
        EXPECT_FALSE(got.Sent);
        EXPECT_EQ(got.SendError, c.Error);
        std::string text = LastText();
        EXPECT_EQ(text.rfind(std::string("Certificate of ") + c.Host + " not accepted: ", 0), 0u) << text;
        EXPECT_NE(text.find(c.Reason), std::string::npos) << text;
        EXPECT_EQ(server.TotalRequestCount(), 0);
    }
    // An address-only certificate is right for its address.
    TScriptedServer server({Serving(Framed)}, ServerWith(Certs().AddressOnly()));
    THandleGuard session(Session());
    EXPECT_EQ(SecureGet(session, "127.0.0.1", server.Port()).Body, "secret");
}

TEST_F(InetTls, CheckingOffAcceptsAnyCertificateAndOldProtocolsAreRefused) {
    tls::SetVerifySettings({false, ""});
    TScriptedServer expired({Serving(Framed)}, ServerWith(Certs().Expired()));
    THandleGuard session(Session());
    EXPECT_EQ(SecureGet(session, "127.0.0.1", expired.Port()).Body, "secret");

    tls::SetVerifySettings({true, Certs().Ca()});
    TServerTls old = ServerWith(Certs().Valid());
    old.MinVersion = TLS1_VERSION;
    old.MaxVersion = TLS1_1_VERSION;
    TScriptedServer server({Serving(Framed)}, old);
    TOutcome got = SecureGet(session, "127.0.0.1", server.Port());
    EXPECT_FALSE(got.Sent);
    EXPECT_EQ(got.SendError, DWORD(ERROR_INTERNET_SECURITY_CHANNEL_ERROR));
    EXPECT_EQ(LastText().rfind("TLS handshake with 127.0.0.1 failed: ", 0), 0u) << LastText();
    EXPECT_EQ(server.TotalRequestCount(), 0);
}

TEST_F(InetTls, ABodyEndingAtTheCloseIsWholeOnlyAfterTheClosingAlert) {
    const std::string unframed = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nthe whole photo";
    struct {
        const char* Name;
        TScript Script;
        DWORD Error;
    } cases[] = {
        {"closing alert, then the close", TScript().ReadRequest().Send(unframed).Close(), 0},
        {"TCP close without the alert", TScript().ReadRequest().Send(unframed).Drop(), ERROR_INTERNET_CONNECTION_ABORTED},
        {"cut inside a length", TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 99\r\n\r\npart").Close(),
         ERROR_INTERNET_CONNECTION_ABORTED},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.Script}, ServerWith(Certs().Valid()));
        THandleGuard session(Session());
        TOutcome got = SecureGet(session, "127.0.0.1", server.Port());
        ASSERT_TRUE(got.Sent) << LastText();
        EXPECT_EQ(got.ReadError, c.Error);
    }
}

// ---- the pool and resumption ----------------------------------------------------------------------------

TEST_F(InetTls, KeptTlsConnectionsServeLaterRequestsAndReconnectsResume) {
    TScriptedServer server({TScript().ReadRequest().Send(Framed).ReadRequest().Send(Framed).Close(), Serving(Framed)},
                           ServerWith(Certs().Valid()));
    THandleGuard session(Session());
    EXPECT_EQ(SecureGet(session, "localhost", server.Port(), "/1").Body, "secret");
    EXPECT_EQ(SecureGet(session, "localhost", server.Port(), "/2").Body, "secret");
    EXPECT_EQ(server.ConnectionCount(), 1);
    // The first connection is closed now; the next one resumes its session.
    ASSERT_TRUE(server.WaitForFinished(1, 5000));
    EXPECT_EQ(SecureGet(session, "localhost", server.Port(), "/3").Body, "secret");
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_FALSE(server.Resumed(0));
    EXPECT_TRUE(server.Resumed(1));
}

TEST_F(InetTls, PlainAndTlsConnectionsToOnePlaceAreKeptApart) {
    // A plain request to the TLS port after a kept TLS connection must not take that
    // connection (it would be spoken to in clear): it goes on a new one, which fails.
    TScriptedServer server({Serving(Framed)}, ServerWith(Certs().Valid()), 20000);
    THandleGuard session(Session());
    // The TLS server does not answer a request in clear: the plain one waits this long.
    DWORD wait = 1000;
    ASSERT_TRUE(InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &wait, sizeof wait));
    EXPECT_EQ(SecureGet(session, "127.0.0.1", server.Port()).Body, "secret");
    TOutcome plain = SecureGet(session, "127.0.0.1", server.Port(), "/p.jpg", 0);
    EXPECT_NE(plain.Body, "secret");
    EXPECT_TRUE(plain.SendError != 0 || plain.ReadError != 0) << plain.Status;
    EXPECT_EQ(server.ConnectionCount(), 2);
    // And the secure one takes the kept connection back.
    EXPECT_EQ(SecureGet(session, "127.0.0.1", server.Port()).Body, "secret");
    EXPECT_EQ(server.ConnectionCount(), 2);
}

// ---- redirects -----------------------------------------------------------------------------------------------

TEST_F(InetTls, RedirectsFromHttpToHttpsAreFollowedAndFromHttpsToHttpRefused) {
    TScriptedServer secure({Serving(Framed)}, ServerWith(Certs().Valid()));
    TScriptedServer plain({Serving("HTTP/1.1 302 Found\r\nLocation: https://localhost:" + std::to_string(secure.Port()) +
                                   "/p.jpg\r\nContent-Length: 0\r\n\r\n")});
    THandleGuard session(Session());
    TOutcome got = SecureGet(session, "127.0.0.1", plain.Port(), "/p.jpg", 0);
    EXPECT_EQ(got.Body, "secret");
    EXPECT_EQ(secure.ServerName(0), "localhost");

    TScriptedServer target({Serving(Framed)});
    TScriptedServer back({Serving("HTTP/1.1 301 Moved\r\nLocation: http://127.0.0.1:" + std::to_string(target.Port()) +
                                  "/p.jpg\r\nContent-Length: 0\r\n\r\n")},
                         ServerWith(Certs().Valid()));
    got = SecureGet(session, "127.0.0.1", back.Port());
    EXPECT_FALSE(got.Sent);
    EXPECT_EQ(got.SendError, DWORD(ERROR_INTERNET_HTTPS_TO_HTTP_ON_REDIR));
    EXPECT_EQ(target.ConnectionCount(), 0);
}

// ---- proxies ----------------------------------------------------------------------------------------------

TEST_F(InetTls, AnHttpsRequestAsksTheProxyForATunnelAndNoProxyIsHonoured) {
    TScriptedServer proxy({TScript().ReadRequest().Send("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n").Close()});
    TScriptedServer server({Serving(Framed)}, ServerWith(Certs().Valid()));
    std::string proxyName = "127.0.0.1:" + std::to_string(proxy.Port());
    THandleGuard session(Session(INTERNET_OPEN_TYPE_PROXY, proxyName.c_str(), ""));
    TOutcome got = SecureGet(session, "localhost", server.Port());
    EXPECT_FALSE(got.Sent);
    EXPECT_EQ(got.SendError, DWORD(ERROR_INTERNET_CANNOT_CONNECT));
    std::string place = "localhost:" + std::to_string(server.Port());
    EXPECT_EQ(proxy.Received(0).rfind("CONNECT " + place + " HTTP/1.1\r\nHost: " + place + "\r\n", 0), 0u);
    EXPECT_EQ(LastText(), "proxy " + proxyName + " refused the tunnel to " + place + ": HTTP 403 Forbidden");
    EXPECT_EQ(server.ConnectionCount(), 0);

    THandleGuard bypassing(Session(INTERNET_OPEN_TYPE_PROXY, proxyName.c_str(), "localhost"));
    EXPECT_EQ(SecureGet(bypassing, "localhost", server.Port()).Body, "secret");
    EXPECT_EQ(proxy.ConnectionCount(), 1);
}

// ---- stopping ----------------------------------------------------------------------------------------------

TEST_F(InetTls, ClosingTheRequestEndsAHandshakeThatHangs) {
    // A plain server that never answers the client's hello.
    TScriptedServer server({TScript().Hang()});
    THandleGuard session(Session());
    std::string name = "127.0.0.1:" + std::to_string(server.Port());
    THandleGuard conn(InternetConnectA(session, name.c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    HINTERNET req = HttpOpenRequestA(conn, "GET", "/", nullptr, nullptr, nullptr, INTERNET_FLAG_SECURE, 0);
    ASSERT_TRUE(req);
    std::thread closer([&] {
        server.WaitForConnections(1, 5000);
        InternetCloseHandle(req);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INTERNET_OPERATION_CANCELLED));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    closer.join();
}

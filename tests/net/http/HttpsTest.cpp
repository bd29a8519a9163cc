// THttpCli over TLS: Get of https addresses against the scripted server's TLS mode, with
// an authority and certificates made at test time (tests/support/TestCertificates.h).
// Covers: a document by address and by name (SNI seen only for the name), a POST body
// through TLS and the next plain request of the same client, every failed check with its
// text and nothing fetched, a server that speaks only TLS 1.0/1.1, the closing alert
// deciding whether a body that ends at the close is whole, redirects between http and
// https, Abort during the handshake and during the body, the resumed session of a second
// connection, and the settings (SSL_CERT_FILE, SSL_CERT_DIR, checking off).
#include "net/http/HttpProt.h"
#include "platform/tls/Tls.h"
#include "tests/net/http/HttpCliTestSupport.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>
#include <string>

namespace {

const std::string Ok5 = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";

const TTestCertificates& Certs() { return TTestCertificates::Shared(); }

TServerTls ServerWith(const std::string& cert) { return {cert, Certs().Key(), 0, 0}; }

std::string HttpsUrl(const std::string& host, const TScriptedServer& s, const std::string& path = "/") {
    return "https://" + host + ":" + std::to_string(s.Port()) + path;
}

// Every test trusts the test authority (besides the system's) and starts without kept
// sessions, so that no test depends on another's.
class Https : public testing::Test {
protected:
    void SetUp() override { tls::SetVerifySettings({true, Certs().Ca()}); }
    void TearDown() override { tls::SetVerifySettings({}); }
};

// ---- documents ---------------------------------------------------------------------------

TEST_F(Https, DocumentByAddressAndByName) {
    struct {
        const char* Host;
        const char* ServerName;  // SNI the server saw
    } cases[] = {{"127.0.0.1", ""}, {"localhost", "localhost"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Host);
        TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()}, ServerWith(Certs().Valid()));
        THttpCli cli(nullptr);
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.SetURL(HttpsUrl(c.Host, server, "/photo.jpg"));
        int sessionConnected = 0;
        cli.OnSessionConnected = [&](TObject*) { ++sessionConnected; };
        EXPECT_EQ(TryGet(cli), std::make_pair(0, std::string()));
        EXPECT_EQ(cli.StatusCode(), 200);
        EXPECT_EQ(doc.DataString(), "hello");
        EXPECT_EQ(sessionConnected, 1);
        EXPECT_EQ(server.ServerName(0), c.ServerName);
        EXPECT_EQ(server.Received(0).find("GET /photo.jpg HTTP/1.0\r\n"), 0u);
        EXPECT_NE(server.Received(0).find("\r\nHost: " + std::string(c.Host) + "\r\n"), std::string::npos);
    }
}

TEST_F(Https, PostOverTlsThenPlainGetWithTheSameClient) {
    TScriptedServer secure({TScript().ReadRequest().Send(Ok5).Close()}, ServerWith(Certs().Valid()));
    TScriptedServer plain({TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    const std::string body(100000, 'b');  // many chunks of the POST body, each a TLS write
    TStringStream post(body);
    cli.SetSendStream(&post);
    cli.SetURL(HttpsUrl("127.0.0.1", secure, "/report"));
    cli.RunRequest(httpPOST);
    EXPECT_EQ(cli.StatusCode(), 200);
    const std::string received = secure.Received(0);
    ASSERT_GE(received.size(), body.size());
    EXPECT_EQ(received.substr(received.size() - body.size()), body);

    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL("http://127.0.0.1:" + std::to_string(plain.Port()) + "/a");
    EXPECT_EQ(TryGet(cli).first, 0);
    EXPECT_EQ(doc.DataString(), "hello");
    EXPECT_EQ(plain.Received(0).find("GET /a HTTP/1.0\r\n"), 0u);  // in clear, as asked
}

// ---- failed checks -----------------------------------------------------------------------

TEST_F(Https, FailedChecksFetchNothing) {
    struct {
        std::string Cert;
        const char* Host;
        const char* Reason;
    } cases[] = {
        {Certs().Expired(), "127.0.0.1", "certificate has expired"},
        {Certs().WrongHost(), "localhost", "hostname mismatch"},
        {Certs().AddressOnly(), "localhost", "hostname mismatch"},
        {Certs().WrongHost(), "127.0.0.1", "IP address mismatch"},
        {Certs().SelfSigned(), "localhost", "self-signed certificate"},
        {Certs().UntrustedChain(), "127.0.0.1", "self-signed certificate in certificate chain"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Cert + " as " + c.Host);
        TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()}, ServerWith(c.Cert));
        THttpCli cli(nullptr);
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.SetURL(HttpsUrl(c.Host, server));
        int docData = 0;
        cli.OnDocData = [&](TObject*, const void*, int) { ++docData; };
        EXPECT_EQ(TryGet(cli), std::make_pair(int(httperrTls), "Certificate of " + std::string(c.Host) +
                                                                   " not accepted: " + c.Reason));
        EXPECT_EQ(doc.DataString(), "");
        EXPECT_EQ(docData, 0);
        EXPECT_EQ(cli.State(), httpIdle);
        server.WaitForFinished(1, 2000);
        EXPECT_FALSE(server.HandshakeDone(0));
        EXPECT_EQ(server.Received(0).find("GET"), std::string::npos);  // the request never went out
    }
}

TEST_F(Https, ServerOfOldProtocolsOnlyIsRefused) {
    TServerTls old = ServerWith(Certs().Valid());
    old.MinVersion = TLS1_VERSION;
    old.MaxVersion = TLS1_1_VERSION;
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()}, old);
    THttpCli cli(nullptr);
    cli.SetURL(HttpsUrl("127.0.0.1", server));
    auto [code, message] = TryGet(cli);
    EXPECT_EQ(code, httperrTls);
    EXPECT_EQ(message, "TLS handshake with 127.0.0.1 failed: tlsv1 alert protocol version");
    EXPECT_FALSE(server.HandshakeDone(0));
}

TEST_F(Https, CheckingOffAcceptsAnyCertificate) {
    tls::SetVerifySettings({false, ""});
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()}, ServerWith(Certs().SelfSigned()));
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL(HttpsUrl("127.0.0.1", server));  // not even the test authority is trusted
    EXPECT_EQ(TryGet(cli).first, 0);
    EXPECT_EQ(doc.DataString(), "hello");
}

TEST_F(Https, TrustStoreFromSslCertFile) {
    tls::SetVerifySettings({});  // the system's store only: the test authority is unknown
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()}, ServerWith(Certs().Valid()));
    THttpCli cli(nullptr);
    cli.SetURL(HttpsUrl("127.0.0.1", server));
    EXPECT_EQ(TryGet(cli).second,
              "Certificate of 127.0.0.1 not accepted: unable to get local issuer certificate");
    ::setenv("SSL_CERT_FILE", Certs().Ca().c_str(), 1);
    tls::SetVerifySettings({});
    tls::ClientContext();  // the store is read when the context is made, at the first connection
    ::unsetenv("SSL_CERT_FILE");
    EXPECT_EQ(TryGet(cli).first, 0);
}

namespace {

// A folder of its own holding the test authority under Name ("" for the subject-hash name
// that a hashed certificate folder uses).
std::string FolderWithCa(const std::string& name) {
    std::string dir = Certs().Dir() + "/store-" + (name.empty() ? std::string("hashed") : name);
    ::mkdir(dir.c_str(), 0700);
    std::string link = name;
    if (link.empty()) {
        FILE* f = fopen(Certs().Ca().c_str(), "r");
        X509* ca = f ? PEM_read_X509(f, nullptr, nullptr, nullptr) : nullptr;
        if (f) fclose(f);
        char hash[16];
        snprintf(hash, sizeof hash, "%08lx.0", ca ? X509_subject_name_hash(ca) : 0UL);
        X509_free(ca);
        link = hash;
    }
    ::unlink((dir + "/" + link).c_str());
    EXPECT_EQ(::symlink(Certs().Ca().c_str(), (dir + "/" + link).c_str()), 0);
    return dir;
}

}  // namespace

// The folder of the system's store is read a certificate at a time by hash; a folder
// without hash names cannot stand for the store's file, which is then read instead.
TEST_F(Https, TrustStoreFromSslCertDir) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close(), TScript().ReadRequest().Send(Ok5).Close()},
                           ServerWith(Certs().Valid()));
    THttpCli cli(nullptr);
    cli.SetURL(HttpsUrl("127.0.0.1", server));
    struct {
        std::string Dir;
        bool Trusted;
    } cases[] = {{FolderWithCa(""), true}, {FolderWithCa("ca.pem"), false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Dir);
        ::setenv("SSL_CERT_DIR", c.Dir.c_str(), 1);
        tls::SetVerifySettings({});
        tls::ClientContext();
        ::unsetenv("SSL_CERT_DIR");
        if (c.Trusted) {
            EXPECT_EQ(TryGet(cli).first, 0);
        } else {
            EXPECT_EQ(TryGet(cli).second,
                      "Certificate of 127.0.0.1 not accepted: unable to get local issuer certificate");
        }
    }
}

// ---- the end of a body -------------------------------------------------------------------

TEST_F(Https, BodyUntilCloseNeedsTheClosingAlert) {
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\n\r\n";
    struct {
        const char* Name;
        TScript Script;
        int Code;
        const char* Body;
    } cases[] = {
        {"closing alert", TScript().ReadRequest().Send(head + "whole photo").Close(), 0, "whole photo"},
        // The alert is the end even while the server keeps TCP open for the client's close.
        {"closing alert, TCP left open", TScript().ReadRequest().Send(head + "whole photo").Alert().Hang(), 0,
         "whole photo"},
        {"closing alert, then a reset", TScript().ReadRequest().Send(head + "whole photo").Alert().Delay(50).Reset(),
         0, "whole photo"},
        {"TCP close without the alert", TScript().ReadRequest().Send(head + "half a").Delay(50).Drop(),
         httperrIncomplete, "half a"},
        {"reset", TScript().ReadRequest().Send(head + "half a").Delay(50).Reset(), httperrIncomplete, "half a"},
        // A framed body is whole with its last byte; how the connection ends after it
        // does not matter.
        {"length, no alert", TScript().ReadRequest().Send(Ok5).Drop(), 0, "hello"},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.Script}, ServerWith(Certs().Valid()));
        THttpCli cli(nullptr);
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.SetURL(HttpsUrl("127.0.0.1", server));
        auto [code, message] = TryGet(cli);
        EXPECT_EQ(code, c.Code);
        if (c.Code == httperrIncomplete) { EXPECT_EQ(message, "Connection closed before end of document"); }
        EXPECT_EQ(doc.DataString(), c.Body);
    }
}

// ---- redirects ---------------------------------------------------------------------------

TEST_F(Https, RedirectFromHttpToHttpsIsFollowed) {
    TScriptedServer secure({TScript().ReadRequest().Send(Ok5).Close()}, ServerWith(Certs().Valid()));
    TScriptedServer plain({TScript().ReadRequest().Send("HTTP/1.0 302 Found\r\nLocation: " +
                                                         HttpsUrl("localhost", secure, "/b.jpg") + "\r\n\r\n").Close()});
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL("http://127.0.0.1:" + std::to_string(plain.Port()) + "/a.jpg");
    EXPECT_EQ(TryGet(cli).first, 0);
    EXPECT_EQ(doc.DataString(), "hello");
    EXPECT_EQ(cli.Location(), "https://localhost/b.jpg");
    EXPECT_EQ(secure.ServerName(0), "localhost");
    EXPECT_EQ(secure.Received(0).substr(0, 20), "GET /b.jpg HTTP/1.0\r");
}

TEST_F(Https, RedirectFromHttpsToHttpIsRefused) {
    TScriptedServer plain({TScript().ReadRequest().Send(Ok5).Close()});
    TScriptedServer secure({TScript().ReadRequest().Send("HTTP/1.0 302 Found\r\nLocation: http://127.0.0.1:" +
                                                         std::to_string(plain.Port()) + "/b.jpg\r\n\r\n").Close()},
                           ServerWith(Certs().Valid()));
    THttpCli cli(nullptr);
    cli.SetURL(HttpsUrl("127.0.0.1", secure, "/a.jpg"));
    EXPECT_EQ(TryGet(cli), std::make_pair(int(httperrUnsupportedProtocol), std::string("Redirect from https to http refused")));
    WaitUntil([] { return false; }, 30);
    EXPECT_EQ(plain.ConnectionCount(), 0);
}

// "//host" keeps the scheme of the current address: from https it is https, and the
// plain server behind it meets a handshake, not a request.
TEST_F(Https, NetworkPathReferenceStaysHttps) {
    TScriptedServer plain({TScript().Read(1).Close()});
    TScriptedServer secure({TScript().ReadRequest().Send("HTTP/1.0 302 Found\r\nLocation: //127.0.0.1:" +
                                                         std::to_string(plain.Port()) + "/c\r\n\r\n").Close()},
                           ServerWith(Certs().Valid()));
    THttpCli cli(nullptr);
    cli.SetURL(HttpsUrl("127.0.0.1", secure, "/a.jpg"));
    EXPECT_EQ(TryGet(cli).first, httperrTls);
    ASSERT_TRUE(plain.WaitForReceived(0, 1, 2000));
    EXPECT_EQ(plain.Received(0)[0], '\x16');  // a TLS handshake record
}

// ---- stopping ----------------------------------------------------------------------------

TEST_F(Https, AbortDuringHandshakeAndDuringBody) {
    const std::string slow = "HTTP/1.0 200 OK\r\n\r\n" + std::string(200, 'x');
    struct {
        const char* Name;
        TScript Script;
        bool Tls;  // false: a plain server that never answers the handshake
    } cases[] = {
        {"handshake", TScript().Hang(), false},
        {"body", TScript().ReadRequest().Trickle(slow, 20), true},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        std::unique_ptr<TScriptedServer> server =
            c.Tls ? std::make_unique<TScriptedServer>(std::vector<TScript>{c.Script}, ServerWith(Certs().Valid()))
                  : std::make_unique<TScriptedServer>(std::vector<TScript>{c.Script});
        THttpCli cli(nullptr);
        int done = 0;
        cli.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) { ++done; };
        cli.SetURL(HttpsUrl("127.0.0.1", *server));
        TOneShot stop([&] { cli.Abort(); });
        stop.Start(300);
        auto started = std::chrono::steady_clock::now();
        auto [code, message] = TryGet(cli);
        EXPECT_EQ(code, httperrAborted);
        EXPECT_EQ(message, "HTTP request aborted");
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
        EXPECT_EQ(cli.State(), httpIdle);
        EXPECT_TRUE(WaitUntil([&] { return done > 0; }, 2000));
    }
}

// ---- sessions ----------------------------------------------------------------------------

TEST_F(Https, SecondConnectionResumesTheSession) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()}, ServerWith(Certs().Valid()));
    THttpCli cli(nullptr);
    cli.SetURL(HttpsUrl("localhost", server));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(TryGet(cli).first, 0);
    ASSERT_EQ(server.ConnectionCount(), 3);
    EXPECT_FALSE(server.Resumed(0));
    EXPECT_TRUE(server.Resumed(1));
    EXPECT_TRUE(server.Resumed(2));
}

}  // namespace

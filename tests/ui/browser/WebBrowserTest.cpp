// Browser panel: pages fetched off the interface thread from a server on 127.0.0.1 that
// the test starts; failures become a note; a slow server neither blocks Navigate nor the
// panel's destruction. Every wait is bounded.
#include "ui/browser/WebBrowser.h"
#include "platform/tls/Tls.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCertificates.h"
#include "ui/forms/Forms.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A listening socket on 127.0.0.1 with an ephemeral port.
struct TListener {
    int Fd = -1;
    int Port = 0;
    TListener() {
        Fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(Fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(Fd, 4);
        socklen_t len = sizeof a;
        ::getsockname(Fd, reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
    }
    ~TListener() {
        if (Fd >= 0) ::close(Fd);
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(Port) + path; }
};

// Answers one request with Response, within a few seconds at most.
std::thread ServeOnce(TListener& l, std::string response) {
    return std::thread([&l, response] {
        pollfd p{l.Fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1) return;
        int c = ::accept(l.Fd, nullptr, nullptr);
        std::string request;
        char buf[1024];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd q{c, POLLIN, 0};
            if (::poll(&q, 1, 5000) != 1) break;
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            request.append(buf, size_t(n));
        }
        ssize_t sent = ::send(c, response.data(), response.size(), MSG_NOSIGNAL);
        (void)sent;
        ::close(c);
    });
}

struct WebBrowserTest : ::testing::Test {
    TApplication app;
    TForm* form = nullptr;
    void SetUp() override {
        ::unsetenv("http_proxy");
        ::unsetenv("HTTP_PROXY");
        app.CreateForm(form);
    }
};

}  // namespace

TEST_F(WebBrowserTest, ShowsThePageOnTheInterfaceThread) {
    TListener server;
    std::thread t = ServeOnce(server, "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n<html><body>关于 Albrivo</body></html>");
    auto* wb = new TWebBrowser(form);
    std::string completedUrl;
    wb->OnDocumentComplete = [&](TObject*, const std::string& url) { completedUrl = url; };
    std::string url = server.Url("/owlmere/skyfen/app_info.php?app=tavophotos");
    wb->Navigate(url);
    EXPECT_TRUE(wb->Busy());
    EXPECT_TRUE(WaitUntil([&] { return wb->CompletedCount() == 1; }, 10000));
    t.join();
    EXPECT_TRUE(wb->PageShown());
    EXPECT_FALSE(wb->Busy());
    EXPECT_NE(wb->Html().find("关于 Albrivo"), std::string::npos);
    EXPECT_EQ(completedUrl, url);
    EXPECT_EQ(wb->LocationURL(), url);
}

TEST_F(WebBrowserTest, FailuresBecomeANoteAndNothingElse) {
    int port;
    {
        TListener closed;  // a port with nobody listening once it is closed
        port = closed.Port;
    }
    struct Case {
        std::string Url;
    } cases[] = {{"http://127.0.0.1:" + std::to_string(port) + "/"}, {"ftp://127.0.0.1/"}, {"http://:80/"}};
    auto* wb = new TWebBrowser(form);
    int done = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Url);
        wb->Navigate(c.Url);
        done++;
        EXPECT_TRUE(WaitUntil([&] { return wb->CompletedCount() == done; }, 15000));
        EXPECT_FALSE(wb->PageShown());
        EXPECT_NE(wb->Html().find("The page cannot be displayed."), std::string::npos);
    }
    EXPECT_TRUE(app.MessageLog().empty());  // no error reached the application
}

TEST_F(WebBrowserTest, SlowServerBlocksNeitherNavigateNorDestruction) {
    TListener silent;  // accepts into its backlog and never answers
    auto* wb = new TWebBrowser(form);
    int completions = 0;
    wb->OnDocumentComplete = [&](TObject*, const std::string&) { completions++; };
    auto start = std::chrono::steady_clock::now();
    wb->Navigate(silent.Url("/"));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
    WaitUntil([] { return false; }, 200);  // the fetch is now blocked in its wait
    EXPECT_TRUE(wb->Busy());
    start = std::chrono::steady_clock::now();
    delete wb;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    WaitUntil([] { return false; }, 100);  // nothing reaches the destroyed panel
    EXPECT_EQ(completions, 0);
}

TEST_F(WebBrowserTest, ANewNavigationAbandonsTheRunningOne) {
    TListener silent;
    TListener server;
    std::thread t = ServeOnce(server, "HTTP/1.0 200 OK\r\n\r\nsecond page");
    auto* wb = new TWebBrowser(form);
    wb->Navigate(silent.Url("/"));
    wb->Navigate(server.Url("/"));
    EXPECT_TRUE(WaitUntil([&] { return wb->CompletedCount() >= 1; }, 10000));
    t.join();
    WaitUntil([] { return false; }, 100);
    EXPECT_EQ(wb->CompletedCount(), 1);  // the abandoned fetch is never reported
    EXPECT_NE(wb->Html().find("second page"), std::string::npos);
}

// ---- former faults ----

// A session closed while the worker was between looking it up and entering its connection
// under it left that connection open: the abandoned fetch waited out its receive time-out
// (30 s) and the next Navigate waited for it. Navigations follow each other after pauses
// of 0 to 99 microseconds, so that some closes land inside the worker's first calls.
TEST_F(WebBrowserTest, QuickNavigationsNeverWaitForAnAbandonedFetch) {
    TListener silent;
    auto* wb = new TWebBrowser(form);
    for (int i = 0; i < 2000; ++i) {
        auto start = std::chrono::steady_clock::now();
        wb->Navigate(silent.Url("/" + std::to_string(i)));
        ASSERT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3)) << "navigation " << i;
        std::this_thread::sleep_for(std::chrono::microseconds(i % 100));
    }
    auto start = std::chrono::steady_clock::now();
    delete wb;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

// ---- https ------------------------------------------------------------------------------------------

TEST_F(WebBrowserTest, AnHttpsPageIsShownAndACertificateNotAcceptedIsANote) {
    const TTestCertificates& certs = TTestCertificates::Shared();
    tls::SetVerifySettings({true, certs.Ca()});
    const std::string page = "HTTP/1.1 200 OK\r\nContent-Length: 20\r\n\r\n<p>secure page</p>\r\n";
    TScriptedServer good({TScript().ReadRequest().Send(page).Loop()}, TServerTls{certs.Valid(), certs.Key(), 0, 0});
    TScriptedServer expired({TScript().ReadRequest().Send(page).Loop()}, TServerTls{certs.Expired(), certs.Key(), 0, 0});
    auto* wb = new TWebBrowser(form);
    wb->Navigate("https://localhost:" + std::to_string(good.Port()) + "/info");
    ASSERT_TRUE(WaitUntil([&] { return wb->CompletedCount() == 1; }, 10000));
    EXPECT_TRUE(wb->PageShown());
    EXPECT_NE(wb->Html().find("secure page"), std::string::npos);
    EXPECT_EQ(good.ServerName(0), "localhost");

    wb->Navigate("https://127.0.0.1:" + std::to_string(expired.Port()) + "/info");
    ASSERT_TRUE(WaitUntil([&] { return wb->CompletedCount() == 2; }, 10000));
    EXPECT_FALSE(wb->PageShown());
    EXPECT_NE(wb->Html().find("Certificate of 127.0.0.1 not accepted: certificate has expired"), std::string::npos)
        << wb->Html();
    EXPECT_EQ(expired.TotalRequestCount(), 0);
    tls::SetVerifySettings({});
}

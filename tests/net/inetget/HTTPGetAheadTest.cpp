// Requests ahead: a getter told what follows sends the first request alone, and once its
// answer showed a kept connection and a framed body, the requests that follow go on that
// connection before their answers arrive; every transfer still gets its own answer. A
// transfer on the getter's line ends as one through the internet library would (redirects,
// failure texts, a stop). And a preconnection: the next transfer, a POST too, finds its
// connection open.
// The line server holds its later answers until it has received a given number of requests
// (or a bound has passed), so it tells whether the requests really went ahead.
#include "tests/net/inetget/GetterFixture.h"
#include "tests/support/LineServer.h"

namespace {

class HTTPGetAhead : public ::testing::Test {
protected:
    static std::vector<THTTPGetNext> Next(const TLineServer& server, std::vector<std::string> paths) {
        std::vector<THTTPGetNext> next;
        for (const std::string& path : paths) next.push_back(THTTPGetNext{server.Url(path), 0, ""});
        return next;
    }
    std::string Dir = PrivateTempDir();
    bool Fetch(THTTPGet& g, TLineServer& server, const std::string& path, std::vector<THTTPGetNext> next) {
        g.SetAhead(std::move(next));
        g.SetURL(server.Url(path));
        g.SetFileName(Dir + path.substr(1) + ".txt");
        g.SetWaitThread(true);
        g.StartTransfer();
        return g.LastResult() && ReadFile(Dir + path.substr(1) + ".txt") == path;
    }
};

TEST_F(HTTPGetAhead, TheFirstRequestGoesAloneAndTheOnesThatFollowGoOutBehindItsAnswer) {
    // The second answer waits until three requests came: only requests sent ahead make it.
    TLineServer server({0, 0, 0, 3});
    THTTPGet g(nullptr);
    g.SetAheadLimit(8);
    EXPECT_TRUE(Fetch(g, server, "/a", Next(server, {"/b", "/c"})));
    EXPECT_TRUE(Fetch(g, server, "/b", Next(server, {"/c"})));
    EXPECT_TRUE(Fetch(g, server, "/c", {}));
    EXPECT_EQ(server.HeardBeforeFirstAnswer(), 1u);
    EXPECT_EQ(server.HeardBeforeAnswer(2), 3u);
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(HTTPGetAhead, ATransferOtherThanTheOneAheadGetsItsOwnAnswer) {
    struct TCase { const char* Name; int Limit; std::vector<std::string> Order; };
    const TCase cases[] = {
        {"the owner changed its plans", 4, {"/a", "/x", "/b"}},
        {"the line was not taken in order", 4, {"/a", "/c", "/b"}},
        {"no requests ahead", 0, {"/a", "/b", "/c"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TLineServer server;
        THTTPGet g(nullptr);
        g.SetAheadLimit(c.Limit);
        EXPECT_TRUE(Fetch(g, server, c.Order[0], Next(server, {"/b", "/c"})));
        EXPECT_TRUE(Fetch(g, server, c.Order[1], Next(server, {"/c"})));
        EXPECT_TRUE(Fetch(g, server, c.Order[2], {}));
    }
}

TEST_F(HTTPGetAhead, APreconnectedGetterPostsOnTheConnectionItOpened) {
    TLineServer server;
    THTTPGet g(nullptr);
    g.Preconnect(server.Url("/report"));
    ASSERT_TRUE(server.WaitForConnections(1, 5000));
    EXPECT_FALSE(g.Busy());
    g.SetPostQuery("a=1");
    EXPECT_TRUE(Fetch(g, server, "/report", {}));
    EXPECT_EQ(server.Paths(0), (std::vector<std::string>{"/report"}));
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(HTTPGetAhead, ATransferOnTheLineEndsAsOneThroughTheLibraryWould) {
    const std::string found = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\n/new";
    struct TCase {
        const char* Name;
        std::vector<TScript> Scripts;
        DWORD ReceiveMs;
        bool Saved;
        std::string Text;  // the file, or the error text
    };
    const TCase cases[] = {
        // The library follows a redirect on the same connection; from the line it follows
        // it from the target on, on a connection of its own.
        {"redirect",
         {TScript().ReadRequest().Send("HTTP/1.1 302 Found\r\nLocation: /new\r\nContent-Length: 0\r\n\r\n")
              .ReadRequest().Send(found).Close(),
          TScript().ReadRequest().Send(found).Close()},
         5000, true, "/new"},
        {"redirect to another scheme",
         {TScript().ReadRequest().Send("HTTP/1.1 302 Found\r\nLocation: ftp://x/y\r\nContent-Length: 0\r\n\r\n")
              .Close()},
         5000, false, "redirect failed: too many, or not to http or https"},
        {"silent server", {TScript().ReadRequest().Hang()}, 300, false, "receive timed out after 300 ms"},
        {"cut body",
         {TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc").Close()},
         5000, false, "connection closed after 3 of 10 bytes"},
        {"error status", {TScript().ReadRequest().Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n").Close()},
         5000, false, "HTTP 404 Not Found"},
    };
    for (const TCase& c : cases) {
        for (int ahead : {0, 8}) {
            SCOPED_TRACE(std::string(c.Name) + ", ahead " + std::to_string(ahead));
            TScriptedServer server(c.Scripts);
            THTTPGet g(nullptr);
            g.SetAheadLimit(ahead);
            g.SetReceiveTimeout(c.ReceiveMs);
            g.SetWaitThread(true);
            g.SetURL("http://127.0.0.1:" + std::to_string(server.Port()) + "/old");
            g.SetFileName(Dir + "file");
            g.StartTransfer();
            EXPECT_EQ(g.LastResult(), c.Saved);
            EXPECT_EQ(c.Saved ? ReadFile(Dir + "file") : g.ErrorText(), c.Text);
        }
    }
}

TEST_F(HTTPGetAhead, TheLineSendsTheHeadTheLibrarySends) {
    struct TCase {
        const char* Name;
        void (*Set)(THTTPGet& g);
    };
    const TCase cases[] = {
        {"plain", [](THTTPGet&) {}},
        {"credentials, referrer, agent and extra lines",
         [](THTTPGet& g) {
             g.SetUserName("user");
             g.SetPassword("secret");
             g.SetReferer("http://example.test/page");
             g.SetAgent("Agent/1.0");
             g.SetExtraHeaders("X-One: 1\r\nX-Two: 2");
         }},
        {"a part resumed", [](THTTPGet& g) {
             g.SetResumeFrom(5);
             g.SetIfRange("\"v1\"");
         }},
        {"a preconnected POST", [](THTTPGet& g) { g.SetPostQuery("a=1&b=2"); }},
    };
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        // One server, so that the Host lines agree: the library's request on its first
        // connection, the line's on its second.
        TScriptedServer server({TScript().ReadRequest().Send(ok).Close(), TScript().ReadRequest().Send(ok).Close()});
        std::string url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/a b/ph\xC3\xB6to.jpg";
        for (int ahead : {0, 8}) {
            THTTPGet g(nullptr);
            g.SetAheadLimit(ahead);
            c.Set(g);
            // The line carries a POST only on a preconnection.
            if (ahead && !g.PostQuery().empty()) g.Preconnect(url);
            g.SetURL(url);
            g.SetFileName(Dir + "head");
            g.SetWaitThread(true);
            g.StartTransfer();
            EXPECT_TRUE(g.LastResult()) << g.ErrorText();
        }
        ASSERT_TRUE(server.WaitForFinished(2, 5000));
        EXPECT_EQ(server.Received(1), server.Received(0));
        EXPECT_NE(server.Received(0).find("Host: 127.0.0.1:"), std::string::npos);
    }
}

TEST_F(HTTPGetAhead, AStopEndsATransferOnTheLineAtOnce) {
    // "/stall" sends a head and a part of its body, then nothing.
    TLineServer server;
    THTTPGet g(nullptr);
    g.SetAheadLimit(8);
    TEvents events;
    events.Attach(g);
    g.OnHead = [&g](TObject*, int, const std::string&) { g.CancelTransfer(); };
    auto start = std::chrono::steady_clock::now();
    g.SetURL(server.Url("/stall"));
    g.SetFileName(Dir + "stall");
    g.SetWaitThread(true);
    g.StartTransfer();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    EXPECT_EQ(events.Errors, 1);
    EXPECT_EQ(events.ErrorText, "cancelled");
    // The line is ready for the next transfer, which gets its own answer.
    g.OnHead = nullptr;
    EXPECT_TRUE(Fetch(g, server, "/a", {}));
}

TEST_F(HTTPGetAhead, ThroughAProxyTransfersGoByTheLibraryAloneAndNothingIsPreconnected) {
    // The line server plays the proxy: it answers each request with its target, here the
    // whole address. Port 1 of the origin is never reached.
    TLineServer proxy;
    ::setenv("http_proxy", ("127.0.0.1:" + std::to_string(proxy.Port())).c_str(), 1);
    ::unsetenv("no_proxy");
    const std::string origin = "http://127.0.0.1:1";
    THTTPGet g(nullptr);
    g.SetAheadLimit(8);
    g.Preconnect(origin + "/a");
    std::vector<std::string> paths = {"/a", "/b", "/c"};
    for (size_t i = 0; i < paths.size(); ++i) {
        SCOPED_TRACE(paths[i]);
        std::vector<THTTPGetNext> next;
        for (size_t j = i + 1; j < paths.size(); ++j) next.push_back(THTTPGetNext{origin + paths[j], 0, ""});
        g.SetAhead(next);
        g.SetURL(origin + paths[i]);
        g.SetFileName(Dir + "proxied");
        g.SetWaitThread(true);
        g.StartTransfer();
        EXPECT_TRUE(g.LastResult()) << g.ErrorText();
        EXPECT_EQ(ReadFile(Dir + "proxied"), origin + paths[i]);
    }
    ::unsetenv("http_proxy");
    // One kept connection to the proxy carried the three, each asked after the answer before.
    EXPECT_EQ(proxy.Connections(), 1);
    EXPECT_EQ(proxy.HeardBeforeAnswer(2), 2u);
    EXPECT_EQ(proxy.HeardBeforeAnswer(3), 3u);
}

TEST_F(HTTPGetAhead, APreconnectedGetterFollowsARedirectOfItsPostAsTheLibraryDoes) {
    // 303 after a POST: a GET of the target.
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.1 303 See Other\r\nLocation: /thanks\r\n"
                                                         "Content-Length: 0\r\n\r\n").Close(),
                            TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 6\r\n\r\nthanks").Close()});
    std::string url = "http://127.0.0.1:" + std::to_string(server.Port());
    THTTPGet g(nullptr);
    g.Preconnect(url + "/report");
    g.SetPostQuery("a=1");
    g.SetURL(url + "/report");
    g.SetFileName(Dir + "report");
    g.SetWaitThread(true);
    g.StartTransfer();
    EXPECT_TRUE(g.LastResult()) << g.ErrorText();
    EXPECT_EQ(ReadFile(Dir + "report"), "thanks");
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(server.RequestCount(1), 1);
}

}  // namespace

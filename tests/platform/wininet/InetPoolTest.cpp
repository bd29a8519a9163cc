// Persistent connections of the internet library: what the request asks for, which answers
// leave their connection in the session's pool, reuse seen from the server side (one
// accepted connection serving several requests), the retry of a GET on a connection the
// server closed while it was idle, the pool's bounds, redirects on the same server, the
// proxy as part of the key, and Python's http.server in HTTP/1.1 mode as a real peer.
#include "platform/wininet/InetPool.h"
#include "platform/wininet/WinInet.h"

#include "platform/rtl/Classes.h"
#include "platform/rtl/FileSys.h"
#include "tests/platform/wininet/InetTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <thread>

namespace {

HINTERNET DirectSession() { return InternetOpenA("Pool Agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0); }

void SetOption(HINTERNET h, DWORD option, DWORD value) {
    ASSERT_TRUE(InternetSetOptionA(h, option, &value, sizeof value)) << option;
}

// One request on the session: opened, sent, its body read to the end (or the first
// failure), closed.
struct TFetch {
    std::string Server;
    std::string Object = "/a";
    std::string Verb = "GET";
    std::string Post;
    const char* Version = "HTTP/1.1";
    DWORD Flags = 0;
};

TOutcome Fetch(HINTERNET session, const TFetch& f) {
    THandleGuard conn(InternetConnectA(session, f.Server.c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    THandleGuard req(HttpOpenRequestA(conn, f.Verb.c_str(), f.Object.c_str(), f.Version, nullptr, nullptr, f.Flags, 0));
    return SendAndRead(req, f.Post);
}

TOutcome Get(HINTERNET session, int port, const std::string& object = "/a") {
    TFetch f;
    f.Server = Server(port);
    f.Object = object;
    return Fetch(session, f);
}

const char* const KeptReply = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// A server that answers every request of every connection with Reply, keeping it open.
TScript Serving(const std::string& reply) { return TScript().ReadRequest().Send(reply).Loop(); }

}  // namespace

// ---- what a request asks for --------------------------------------------------------------------

TEST(InetPool, RequestsAskToKeepTheirConnection) {
    struct {
        const char* Version;
        DWORD Flags;
        const char* Extra;
        const char* Line;        // the request line's version
        const char* Connection;  // our Connection line ("" none)
        int Connections;         // for two requests
    } cases[] = {
        {"HTTP/1.1", 0, nullptr, "HTTP/1.1", "Connection: Keep-Alive\r\n", 1},
        {nullptr, 0, nullptr, "HTTP/1.1", "Connection: Keep-Alive\r\n", 1},
        {"HTTP/1.0", INTERNET_FLAG_KEEP_CONNECTION, nullptr, "HTTP/1.1", "Connection: Keep-Alive\r\n", 1},
        {"HTTP/1.0", 0, nullptr, "HTTP/1.0", "", 2},
        {"HTTP/1.1", 0, "Connection: close", "HTTP/1.1", "Connection: close\r\n", 2},
        {"HTTP/1.1", 0, "connection: keep-alive", "HTTP/1.1", "connection: keep-alive\r\n", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Version ? c.Version : "(null)") + " " + std::to_string(c.Flags));
        TScriptedServer server({Serving(KeptReply)});
        THandleGuard session(DirectSession());
        for (int i = 0; i < 2; ++i) {
            THandleGuard conn(InternetConnectA(session, Server(server.Port()).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
            THandleGuard req(HttpOpenRequestA(conn, "GET", "/a", c.Version, nullptr, nullptr, c.Flags, 0));
            ASSERT_TRUE(HttpSendRequestA(req, c.Extra, c.Extra ? DWORD(-1) : 0, nullptr, 0));
            char buf[8];
            DWORD got = 0;
            while (InternetReadFile(req, buf, sizeof buf, &got) && got) {
            }
        }
        ASSERT_TRUE(server.WaitForReceived(0, 1, 3000));
        EXPECT_EQ(server.Received(0).substr(0, 15), std::string("GET /a ") + c.Line);
        std::string host = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
        std::string first = server.Received(0).substr(0, server.Received(0).find("\r\n\r\n") + 4);
        EXPECT_EQ(first, std::string("GET /a ") + c.Line + "\r\nUser-Agent: Pool Agent\r\n" + host + c.Connection + "\r\n");
        EXPECT_EQ(server.ConnectionCount(), c.Connections);
        EXPECT_EQ(server.TotalRequestCount(), 2);
    }
}

// ---- which answers leave their connection for the next request --------------------------------------

TEST(InetPool, OnlyAnswersThatKeepTheConnectionArePooled) {
    struct {
        const char* Name;
        const char* Reply;
        const char* Body;
        bool Pooled;
    } cases[] = {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok", true},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nok\r\n0\r\n\r\n", "ok", true},
        {"no body", "HTTP/1.1 204 No Content\r\n\r\n", "", true},
        {"error status", "HTTP/1.1 404 Not Found\r\nContent-Length: 4\r\n\r\nnone", "none", true},
        {"1.0 keep-alive", "HTTP/1.0 200 OK\r\nConnection: keep-alive\r\nContent-Length: 2\r\n\r\nok", "ok", true},
        {"close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 2\r\n\r\nok", "ok", false},
        {"close among tokens", "HTTP/1.1 200 OK\r\nConnection: Keep-Alive, Close\r\nContent-Length: 2\r\n\r\nok", "ok", false},
        {"1.0", "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok", "ok", false},
        {"bytes beyond the body", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA", "ok", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({Serving(c.Reply)});
        THandleGuard session(DirectSession());
        for (int i = 0; i < 2; ++i) {
            TOutcome got = Get(session, server.Port());
            ASSERT_TRUE(got.Sent) << got.SendError << " " << server.Received(0);
            EXPECT_EQ(got.Body, c.Body);
            EXPECT_EQ(got.ReadError, 0u);
        }
        EXPECT_EQ(server.ConnectionCount(), c.Pooled ? 1 : 2);
        EXPECT_EQ(server.TotalRequestCount(), 2);
    }
}

TEST(InetPool, AnswerEndingWithTheCloseIsNotPooled) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\n\r\nuntil close").Close()});
    THandleGuard session(DirectSession());
    EXPECT_EQ(Get(session, server.Port()).Body, "until close");
    EXPECT_EQ(Get(session, server.Port()).Body, "until close");
    EXPECT_EQ(server.ConnectionCount(), 2);
}

TEST(InetPool, BodyNotReadToItsEndIsNotPooled) {
    TScriptedServer server({Serving("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n0123456789")});
    THandleGuard session(DirectSession());
    {
        THandleGuard conn(InternetConnectA(session, Server(server.Port()).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
        THandleGuard req(HttpOpenRequestA(conn, "GET", "/a", nullptr, nullptr, nullptr, 0, 0));
        ASSERT_TRUE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
        char buf[3];
        DWORD got = 0;
        ASSERT_TRUE(InternetReadFile(req, buf, sizeof buf, &got));
        EXPECT_EQ(got, 3u);
    }  // closed with 7 bytes unread: the connection closes with it
    ASSERT_TRUE(server.WaitForFinished(1, 3000));
    EXPECT_EQ(Get(session, server.Port()).Body, "0123456789");
    EXPECT_EQ(server.ConnectionCount(), 2);
}

// ---- a connection the server closed while it was idle ----------------------------------------------

TEST(InetPool, GetOnAConnectionClosedUnansweredGoesOnceMoreOnANewOne) {
    struct {
        const char* Name;
        TScript Ending;
    } cases[] = {
        {"close", TScript().ReadRequest().Send(KeptReply).ReadRequest().Close()},
        {"reset", TScript().ReadRequest().Send(KeptReply).ReadRequest().Reset()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.Ending, Serving("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfresh")});
        THandleGuard session(DirectSession());
        EXPECT_EQ(Get(session, server.Port()).Body, "ok");
        TOutcome second = Get(session, server.Port());
        EXPECT_TRUE(second.Sent) << second.SendError;
        EXPECT_EQ(second.Body, "fresh");
        EXPECT_EQ(server.ConnectionCount(), 2);
        EXPECT_EQ(server.RequestCount(0), 2);  // the first try, on the idle connection
        EXPECT_EQ(server.RequestCount(1), 1);  // and only one more
    }
}

TEST(InetPool, NewConnectionClosedUnansweredIsNotRetried) {
    TScriptedServer server({TScript().ReadRequest().Close()});
    THandleGuard session(DirectSession());
    TOutcome got = Get(session, server.Port());
    EXPECT_FALSE(got.Sent);
    EXPECT_EQ(got.SendError, ERROR_HTTP_INVALID_SERVER_RESPONSE);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(InetPool, IdleConnectionTheServerClosedIsNotUsed) {
    TScriptedServer server({TScript().ReadRequest().Send(KeptReply).Close(), Serving(KeptReply)});
    THandleGuard session(DirectSession());
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");
    ASSERT_TRUE(server.WaitForFinished(1, 3000));  // its close has reached us
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(server.RequestCount(0), 1);  // nothing was sent on the closed one
}

TEST(InetPool, PostTakesANewConnectionAndIsNeverSentTwice) {
    TScriptedServer server({Serving(KeptReply), TScript().ReadRequest().Close()});
    THandleGuard session(DirectSession());
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");  // leaves connection 0 idle
    TFetch post;
    post.Server = Server(server.Port());
    post.Verb = "POST";
    post.Post = "a=1";
    TOutcome got = Fetch(session, post);
    EXPECT_FALSE(got.Sent);  // closed unanswered
    ASSERT_TRUE(server.WaitForFinished(1, 3000));
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(server.RequestCount(0), 1);
    EXPECT_EQ(server.RequestCount(1), 1);
    EXPECT_NE(server.Received(1).find("POST /a HTTP/1.1"), std::string::npos);
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");  // the idle connection is still there
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_EQ(server.RequestCount(0), 2);
}

// ---- bounds -------------------------------------------------------------------------------------------

// Sends Count requests at once (each needs a connection of its own), then reads them all.
void FetchAtOnce(HINTERNET session, int port, int count) {
    THandleGuard conn(InternetConnectA(session, Server(port).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    std::vector<std::unique_ptr<THandleGuard>> reqs;
    for (int i = 0; i < count; ++i) {
        reqs.push_back(std::make_unique<THandleGuard>(HttpOpenRequestA(conn, "GET", "/a", nullptr, nullptr, nullptr, 0, 0)));
        ASSERT_TRUE(HttpSendRequestA(*reqs.back(), nullptr, 0, nullptr, 0));
    }
    for (auto& r : reqs) {
        char buf[8];
        DWORD got = 0;
        while (InternetReadFile(*r, buf, sizeof buf, &got) && got) {
        }
    }
}

TEST(InetPool, IdleConnectionsPerServerAreBounded) {
    struct { DWORD PerServer; int Connections; } cases[] = {{2, 4}, {3, 3}, {0, 6}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.PerServer);
        TScriptedServer server({Serving(KeptReply)});
        THandleGuard session(DirectSession());
        SetOption(session, INTERNET_OPTION_POOL_PER_SERVER, c.PerServer);
        FetchAtOnce(session, server.Port(), 3);  // three connections end; PerServer stay
        FetchAtOnce(session, server.Port(), 3);  // those are reused, the rest are new
        EXPECT_EQ(server.ConnectionCount(), c.Connections);
    }
}

TEST(InetPool, IdleConnectionsPerSessionAreBounded) {
    struct { DWORD Total; int EachServer; } cases[] = {{1, 2}, {2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Total);
        TScriptedServer a({Serving(KeptReply)}), b({Serving(KeptReply)});
        THandleGuard session(DirectSession());
        SetOption(session, INTERNET_OPTION_POOL_TOTAL, c.Total);
        // With room for one only, each new idle connection pushes the older one out.
        for (int round = 0; round < 2; ++round) {
            EXPECT_EQ(Get(session, a.Port()).Body, "ok");
            EXPECT_EQ(Get(session, b.Port()).Body, "ok");
        }
        EXPECT_EQ(a.ConnectionCount(), c.EachServer);
        EXPECT_EQ(b.ConnectionCount(), c.EachServer);
    }
}

TEST(InetPool, IdleConnectionsAreNotReusedAfterTheIdleTimeout) {
    TScriptedServer server({Serving(KeptReply)});
    THandleGuard session(DirectSession());
    SetOption(session, INTERNET_OPTION_POOL_IDLE_TIMEOUT, 100);
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");
    EXPECT_EQ(server.ConnectionCount(), 2);
    EXPECT_TRUE(server.WaitForFinished(1, 3000));  // the old one was closed, not left open
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");  // within the bound: reused
    EXPECT_EQ(server.ConnectionCount(), 2);
}

TEST(InetPool, PoolOptionsBelongToSessions) {
    DWORD saved = 0, len = 4;
    ASSERT_TRUE(InternetQueryOptionA(nullptr, INTERNET_OPTION_POOL_PER_SERVER, &saved, &len));
    EXPECT_EQ(saved, 4u);
    SetOption(nullptr, INTERNET_OPTION_POOL_PER_SERVER, 7);
    THandleGuard session(DirectSession());
    SetOption(nullptr, INTERNET_OPTION_POOL_PER_SERVER, saved);
    DWORD value = 0;
    len = 4;
    ASSERT_TRUE(InternetQueryOptionA(session, INTERNET_OPTION_POOL_PER_SERVER, &value, &len));
    EXPECT_EQ(value, 7u);
    len = 4;
    ASSERT_TRUE(InternetQueryOptionA(session, INTERNET_OPTION_POOL_IDLE_TIMEOUT, &value, &len));
    EXPECT_EQ(value, 30000u);
    len = 4;
    ASSERT_TRUE(InternetQueryOptionA(session, INTERNET_OPTION_POOL_TOTAL, &value, &len));
    EXPECT_EQ(value, 16u);

    THandleGuard conn(InternetConnectA(session, "127.0.0.1", 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    EXPECT_FALSE(InternetSetOptionA(conn, INTERNET_OPTION_POOL_TOTAL, &value, 4));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    THandleGuard req(HttpOpenRequestA(conn, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
    len = 4;
    ASSERT_TRUE(InternetQueryOptionA(req, INTERNET_OPTION_EXPIRED_TIMEOUT, &value, &len));
    EXPECT_EQ(value, 0u);
    EXPECT_FALSE(InternetSetOptionA(req, INTERNET_OPTION_EXPIRED_TIMEOUT, &value, 4));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPTION_NOT_SETTABLE);
    EXPECT_FALSE(InternetQueryOptionA(session, INTERNET_OPTION_EXPIRED_TIMEOUT, &value, &len));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
}

TEST(InetPool, ClosingTheSessionClosesItsIdleConnections) {
    TScriptedServer server({Serving(KeptReply)});
    HINTERNET session = DirectSession();
    EXPECT_EQ(Get(session, server.Port()).Body, "ok");
    EXPECT_FALSE(server.WaitForFinished(1, 100));  // idle, open
    ASSERT_TRUE(InternetCloseHandle(session));
    EXPECT_TRUE(server.WaitForFinished(1, 3000));
}

// ---- redirects ----------------------------------------------------------------------------------------

TEST(InetPool, RedirectOnTheSameServerReusesTheConnection) {
    struct {
        const char* Name;
        const char* Redirect;
        int Connections;
    } cases[] = {
        {"short body", "HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 5\r\n\r\nmoved", 1},
        {"no body", "HTTP/1.1 301 Moved\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n", 1},
        {"long body", "HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 100000\r\n\r\nmoved", 2},
        {"closing", "HTTP/1.1 302 Found\r\nLocation: /b\r\nConnection: close\r\nContent-Length: 0\r\n\r\n", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        const char* final = "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nfinal";
        TScriptedServer server({TScript().ReadRequest().Send(c.Redirect).ReadRequest().Send(final).Close(),
                                Serving(final)});
        THandleGuard session(DirectSession());
        auto start = std::chrono::steady_clock::now();
        TOutcome got = Get(session, server.Port());
        EXPECT_EQ(got.Status, 200u);
        EXPECT_EQ(got.Body, "final");
        EXPECT_EQ(server.ConnectionCount(), c.Connections);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    }
}

TEST(InetPool, RedirectToAnotherSchemeFails) {
    // (https is followed: InetTlsTest.)
    for (const char* location : {"ftp://127.0.0.1/x.jpg", "file:///etc/passwd", "javascript:alert(1)"}) {
        SCOPED_TRACE(location);
        TScriptedServer server({Serving(std::string("HTTP/1.1 302 Found\r\nLocation: ") + location +
                                        "\r\nContent-Length: 0\r\n\r\n")});
        THandleGuard session(DirectSession());
        TOutcome got = Get(session, server.Port());
        EXPECT_FALSE(got.Sent);
        EXPECT_EQ(got.SendError, ERROR_HTTP_REDIRECT_FAILED);
        EXPECT_EQ(server.TotalRequestCount(), 1);
    }
}

// ---- the proxy is part of the key -----------------------------------------------------------------------

TEST(InetPool, KeysTellServersAndProxiesApart) {
    using inetwire::PoolKey;
    EXPECT_EQ(PoolKey("Example.COM", 80, "", 0), PoolKey("example.com", 80, "", 0));
    EXPECT_NE(PoolKey("h", 80, "", 0), PoolKey("h", 81, "", 0));
    EXPECT_NE(PoolKey("h", 80, "", 0), PoolKey("h", 80, "p", 3128));
    EXPECT_NE(PoolKey("h", 80, "p", 3128), PoolKey("h", 80, "p", 3129));
    EXPECT_NE(PoolKey("h", 80, "p", 3128), PoolKey("g", 80, "p", 3128));
}

TEST(InetPool, ProxiedConnectionsAreKeptPerServerAndProxy) {
    TScriptedServer proxy({Serving(KeptReply)});
    TScriptedServer direct({Serving(KeptReply)});
    std::string proxyName = Server(proxy.Port());
    // Through the proxy for every server but "localhost".
    THandleGuard session(InternetOpenA("", INTERNET_OPEN_TYPE_PROXY, proxyName.c_str(), "localhost", 0));
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Get(session, 1001).Body, "ok");  // "127.0.0.1:1001" through the proxy
        EXPECT_EQ(Get(session, 1002).Body, "ok");
        TFetch bypassed;
        bypassed.Server = "localhost:" + std::to_string(direct.Port());
        EXPECT_EQ(Fetch(session, bypassed).Body, "ok");
    }
    EXPECT_EQ(proxy.ConnectionCount(), 2);  // one per server behind it, each reused
    EXPECT_EQ(proxy.TotalRequestCount(), 4);
    EXPECT_EQ(direct.ConnectionCount(), 1);
    EXPECT_EQ(proxy.Received(0).substr(0, 32), "GET http://127.0.0.1:1001/a HTTP");
}

// ---- a real peer: Python's http.server in HTTP/1.1 mode ---------------------------------------------------

TEST(InetPool, PythonHttpServerInHttp11ModeServesRequestsOnOneConnection) {
    std::string dir = PrivateTempDir() + "pool-www/";
    ASSERT_TRUE(ForceDirectories(dir));
    {
        TFileStream f(dir + "f.txt", fmCreate);
        f.WriteBuffer("persistent", 10);
    }
    TServerProcess python = StartPythonHttp11Server(dir);
    THandleGuard session(DirectSession());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(Get(session, python.Port, "/f.txt").Body, "persistent");
    // The log is written as requests are served; the last line may trail a little.
    auto served = [&] {
        std::string log = python.Process->Output();
        size_t n = 0;
        for (size_t p = log.find("\"GET /f.txt HTTP/1.1\" 200"); p != std::string::npos; p = log.find("\"GET /f.txt", p + 1)) ++n;
        return n;
    };
    for (int i = 0; i < 100 && served() < 5; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(served(), 5u) << python.Process->Output();
    EXPECT_EQ(PythonClientConnections(python), 1) << python.Process->Output();

    // Its HTTP/1.0 mode closes after each answer, and nothing is pooled.
    TServerProcess python10 = StartPythonHttpServer(dir);
    for (int i = 0; i < 2; ++i) EXPECT_EQ(Get(session, python10.Port, "/f.txt").Body, "persistent");
}

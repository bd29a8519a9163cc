// THttpCli::Abort: from a timer while Get pumps messages (against a server that trickles
// and one that stalls), from the client's own events at every step of a request, when
// idle, and without a waiting Get. Each time the request ends at once with "HTTP request
// aborted" (13), completes exactly once, and the client is idle and takes the next
// request.
#include "net/http/HttpProt.h"
#include "tests/net/http/HttpCliTestSupport.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>

namespace {

using TClock = std::chrono::steady_clock;

const std::string Ok5 = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";

std::string Url(const TScriptedServer& s, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(s.Port()) + path;
}

// After an abort: idle, one completion, and the next request works.
void ExpectReusable(THttpCli& cli, const TScriptedServer& next, int& done) {
    EXPECT_EQ(cli.State(), httpIdle);
    EXPECT_EQ(cli.CtrlSocket()->State(), wsClosed);
    WaitUntil([&] { return done > 0; }, 2000);
    WaitUntil([] { return false; }, 30);
    EXPECT_EQ(done, 1);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL(Url(next, "/"));
    cli.Get();
    EXPECT_EQ(doc.DataString(), "hello");
}

struct TTimerCase {
    const char* Name;
    TScript Script;
};

TEST(HttpAbort, FromATimerWhileGetWaits) {
    const std::string head = "HTTP/1.0 200 OK\r\n\r\n";
    TTimerCase cases[] = {
        // 20 bytes a second, no length: without Abort the page would take minutes.
        {"trickle", TScript().ReadRequest().Trickle(head + std::string(2000, 't'), 50)},
        // A head with a length, two bytes, then nothing with the connection kept open.
        {"stall", TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nab").Hang()},
        // No answer at all.
        {"silent", TScript().ReadRequest().Hang()},
    };
    for (const TTimerCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.Script});
        TScriptedServer next({TScript().ReadRequest().Send(Ok5).Close()});
        THttpCli cli(nullptr);
        int done = 0;
        cli.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) { ++done; };
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.SetTimeout(30000);
        cli.SetURL(Url(server, "/slow"));
        TOneShot timer([&] { cli.Abort(); });
        timer.Start(150);
        auto [code, message] = TryGet(cli);
        auto returned = TClock::now();
        EXPECT_EQ(code, httperrAborted);
        EXPECT_EQ(message, "HTTP request aborted");
        // Get returns as soon as the abort's completion has been handled, not at a time-out.
        EXPECT_LT(returned - timer.Fired, std::chrono::milliseconds(500));
        ExpectReusable(cli, next, done);
    }
}

// Abort from the client's own events, at each step of a request.
TEST(HttpAbort, FromTheClientsEventsAtEveryStep) {
    struct {
        const char* Name;
        std::function<void(THttpCli&, std::function<void()>)> Hook;
    } steps[] = {
        {"resolving", [](THttpCli& c, std::function<void()> abort) {
             c.OnStateChange = [&c, abort](TObject*) { if (c.State() == httpResolving) abort(); };
         }},
        {"resolved", [](THttpCli& c, std::function<void()> abort) {
             c.OnStateChange = [&c, abort](TObject*) { if (c.State() == httpResolved) abort(); };
         }},
        {"connected", [](THttpCli& c, std::function<void()> abort) {
             c.OnSessionConnected = [abort](TObject*) { abort(); };
         }},
        {"writing the request", [](THttpCli& c, std::function<void()> abort) {
             c.OnRequestHeaderEnd = [abort](TObject*) { abort(); };
         }},
        {"header line", [](THttpCli& c, std::function<void()> abort) {
             c.OnHeaderData = [abort](TObject*) { abort(); };
         }},
        {"body data", [](THttpCli& c, std::function<void()> abort) {
             c.OnDocData = [abort](TObject*, const void*, int) { abort(); };
         }},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.Name);
        TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nab").Hang()});
        TScriptedServer next({TScript().ReadRequest().Send(Ok5).Close()});
        THttpCli cli(nullptr);
        int done = 0, aborts = 0;
        cli.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) { ++done; };
        step.Hook(cli, [&] {
            ++aborts;
            cli.Abort();
        });
        cli.SetURL(Url(server, "/"));
        auto [code, message] = TryGet(cli);
        EXPECT_EQ(code, httperrAborted);
        EXPECT_EQ(message, "HTTP request aborted");
        EXPECT_GE(aborts, 1);
        cli.OnStateChange = nullptr;
        cli.OnSessionConnected = nullptr;
        cli.OnRequestHeaderEnd = nullptr;
        cli.OnHeaderData = nullptr;
        cli.OnDocData = nullptr;
        ExpectReusable(cli, next, done);
    }
}

TEST(HttpAbort, AbortBeforeTheRequestIsWrittenSendsNothing) {
    TScriptedServer server({TScript().ReadUntilClose()});
    THttpCli cli(nullptr);
    cli.OnSessionConnected = [&](TObject*) { cli.Abort(); };
    cli.SetURL(Url(server, "/"));
    EXPECT_EQ(TryGet(cli).first, httperrAborted);
    ASSERT_TRUE(server.WaitForFinished(1, 2000));
    EXPECT_EQ(server.Received(0), "");
}

TEST(HttpAbort, IdleAbortChangesNothing) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    int done = 0;
    cli.OnRequestDone = [&](TObject*, THttpRequest, uint16_t) { ++done; };
    cli.Abort();
    EXPECT_EQ(cli.State(), httpIdle);
    WaitUntil([] { return false; }, 20);
    EXPECT_EQ(done, 0);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL(Url(server, "/"));
    cli.Get();
    cli.Abort();  // after the request: still nothing
    EXPECT_EQ(doc.DataString(), "hello");
    EXPECT_EQ(cli.Failure(), nullptr);
    WaitUntil([&] { return done > 0; }, 2000);
    EXPECT_EQ(done, 1);
}

TEST(HttpAbort, AbortOfAnAsynchronousRequest) {
    TScriptedServer server({TScript().ReadRequest().Hang()});
    THttpCli cli(nullptr);
    int done = 0;
    cli.OnRequestDone = [&](TObject*, THttpRequest kind, uint16_t) {
        ++done;
        EXPECT_EQ(kind, httpGET);
    };
    cli.SetURL(Url(server, "/"));
    cli.StartRequest(httpGET);
    ASSERT_TRUE(WaitUntil([&] { return cli.State() == httpAwaitingHeader; }, 2000));
    cli.Abort();
    EXPECT_TRUE(WaitUntil([&] { return done > 0; }, 2000));
    EXPECT_EQ(cli.State(), httpIdle);
    ASSERT_NE(cli.Failure(), nullptr);
    try {
        std::rethrow_exception(cli.Failure());
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), httperrAborted);
        EXPECT_EQ(e.Message(), "HTTP request aborted");
    }
}

}  // namespace

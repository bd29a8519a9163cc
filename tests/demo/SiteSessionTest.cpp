// Demo site sessions without sockets: keep-alive, pipelining, latency, idle limits,
// stalls and input bounds, with time passed in by the test.
#include "demo/SiteSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using TTime = TSiteSession::TTime;

// A session whose handler answers "/N" with body "N" and records each target.
struct TFixture {
    std::vector<std::string> Targets, Log;
    TTime T0 = TTime() + 1000h;
    TSiteSession Session;

    explicit TFixture(TSessionTimes times = TSessionTimes(),
                      std::function<TSiteResponse(const TSiteRequest&)> handler = nullptr)
        : Session(times, handler ? handler : [this](const TSiteRequest& r) {
              Targets.push_back(r.Target());
              return MakeResponse(200, "OK", "text/plain", r.Path.substr(1));
          },
                  [this](const std::string& line) { Log.push_back(line); }, T0) {}

    void Receive(const std::string& raw, TTime at) { Session.Received(raw.data(), raw.size(), at); }
    // Everything pending now, sent at once.
    std::string SendAll(TTime at) {
        std::string out;
        for (auto p = Session.Pending(); p.second > 0; p = Session.Pending()) {
            out.append(p.first, p.second);
            Session.Sent(p.second, at);
        }
        return out;
    }
};

std::string Answer(const std::string& body, const std::string& connection) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: " + connection + "\r\n\r\n" + body;
}

TEST(SiteSession, KeepAliveOrCloseByRequest) {
    struct TCase { std::string request; std::string connection; bool finished; };
    const TCase cases[] = {
        {"GET /a HTTP/1.1\r\n\r\n", "keep-alive", false},
        {"GET /a HTTP/1.1\r\nConnection: close\r\n\r\n", "close", true},
        {"GET /a HTTP/1.0\r\n\r\n", "close", true},
        {"GET /a HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "keep-alive", false},
        {"GET /a\r\n", "close", true},  // no version
    };
    for (const TCase& c : cases) {
        TFixture f;
        f.Receive(c.request, f.T0);
        EXPECT_EQ(f.SendAll(f.T0), Answer("a", c.connection)) << c.request;
        EXPECT_EQ(f.Session.Finished(), c.finished) << c.request;
        EXPECT_EQ(f.Session.WantsInput(), !c.finished) << c.request;
    }
}

TEST(SiteSession, PipelinedRequestsAreAnsweredInOrder) {
    TFixture f;
    f.Receive("GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\nGET /3 HTTP/1.1\r\nConnection: clo", f.T0);
    // One answer at a time: the second is read only when the first is out.
    auto p = f.Session.Pending();
    EXPECT_EQ(std::string(p.first, p.second).substr(0, 15), "HTTP/1.1 200 OK");
    EXPECT_EQ(f.Targets, std::vector<std::string>{"/1"});
    EXPECT_EQ(f.SendAll(f.T0), Answer("1", "keep-alive") + Answer("2", "keep-alive"));
    EXPECT_FALSE(f.Session.Finished());
    f.Receive("se\r\n\r\n", f.T0);
    EXPECT_EQ(f.SendAll(f.T0), Answer("3", "close"));
    EXPECT_TRUE(f.Session.Finished());
    EXPECT_EQ(f.Log, (std::vector<std::string>{"GET /1 200 1", "GET /2 200 1", "GET /3 200 1"}));
}

TEST(SiteSession, LatencyOncePerConnectionAndOncePerRequest) {
    TSessionTimes times;
    times.Latency = 20ms;
    TFixture f(times);
    const TTime t0 = f.T0;
    EXPECT_FALSE(f.Session.WantsInput());  // the first request is read after the latency
    EXPECT_EQ(f.Session.Deadline(), t0 + 20ms);
    f.Receive("GET /1 HTTP/1.1\r\n\r\nGET /2 HTTP/1.1\r\n\r\n", t0 + 1ms);  // buffered
    f.Session.OnTime(t0 + 19ms);  // early: nothing happens
    EXPECT_EQ(f.Session.Deadline(), t0 + 20ms);
    f.Session.OnTime(t0 + 20ms);
    EXPECT_TRUE(f.Session.WantsInput());
    EXPECT_EQ(f.Session.Pending().second, 0u);  // the request waits its latency
    EXPECT_EQ(f.Session.Deadline(), t0 + 40ms);
    f.Session.OnTime(t0 + 40ms);
    EXPECT_EQ(f.SendAll(t0 + 41ms), Answer("1", "keep-alive"));
    // The pipelined second request waits its own latency after the first answer.
    EXPECT_EQ(f.Session.Deadline(), t0 + 61ms);
    EXPECT_EQ(f.Session.Pending().second, 0u);
    f.Session.OnTime(t0 + 61ms);
    EXPECT_EQ(f.SendAll(t0 + 61ms), Answer("2", "keep-alive"));
    EXPECT_EQ(f.Targets.size(), 2u);
}

TEST(SiteSession, IdleConnectionsAreDropped) {
    TSessionTimes times;
    times.IdleTimeout = 100ms;
    TFixture f(times);
    EXPECT_EQ(f.Session.Deadline(), f.T0 + 100ms);
    f.Receive("GET /1 HTTP/1.1\r\n", f.T0 + 50ms);  // bytes arriving count as activity
    EXPECT_EQ(f.Session.Deadline(), f.T0 + 150ms);
    f.Session.OnTime(f.T0 + 150ms);
    EXPECT_TRUE(f.Session.Finished());
    EXPECT_EQ(f.Session.Deadline(), TTime::max());
    EXPECT_TRUE(f.Targets.empty());

    // An answer that makes no progress (a peer that does not read) is dropped too.
    TFixture g(times);
    g.Receive("GET /1 HTTP/1.1\r\n\r\n", g.T0);
    EXPECT_EQ(g.Session.Deadline(), g.T0 + 100ms);
    g.Session.Sent(5, g.T0 + 60ms);
    EXPECT_EQ(g.Session.Deadline(), g.T0 + 160ms);
    g.Session.OnTime(g.T0 + 160ms);
    EXPECT_TRUE(g.Session.Finished());
}

TEST(SiteSession, StallsHoldUntilThePeerClosesAndTricklesPause) {
    TSessionTimes times;
    times.StallHold = 5000ms;
    TFixture f(times, [](const TSiteRequest& r) {
        TSiteResponse a = MakeResponse(200, "OK", "", "0123456789");
        if (r.Path == "/stall") a.StallAfterBodyBytes = 0;
        if (r.Path == "/trickle") {
            a.TrickleBytes = 4;
            a.TrickleDelayMs = 30;
        }
        return a;
    });
    f.Receive("GET /trickle HTTP/1.1\r\n\r\n", f.T0);
    std::string first = f.SendAll(f.T0);
    EXPECT_EQ(first.substr(first.size() - 4), "0123");
    EXPECT_EQ(f.Session.Deadline(), f.T0 + 30ms);
    f.Session.OnTime(f.T0 + 30ms);
    EXPECT_EQ(f.SendAll(f.T0 + 30ms), "4567");
    f.Session.OnTime(f.T0 + 60ms);
    EXPECT_EQ(f.SendAll(f.T0 + 60ms), "89");
    EXPECT_FALSE(f.Session.Finished());  // a trickled answer with a length keeps the connection

    f.Receive("GET /stall HTTP/1.1\r\n\r\n", f.T0 + 100ms);
    std::string head = f.SendAll(f.T0 + 100ms);
    EXPECT_NE(head.find("Content-Length: 10\r\nConnection: close\r\n\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
    EXPECT_EQ(f.Session.Deadline(), f.T0 + 5100ms);
    EXPECT_TRUE(f.Session.WantsInput());  // to see the peer close
    f.Session.PeerClosed(f.T0 + 200ms);
    EXPECT_TRUE(f.Session.Finished());
}

TEST(SiteSession, InputIsBoundedWhileAnAnswerIsInProgress) {
    TFixture f;
    f.Receive("GET /1 HTTP/1.1\r\n\r\n", f.T0);
    ASSERT_GT(f.Session.Pending().second, 0u);
    f.Receive(std::string(MaxBufferedInput, 'x'), f.T0);
    EXPECT_FALSE(f.Session.WantsInput());
    // Once the answer is out the junk is read as the next request, and refused.
    EXPECT_NE(f.SendAll(f.T0).find("HTTP/1.1 414 URI Too Long"), std::string::npos);
    EXPECT_TRUE(f.Session.Finished());
    EXPECT_EQ(f.Log.back().substr(0, 6), "  414 ");
}

TEST(SiteSession, FailuresAndEndsOfTheStream) {
    {
        TFixture f(TSessionTimes(), [](const TSiteRequest&) -> TSiteResponse { throw std::runtime_error("x"); });
        f.Receive("GET /1 HTTP/1.1\r\n\r\n", f.T0);
        EXPECT_EQ(f.SendAll(f.T0).substr(0, 34), "HTTP/1.1 500 Internal Server Error");
        EXPECT_FALSE(f.Session.Finished());
    }
    {
        // Complete requests before the peer's end are answered, a partial one is not.
        TSessionTimes times;
        times.Latency = 10ms;
        TFixture f(times);
        f.Session.OnTime(f.T0 + 10ms);
        f.Receive("GET /1 HTTP/1.1\r\n\r\nGET /2 HT", f.T0 + 10ms);
        f.Session.PeerClosed(f.T0 + 10ms);
        EXPECT_FALSE(f.Session.WantsInput());
        f.Session.OnTime(f.T0 + 20ms);
        EXPECT_EQ(f.SendAll(f.T0 + 20ms), Answer("1", "close"));  // answered after the end: close
        EXPECT_TRUE(f.Session.Finished());
        EXPECT_EQ(f.Targets, std::vector<std::string>{"/1"});
    }
    {
        // An answer whose body has no end closes even a keep-alive connection.
        TFixture f(TSessionTimes(), [](const TSiteRequest&) {
            TSiteResponse a = MakeResponse(200, "OK", "", "abc");
            a.Framing = TBodyFraming::Close;
            return a;
        });
        f.Receive("GET /1 HTTP/1.1\r\n\r\n", f.T0);
        EXPECT_EQ(f.SendAll(f.T0), "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nabc");
        EXPECT_TRUE(f.Session.Finished());
    }
}

}  // namespace

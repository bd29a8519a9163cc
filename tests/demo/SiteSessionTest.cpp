// Demo site sessions without sockets: keep-alive, pipelining, latency, idle limits,
// stalls and input bounds, with time passed in by the test.
#include "demo/SiteSession.h"

#include <gtest/gtest.h>

#include <optional>
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

// A bare HTTP/1.1 GET of Target, with the extra header lines.
std::string GetText(const std::string& target, const std::string& headers = "") {
    return "GET " + target + " HTTP/1.1\r\n" + headers + "\r\n";
}

TEST(SiteSession, LatencyOncePerConnectionAndOncePerRequest) {
    TSessionTimes times;
    times.Latency = 20ms;
    TFixture f(times);
    const TTime t0 = f.T0;
    EXPECT_FALSE(f.Session.WantsInput());  // the first request is read after the latency
    EXPECT_EQ(f.Session.Deadline(), t0 + 20ms);
    f.Session.OnTime(t0 + 19ms);  // early: nothing happens
    EXPECT_EQ(f.Session.Deadline(), t0 + 20ms);
    f.Session.OnTime(t0 + 20ms);
    EXPECT_TRUE(f.Session.WantsInput());
    f.Receive(GetText("/1"), t0 + 25ms);
    EXPECT_EQ(f.Session.Pending().second, 0u);  // the request waits its latency
    EXPECT_EQ(f.Session.Deadline(), t0 + 45ms);
    f.Session.OnTime(t0 + 45ms);
    EXPECT_EQ(f.SendAll(t0 + 46ms), Answer("1", "keep-alive"));
    // A client that sends its next request only after the answer waits again.
    f.Receive(GetText("/2"), t0 + 60ms);
    EXPECT_EQ(f.Session.Pending().second, 0u);
    EXPECT_EQ(f.Session.Deadline(), t0 + 80ms);
    f.Session.OnTime(t0 + 80ms);
    EXPECT_EQ(f.SendAll(t0 + 80ms), Answer("2", "keep-alive"));
}

TEST(SiteSession, PipelinedRequestsWaitOutTheirLatencyTogether) {
    TSessionTimes times;
    times.Latency = 20ms;
    // Sent during the connection's latency (buffered) or just after it: either way the
    // requests count as arriving at its end, t0 + 20 ms, and are all due at t0 + 40 ms.
    for (auto arrival : {1ms, 20ms}) {
        SCOPED_TRACE(arrival.count());
        TFixture f(times);
        const TTime t0 = f.T0;
        if (arrival < 20ms) f.Receive(GetText("/1") + GetText("/2") + GetText("/3"), t0 + arrival);
        f.Session.OnTime(t0 + 20ms);
        if (arrival >= 20ms) f.Receive(GetText("/1") + GetText("/2") + GetText("/3"), t0 + arrival);
        EXPECT_EQ(f.Session.Deadline(), t0 + 40ms);
        f.Session.OnTime(t0 + 40ms);
        EXPECT_EQ(f.Targets, std::vector<std::string>{"/1"});
        EXPECT_GT(f.Session.Pending().second, 0u);
        // Once the first answer is out the others are overdue and go out at once.
        EXPECT_EQ(f.SendAll(t0 + 45ms),
                  Answer("1", "keep-alive") + Answer("2", "keep-alive") + Answer("3", "keep-alive"));
        EXPECT_EQ(f.Log.size(), 3u);
        EXPECT_EQ(f.Session.Deadline(), t0 + 45ms + times.IdleTimeout);
    }
}

// A second request on the connection is due a latency after it arrived, not after the
// first answer: it waits for what is left of its latency, or not at all.
TEST(SiteSession, APipelinedRequestIsDueAtItsOwnArrivalPlusTheLatency) {
    struct TCase {
        const char* name;
        std::chrono::milliseconds second, firstOut;  // after the first request arrived
        std::optional<std::chrono::milliseconds> due;  // none: answered as the first ends
    };
    const TCase cases[] = {
        {"5 ms after the first", 5ms, 21ms, 25ms},
        {"while the first answer is going out", 25ms, 30ms, 45ms},
        {"5 ms after the first, first answer slow", 5ms, 30ms, std::nullopt},
    };
    TSessionTimes times;
    times.Latency = 20ms;
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.name);
        TFixture f(times);
        const TTime a = f.T0 + 20ms;  // after the connection's latency
        f.Session.OnTime(a);
        f.Receive(GetText("/1"), a);
        if (c.second < 20ms) f.Receive(GetText("/2"), a + c.second);
        f.Session.OnTime(a + 20ms);
        f.Session.Sent(5, a + 21ms);
        if (c.second >= 20ms) f.Receive(GetText("/2"), a + c.second);
        std::string out = f.SendAll(a + c.firstOut);
        if (!c.due) {
            EXPECT_EQ(out, Answer("1", "keep-alive").substr(5) + Answer("2", "keep-alive"));
            continue;
        }
        EXPECT_EQ(out, Answer("1", "keep-alive").substr(5));
        EXPECT_EQ(f.Session.Deadline(), a + *c.due);
        f.Session.OnTime(a + *c.due - 1ms);
        EXPECT_EQ(f.Session.Pending().second, 0u);
        f.Session.OnTime(a + *c.due);
        EXPECT_EQ(f.SendAll(a + *c.due), Answer("2", "keep-alive"));
    }
}

TEST(SiteSession, ARequestIsTimedFromItsLastByte) {
    TSessionTimes times;
    times.Latency = 20ms;
    TFixture f(times);
    const TTime a = f.T0 + 20ms;
    f.Session.OnTime(a);
    f.Receive("GET /1 HTTP/1.1\r\n", a);
    f.Receive("\r\n", a + 7ms);
    EXPECT_EQ(f.Session.Deadline(), a + 27ms);
    f.Session.OnTime(a + 27ms);
    // While the first answer waits to go out, two more come in three reads; the middle
    // read ends one request and starts the next.
    f.Receive("GET /2 HTTP/1.1\r\n", a + 30ms);
    f.Receive("\r\nGET /3 HTTP/1.1\r\n", a + 33ms);
    f.Receive("\r\n", a + 38ms);
    EXPECT_EQ(f.SendAll(a + 40ms), Answer("1", "keep-alive"));
    EXPECT_EQ(f.Session.Deadline(), a + 53ms);
    f.Session.OnTime(a + 53ms);
    EXPECT_EQ(f.SendAll(a + 53ms), Answer("2", "keep-alive"));
    EXPECT_EQ(f.Session.Deadline(), a + 58ms);
    f.Session.OnTime(a + 58ms);
    EXPECT_EQ(f.SendAll(a + 58ms), Answer("3", "keep-alive"));

    // A request trickled in a byte at a time, in more reads than the session keeps
    // arrival marks for, is still timed from its last byte, not earlier.
    TFixture g(times);
    g.Session.OnTime(a);
    g.Receive(GetText("/1"), a);
    g.Session.OnTime(a + 20ms);
    const std::string slow = GetText("/2", "X-Pad: " + std::string(200, 'p') + "\r\n");
    for (size_t i = 0; i < slow.size(); ++i)
        g.Receive(slow.substr(i, 1), a + 21ms + std::chrono::milliseconds(i));
    const TTime last = a + 21ms + std::chrono::milliseconds(slow.size() - 1);
    EXPECT_EQ(g.SendAll(last), Answer("1", "keep-alive"));
    EXPECT_EQ(g.Session.Deadline(), last + 20ms);
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

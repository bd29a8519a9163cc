// Demo site HTTP framing: the incremental request reader, keep-alive rules, the response
// sender with its framings and directives, and the date and head formats.
#include "demo/SiteHttp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

// Feeds Raw in pieces of Step bytes; returns the final state.
TRequestReader::TState FeedInPieces(TRequestReader& r, const std::string& raw, size_t step) {
    TRequestReader::TState st = TRequestReader::rsNeedMore;
    for (size_t pos = 0; pos < raw.size() && st == TRequestReader::rsNeedMore;) {
        size_t n = std::min(step, raw.size() - pos);
        size_t used = 0;
        st = r.Feed(raw.data() + pos, n, &used);
        pos += used;
        if (used == 0) break;
    }
    return st;
}

TEST(RequestReader, ParsesWhateverTheChunking) {
    const std::string raw =
        "POST /owlmere/skyfen/log.php?x=1 HTTP/1.0\r\nHost: 127.0.0.1:5\r\n"
        "Content-Type: application/x-www-form-urlencoded\r\ncontent-length: 11\r\n\r\n"
        "a=1&b=2+3%4";
    for (size_t step : {1u, 2u, 7u, 64u, 4096u}) {
        TRequestReader r;
        ASSERT_EQ(FeedInPieces(r, raw, step), TRequestReader::rsDone) << step;
        const TSiteRequest& q = r.Request();
        EXPECT_EQ(q.Method, "POST");
        EXPECT_EQ(q.Path, "/owlmere/skyfen/log.php");
        EXPECT_EQ(q.Query, "x=1");
        EXPECT_EQ(q.Version, "HTTP/1.0");
        EXPECT_EQ(q.Header("HOST"), "127.0.0.1:5");
        EXPECT_EQ(q.Body, "a=1&b=2+3%4");
    }
}

TEST(RequestReader, RequestLinesAndTheirOutcomes) {
    struct TCase { std::string raw; TRequestReader::TState state; int status; std::string path, query; };
    const TCase cases[] = {
        {"GET /xml?spring12 HTTP/1.0\n\n", TRequestReader::rsDone, 0, "/xml", "spring12"},
        {"\r\nGET / HTTP/1.1\r\n\r\n", TRequestReader::rsDone, 0, "/", ""},   // stray blank line
        {"GET http://h:1/a?b HTTP/1.0\r\n\r\n", TRequestReader::rsDone, 0, "/a", "b"},
        {"GET /\r\n", TRequestReader::rsDone, 0, "/", ""},                    // no version, no head
        {"GET / HTTP/1.0\r\nHost: x\r\n", TRequestReader::rsNeedMore, 0, "/", ""},
        {"GARBAGE\r\n\r\n", TRequestReader::rsError, 400, "", ""},
        {"GET nopath HTTP/1.0\r\n\r\n", TRequestReader::rsError, 400, "", ""},
        {"GET / HTTP/1.0\r\nno colon\r\n\r\n", TRequestReader::rsError, 400, "/", ""},
        {"POST / HTTP/1.0\r\nContent-Length: x\r\n\r\n", TRequestReader::rsError, 400, "/", ""},
        {"POST / HTTP/1.0\r\nContent-Length: 99999999\r\n\r\n", TRequestReader::rsError, 413, "/", ""},
        {"GET /" + std::string(MaxRequestLineBytes, 'a') + " HTTP/1.0\r\n", TRequestReader::rsError, 414, "", ""},
        {"GET /xml?sp ace HTTP/1.1\r\n\r\n", TRequestReader::rsError, 400, "/xml", "sp"},  // a raw blank
        {"GET / HTTP/2.0\r\n\r\n", TRequestReader::rsError, 505, "/", ""},
        {"GET / http/1.1\r\n\r\n", TRequestReader::rsError, 400, "/", ""},
        // A chunked request body cannot be framed, so it is refused instead of misread.
        {"POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n", TRequestReader::rsError, 501, "/", ""},
    };
    for (const TCase& c : cases) {
        TRequestReader r;
        size_t used = 0;
        EXPECT_EQ(r.Feed(c.raw.data(), c.raw.size(), &used), c.state) << c.raw.substr(0, 40);
        EXPECT_EQ(r.ErrorStatus(), c.status) << c.raw.substr(0, 40);
        EXPECT_EQ(r.Request().Path, c.path) << c.raw.substr(0, 40);
        EXPECT_EQ(r.Request().Query, c.query) << c.raw.substr(0, 40);
    }
}

TEST(RequestReader, TooManyHeadersIsRejected) {
    std::string raw = "GET / HTTP/1.0\r\n";
    for (size_t i = 0; i <= MaxHeaderCount; ++i) raw += "X-" + std::to_string(i) + ": v\r\n";
    TRequestReader r;
    size_t used = 0;
    EXPECT_EQ(r.Feed(raw.data(), raw.size(), &used), TRequestReader::rsError);
    EXPECT_EQ(r.ErrorStatus(), 431);
}

TEST(RequestReader, LeavesTheNextPipelinedRequestAlone) {
    const std::string raw = "POST /a HTTP/1.1\r\nContent-Length: 3\r\n\r\nxyzGET /b HTTP/1.1\r\n\r\n";
    TRequestReader r;
    size_t used = 0;
    EXPECT_EQ(r.Feed(raw.data(), raw.size(), &used), TRequestReader::rsDone);
    EXPECT_EQ(r.Request().Body, "xyz");
    EXPECT_EQ(raw.substr(used), "GET /b HTTP/1.1\r\n\r\n");
}

TEST(RequestReader, KeepAliveFollowsVersionAndConnectionHeader) {
    struct TCase { std::string version, connection; bool keep; };
    const TCase cases[] = {
        {"HTTP/1.1", "", true},
        {"HTTP/1.1", "close", false},
        {"HTTP/1.1", "Keep-Alive, Close", false},
        {"HTTP/1.1", "keep-alive", true},
        {"HTTP/1.0", "", false},
        {"HTTP/1.0", "keep-alive", true},
        {"HTTP/1.0", "Keep-Alive", true},
        {"HTTP/1.0", "TE, keep-alive", true},
        {"HTTP/1.0", "close", false},
        {"HTTP/0.9", "", false},
    };
    for (const TCase& c : cases) {
        TSiteRequest q;
        q.Version = c.version;
        if (!c.connection.empty()) q.Headers.emplace_back("connection", c.connection);
        EXPECT_EQ(RequestKeepsAlive(q), c.keep) << c.version << " " << c.connection;
    }
}

TEST(RequestReader, LinesThenBodyAsALineModeSocketDelivers) {
    TRequestReader r;
    EXPECT_EQ(r.FeedLine("POST /r HTTP/1.0\r\n"), TRequestReader::rsNeedMore);
    EXPECT_EQ(r.FeedLine("Content-Length: 5\r\n"), TRequestReader::rsNeedMore);
    EXPECT_EQ(r.FeedLine("\r\n"), TRequestReader::rsNeedMore);
    ASSERT_TRUE(r.HeadComplete());
    EXPECT_EQ(r.BodyBytesMissing(), 5u);
    size_t used = 0;
    EXPECT_EQ(r.FeedBody("abcdefg", 7, &used), TRequestReader::rsDone);
    EXPECT_EQ(used, 5u);  // bytes after the body are left alone
    EXPECT_EQ(r.Request().Body, "abcde");
}

// Runs a sender until it is done, stalls or has handed out Max bytes, recording the
// pieces it hands out between pauses.
std::vector<std::string> Drain(TResponseSender& s, int* pauses, size_t max = size_t(-1)) {
    std::vector<std::string> pieces;
    std::string current;
    size_t total = 0;
    *pauses = 0;
    while (s.State() != TResponseSender::Done && s.State() != TResponseSender::Stalled && total < max) {
        if (s.State() == TResponseSender::Pausing) {
            EXPECT_GT(s.DelayMs(), 0);
            ++*pauses;
            pieces.push_back(current);
            current.clear();
            s.OpenPiece();
            continue;
        }
        auto p = s.Pending();
        size_t n = std::min<size_t>({p.second, 1000, max - total});  // a socket that takes 1000 at a time
        current.append(p.first, n);
        s.Advance(n);
        total += n;
    }
    pieces.push_back(current);
    return pieces;
}

TEST(ResponseSender, PlainCutShortStallTrickleAndHead) {
    TSiteResponse r = MakeResponse(200, "OK", "image/jpeg", std::string(10000, 'x'));
    const std::string head = r.HeadBytes();
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 10000\r\n"
                    "Connection: close\r\n\r\n");
    int pauses = 0;
    {
        TResponseSender s(r, head);
        auto pieces = Drain(s, &pauses);
        EXPECT_EQ(pauses, 0);
        EXPECT_EQ(pieces[0], head + std::string(10000, 'x'));
        EXPECT_FALSE(s.CutShort());
    }
    {
        TSiteResponse cut = r;
        cut.CloseAfterBodyBytes = 4000;
        TResponseSender s(cut, head);
        EXPECT_EQ(Drain(s, &pauses)[0], head + std::string(4000, 'x'));  // length still says 10000
        EXPECT_EQ(s.State(), TResponseSender::Done);
        EXPECT_TRUE(s.CutShort());
        EXPECT_FALSE(cut.CanKeepAlive());
    }
    {
        TSiteResponse stall = r;
        stall.StallAfterBodyBytes = 0;
        TResponseSender s(stall, head);
        EXPECT_EQ(Drain(s, &pauses)[0], head);
        EXPECT_EQ(s.State(), TResponseSender::Stalled);
        EXPECT_EQ(s.Pending().second, 0u);
        EXPECT_FALSE(stall.CanKeepAlive());
    }
    {
        TSiteResponse slow = r;
        slow.TrickleBytes = 3000;
        slow.TrickleDelayMs = 5;
        TResponseSender s(slow, head);
        auto pieces = Drain(s, &pauses);
        EXPECT_EQ(pauses, 3);
        ASSERT_EQ(pieces.size(), 4u);
        EXPECT_EQ(pieces[0], head + std::string(3000, 'x'));
        EXPECT_EQ(pieces[1].size(), 3000u);
        EXPECT_EQ(pieces[3].size(), 1000u);
        EXPECT_TRUE(slow.CanKeepAlive());
    }
    {
        TSiteResponse h = r;
        h.HeadOnly = true;
        TResponseSender s(h, head);
        EXPECT_EQ(Drain(s, &pauses)[0], head);
    }
    {
        TSiteResponse range = r;
        range.BodyStart = 9990;
        EXPECT_EQ(range.BodySize(), 10);
        TResponseSender s(range, range.HeadBytes(""));
        EXPECT_EQ(Drain(s, &pauses)[0], "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\n"
                                         "Content-Length: 10\r\n\r\nxxxxxxxxxx");
    }
}

TEST(ResponseSender, FramingAndEndlessBodies) {
    TSiteResponse r = MakeResponse(200, "OK", "text/plain", "abc");
    r.Framing = TBodyFraming::Chunked;
    int pauses = 0;
    {
        TResponseSender s(r, r.HeadBytes("keep-alive"));
        EXPECT_EQ(Drain(s, &pauses)[0], "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n"
                                         "Transfer-Encoding: chunked\r\nConnection: keep-alive\r\n\r\n"
                                         "3\r\nabc\r\n0\r\n\r\n");
        EXPECT_TRUE(r.CanKeepAlive());
    }
    // Endless and chunked: the fixed part, then the block as one chunk again and again.
    r.Repeat = std::make_shared<const std::string>("0123456789");
    EXPECT_FALSE(r.CanKeepAlive());
    {
        const std::string head = r.HeadBytes();
        TResponseSender s(r, head);
        std::string got = Drain(s, &pauses, 5000)[0];
        EXPECT_EQ(s.State(), TResponseSender::Sending);  // never ends
        std::string expected = head + "3\r\nabc\r\n";
        while (expected.size() < 5000) expected += "a\r\n0123456789\r\n";
        EXPECT_EQ(got, expected.substr(0, 5000));
    }
    // Endless with no length: plain bytes, and no Content-Length even with Length framing.
    r.Framing = TBodyFraming::Length;
    const std::string head = r.HeadBytes();
    EXPECT_EQ(head, "HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nConnection: close\r\n\r\n");
    TResponseSender s(r, head);
    std::string got = Drain(s, &pauses, head.size() + 23)[0];
    EXPECT_EQ(got, head + "abc01234567890123456789");
    // A long run costs no memory: the sender hands out the same block every time.
    const char* block = nullptr;
    for (int i = 0; i < 100000; ++i) {
        auto p = s.Pending();
        if (i == 0) block = p.first;
        ASSERT_EQ(p.first, block);
        s.Advance(p.second);
    }
}

TEST(HttpFormats, DatesAndHeads) {
    struct TDate { int64_t seconds; const char* text; };
    const TDate dates[] = {
        {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
        {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
        {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
        {1717488000, "Tue, 04 Jun 2024 08:00:00 GMT"},
        {4102444799, "Thu, 31 Dec 2099 23:59:59 GMT"},
    };
    for (const TDate& d : dates) EXPECT_EQ(HttpDate(d.seconds), d.text);

    TSiteResponse r = MakeResponse(404, ReasonPhrase(404), "", "");
    EXPECT_EQ(r.HeadBytes(""), "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
    r.Framing = TBodyFraming::Close;
    EXPECT_EQ(r.HeadBytes(), "HTTP/1.1 404 Not Found\r\nConnection: close\r\n\r\n");
    EXPECT_FALSE(r.CanKeepAlive());
    for (int status : {206, 302, 416, 429, 503, 505}) EXPECT_STRNE(ReasonPhrase(status), "Error") << status;
}

TEST(RequestLog, OneLinePerRequestWithDirectives) {
    TSiteRequest q;
    q.Method = "GET";
    q.Path = "/xml";
    q.Query = "a";
    TSiteResponse r = MakeResponse(404, "Not Found", "", "abc");
    EXPECT_EQ(RequestLogLine(q, r), "GET /xml?a 404 3");
    r.CloseAfterBodyBytes = 1;
    r.TrickleBytes = 1;
    EXPECT_EQ(RequestLogLine(q, r), "GET /xml?a 404 3 cut trickle");
    r = MakeResponse(200, "OK", "", "abc");
    r.Repeat = r.Body;
    r.StallAfterBodyBytes = 0;
    EXPECT_EQ(RequestLogLine(q, r), "GET /xml?a 200 - stall endless");
}

}  // namespace

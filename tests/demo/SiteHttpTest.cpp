// Demo site HTTP framing: the incremental request reader and the response sender.
#include "demo/SiteHttp.h"

#include <gtest/gtest.h>

#include <string>

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

// Runs a sender to the end, recording the pieces it hands out between pauses.
std::vector<std::string> Drain(TResponseSender& s, int* pauses) {
    std::vector<std::string> pieces;
    std::string current;
    *pauses = 0;
    while (!s.Done()) {
        if (s.DelayMs() > 0) {
            ++*pauses;
            pieces.push_back(current);
            current.clear();
            s.OpenPiece();
            continue;
        }
        auto p = s.Pending();
        size_t n = std::min<size_t>(p.second, 1000);  // a socket that takes 1000 at a time
        current.append(p.first, n);
        s.Advance(n);
    }
    pieces.push_back(current);
    return pieces;
}

TEST(ResponseSender, PlainCutShortTrickleAndHead) {
    TSiteResponse r = MakeResponse(200, "OK", "image/jpeg", std::string(10000, 'x'));
    const std::string head = r.HeadBytes();
    EXPECT_EQ(head.rfind("HTTP/1.0 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: 10000\r\n", 0), 0u);
    int pauses = 0;
    {
        TResponseSender s(r);
        auto pieces = Drain(s, &pauses);
        EXPECT_EQ(pauses, 0);
        EXPECT_EQ(pieces[0], head + std::string(10000, 'x'));
        EXPECT_FALSE(s.CutShort());
    }
    {
        TSiteResponse cut = r;
        cut.CloseAfterBodyBytes = 4000;
        TResponseSender s(cut);
        EXPECT_EQ(Drain(s, &pauses)[0], head + std::string(4000, 'x'));  // length still says 10000
        EXPECT_TRUE(s.CutShort());
    }
    {
        TSiteResponse slow = r;
        slow.TrickleBytes = 3000;
        slow.TrickleDelayMs = 5;
        TResponseSender s(slow);
        auto pieces = Drain(s, &pauses);
        EXPECT_EQ(pauses, 3);
        ASSERT_EQ(pieces.size(), 4u);
        EXPECT_EQ(pieces[0], head + std::string(3000, 'x'));
        EXPECT_EQ(pieces[1].size(), 3000u);
        EXPECT_EQ(pieces[3].size(), 1000u);
    }
    {
        TSiteResponse h = r;
        h.HeadOnly = true;
        TResponseSender s(h);
        EXPECT_EQ(Drain(s, &pauses)[0], head);
    }
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
}

}  // namespace

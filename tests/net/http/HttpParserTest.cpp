// Tests of the incremental response parser without a socket: every case is fed whole,
// split in two at every byte boundary, and byte by byte, and must give the same events.
#include "net/http/HttpParser.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Records the sink's calls as a list of short texts; consecutive body slices merge.
class TTraceSink : public THttpResponseSink {
public:
    std::vector<std::string> Trace;
    THttpResponseParser* Parser = nullptr;
    int HaltAfterLines = -1;  // Halt() once this many header lines were seen

    void ResponseHeaderLine(const std::string& line, THttpLineKind kind, THttpField field,
                            const std::string& value) override {
        const char* k = kind == THttpLineKind::Status ? "S" : kind == THttpLineKind::Field ? "F" : "O";
        std::string entry = std::string(k) + ":" + line;
        if (kind == THttpLineKind::Field) entry += "=" + std::to_string(int(field)) + "[" + value + "]";
        Trace.push_back(entry);
        if (--HaltAfterLines == 0) Parser->Halt();
    }
    void ResponseNoHeader() override { Trace.push_back("noheader"); }
    void ResponseHeaderEnd() override { Trace.push_back("end"); }
    void ResponseBody(const char* data, size_t len) override {
        if (len == 0) return;
        if (Trace.empty() || Trace.back().compare(0, 5, "body:") != 0) Trace.push_back("body:");
        Trace.back().append(data, len);
    }
    void ResponseComplete() override { Trace.push_back("complete"); }
};

struct TResult {
    std::vector<std::string> Trace;
    int Error = 0;  // ErrorCode, 0 when none
    int Status = 0;
    int64_t Length = -1;
};

// Feeds Input in the pieces given by Cuts (positions), then Finish() when Close.
TResult Parse(const std::string& input, const std::vector<size_t>& cuts, bool head, bool close,
            int haltAfterLines = -1) {
    TTraceSink sink;
    THttpResponseParser parser(sink);
    sink.Parser = &parser;
    sink.HaltAfterLines = haltAfterLines;
    parser.Reset(head);
    size_t from = 0;
    std::vector<size_t> points = cuts;
    points.push_back(input.size());
    for (size_t to : points) {
        parser.Feed(input.data() + from, to - from);
        from = to;
    }
    if (close) parser.Finish();
    TResult r;
    r.Trace = sink.Trace;
    r.Error = parser.Error() ? parser.Error()->ErrorCode() : 0;
    r.Status = parser.StatusCode();
    r.Length = parser.ContentLength();
    return r;
}

struct TParseCase {
    const char* Name;
    std::string Input;
    bool Head;
    bool Close;  // the connection ends after the input
    std::vector<std::string> Trace;
    int Error;
};

const std::string Body1000(1000, 'x');

std::vector<TParseCase> Cases() {
    return {
        {"length", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\nContent-Type: Text/HTML\r\n\r\nhello", false, false,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 5=2[5]", "F:Content-Type: Text/HTML=5[Text/HTML]", "end",
          "body:hello", "complete"}, 0},
        {"bytes after the length are not body", "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nabEXTRA", false, false,
         {"S:HTTP/1.1 200 OK", "F:Content-Length: 2=2[2]", "end", "body:ab", "complete"}, 0},
        {"until close, bare LF lines", "HTTP/1.0 200 OK\nX: y\n\nline1\r\nline2", false, true,
         {"S:HTTP/1.0 200 OK", "F:X: y=0[y]", "end", "body:line1\r\nline2"}, 0},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;ext=1\r\nhello\r\n"
                    "6\r\n world\r\n0\r\nTrailer: x\r\n\r\nIGNORED", false, false,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end", "body:hello world", "complete"}, 0},
        {"chunked wins over length", "HTTP/1.1 200 OK\r\nContent-Length: 99\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n"
                                     "A\r\n0123456789\r\n0\r\n\r\n", false, false,
         {"S:HTTP/1.1 200 OK", "F:Content-Length: 99=2[99]", "F:Transfer-Encoding: gzip, Chunked=8[gzip, Chunked]",
          "end", "body:0123456789", "complete"}, 0},
        {"204 has no body", "HTTP/1.1 204 No Content\r\n\r\nJUNK", false, false,
         {"S:HTTP/1.1 204 No Content", "end", "complete"}, 0},
        {"304 has no body", "HTTP/1.0 304 Not Modified\r\nContent-Length: 10\r\n\r\n", false, false,
         {"S:HTTP/1.0 304 Not Modified", "F:Content-Length: 10=2[10]", "end", "complete"}, 0},
        {"HEAD has no body", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\n", true, false,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 10=2[10]", "end", "complete"}, 0},
        {"length 0", "HTTP/1.0 302 Found\r\nLocation: /x\r\nContent-Length: 0\r\n\r\n", false, false,
         {"S:HTTP/1.0 302 Found", "F:Location: /x=1[/x]", "F:Content-Length: 0=2[0]", "end", "complete"}, 0},
        {"interim 100 skipped", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz", false, false,
         {"S:HTTP/1.1 100 Continue", "S:HTTP/1.1 200 OK", "F:Content-Length: 1=2[1]", "end", "body:z", "complete"}, 0},
        {"no header", "<hTmL>\r\n<p>a</p>\r\n", false, true, {"noheader", "body:<hTmL>\r\n<p>a</p>\r\n"}, 0},
        {"no header after status", "HTTP/1.0 200 OK\r\n<HTML><b>\n", false, true,
         {"S:HTTP/1.0 200 OK", "noheader", "body:<HTML><b>\n"}, 0},
        {"value keeps its last character", "HTTP/1.0 200 OK\r\nA:   \r\nB:\r\nC:x\r\nno colon\r\n\r\n", false, true,
         {"S:HTTP/1.0 200 OK", "F:A:   =0[ ]", "F:B:=0[]", "F:C:x=0[x]", "O:no colon", "end"}, 0},
        {"status without reason", "HTTP/1.0 404\r\n\r\n", false, true, {"S:HTTP/1.0 404", "end"}, 0},
        {"four empty lines before the status line", "\r\n\r\n\r\n\r\nHTTP/1.0 204 None\r\n\r\n", false, false,
         {"S:HTTP/1.0 204 None", "end", "complete"}, 0},
        {"other fields may be folded", "HTTP/1.0 200 OK\r\nX-A: 1\r\n 2\r\nContent-Length: 1\r\n\r\nz", false, false,
         {"S:HTTP/1.0 200 OK", "F:X-A: 1=0[1]", "O: 2", "F:Content-Length: 1=2[1]", "end", "body:z", "complete"}, 0},
        {"chunk extensions to the letter",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5 ;a=b; c = \"x;\\\"y\" ;d\r\nhello\r\n0;e\r\n\r\n", false, false,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end", "body:hello", "complete"}, 0},
        {"final coding not chunked: until close", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\nContent-Length: 3\r\n\r\nabcdef",
         false, true,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked, gzip=8[chunked, gzip]", "F:Content-Length: 3=2[3]", "end",
          "body:abcdef"}, 0},
        {"largest length", "HTTP/1.0 200 OK\r\nContent-Length: 9223372036854775807\r\n\r\nab", false, true,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 9223372036854775807=2[9223372036854775807]", "end", "body:ab"},
         httperrIncomplete},
        // Failures.
        {"short body", "HTTP/1.0 200 OK\r\nContent-Length: 10\r\n\r\nabc", false, true,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 10=2[10]", "end", "body:abc"}, httperrIncomplete},
        {"short chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nab", false, true,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end", "body:ab"}, httperrIncomplete},
        {"head cut by the close", "HTTP/1.0 200 OK\r\nX: 1\r\nPartial", false, true,
         {"S:HTTP/1.0 200 OK", "F:X: 1=0[1]"}, httperrIncomplete},
        {"head cut inside a folded line", "HTTP/1.1 200 OK\r\n Host: foo", false, true, {"S:HTTP/1.1 200 OK"},
         httperrIncomplete},
        {"status line cut by the close", "HTTP/1.1 200", false, true, {}, httperrIncomplete},
        {"garbage first line", "FOO 200 OK\r\n\r\n", false, false, {}, httperrBadStatusLine},
        {"HTTP/2 first line", "HTTP/2 200 OK\r\n\r\n", false, false, {}, httperrBadStatusLine},
        {"status not a number", "HTTP/1.1 2x0 OK\r\n\r\n", false, false, {}, httperrBadStatusLine},
        {"later status line bad", "HTTP/1.1 200 OK\r\nHTTP/1.0 abc\r\n\r\n", false, false,
         {"S:HTTP/1.1 200 OK"}, httperrBadStatusLine},
        {"five empty lines before the status line", "\r\n\n\r\n\r\n\r\nHTTP/1.0 200 OK\r\n\r\n", false, false, {},
         httperrBadStatusLine},
        {"five empty lines after an interim answer",
         "HTTP/1.1 100 Continue\r\n\r\n\r\n\r\n\r\n\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", false, false,
         {"S:HTTP/1.1 100 Continue"}, httperrBadStatusLine},
        {"blank line start after the status line", "HTTP/1.1 200 OK\r\n\tX: y\r\n\r\n", false, false,
         {"S:HTTP/1.1 200 OK"}, httperrBadStatusLine},
        {"length not a number", "HTTP/1.0 200 OK\r\nContent-Length: 12a\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrBadContentLength},
        {"length negative", "HTTP/1.0 200 OK\r\nContent-Length: -1\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrBadContentLength},
        {"length huge", "HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrBadContentLength},
        {"length one past 63 bits", "HTTP/1.0 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrBadContentLength},
        {"length as a list", "HTTP/1.0 200 OK\r\nContent-Length: 5, 5\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrBadContentLength},
        {"length with a sign", "HTTP/1.0 200 OK\r\nContent-Length: +5\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrBadContentLength},
        {"lengths conflict", "HTTP/1.0 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 1=2[1]"}, httperrBadContentLength},
        {"bad chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", false, false,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"chunk without CRLF", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n1\r\naXY\r\n", false, false,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end", "body:a"}, httperrBadChunk},
        {"chunk size overflow", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nffffffffffffffff\r\n", false, false,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"chunk size of 2^63", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n8000000000000000\r\n", false, false,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"chunk extension without a value", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;a=\r\nhello\r\n0\r\n\r\n",
         false, false, {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"trailer line too long", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n0\r\nX: " + std::string(9000, 't'),
         false, false, {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrLineTooLong},
        {"line of 8191 bytes and CR LF", "HTTP/1.0 200 OK\r\nX: " + std::string(8188, 'a') + "\r\n\r\n", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrLineTooLong},
        // Former bugs: refused although sound.
        {"empty lines before the status line", "\r\n\n\r\n\r\nHTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nz", false, false,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 1=2[1]", "end", "body:z", "complete"}, 0},
        {"empty lines after an interim answer",
         "HTTP/1.1 100 Continue\r\n\r\n\r\n\nHTTP/1.1 200 OK\r\nContent-Length: 1\r\n\r\nz", false, false,
         {"S:HTTP/1.1 100 Continue", "S:HTTP/1.1 200 OK", "F:Content-Length: 1=2[1]", "end", "body:z", "complete"}, 0},
        // Former bugs: accepted although invalid.
        {"blanks after the chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n25  \r\n" + std::string(37, 'x'),
         false, false, {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"text after the chunk size", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n2 erfrferferf\r\nab\r\n0\r\n\r\n",
         false, false, {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"empty chunk extension", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;\r\nhello\r\n0\r\n\r\n",
         false, false, {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"unbalanced quote in a chunk extension",
         "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5;a=\"x\r\nhello\r\n0\r\n\r\n", false, true,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: chunked=8[chunked]", "end"}, httperrBadChunk},
        {"blank line start before the first field", "HTTP/1.1 200 OK\r\n X: y\r\nContent-Length: 1\r\n\r\nz", false, false,
         {"S:HTTP/1.1 200 OK"}, httperrBadStatusLine},
        {"folded Transfer-Encoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\n chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n",
         false, false, {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding:=8[]"}, httperrBadChunk},
        {"folded Transfer-Encoding list", "HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip,\r\n\tchunked\r\n\r\n", false, false,
         {"S:HTTP/1.1 200 OK", "F:Transfer-Encoding: gzip,=8[gzip,]"}, httperrBadChunk},
        {"folded Content-Length", "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n 0\r\n\r\nhello", false, false,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 5=2[5]"}, httperrBadContentLength},
        {"blank before the colon of Content-Length", "HTTP/1.0 200 OK\r\nContent-Length : 5\r\n\r\nhello", false, false,
         {"S:HTTP/1.0 200 OK"}, httperrBadContentLength},
        {"blank before the colon of Transfer-Encoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding\t: chunked\r\n\r\n", false, false,
         {"S:HTTP/1.1 200 OK"}, httperrBadChunk},
        {"body of the HEAD answer is not expected", "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n", true, true,
         {"S:HTTP/1.0 200 OK", "F:Content-Length: 1000=2[1000]", "end", "complete"}, 0},
    };
}

void Check(const TParseCase& c, const TResult& r, const std::string& how) {
    SCOPED_TRACE(std::string(c.Name) + " / " + how);
    // A failure may cut the trace short of a slice, so only whole events are compared.
    EXPECT_EQ(r.Error, c.Error);
    EXPECT_EQ(r.Trace, c.Trace);
}

TEST(HttpParser, CasesFedWhole) {
    for (const TParseCase& c : Cases()) Check(c, Parse(c.Input, {}, c.Head, c.Close), "whole");
}

TEST(HttpParser, CasesSplitAtEveryByte) {
    for (const TParseCase& c : Cases()) {
        for (size_t cut = 1; cut < c.Input.size(); ++cut) {
            TResult r = Parse(c.Input, {cut}, c.Head, c.Close);
            // A body slice that ends where a failure starts may be shorter: compare the
            // errors always, the trace whenever the case did not fail.
            if (c.Error == 0 || c.Error == httperrIncomplete) Check(c, r, "cut " + std::to_string(cut));
            else EXPECT_EQ(r.Error, c.Error) << c.Name << " cut " << cut;
        }
        std::vector<size_t> everyByte;
        for (size_t i = 1; i < c.Input.size(); ++i) everyByte.push_back(i);
        Check(c, Parse(c.Input, everyByte, c.Head, c.Close), "byte by byte");
    }
}

TEST(HttpParser, LineLimits) {
    // A line of 8190 bytes plus CR LF just fits; one byte more does not.
    std::string fits = "HTTP/1.0 200 OK\r\nX: " + std::string(8187, 'a') + "\r\n\r\n";
    EXPECT_EQ(Parse(fits, {}, false, true).Error, 0);
    // An endless line fails as soon as it passes the limit, before any line end arrives.
    TResult endless = Parse("HTTP/1.0 200 OK\r\nX: " + std::string(9000, 'a'), {}, false, false);
    EXPECT_EQ(endless.Error, httperrLineTooLong);
    // Many short lines: bounded by the 1 MiB header limit.
    std::string many = "HTTP/1.0 200 OK\r\n";
    while (many.size() <= THttpResponseParser::MaxHeader) many += "X-Filler: 0123456789012345678901234567890123456789\r\n";
    EXPECT_EQ(Parse(many, {}, false, false).Error, httperrHeaderTooLarge);
}

TEST(HttpParser, HaltDropsTheRest) {
    TResult r = Parse("HTTP/1.0 404 Not Found\r\nA: 1\r\nB: 2\r\n\r\nbody", {}, false, true, 1);
    EXPECT_EQ(r.Trace, (std::vector<std::string>{"S:HTTP/1.0 404 Not Found"}));
    EXPECT_EQ(r.Status, 404);
    EXPECT_EQ(r.Error, 0);
}

TEST(HttpParser, LargeBodyIsPassedThroughInSlices) {
    std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 1000\r\n\r\n";
    TResult r = Parse(head + Body1000, {head.size() + 10, head.size() + 500}, false, false);
    ASSERT_EQ(r.Trace.size(), 5u);
    EXPECT_EQ(r.Trace[3], "body:" + Body1000);
    EXPECT_EQ(r.Length, 1000);
}

}  // namespace

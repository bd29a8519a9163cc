// Tests of the shared wire rules, one table per rule: status lines, Content-Length values,
// transfer codings, framing, and whole response heads line by line (THeadRules), with
// the former bugs of either reader at the end of each table.
#include "platform/httpwire/HttpWire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace httpwire;

// ==== response heads ===============================================================================

TEST(HttpWireHead, StatusLines) {
    struct {
        const char* Line;
        bool Valid;
        int Status;
        const char* Reason;
    } cases[] = {
        {"HTTP/1.1 200 OK", true, 200, "OK"},
        {"HTTP/1.0 404", true, 404, ""},
        {"HTTP/1.0 404 ", true, 404, ""},
        {"HTTP/1.1 302  Found", true, 302, " Found"},
        {"HTTP/1.2 100 Continue", true, 100, "Continue"},
        {"HTTP/1.1 999 x", true, 999, "x"},
        {"HTTP/1.1 099 x", false, 0, ""},
        {"HTTP/1.1 000 x", false, 0, ""},
        {"HTTP/2 200 OK", false, 0, ""},
        {"HTTP/2.0 200 OK", false, 0, ""},
        {"HTTP/1.10 200 OK", false, 0, ""},
        {"HTTP/1.1 2x0 OK", false, 0, ""},
        {"HTTP/1.1 200OK", false, 0, ""},
        {"HTTP/1.1  200 OK", false, 0, ""},
        {"http/1.1 200 OK", false, 0, ""},
        {"HTTP/1.1 20", false, 0, ""},
        {"", false, 0, ""},
    };
    for (const auto& c : cases) {
        TStatusLine s;
        EXPECT_EQ(ParseStatusLine(c.Line, s), c.Valid) << c.Line;
        if (!c.Valid) continue;
        EXPECT_EQ(s.Status, c.Status) << c.Line;
        EXPECT_EQ(s.Reason, c.Reason) << c.Line;
        EXPECT_EQ(s.Version, std::string(c.Line).substr(0, 8)) << c.Line;
    }
}

TEST(HttpWireHead, ContentLengthValues) {
    struct {
        const char* Value;
        bool Valid;
        int64_t Length;
    } cases[] = {
        {"0", true, 0},
        {" 42\t", true, 42},
        {"007", true, 7},
        {"9223372036854775807", true, INT64_MAX},
        {"9223372036854775808", false, 0},
        {"99999999999999999999", false, 0},
        {"", false, 0},
        {"  ", false, 0},
        {"-1", false, 0},
        {"+1", false, 0},
        {"1 2", false, 0},
        {"5, 5", false, 0},
        {"0x10", false, 0},
        {"5\x01", false, 0},
    };
    for (const auto& c : cases) {
        int64_t length = -7;
        EXPECT_EQ(ParseContentLength(c.Value, length), c.Valid) << "[" << c.Value << "]";
        if (c.Valid) { EXPECT_EQ(length, c.Length) << c.Value; }
    }
}

TEST(HttpWireHead, ChunkedAndFraming) {
    EXPECT_TRUE(ChunkedIsFinal("chunked"));
    EXPECT_TRUE(ChunkedIsFinal("gzip, Chunked "));
    EXPECT_FALSE(ChunkedIsFinal("chunked, gzip"));
    EXPECT_FALSE(ChunkedIsFinal("xchunked"));
    EXPECT_FALSE(ChunkedIsFinal(""));
    struct {
        int Status;
        bool Head, HasCoding, Chunked;
        int64_t Length;
        TFraming Framing;
    } cases[] = {
        {200, false, false, false, -1, TFraming::UntilClose},
        {200, false, false, false, 10, TFraming::Length},
        {200, false, true, true, 10, TFraming::Chunked},
        {200, false, true, false, 10, TFraming::UntilClose},  // a coding other than chunked last
        {200, true, true, true, 10, TFraming::NoBody},
        {204, false, false, false, 10, TFraming::NoBody},
        {304, false, false, false, 10, TFraming::NoBody},
        {101, false, false, false, -1, TFraming::NoBody},
        {404, false, false, false, 0, TFraming::Length},
    };
    for (const auto& c : cases)
        EXPECT_EQ(FramingOf(c.Status, c.Head, c.HasCoding, c.Chunked, c.Length), c.Framing) << c.Status;
}

struct THeadCase {
    const char* Name;
    std::vector<std::string> Lines;
    std::vector<THeadVerdict> Verdicts;  // one per line; the last one ends the case
    int64_t Length;                      // ContentLength() afterwards
    bool Chunked;
};

std::vector<THeadCase> HeadCases() {
    return {
        {"plain", {"HTTP/1.1 200 OK", "Content-Length: 5", "X: y", ""}, {hvStatus, hvField, hvField, hvEnd}, 5, false},
        {"other fields fold and lines without a colon",
         {"HTTP/1.1 200 OK", "X: a", " b", "\tc", "no colon", " d", ""},
         {hvStatus, hvField, hvFold, hvFold, hvOther, hvFold, hvEnd}, -1, false},
        {"chunked, last line counts", {"HTTP/1.1 200 OK", "Transfer-Encoding: gzip", "transfer-encoding: chunked", ""},
         {hvStatus, hvField, hvField, hvEnd}, -1, true},
        {"same length twice", {"HTTP/1.1 200 OK", "Content-Length: 3", "content-length:3", ""},
         {hvStatus, hvField, hvField, hvEnd}, 3, false},
        {"four empty lines", {"", "", "", "", "HTTP/1.1 200 OK", ""}, {hvSkipped, hvSkipped, hvSkipped, hvSkipped, hvStatus, hvEnd},
         -1, false},
        {"five empty lines", {"", "", "", "", ""}, {hvSkipped, hvSkipped, hvSkipped, hvSkipped, hvBadStatusLine}, -1, false},
        {"not a status line", {"FOO 200 OK"}, {hvBadStatusLine}, -1, false},
        {"blank line before a status line", {" "}, {hvBadStatusLine}, -1, false},
        {"lengths conflict", {"HTTP/1.1 200 OK", "Content-Length: 3", "Content-Length: 4"},
         {hvStatus, hvField, hvBadContentLength}, 3, false},
        {"negative length", {"HTTP/1.1 200 OK", "Content-Length: -1"}, {hvStatus, hvBadContentLength}, -1, false},
        {"folded length after a fold", {"HTTP/1.1 200 OK", "X: 1", " 2", "Content-Length: 1", " 1"},
         {hvStatus, hvField, hvFold, hvField, hvBadContentLength}, 1, false},
        // Former bugs (both readers took these one way or the other).
        {"blank line start after the status line", {"HTTP/1.1 200 OK", " X: y"}, {hvStatus, hvBadStatusLine}, -1, false},
        {"folded Transfer-Encoding", {"HTTP/1.1 200 OK", "Transfer-Encoding:", " chunked"},
         {hvStatus, hvField, hvBadTransferEncoding}, -1, false},
        {"folded Content-Length", {"HTTP/1.1 200 OK", "Content-Length: 1", "\t0"}, {hvStatus, hvField, hvBadContentLength},
         1, false},
        {"blank before the colon of Content-Length", {"HTTP/1.1 200 OK", "Content-Length : 1"},
         {hvStatus, hvBadContentLength}, -1, false},
        {"blank before the colon of Transfer-Encoding", {"HTTP/1.1 200 OK", "Transfer-Encoding\t: chunked"},
         {hvStatus, hvBadTransferEncoding}, -1, false},
    };
}

TEST(HttpWireHead, HeadRulesLineByLine) {
    for (const THeadCase& c : HeadCases()) {
        SCOPED_TRACE(c.Name);
        ASSERT_EQ(c.Lines.size(), c.Verdicts.size());
        THeadRules rules;
        for (size_t i = 0; i < c.Lines.size(); ++i) EXPECT_EQ(rules.Line(c.Lines[i]), c.Verdicts[i]) << "line " << i;
        EXPECT_EQ(rules.ContentLength(), c.Length);
        EXPECT_EQ(rules.Chunked(), c.Chunked);
    }
}

TEST(HttpWireHead, ResetStartsTheFinalHeadAfterAnInterimOne) {
    THeadRules rules;
    EXPECT_EQ(rules.Line("HTTP/1.1 100 Continue"), hvStatus);
    EXPECT_EQ(rules.Line("Content-Length: 9"), hvField);
    EXPECT_EQ(rules.Line(""), hvEnd);
    rules.Reset();
    EXPECT_FALSE(rules.SawStatusLine());
    EXPECT_EQ(rules.ContentLength(), -1);
    for (int i = 0; i < MaxLeadingEmptyLines; ++i) EXPECT_EQ(rules.Line(""), hvSkipped);
    EXPECT_EQ(rules.Line("HTTP/1.1 200 OK"), hvStatus);
    EXPECT_EQ(rules.Status().Status, 200);
    EXPECT_EQ(rules.Line("Content-Length: 2"), hvField);
    EXPECT_EQ(rules.Framing(200, false), TFraming::Length);
    EXPECT_EQ(rules.Framing(200, true), TFraming::NoBody);
}

}  // namespace

// Tests of the shared wire rules, one table per rule: texts, authorities, references,
// addresses, Location values and merged paths; status lines, Content-Length values,
// transfer codings, framing, and whole response heads line by line (THeadRules), with
// the former bugs of the readers that now use them at the end of a table.
#include "platform/httpwire/HttpWire.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace httpwire;

// ==== texts ===================================================================================

TEST(HttpWireText, ControlBytesBase64AndLineEnds) {
    EXPECT_FALSE(HasControlBytes("http://host/a b?x=\xe4"));
    EXPECT_TRUE(HasControlBytes("a\r\nX-Injected: 1"));
    EXPECT_TRUE(HasControlBytes(std::string("a\0b", 3)));
    EXPECT_TRUE(HasControlBytes("tab\there"));
    EXPECT_FALSE(HasControlBytes("tab\there", true));
    EXPECT_TRUE(HasControlBytes("tab\tand\x01", true));
    EXPECT_TRUE(HasControlBytes("del\x7f"));
    struct {
        std::string In;
        const char* Out;
    } base64[] = {
        {"", ""}, {"a", "YQ=="}, {"ab", "YWI="}, {"abc", "YWJj"}, {"ann:secret", "YW5uOnNlY3JldA=="},
        {std::string("\xff\x00\xfe", 3), "/wD+"},
    };
    for (const auto& c : base64) EXPECT_EQ(Base64(c.In), c.Out) << c.In;
    EXPECT_EQ(WithoutLineEnd("a\r\n"), "a");
    EXPECT_EQ(WithoutLineEnd("a\n"), "a");
    EXPECT_EQ(WithoutLineEnd("a\r"), "a");
    EXPECT_EQ(WithoutLineEnd("a\r\r\n"), "a\r");
}

// ==== authorities ===============================================================================

TEST(HttpWireAuthority, Splits) {
    struct {
        const char* Authority;
        const char* User;
        const char* Password;
        const char* Host;
        const char* Port;
    } cases[] = {
        {"host", "", "", "host", ""},
        {"host:81", "", "", "host", "81"},
        {"u:p@host:81", "u", "p", "host", "81"},
        {"u:p@host", "u", "p", "host", ""},
        {"a@b@host:1", "a@b", "", "host", "1"},  // the last "@" ends the user information
        {"u:p:q@h", "u", "p:q", "h", ""},         // the first ":" ends the user
        {"h:", "", "", "h", ""},
        {"", "", "", "", ""},
    };
    for (const auto& c : cases) {
        std::string userInfo, hostPort, user, password, host, port;
        SplitAuthority(c.Authority, userInfo, hostPort);
        SplitUserInfo(userInfo, user, password);
        SplitHostPortText(hostPort, host, port);
        SCOPED_TRACE(c.Authority);
        EXPECT_EQ(user, c.User);
        EXPECT_EQ(password, c.Password);
        EXPECT_EQ(host, c.Host);
        EXPECT_EQ(port, c.Port);
    }
}

TEST(HttpWireAuthority, CheckedHostAndPort) {
    struct {
        const char* Text;
        bool Valid;
        const char* Host;
        int Port;
    } cases[] = {
        {"127.0.0.1:18690", true, "127.0.0.1", 18690},
        {"localhost", true, "localhost", 80},
        {"h:65535", true, "h", 65535},
        {"h:00081", true, "h", 81},
        {"h:0", false, "", 0},
        {"h:65536", false, "", 0},
        {"h:123456", false, "", 0},
        {"h:", false, "", 0},
        {"h:8a", false, "", 0},
        {"h:+80", false, "", 0},
        {":80", false, "", 0},
        {"", false, "", 0},
        {"a:b:80", false, "", 0},
        {"ho st:80", false, "", 0},
        {"h/x:80", false, "", 0},
        {"u@h:80", false, "", 0},
        {"h\r\n:80", false, "", 0},
        {"h\x7f", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host;
        uint16_t port = 0;
        EXPECT_EQ(SplitHostPort(c.Text, 80, host, port), c.Valid) << c.Text;
        if (!c.Valid) continue;
        EXPECT_EQ(host, c.Host) << c.Text;
        EXPECT_EQ(port, c.Port) << c.Text;
    }
}

// ==== references and addresses =====================================================================

TEST(HttpWireReference, Splits) {
    struct {
        const char* Ref;
        const char* Scheme;
        bool HasAuthority;
        const char* Authority;
        const char* Path;
    } cases[] = {
        {"http://h:1/a/b?q=1#f", "http", true, "h:1", "/a/b?q=1"},
        {"HTTPS://Host/P", "https", true, "Host", "/P"},
        {"http://h?q", "http", true, "h", "?q"},
        {"http://h", "http", true, "h", ""},
        {"//h/p", "", true, "h", "/p"},
        {"///etc/passwd", "", true, "", "/etc/passwd"},
        {"/a/b", "", false, "", "/a/b"},
        {"a/b:c", "", false, "", "a/b:c"},   // a ":" after a "/" is no scheme
        {"?x=http://y", "", false, "", "?x=http://y"},
        {"file:///etc/passwd", "file", true, "", "/etc/passwd"},
        {"file:/etc/passwd", "file", false, "", "/etc/passwd"},
        {"javascript:alert(1)", "javascript", false, "", "alert(1)"},
        {"JavaScript://%0aalert(1)", "javascript", true, "%0aalert(1)", ""},
        {"mailto:me@h", "mailto", false, "", "me@h"},
        {"a+b.c-d:x", "a+b.c-d", false, "", "x"},
        {"localhost:8080/x", "", false, "", "localhost:8080/x"},  // a host and port, not a scheme
        {"h:80", "", false, "", "h:80"},
        {"1a:x", "", false, "", "1a:x"},                          // a scheme begins with a letter
        {"#only", "", false, "", ""},
        {"", "", false, "", ""},
    };
    for (const auto& c : cases) {
        TReference r;
        SplitReference(c.Ref, r);
        SCOPED_TRACE(c.Ref);
        EXPECT_EQ(r.Scheme, c.Scheme);
        EXPECT_EQ(r.HasAuthority, c.HasAuthority);
        EXPECT_EQ(r.Authority, c.Authority);
        EXPECT_EQ(r.Path, c.Path);
        EXPECT_EQ(SchemeOf(c.Ref), c.Scheme);
        EXPECT_EQ(ForeignScheme(c.Ref), std::string(c.Scheme) == "http" ? "" : c.Scheme);
    }
    EXPECT_EQ(AfterHttpScheme("hTtP://h/x"), "h/x");
    EXPECT_EQ(AfterHttpScheme("https://h/x"), "https://h/x");
}

TEST(HttpWireReference, HttpAddresses) {
    struct {
        const char* Url;
        bool Valid;
        const char* UserInfo;
        const char* Host;
        int Port;
        const char* Target;
    } cases[] = {
        {"http://127.0.0.1:18690/a?b=1#frag", true, "", "127.0.0.1", 18690, "/a?b=1"},
        {"HTTP://h", true, "", "h", 80, "/"},
        {"http://h?q", true, "", "h", 80, "/?q"},
        {"http://h#f", true, "", "h", 80, "/"},
        {"http://u:p@h/x", true, "u:p", "h", 80, "/x"},
        {"http://:80/", false, "", "", 0, ""},
        {"http://h:0/", false, "", "", 0, ""},
        {"http://h:x/", false, "", "", 0, ""},
        {"http://h:/", false, "", "", 0, ""},
        {"http:/h/x", false, "", "", 0, ""},
        {"https://h/", false, "", "", 0, ""},
        {"ftp://h/", false, "", "", 0, ""},
        {"h/x", false, "", "", 0, ""},
    };
    for (const auto& c : cases) {
        THttpUrl u;
        EXPECT_EQ(ParseHttpUrl(c.Url, u), c.Valid) << c.Url;
        if (!c.Valid) continue;
        SCOPED_TRACE(c.Url);
        EXPECT_EQ(u.UserInfo, c.UserInfo);
        EXPECT_EQ(u.Host, c.Host);
        EXPECT_EQ(u.Port, c.Port);
        EXPECT_EQ(u.Target, c.Target);
    }
}

TEST(HttpWireReference, LocationValues) {
    struct {
        const char* Value;
        TLocationVerdict Verdict;
        const char* Scheme;  // the scheme refused, or of the reference followed
        bool HasAuthority;
        const char* Path;
    } cases[] = {
        {"/x?y=1", lvFollow, "", false, "/x?y=1"},
        {"  http://h/p#f  ", lvFollow, "http", true, "/p"},
        {"//other/p", lvFollow, "", true, "/p"},
        {"z", lvFollow, "", false, "z"},
        {"http:/x", lvFollow, "", false, "/x"},  // http without an authority: the reference after it
        {"http:x", lvFollow, "", false, "x"},
        {"https://h/p", lvUnsupportedScheme, "https", false, ""},
        {"https:/h/p", lvUnsupportedScheme, "https", false, ""},
        {"HTTPS:h", lvUnsupportedScheme, "https", false, ""},
        {"ftp://127.0.0.1/x.jpg", lvUnsupportedScheme, "ftp", false, ""},
        {"file:///etc/passwd", lvUnsupportedScheme, "file", false, ""},
        {"FILE:/etc/passwd", lvUnsupportedScheme, "file", false, ""},
        {"file:etc/passwd", lvUnsupportedScheme, "file", false, ""},
        {"javascript:alert(1)", lvUnsupportedScheme, "javascript", false, ""},
        {" JaVaScRiPt://%0aalert(1)", lvUnsupportedScheme, "javascript", false, ""},
        {"data:text/html,<b>x</b>", lvUnsupportedScheme, "data", false, ""},
        {"mailto:me@h", lvUnsupportedScheme, "mailto", false, ""},
        {"java\tscript:alert(1)", lvInvalid, "", false, ""},
        {"/a\r\nX: y", lvInvalid, "", false, ""},
        {"   ", lvInvalid, "", false, ""},
        {"", lvInvalid, "", false, ""},
    };
    for (const auto& c : cases) {
        TReference r;
        SCOPED_TRACE(c.Value);
        ASSERT_EQ(ReadLocation(c.Value, r), c.Verdict);
        EXPECT_EQ(r.Scheme, c.Scheme);
        if (c.Verdict != lvFollow) continue;
        EXPECT_EQ(r.HasAuthority, c.HasAuthority);
        EXPECT_EQ(r.Path, c.Path);
    }
}

TEST(HttpWireReference, MergedPaths) {
    struct {
        const char* Base;
        const char* Relative;
        const char* Merged;
    } cases[] = {
        {"/dir/file?q", "z", "/dir/z"},
        {"/dir/file?q", "?r", "/dir/file?r"},
        {"/dir/file?q", "", "/dir/file?q"},
        {"/dir/file", "sub/x?a=/b", "/dir/sub/x?a=/b"},
        {"/a/c.htm", "./b.htm", "/a/b.htm"},
        {"/a/b/c.htm", "../x", "/a/x"},
        {"/a/b/c.htm", "../../x", "/x"},
        {"/a/b", "../../../x", "/x"},
        {"/a/b/c", "x/./y/../z", "/a/b/x/z"},
        {"/a/b/c", "..", "/a/"},
        {"/a/b/c", ".", "/a/b/"},
        {"nofolder", "../x", "/x"},
        {"nofolder", "./b.htm", "/b.htm"},
        {"", "x", "/x"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MergePath(c.Base, c.Relative), c.Merged) << c.Base << " + " << c.Relative;
}

// The examples of RFC 3986 section 5.4 against its base, then the non-strict reading
// and the cases the HTTP stacks met.
TEST(HttpWireReference, ResolvedReferences) {
    const char* const base = "http://a/b/c/d;p?q";
    struct {
        const char* Reference;
        const char* Target;
    } cases[] = {
        // 5.4.1 normal examples
        {"g:h", "g:h"}, {"g", "http://a/b/c/g"}, {"./g", "http://a/b/c/g"},
        {"g/", "http://a/b/c/g/"}, {"/g", "http://a/g"}, {"//g", "http://g"},
        {"?y", "http://a/b/c/d;p?y"}, {"g?y", "http://a/b/c/g?y"}, {"#s", "http://a/b/c/d;p?q#s"},
        {"g#s", "http://a/b/c/g#s"}, {"g?y#s", "http://a/b/c/g?y#s"}, {";x", "http://a/b/c/;x"},
        {"g;x", "http://a/b/c/g;x"}, {"g;x?y#s", "http://a/b/c/g;x?y#s"}, {"", "http://a/b/c/d;p?q"},
        {".", "http://a/b/c/"}, {"./", "http://a/b/c/"}, {"..", "http://a/b/"}, {"../", "http://a/b/"},
        {"../g", "http://a/b/g"}, {"../..", "http://a/"}, {"../../", "http://a/"}, {"../../g", "http://a/g"},
        // 5.4.2 abnormal examples
        {"../../../g", "http://a/g"}, {"../../../../g", "http://a/g"}, {"/./g", "http://a/g"},
        {"/../g", "http://a/g"}, {"g.", "http://a/b/c/g."}, {".g", "http://a/b/c/.g"},
        {"g..", "http://a/b/c/g.."}, {"..g", "http://a/b/c/..g"}, {"./../g", "http://a/b/g"},
        {"./g/.", "http://a/b/c/g/"}, {"g/./h", "http://a/b/c/g/h"}, {"g/../h", "http://a/b/c/h"},
        {"g;x=1/./y", "http://a/b/c/g;x=1/y"}, {"g;x=1/../y", "http://a/b/c/y"},
        {"g?y/./x", "http://a/b/c/g?y/./x"}, {"g?y/../x", "http://a/b/c/g?y/../x"},
        {"g#s/./x", "http://a/b/c/g#s/./x"}, {"g#s/../x", "http://a/b/c/g#s/../x"}, {"http:g", "http:g"},
        // an absolute reference loses its dot segments too; an empty query stays
        {"https://h:8443/x/../y?", "https://h:8443/y?"}, {"//h/./p#", "http://h/p#"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ResolveReference(base, c.Reference), c.Target) << c.Reference;

    EXPECT_EQ(ResolveReference(base, "http:g", false), "http://a/b/c/g");
    EXPECT_EQ(ResolveReference(base, "HTTP:?z", false), "http://a/b/c/d;p?z");
    EXPECT_EQ(ResolveReference(base, "https:g", false), "https:g");
    EXPECT_EQ(ResolveReference("http://h", "x"), "http://h/x");  // empty base path
    EXPECT_EQ(ResolveReference("http://h#f", "?q"), "http://h?q");
}

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

TEST(HttpWireHead, FieldValuesOfARawHead) {
    std::string raw = "HTTP/1.1 200 OK\r\nETag:  \"x\" \r\nSet: 1\r\nset: 2\r\nEmpty:\r\n\r\n";
    EXPECT_EQ(HeadFieldValue(raw, "etag"), "\"x\"");
    EXPECT_EQ(HeadFieldValue(raw, "SET"), "1");  // the first
    EXPECT_EQ(HeadFieldValue(raw, "Empty"), "");
    EXPECT_EQ(HeadFieldValue(raw, "Missing"), "");
    EXPECT_EQ(HeadFieldValue(raw, "HTTP/1.1 200 OK"), "");  // the status line is no header
    EXPECT_EQ(HeadFieldValue("", "ETag"), "");
    EXPECT_EQ(HeadFieldValue("HTTP/1.0 200 OK\nETag:  \"y\"\n", "etag"), "\"y\"");  // LF lines
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

TEST(HttpWireHead, TokenLists) {
    EXPECT_TRUE(ListHasToken("close", "close"));
    EXPECT_TRUE(ListHasToken("Keep-Alive, Upgrade", "keep-alive"));
    EXPECT_TRUE(ListHasToken(" upgrade ,\tCLOSE ", "close"));
    EXPECT_FALSE(ListHasToken("closed", "close"));
    EXPECT_FALSE(ListHasToken("keep-alive", "close"));
    EXPECT_FALSE(ListHasToken("", "close"));
    EXPECT_TRUE(ListHasToken("a,,", ""));  // an empty item is an empty token
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

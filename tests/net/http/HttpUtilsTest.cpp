// Tests of the HTTP utility routines: URL splitting (with ports, users, odd schemes and
// the relative forms), the encoders, the date text, PosNth and SetDocExt. Table-driven.
#include "net/http/HttpUtils.h"

#include <gtest/gtest.h>

namespace {

struct TSplitCase {
    const char* Url;
    const char* Base;  // the incoming path
    const char* Proto;
    const char* User;
    const char* Pass;
    const char* Host;
    const char* Port;
    const char* Path;
};

const TSplitCase SplitCases[] = {
    // url                                   base          proto     user   pass  host           port   path
    {"http://u:p@host.x:8080/a/b.htm?q=1", "", "http", "u", "p", "host.x", "8080", "/a/b.htm?q=1"},
    {"http://host.x/", "", "http", "", "", "host.x", "", "/"},
    {"http://host.x", "", "http", "", "", "host.x", "", ""},
    {"http://host.x?q=1", "", "http", "", "", "host.x", "", "?q=1"},
    {"http://u:p@host.x/a", "", "http", "u", "p", "host.x", "", "/a"},   // ":" only in the user part
    {"http://u@host.x:81", "", "http", "u", "", "host.x", "81", ""},
    {"ftp://host.x/f", "", "ftp", "", "", "host.x", "", "/f"},
    {"HTTPS://Host.X/P", "", "HTTPS", "", "", "Host.X", "", "/P"},        // nothing lower-cased
    {"host.x", "", "", "", "", "host.x", "", ""},                          // bare word: a host
    {"host.x:99/p", "", "", "", "", "host.x", "99", "/p"},
    {"page.htm", "/dir/x.htm", "", "", "", "page.htm", "", ""},           // a file name comes back as a host
    {"/abs/p?x=1", "/dir/", "http", "", "", "", "", "/abs/p?x=1"},
    {"//host.x/p", "", "http", "", "", "", "", "/host.x/p"},              // "//": empty host
    {"/", "", "http", "", "", "", "", ""},
    {"http:/x/y", "", "http", "", "", "", "", "/x/y"},
    {"Http:", "", "http", "", "", "", "", ""},
    {"mailto:me@host.x", "", "mailto", "me", "", "host.x", "", ""},
    {"./b.htm", "/a/c.htm", "", "", "", "", "", "/a/b.htm"},
    {"./b.htm", "nofolder", "", "", "", "", "", "/b.htm"},
    {"../x", "/a/b/c.htm", "", "", "", "", "", "/a/x"},
    {"../../x", "/a/b/c.htm", "", "", "", "", "", "/x"},
    {"../x", "nofolder", "", "", "", "", "", "/x"},
    {"../../../x", "/a/b", "", "", "", "", "", "/x"},
    {"", "/kept", "", "", "", "", "", ""},
    {"http://[::1]:80/", "", "http", "", "", "[::1]", "80", "/"},
};

TEST(SplitUrl, Table) {
    for (const TSplitCase& c : SplitCases) {
        std::string proto = "x", user = "x", pass = "x", host = "x", port = "x", path = c.Base;
        SplitUrl(c.Url, proto, user, pass, host, port, path);
        SCOPED_TRACE(c.Url);
        EXPECT_EQ(proto, c.Proto);
        EXPECT_EQ(user, c.User);
        EXPECT_EQ(pass, c.Pass);
        EXPECT_EQ(host, c.Host);
        EXPECT_EQ(port, c.Port);
        EXPECT_EQ(path, c.Path);
    }
}

TEST(EncodeBuffer, Table) {
    struct {
        TEncoding Enc;
        std::string In;
        const char* Out;
    } cases[] = {
        {encBase64, "", ""},
        {encBase64, "a", "YQ=="},
        {encBase64, "ab", "YWI="},
        {encBase64, "abc", "YWJj"},
        {encBase64Alt, "abcd", "YWJjZA=="},
        {encBase64, "user:pass", "dXNlcjpwYXNz"},
        {encBase64, std::string("\xff\x00\xfe", 3), "/wD+"},
        {encUULine, "Cat", "#0V%T"},
        {encUULine, "", " "},
        {encUULine, std::string(3, '\0'), "#````"},
        {encUULine, "a", "!80``"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.In);
        EXPECT_EQ(EncodeText(c.Enc, c.In), c.Out);
    }
}

TEST(FormatHttpDate, Table) {
    struct {
        TDateTime When;
        const char* Text;
    } cases[] = {
        {EncodeDateTime(2001, 1, 1), "Mon, 01 Jan 2001 00:00:00"},
        {EncodeDateTime(2001, 1, 1, 12, 34, 7), "Mon, 01 Jan 2001 12:34:07"},
        {EncodeDateTime(1999, 12, 31, 23, 59, 59), "Fri, 31 Dec 1999 23:59:59"},
        {EncodeDateTime(2024, 2, 29, 8, 5, 3), "Thu, 29 Feb 2024 08:05:03"},
        {0.0, "Sat, 30 Dec 1899 00:00:00"},
        {36892.99999999, "Mon, 01 Jan 2001 23:59:59"},  // rounds to the millisecond
        {1e300, "Fri, 31 Dec 9999 00:00:00"},           // clamped, not undefined
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Text);
        EXPECT_EQ(FormatHttpDate(c.When), c.Text);
    }
    EXPECT_EQ(EncodeDateTime(2001, 1, 1), 36892.0);
}

TEST(PosNth, Table) {
    struct {
        const char* Pattern;
        const char* Text;
        int N;
        size_t Result;
    } cases[] = {
        {"/", "/a/b/c", 1, 1},
        {"/", "/a/b/c", 2, 3},
        {"/", "/a/b/c", 3, 5},
        {"/", "/a/b/c", 5, 8},   // two missing: length 6 + 2
        {"/", "/a/b/c", -1, 5},
        {"/", "/a/b/c", -3, 1},
        {"/", "/a/b/c", -4, 0},
        {"/", "abc", -1, 0},
        {"/", "abc", 0, 0},
        {"aa", "aaaa", -1, 3},   // overlapping finds count
        {"aa", "aaaa", -3, 1},
        {"aa", "aaaa", 2, 2},
        {".", "file.tar.gz", -1, 9},
        {"", "abc", -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Pattern) + " in " + c.Text + " n=" + std::to_string(c.N));
        EXPECT_EQ(PosNth(c.Pattern, c.Text, c.N), c.Result);
    }
}

TEST(SetDocExt, Table) {
    struct {
        const char* Name;
        const char* Ext;
        const char* Result;
    } cases[] = {
        {"setup.exe", "htm", "setup.htm"},
        {"a.b.exe", "htm", "a.b.htm"},
        {"noext", "htm", "noext.htm"},
        {"trailing.", "htm", "trailing.htm"},
        {"", "htm", ".htm"},
    };
    for (const auto& c : cases) {
        std::string name = c.Name;
        SetDocExt(name, c.Ext);
        EXPECT_EQ(name, c.Result) << c.Name;
    }
}

TEST(HasControlBytes, Table) {
    EXPECT_FALSE(HasControlBytes("http://host/a b?x=\xe4"));
    EXPECT_TRUE(HasControlBytes("a\r\nX-Injected: 1"));
    EXPECT_TRUE(HasControlBytes(std::string("a\0b", 3)));
    EXPECT_TRUE(HasControlBytes("tab\there"));
    EXPECT_TRUE(HasControlBytes("del\x7f"));
}

}  // namespace

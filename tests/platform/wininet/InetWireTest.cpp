// The internet library's response reader at its bounds (the head's size limit, read from a
// buffer and from a server that sends a head of more than a mebibyte), and the redirect
// targets it follows or refuses.
#include "platform/wininet/InetWire.h"
#include "platform/wininet/WinInet.h"

#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A head of exactly Size bytes, blank line included.
std::string HeadOfSize(size_t size) {
    std::string head = "HTTP/1.1 200 OK\r\nX: ";
    head += std::string(size - head.size() - 4, 'x');
    return head + "\r\n\r\n";
}

DWORD ReadFromBuffer(const std::string& bytes, inetwire::TResponseHead& head) {
    inetwire::TInetSocket sock(-1);
    sock.Buffer = bytes;
    sock.Eof = true;
    return inetwire::ReadResponseHead(sock, 0, head);
}

TEST(InetWire, HeadUpToItsBoundIsRead) {
    inetwire::TResponseHead head;
    EXPECT_EQ(ReadFromBuffer(HeadOfSize(inetwire::MaxHeadBytes), head), ERROR_SUCCESS);
    EXPECT_EQ(head.Status, 200);
    EXPECT_EQ(head.Raw.size(), inetwire::MaxHeadBytes);
    EXPECT_EQ(ReadFromBuffer(HeadOfSize(inetwire::MaxHeadBytes + 1), head), ERROR_HTTP_INVALID_SERVER_RESPONSE);
    // Empty lines before the status line count towards the bound too.
    EXPECT_EQ(ReadFromBuffer("\r\n" + HeadOfSize(inetwire::MaxHeadBytes - 1), head), ERROR_HTTP_INVALID_SERVER_RESPONSE);
}

TEST(InetWire, HeadOfMoreThanOneMebibyteFailsTheSend) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    while (head.size() <= (1u << 20)) head += "X-Filler: " + std::string(100, 'f') + "\r\n";
    TScriptedServer server({TScript().ReadRequest().Send(head).Hang()});
    HINTERNET session = InternetOpenA("", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    std::string name = "127.0.0.1:" + std::to_string(server.Port());
    HINTERNET conn = InternetConnectA(session, name.c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET req = HttpOpenRequestA(conn, "GET", "/", "HTTP/1.0", nullptr, nullptr, 0, 0);
    EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_SERVER_RESPONSE);
    InternetCloseHandle(session);
}

TEST(InetWire, RedirectTargetsByTheSharedLocationRules) {
    struct {
        const char* Location;
        bool Followed;
        const char* Scheme;  // of a refused target
        const char* Host;
        int Port;
        const char* Object;
    } cases[] = {
        {"?r=2", true, "", "h", 81, "/dir/file?r=2"},
        {"../up", true, "", "h", 81, "/up"},
        {"./same", true, "", "h", 81, "/dir/same"},
        {"http:/abs", true, "", "h", 81, "/abs"},
        {"//u:p@o:82/x", true, "", "o", 82, "/x"},
        {"localhost:8080/x", true, "", "h", 81, "/dir/localhost:8080/x"},
        {"///etc/passwd", false, "", "", 0, ""},
        {"//o:0/x", false, "", "", 0, ""},
        // Former bugs: a scheme without "//" was taken as a relative path and followed.
        {"javascript:alert(1)", false, "javascript", "", 0, ""},
        {"file:/etc/passwd", false, "file", "", 0, ""},
        {"https:/h/p", false, "", "", 0, ""},  // an https target without a host
        {"data:text/html,x", false, "data", "", 0, ""},
    };
    for (const auto& c : cases) {
        std::string host = "h", object = "/dir/file?q", scheme;
        uint16_t port = 81;
        SCOPED_TRACE(c.Location);
        ASSERT_EQ(inetwire::ResolveLocation(c.Location, host, port, object, scheme), c.Followed);
        if (!c.Followed) {
            EXPECT_EQ(scheme, c.Scheme);
            continue;
        }
        EXPECT_EQ(scheme, "http");
        EXPECT_EQ(host, c.Host);
        EXPECT_EQ(port, c.Port);
        EXPECT_EQ(object, c.Object);
    }
}

// The examples of RFC 3986 section 5.4 from its base "http://a/b/c/d;p?q", as redirect
// targets: the object name the next request asks for (fragments are never sent), or
// refused for another scheme. "http:g" is read as the non-strict parsers read it.
TEST(InetWire, RedirectTargetsResolveAsRfc3986Examples) {
    struct {
        const char* Location;
        const char* Host;
        const char* Object;  // null: refused
    } cases[] = {
        {"g:h", "", nullptr}, {"g", "a", "/b/c/g"}, {"./g", "a", "/b/c/g"}, {"g/", "a", "/b/c/g/"},
        {"/g", "a", "/g"}, {"//g", "g", "/"}, {"?y", "a", "/b/c/d;p?y"}, {"g?y", "a", "/b/c/g?y"},
        {"#s", "a", "/b/c/d;p?q"}, {"g#s", "a", "/b/c/g"}, {"g?y#s", "a", "/b/c/g?y"}, {";x", "a", "/b/c/;x"},
        {"g;x", "a", "/b/c/g;x"}, {"g;x?y#s", "a", "/b/c/g;x?y"}, {"", "a", nullptr}, {".", "a", "/b/c/"},
        {"./", "a", "/b/c/"}, {"..", "a", "/b/"}, {"../", "a", "/b/"}, {"../g", "a", "/b/g"},
        {"../..", "a", "/"}, {"../../", "a", "/"}, {"../../g", "a", "/g"},
        // The abnormal examples (5.4.2).
        {"../../../g", "a", "/g"}, {"../../../../g", "a", "/g"}, {"/./g", "a", "/g"}, {"/../g", "a", "/g"},
        {"g.", "a", "/b/c/g."}, {".g", "a", "/b/c/.g"}, {"g..", "a", "/b/c/g.."}, {"..g", "a", "/b/c/..g"},
        {"./../g", "a", "/b/g"}, {"./g/.", "a", "/b/c/g/"}, {"g/./h", "a", "/b/c/g/h"}, {"g/../h", "a", "/b/c/h"},
        {"g;x=1/./y", "a", "/b/c/g;x=1/y"}, {"g;x=1/../y", "a", "/b/c/y"}, {"g?y/./x", "a", "/b/c/g?y/./x"},
        {"g?y/../x", "a", "/b/c/g?y/../x"}, {"g#s/./x", "a", "/b/c/g"}, {"g#s/../x", "a", "/b/c/g"},
        {"http:g", "a", "/b/c/g"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Location);
        std::string host = "a", object = "/b/c/d;p?q", scheme;
        uint16_t port = 80;
        bool secure = false;
        // An empty Location is no target at all.
        ASSERT_EQ(inetwire::ResolveLocation(c.Location, secure, host, port, object, scheme), c.Object != nullptr);
        if (!c.Object) continue;
        EXPECT_EQ(host, c.Host);
        EXPECT_EQ(port, 80);
        EXPECT_EQ(object, c.Object);
        EXPECT_FALSE(secure);
    }
}

TEST(InetWire, RedirectTargetsBetweenTheSchemes) {
    struct {
        bool FromSecure;
        const char* Location;
        bool Followed;
        bool Secure;
        int Port;
        const char* Scheme;
    } cases[] = {
        {false, "https://h/x", true, true, 443, "https"},
        {false, "HTTPS://h:8443/x", true, true, 8443, "https"},
        {true, "/x", true, true, 81, "https"},
        {true, "//o/x", true, true, 443, "https"},
        {true, "https://o/x", true, true, 443, "https"},
        {true, "http://h:81/x", false, true, 81, "http"},
        {true, "ftp://h/x", false, true, 81, "ftp"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Location);
        std::string host = "h", object = "/d/f", scheme;
        uint16_t port = 81;
        bool secure = c.FromSecure;
        EXPECT_EQ(inetwire::ResolveLocation(c.Location, secure, host, port, object, scheme), c.Followed);
        EXPECT_EQ(scheme, c.Scheme);
        EXPECT_EQ(secure, c.Secure);
        EXPECT_EQ(port, c.Port);
    }
}

}  // namespace

// Internet library: request composition, body framing, redirects, queries, time-outs,
// aborting from another thread, refused texts, and the proxy and redirect helpers.
// Byte-level exchanges are the case files in cases/, replayed by the scripted server.
#include "platform/wininet/InetWire.h"
#include "platform/wininet/WinInet.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <thread>

namespace {

std::string CaseDir() { return std::string(ALBRIVO_SOURCE_DIR) + "/tests/platform/wininet/cases/"; }

std::vector<std::string> CaseNames() {
    std::vector<std::string> names;
    DIR* d = ::opendir(CaseDir().c_str());
    for (dirent* e; d && (e = ::readdir(d));) {
        std::string n = e->d_name;
        if (n.size() > 5 && n.compare(n.size() - 5, 5, ".case") == 0) names.push_back(n);
    }
    if (d) ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// Owns a handle for the length of a test.
struct THandleGuard {
    HINTERNET H;
    explicit THandleGuard(HINTERNET h) : H(h) {}
    ~THandleGuard() {
        if (H) InternetCloseHandle(H);
    }
    operator HINTERNET() const { return H; }
};

// What one request gave.
struct TOutcome {
    BOOL Sent = FALSE;
    DWORD SendError = 0;
    DWORD Status = 0;
    std::string Body;
    DWORD ReadError = 0;  // 0: the body ended properly
};

struct TRequestArgs {
    std::string Server;
    std::string Verb = "GET";
    std::string Object = "/a?q=1";
    std::string Post, User, Password, Referer;
    DWORD Flags = 0;
    DWORD ReceiveTimeoutMs = 0;  // 0: the default
};

TOutcome RunRequest(const TRequestArgs& a) {
    TOutcome out;
    THandleGuard session(InternetOpenA("Case Agent", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    if (a.ReceiveTimeoutMs)
        InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, const_cast<DWORD*>(&a.ReceiveTimeoutMs), 4);
    THandleGuard conn(InternetConnectA(session, a.Server.c_str(), INTERNET_DEFAULT_HTTP_PORT,
                                       a.User.c_str(), a.Password.c_str(), INTERNET_SERVICE_HTTP, 0, 0));
    LPCSTR accept[] = {"*/*", nullptr};
    THandleGuard req(HttpOpenRequestA(conn, a.Verb.c_str(), a.Object.c_str(), "HTTP/1.0",
                                      a.Referer.c_str(), accept, a.Flags, 0));
    const char* form = "Content-Type: application/x-www-form-urlencoded";
    bool post = !a.Post.empty();
    out.Sent = HttpSendRequestA(req, post ? form : nullptr, post ? DWORD(strlen(form)) : 0,
                                post ? const_cast<char*>(a.Post.data()) : nullptr, DWORD(a.Post.size()));
    if (!out.Sent) {
        out.SendError = GetLastError();
        return out;
    }
    DWORD len = sizeof out.Status;
    HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &out.Status, &len, nullptr);
    for (;;) {
        char buf[7];
        DWORD got = 0;
        if (!InternetReadFile(req, buf, sizeof buf, &got)) {
            out.ReadError = GetLastError();
            break;
        }
        if (got == 0) break;
        out.Body.append(buf, got);
    }
    return out;
}

std::string Server(int port) { return "127.0.0.1:" + std::to_string(port); }

}  // namespace

// ---- case files ---------------------------------------------------------------------------

TEST(WinInet, CaseFiles) {
    std::vector<std::string> names = CaseNames();
    ASSERT_GE(names.size(), 10u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TCaseFile c = LoadCaseFile(CaseDir() + name);
        TScriptedServer server(c.Scripts, 3000);
        TRequestArgs a;
        a.Server = Server(server.Port());
        a.Verb = c.Field("verb", "GET");
        a.Post = c.Field("post");
        a.User = c.Field("user");
        a.Password = c.Field("password");
        a.Referer = c.Field("referer");
        TOutcome out = RunRequest(a);
        DWORD sendError = DWORD(std::stoul(c.Field("send-error", "0")));
        EXPECT_EQ(out.SendError, sendError);
        if (sendError) continue;
        EXPECT_EQ(out.Status, DWORD(std::stoul(c.Field("status"))));
        EXPECT_EQ(out.Body, DecodeEscapes(c.Field("body")));
        EXPECT_EQ(out.ReadError, DWORD(std::stoul(c.Field("read-error", "0"))));
        ASSERT_TRUE(server.WaitForFinished(int(c.Scripts.size()), 3000));
        std::string expected = c.Section("request");
        if (!expected.empty()) {
            EXPECT_EQ(server.Received(0), ExpandPort(expected, server.Port()));
        }
        std::string second = c.Field("second-request");
        if (!second.empty()) {
            EXPECT_EQ(server.Received(1), ExpandPort(DecodeEscapes(second), server.Port()));
        }
    }
}

// ---- failures that involve time or other threads -----------------------------------------------

TEST(WinInet, RefusedPortFailsTheSend) {
    TRequestArgs a;
    a.Server = Server(FreeLoopbackPort());
    TOutcome out = RunRequest(a);
    EXPECT_FALSE(out.Sent);
    EXPECT_EQ(out.SendError, ERROR_INTERNET_CANNOT_CONNECT);
}

TEST(WinInet, SilentServerTimesOut) {
    TScriptedServer server({TScript().Hang()});
    TRequestArgs a;
    a.Server = Server(server.Port());
    a.ReceiveTimeoutMs = 200;
    auto start = std::chrono::steady_clock::now();
    TOutcome out = RunRequest(a);
    EXPECT_EQ(out.SendError, ERROR_INTERNET_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

TEST(WinInet, ResetWhileReadingIsAnError) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\npart").Delay(50).Reset()});
    TRequestArgs a;
    a.Server = Server(server.Port());
    TOutcome out = RunRequest(a);
    EXPECT_TRUE(out.Sent);
    EXPECT_EQ(out.ReadError, ERROR_INTERNET_CONNECTION_RESET);
}

TEST(WinInet, TooManyRedirectsFail) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 302 Found\r\nLocation: /again\r\n\r\n").Close()});
    TRequestArgs a;
    a.Server = Server(server.Port());
    TOutcome out = RunRequest(a);
    EXPECT_EQ(out.SendError, ERROR_HTTP_REDIRECT_FAILED);
    EXPECT_EQ(server.ConnectionCount(), 11);
}

TEST(WinInet, CloseFromAnotherThreadAbortsABlockedRead) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nab").Hang()});
    HINTERNET session = InternetOpenA("", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0);
    HINTERNET conn = InternetConnectA(session, Server(server.Port()).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0);
    HINTERNET req = HttpOpenRequestA(conn, "GET", "/", "HTTP/1.0", nullptr, nullptr, 0, 0);
    ASSERT_TRUE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        InternetCloseHandle(session);  // closes the connection and the request below it
    });
    auto start = std::chrono::steady_clock::now();
    char buf[16];
    DWORD got = 0;
    EXPECT_TRUE(InternetReadFile(req, buf, sizeof buf, &got));  // the two bytes that came
    EXPECT_EQ(got, 2u);
    EXPECT_FALSE(InternetReadFile(req, buf, sizeof buf, &got));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    closer.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(InternetCloseHandle(req));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(WinInet, CloseFromAnotherThreadAbortsABlockedConnect) {
    TStalledListener stalled;
    THandleGuard session(InternetOpenA("", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    THandleGuard conn(InternetConnectA(session, Server(stalled.Port()).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    HINTERNET req = HttpOpenRequestA(conn, "GET", "/", nullptr, nullptr, nullptr, 0, 0);
    std::thread closer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        InternetCloseHandle(req);
    });
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    closer.join();
}

// Which bound ran out, for callers that report it.
TEST(WinInet, ExpiredTimeoutNamesTheWaitThatRanOut) {
    TStalledListener stalled;
    TScriptedServer silent({TScript().Hang()});
    TScriptedServer stalling({TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nab").Hang()});
    struct { int Port; bool InBody; DWORD Expired; } cases[] = {
        {stalled.Port(), false, INTERNET_OPTION_CONNECT_TIMEOUT},
        {silent.Port(), false, INTERNET_OPTION_RECEIVE_TIMEOUT},
        {stalling.Port(), true, INTERNET_OPTION_RECEIVE_TIMEOUT},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Port);
        THandleGuard session(InternetOpenA("", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
        DWORD shortWait = 200;
        InternetSetOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &shortWait, 4);
        InternetSetOptionA(session, INTERNET_OPTION_RECEIVE_TIMEOUT, &shortWait, 4);
        THandleGuard conn(InternetConnectA(session, Server(c.Port).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
        THandleGuard req(HttpOpenRequestA(conn, "GET", "/", nullptr, nullptr, nullptr, 0, 0));
        BOOL sent = HttpSendRequestA(req, nullptr, 0, nullptr, 0);
        EXPECT_EQ(sent != FALSE, c.InBody);
        if (sent) {
            char buf[16];
            DWORD got = 0;
            EXPECT_TRUE(InternetReadFile(req, buf, sizeof buf, &got));
            EXPECT_EQ(got, 2u);
            EXPECT_FALSE(InternetReadFile(req, buf, sizeof buf, &got));
        }
        EXPECT_EQ(GetLastError(), ERROR_INTERNET_TIMEOUT);
        DWORD expired = 0, len = 4;
        ASSERT_TRUE(InternetQueryOptionA(req, INTERNET_OPTION_EXPIRED_TIMEOUT, &expired, &len));
        EXPECT_EQ(expired, c.Expired);
    }
}

// ---- refused texts: the call fails and nothing reaches the server ---------------------------------

TEST(WinInet, ControlBytesAreRefusedBeforeAnythingIsSent) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\n").Close()});
    std::string host = Server(server.Port());
    THandleGuard session(InternetOpenA("a", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    EXPECT_EQ(InternetConnectA(session, (host + "\r\nX: y").c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_URL);
    EXPECT_EQ(InternetOpenA("agent\r\nX: y", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    THandleGuard conn(InternetConnectA(session, host.c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    struct { const char* Object; const char* Referer; const char* Verb; DWORD Error; } opens[] = {
        {"/a\r\nHost: evil", nullptr, "GET", ERROR_INTERNET_INVALID_URL},
        {"/a\n", nullptr, "GET", ERROR_INTERNET_INVALID_URL},
        {"/a\x01", nullptr, "GET", ERROR_INTERNET_INVALID_URL},
        {"/a", "http://x/\r\nX: y", "GET", ERROR_INVALID_PARAMETER},
        {"/a", nullptr, "GET /x", ERROR_INVALID_PARAMETER},
    };
    for (const auto& o : opens) {
        EXPECT_EQ(HttpOpenRequestA(conn, o.Verb, o.Object, "HTTP/1.0", o.Referer, nullptr, 0, 0), nullptr) << o.Object;
        EXPECT_EQ(GetLastError(), o.Error) << o.Object;
    }
    THandleGuard req(HttpOpenRequestA(conn, "GET", "/", "HTTP/1.0", nullptr, nullptr, 0, 0));
    for (const char* headers : {"X: a\rb", "X: a\r\nbad line", "X: \x7f"}) {
        EXPECT_FALSE(HttpSendRequestA(req, headers, DWORD(-1), nullptr, 0)) << headers;
        EXPECT_EQ(GetLastError(), ERROR_HTTP_INVALID_HEADER);
    }
    EXPECT_EQ(server.ConnectionCount(), 0);
}

// ---- queries --------------------------------------------------------------------------------------

TEST(WinInet, QueryInfoBuffersIndexesAndAbsentHeaders) {
    TScriptedServer server({TScript().ReadRequest().Send(
        "HTTP/1.1 200 Fine\r\nSet: one\r\nSet: two\r\nContent-Length: 0\r\n\r\n").Close()});
    THandleGuard session(InternetOpenA("", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    THandleGuard c2(InternetConnectA(session, Server(server.Port()).c_str(), 0, nullptr, nullptr, INTERNET_SERVICE_HTTP, 0, 0));
    THandleGuard req(HttpOpenRequestA(c2, nullptr, nullptr, nullptr, nullptr, nullptr, 0, 0));
    char buf[64];
    DWORD len = sizeof buf;
    EXPECT_FALSE(HttpQueryInfoA(req, HTTP_QUERY_STATUS_CODE, buf, &len, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    ASSERT_TRUE(HttpSendRequestA(req, nullptr, 0, nullptr, 0));

    len = sizeof buf;
    ASSERT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_STATUS_TEXT, buf, &len, nullptr));
    EXPECT_EQ(std::string(buf, len), "Fine");
    len = 2;
    EXPECT_FALSE(HttpQueryInfoA(req, HTTP_QUERY_STATUS_TEXT, buf, &len, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(len, 5u);
    len = sizeof buf;
    EXPECT_FALSE(HttpQueryInfoA(req, HTTP_QUERY_CONTENT_TYPE, buf, &len, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);

    DWORD index = 0;
    std::vector<std::string> values;
    for (;;) {
        std::strcpy(buf, "set");
        len = sizeof buf;
        if (!HttpQueryInfoA(req, HTTP_QUERY_CUSTOM, buf, &len, &index)) break;
        values.emplace_back(buf, len);
    }
    EXPECT_EQ(values, (std::vector<std::string>{"one", "two"}));
    EXPECT_EQ(GetLastError(), ERROR_HTTP_HEADER_NOT_FOUND);

    char head[128];
    len = sizeof head;
    ASSERT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS, head, &len, nullptr));
    EXPECT_EQ(std::string(head, len), "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.Port()) +
                                          "\r\nConnection: Keep-Alive\r\n\r\n");
    DWORD number = 0;
    len = sizeof number;
    ASSERT_TRUE(HttpQueryInfoA(req, HTTP_QUERY_CONTENT_LENGTH | HTTP_QUERY_FLAG_NUMBER, &number, &len, nullptr));
    EXPECT_EQ(number, 0u);
    EXPECT_EQ(len, 4u);
}

// ---- helpers: proxy settings, bypass lists, redirect targets, server names -----------------------

TEST(WinInet, ProxyTextsAndBypassLists) {
    inetwire::TProxy p;
    ASSERT_TRUE(inetwire::ParseProxy("http://u:pw@127.0.0.1:3128/", p));
    EXPECT_EQ(p.Host, "127.0.0.1");
    EXPECT_EQ(p.Port, 3128);
    EXPECT_EQ(p.Credentials, "u:pw");
    ASSERT_TRUE(inetwire::ParseProxy("proxy.lan", p));
    EXPECT_EQ(p.Port, 80);
    EXPECT_FALSE(inetwire::ParseProxy("socks5://127.0.0.1:1080", p));
    EXPECT_FALSE(inetwire::ParseProxy("127.0.0.1:99999", p));

    struct { const char* List; const char* Host; bool Bypassed; } cases[] = {
        {"*", "anything", true},
        {"localhost,127.0.0.1", "127.0.0.1", true},
        {"example.com", "www.Example.COM", true},
        {".example.com", "example.com", true},
        {"example.com", "badexample.com", false},
        {"127.0.0.1:8080", "127.0.0.1", true},
        {"", "127.0.0.1", false},
        {"other, ,x", "127.0.0.1", false},
    };
    for (const auto& c : cases) EXPECT_EQ(inetwire::Bypassed(c.List, c.Host), c.Bypassed) << c.List << " " << c.Host;
}

TEST(WinInet, RedirectTargets) {
    struct { const char* Location; const char* Host; int Port; const char* Object; bool Ok; } cases[] = {
        {"/x?y=1", "h", 81, "/x?y=1", true},
        {"z", "h", 81, "/dir/z", true},
        {"http://Other:8080", "Other", 8080, "/", true},
        {"HTTP://o/p#f", "o", 80, "/p", true},
        {"//o2/p", "o2", 80, "/p", true},
        {"https://o/p", "h", 81, "/dir/file?q", false},
        {"/a\r\nX: y", "h", 81, "/dir/file?q", false},
    };
    for (const auto& c : cases) {
        std::string host = "h", object = "/dir/file?q", scheme;
        uint16_t port = 81;
        EXPECT_EQ(inetwire::ResolveLocation(c.Location, host, port, object, scheme), c.Ok) << c.Location;
        if (!c.Ok) continue;
        EXPECT_EQ(host, c.Host) << c.Location;
        EXPECT_EQ(port, c.Port) << c.Location;
        EXPECT_EQ(object, c.Object) << c.Location;
    }
    std::string host;
    uint16_t port;
    EXPECT_TRUE(inetwire::SplitServerName("127.0.0.1:18690", 80, host, port));
    EXPECT_EQ(port, 18690);
    EXPECT_FALSE(inetwire::SplitServerName(":80", 80, host, port));
    EXPECT_FALSE(inetwire::SplitServerName("h:0", 80, host, port));
    EXPECT_FALSE(inetwire::SplitServerName("h/x", 80, host, port));
    EXPECT_EQ(inetwire::Base64("ann:secret"), "YW5uOnNlY3JldA==");
    EXPECT_EQ(inetwire::Base64("ab"), "YWI=");
}

TEST(WinInet, ProcessDefaultTimeoutsReachNewHandles) {
    DWORD saved = 0, len = 4;
    ASSERT_TRUE(InternetQueryOptionA(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &saved, &len));
    EXPECT_EQ(saved, 10000u);
    DWORD shorter = 1234;
    ASSERT_TRUE(InternetSetOptionA(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &shorter, 4));
    THandleGuard session(InternetOpenA("", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0));
    DWORD got = 0;
    len = 4;
    ASSERT_TRUE(InternetQueryOptionA(session, INTERNET_OPTION_CONNECT_TIMEOUT, &got, &len));
    EXPECT_EQ(got, 1234u);
    InternetSetOptionA(nullptr, INTERNET_OPTION_CONNECT_TIMEOUT, &saved, 4);
    EXPECT_FALSE(InternetSetOptionA(session, 999, &got, 4));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INVALID_OPTION);
}

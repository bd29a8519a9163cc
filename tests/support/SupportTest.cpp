// Test support: the scripted server's actions, case files, and the child-process servers.
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedServer.h"

#include "platform/rtl/Classes.h"
#include "platform/rtl/FileSys.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// A blocking loopback client: sends Request, then reads until the server closes (or
// resets, or 3 s pass). Returns what it read; Reset is set when the read ended in error.
std::string Exchange(int port, const std::string& request, bool* reset = nullptr) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
    std::string got;
    bool failed = false;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 3000) != 1) { failed = true; break; }
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0) failed = true;
        if (n <= 0) break;
        got.append(buf, size_t(n));
    }
    ::close(fd);
    if (reset) *reset = failed;
    return got;
}

std::string CaseDir() { return std::string(ALBRIVO_SOURCE_DIR) + "/tests/support/cases/"; }

}  // namespace

TEST(ScriptedServer, PlaysScriptsInAcceptOrderAndRecordsRequests) {
    TScriptedServer server({TScript().ReadRequest().Send("one").Close(),
                            TScript().ReadRequest().Delay(20).Send("two")});
    EXPECT_EQ(Exchange(server.Port(), "GET / HTTP/1.0\r\n\r\n"), "one");
    EXPECT_EQ(Exchange(server.Port(), "POST /p HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc"), "two");
    EXPECT_EQ(Exchange(server.Port(), "GET /again HTTP/1.0\r\n\r\n"), "two");  // last repeats
    ASSERT_TRUE(server.WaitForFinished(3, 3000));
    EXPECT_EQ(server.ConnectionCount(), 3);
    EXPECT_EQ(server.Received(0), "GET / HTTP/1.0\r\n\r\n");
    EXPECT_EQ(server.Received(1), "POST /p HTTP/1.0\r\nContent-Length: 3\r\n\r\nabc");
}

TEST(ScriptedServer, ResetIsSeenAsAnError) {
    TScriptedServer server({TScript().ReadRequest().Reset()});
    bool reset = false;
    // Unread request bytes are not left over, so make the reset explicit by sending more.
    Exchange(server.Port(), "GET / HTTP/1.0\r\n\r\n", &reset);
    EXPECT_TRUE(reset);
}

TEST(ScriptedServer, DestructorEndsAHangingConnectionQuickly) {
    auto start = std::chrono::steady_clock::now();
    int port;
    {
        TScriptedServer server({TScript().Hang()});
        port = server.Port();
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_TRUE(server.WaitForConnections(1, 2000));
        ::close(fd);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ScriptedServer, LoopServesRequestsOnOneConnectionUntilThePeerCloses) {
    TCaseFile c = ParseCaseText("[reply]\nok\\\n[script]\nread-request\nsend\nloop\n");
    ASSERT_EQ(c.Scripts.size(), 1u);
    ASSERT_EQ(c.Scripts[0].Steps.size(), 3u);
    EXPECT_EQ(c.Scripts[0].Steps[2].Kind, TScriptStep::Loop);
    TScriptedServer server(c.Scripts);
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(server.Port()));
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    for (int i = 0; i < 3; ++i) {
        std::string request = "GET /" + std::to_string(i) + " HTTP/1.1\r\n\r\n";
        ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
        char buf[2];
        pollfd p{fd, POLLIN, 0};
        ASSERT_EQ(::poll(&p, 1, 3000), 1);
        EXPECT_EQ(::recv(fd, buf, sizeof buf, MSG_WAITALL), 2);
    }
    EXPECT_FALSE(server.WaitForFinished(1, 50));
    ::close(fd);
    EXPECT_TRUE(server.WaitForFinished(1, 3000));
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(server.RequestCount(0), 3);
    EXPECT_EQ(server.TotalRequestCount(), 3);
}

TEST(StalledListener, ConnectsDoNotComplete) {
    TStalledListener stalled;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(stalled.Port()));
    EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    pollfd p{fd, POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 200), 0);  // still connecting
    ::close(fd);
}

TEST(CaseFile, EscapesSectionsAndScripts) {
    TCaseFile c = LoadCaseFile(CaseDir() + "sample.case");
    EXPECT_EQ(c.Field("status"), "200");
    EXPECT_EQ(c.Field("missing", "x"), "x");
    EXPECT_EQ(ExpandPort(c.Section("request"), 81), "GET /a HTTP/1.0\r\nHost: 127.0.0.1:81\r\n\r\n");
    EXPECT_EQ(c.Section("reply"), "HTTP/1.0 200 OK\r\nContent-Length: 6\r\n\r\nhello\n");
    ASSERT_EQ(c.Scripts.size(), 2u);

    TScriptedServer server(c.Scripts);
    std::string request = ExpandPort(c.Section("request"), server.Port());
    EXPECT_EQ(Exchange(server.Port(), request), "HTTP/1.0 2");
    EXPECT_EQ(Exchange(server.Port(), request), c.Section("reply"));
}

TEST(CaseFile, RejectsBadLines) {
    struct { const char* Text; const char* Message; } cases[] = {
        {"junk\n", "Case file line 1: text before the first section"},
        {"[info]\nnovalue\n", "Case file line 2: expected name = value"},
        {"[reply]\nx\\q\n", "Case file line 2: Unknown escape \\q"},
        {"[reply]\n\\x4\n", "Case file line 2: Bad \\x escape"},
        {"[script]\nfly\n", "Case file line 2: unknown script action 'fly'"},
        {"[script]\nsend body\n", "Case file line 2: no section [body]"},
    };
    for (const auto& c : cases) {
        try {
            ParseCaseText(c.Text);
            ADD_FAILURE() << c.Text;
        } catch (const Exception& e) {
            EXPECT_EQ(e.Message(), c.Message);
        }
    }
}

TEST(ChildProcess, PythonHttpServerServesAFile) {
    std::string dir = PrivateTempDir() + "support-www/";
    ASSERT_TRUE(ForceDirectories(dir));
    TStringList l;
    l.Add("hi");
    l.SaveToFile(dir + "f.txt");
    TServerProcess s = StartPythonHttpServer(dir);
    std::string reply = Exchange(s.Port, "GET /f.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.substr(0, 12), "HTTP/1.0 200");
    EXPECT_EQ(reply.substr(reply.size() - 4), "hi\r\n");
}

TEST(ChildProcess, TinyProxyForwardsToTheScriptedServer) {
    TScriptedServer origin({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\nvia").Close()});
    TServerProcess proxy = StartTinyProxy();
    std::string url = "http://127.0.0.1:" + std::to_string(origin.Port()) + "/x";
    std::string reply = Exchange(proxy.Port, "GET " + url + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(reply.substr(reply.size() - 3), "via");
    ASSERT_TRUE(origin.WaitForFinished(1, 3000));
    EXPECT_EQ(origin.Received(0).substr(0, 11), "GET /x HTTP");
}

TEST(ChildProcess, ExitStatusAndCapturedOutput) {
    TChildProcess p({"sh", "-c", "echo out; exit 3"}, true);
    EXPECT_EQ(p.Wait(5000), 3);
    EXPECT_EQ(p.Output(), "out\n");
    EXPECT_THROW(TChildProcess({"/nonexistent/program"}), Exception);
}

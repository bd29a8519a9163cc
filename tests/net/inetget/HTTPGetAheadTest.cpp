// Requests ahead: a getter told what follows sends those requests on its connection before
// the running transfer's answer arrives, and every transfer still gets its own answer.
// The loopback server here holds its answers until it has received a given number of
// requests (or a bound has passed), so it tells whether the requests really went ahead.
#include "tests/net/inetget/GetterFixture.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

class THoldingServer {
public:
    explicit THoldingServer(int holdFor) : FHoldFor(holdFor) {
        FListen = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(FListen, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(FListen, reinterpret_cast<sockaddr*>(&a), &len);
        FPort = ntohs(a.sin_port);
        ::listen(FListen, 8);
        FThread = std::thread([this] { Serve(); });
    }
    ~THoldingServer() {
        FQuit = true;
        FThread.join();
        ::close(FListen);
    }
    std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(FPort) + path; }
    int Connections() const { return FConnections; }
    int HeldRequests() const { return FHeld; }  // requests received before the first answer

private:
    void Serve() {
        while (!FQuit) {
            pollfd p{FListen, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) continue;
            int fd = ::accept(FListen, nullptr, nullptr);
            if (fd < 0) continue;
            ++FConnections;
            ServeConnection(fd);
            ::close(fd);
        }
    }
    // Answers the requests of one connection in order, each with its own path as body;
    // the first answer waits until FHoldFor requests came or a second passed.
    void ServeConnection(int fd) {
        std::string in;
        std::vector<std::string> paths;
        bool holding = FConnections == 1;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (!FQuit) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                char buf[4096];
                ssize_t n = ::recv(fd, buf, sizeof buf, 0);
                if (n <= 0) return;
                in.append(buf, size_t(n));
            }
            for (size_t end; (end = in.find("\r\n\r\n")) != std::string::npos; in.erase(0, end + 4)) {
                size_t sp = in.find(' ');
                paths.push_back(in.substr(sp + 1, in.find(' ', sp + 1) - sp - 1));
            }
            if (holding && int(paths.size()) < FHoldFor && std::chrono::steady_clock::now() < until) continue;
            if (holding) FHeld = int(paths.size());
            holding = false;
            for (const std::string& path : paths) {
                std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(path.size()) + "\r\n\r\n" + path;
                if (::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) return;
            }
            paths.clear();
        }
    }

    int FHoldFor;
    int FListen = -1;
    int FPort = 0;
    std::atomic<bool> FQuit{false};
    std::atomic<int> FConnections{0}, FHeld{0};
    std::thread FThread;
};

class HTTPGetAhead : public ::testing::Test {
protected:
    static std::vector<THTTPGetNext> Next(const THoldingServer& server, std::vector<std::string> paths) {
        std::vector<THTTPGetNext> next;
        for (const std::string& path : paths) next.push_back(THTTPGetNext{server.Url(path), 0, ""});
        return next;
    }
    std::string Dir = PrivateTempDir();
    bool Fetch(THTTPGet& g, THoldingServer& server, const std::string& path, std::vector<THTTPGetNext> next) {
        g.SetAhead(std::move(next));
        g.SetURL(server.Url(path));
        g.SetFileName(Dir + path.substr(1) + ".txt");
        g.SetWaitThread(true);
        g.StartTransfer();
        return g.LastResult() && ReadFile(Dir + path.substr(1) + ".txt") == path;
    }
};

TEST_F(HTTPGetAhead, TheRequestsThatFollowGoOutBeforeTheFirstAnswerOnOneConnection) {
    THoldingServer server(3);
    THTTPGet g(nullptr);
    g.SetAheadLimit(8);
    EXPECT_TRUE(Fetch(g, server, "/a", Next(server, {"/b", "/c"})));
    EXPECT_TRUE(Fetch(g, server, "/b", Next(server, {"/c"})));
    EXPECT_TRUE(Fetch(g, server, "/c", {}));
    EXPECT_EQ(server.HeldRequests(), 3);
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(HTTPGetAhead, ATransferOtherThanTheOneAheadGetsItsOwnAnswer) {
    struct TCase { const char* Name; int Limit; std::vector<std::string> Order; };
    const TCase cases[] = {
        {"the owner changed its plans", 4, {"/a", "/x", "/b"}},
        {"the line was not taken in order", 4, {"/a", "/c", "/b"}},
        {"no requests ahead", 0, {"/a", "/b", "/c"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        THoldingServer server(1);
        THTTPGet g(nullptr);
        g.SetAheadLimit(c.Limit);
        EXPECT_TRUE(Fetch(g, server, c.Order[0], Next(server, {"/b", "/c"})));
        EXPECT_TRUE(Fetch(g, server, c.Order[1], Next(server, {"/c"})));
        EXPECT_TRUE(Fetch(g, server, c.Order[2], {}));
    }
}

}  // namespace

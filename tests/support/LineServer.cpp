// LineServer: the pipelining loopback server (see LineServer.h).
#include "tests/support/LineServer.h"


#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace {
using TClock = std::chrono::steady_clock;
}  // namespace

TLineServer::TLineServer(TLineServerRules rules) : FRules(rules) {
    FAcceptor = std::thread([this] { Accept(); });
}

TLineServer::~TLineServer() {
    FListener.Stop();
    FAcceptor.join();
    for (auto& t : FThreads) t.join();
}

std::string TLineServer::Url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(Port()) + path;
}

int TLineServer::Connections() const {
    std::lock_guard<std::mutex> g(FLock);
    return int(FPaths.size());
}

bool TLineServer::WaitForConnections(int count, int timeoutMs) const {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] { return int(FPaths.size()) >= count; });
}

std::vector<std::string> TLineServer::Paths(int index) const {
    std::lock_guard<std::mutex> g(FLock);
    return size_t(index) < FPaths.size() ? FPaths[size_t(index)] : std::vector<std::string>();
}

size_t TLineServer::HeardBeforeFirstAnswer() const {
    std::lock_guard<std::mutex> g(FLock);
    return FHeardBeforeFirstAnswer;
}

size_t TLineServer::HeardBeforeAnswer(size_t n) const {
    std::lock_guard<std::mutex> g(FLock);
    return n >= 1 && n <= FHeardAtAnswer.size() ? FHeardAtAnswer[n - 1] : 0;
}

bool TLineServer::WaitForHeard(const std::string& path, size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (const auto& paths : FPaths) n += size_t(std::count(paths.begin(), paths.end(), path));
        return n >= count;
    });
}

bool TLineServer::WaitForPaths(int index, size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> g(FLock);
    return FChanged.wait_for(g, std::chrono::milliseconds(timeoutMs), [&] {
        return size_t(index) < FPaths.size() && FPaths[size_t(index)].size() >= count;
    });
}

bool TLineServer::Readable(int fd, int timeoutMs) const { return FListener.Readable(fd, timeoutMs); }

void TLineServer::Accept() {
    while (Readable(FListener.Fd(), -1)) {
        int fd = ::accept4(FListener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::lock_guard<std::mutex> g(FLock);
        FPaths.emplace_back();
        size_t index = FPaths.size() - 1;
        FThreads.emplace_back([this, fd, index] { Serve(fd, index); });
        FChanged.notify_all();
    }
}

std::string TLineServer::Answer(const std::string& path, size_t n, bool first, bool& last) const {
    if (path.compare(0, 7, "/silent") == 0) return "";
    if (path.compare(0, 6, "/stall") == 0) return "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\npartial";
    bool sayClose = first && n == FRules.SayClose;
    last = first && (sayClose || n == FRules.CloseAfter);
    return "HTTP/1.1 200 OK\r\n" + std::string(sayClose ? "Connection: close\r\n" : "") +
           "Content-Length: " + std::to_string(path.size()) + "\r\n\r\n" + path;
}

void TLineServer::Serve(int fd, size_t index) {
    bool first = index == 0;
    std::string in;
    size_t answered = 0, heard = 0;
    auto holdUntil = TClock::now() + std::chrono::seconds(3);
    bool last = false;
    while (!last) {
        size_t holdFor = answered == 0 ? FRules.Hold : FRules.HoldLater;
        bool holding = first && heard < holdFor && TClock::now() < holdUntil;
        if (Readable(fd, holding ? 50 : 5000)) {
            char buf[4096];
            ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) break;
            in.append(buf, size_t(n));
        } else if (!holding) {
            break;
        }
        for (size_t end; (end = in.find("\r\n\r\n")) != std::string::npos; in.erase(0, end + 4)) {
            size_t sp = in.find(' ');
            std::lock_guard<std::mutex> g(FLock);
            FPaths[index].push_back(in.substr(sp + 1, in.find(' ', sp + 1) - sp - 1));
            ++heard;
            FChanged.notify_all();
        }
        if (first && heard < holdFor && TClock::now() < holdUntil) continue;
        if (first && answered == 0 && heard > 0) {
            std::lock_guard<std::mutex> g(FLock);
            FHeardBeforeFirstAnswer = heard;
        }
        for (; answered < heard && !last; ++answered) {
            if (first) {
                std::lock_guard<std::mutex> g(FLock);
                FHeardAtAnswer.push_back(heard);
            }
            std::string out = Answer(Paths(int(index))[answered], answered + 1, first, last);
            (void)!::send(fd, out.data(), out.size(), MSG_NOSIGNAL);
        }
    }
    // An orderly close: let the peer read everything, and take what it still sends so
    // that the close does not turn into a reset.
    ::shutdown(fd, SHUT_WR);
    char buf[4096];
    while (Readable(fd, 1000) && ::recv(fd, buf, sizeof buf, 0) > 0) {
    }
    ::close(fd);
}

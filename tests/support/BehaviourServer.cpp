// BehaviourServer: one thread per connection, blocking sockets with bounded sends, polls
// that also watch the stop pipe (see BehaviourServer.h).
#include "tests/support/BehaviourServer.h"


#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr size_t ChunkBytes = 16 * 1024;

bool OneRequestPerConnection(TServerBehaviour b) {
    return b == TServerBehaviour::Http10Close || b == TServerBehaviour::Http11Close ||
           b == TServerBehaviour::KeepAliveUnframed;
}

std::string ContentType(const std::string& target) {
    std::string path = target.substr(0, target.find('?'));
    if (path.size() > 4 && path.compare(path.size() - 4, 4, ".jpg") == 0) return "image/jpeg";
    if (path.size() > 5 && path.compare(path.size() - 5, 5, ".html") == 0) return "text/html";
    return "text/xml";
}

std::string Chunked(const std::string& body) {
    std::string out;
    char size[32];
    for (size_t at = 0; at < body.size(); at += ChunkBytes) {
        size_t n = std::min(ChunkBytes, body.size() - at);
        snprintf(size, sizeof size, "%zx\r\n", n);
        out += size + body.substr(at, n) + "\r\n";
    }
    return out + "0\r\n\r\n";
}

void SendAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the peer went, or the send time-out passed
        done += size_t(n);
    }
}

// Closes so that the peer sees a reset.
void Reset(int fd) {
    linger l{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    ::close(fd);
}

size_t Unread(int fd) {
    int n = 0;
    return ::ioctl(fd, FIONREAD, &n) == 0 && n > 0 ? size_t(n) : 0;
}

}  // namespace

const char* BehaviourName(TServerBehaviour behaviour) {
    switch (behaviour) {
    case TServerBehaviour::Http10Close: return "HTTP/1.0, ends at the close";
    case TServerBehaviour::Http11Close: return "HTTP/1.1 Connection: close, ends at the close";
    case TServerBehaviour::KeepAliveLength: return "keep-alive with Content-Length";
    case TServerBehaviour::Http10KeepAlive: return "HTTP/1.0 keep-alive with Content-Length";
    case TServerBehaviour::KeepAliveChunked: return "keep-alive, chunked";
    case TServerBehaviour::KeepAliveUnframed: return "HTTP/1.1 without length, closes after each";
    case TServerBehaviour::CloseAfterN: return "keep-alive, closes after N answers";
    case TServerBehaviour::ResetUnread: return "keep-alive, resets with requests unread";
    case TServerBehaviour::DropsAhead: return "keep-alive, drops requests sent ahead";
    }
    return "?";
}

TBehaviourServer::TBehaviourServer(TServerBehaviour behaviour, std::map<std::string, std::string> files, size_t n)
    : FBehaviour(behaviour), FFiles(std::move(files)), FN(n) {
    FAcceptor = std::thread([this] { Accept(); });
}

TBehaviourServer::~TBehaviourServer() {
    FListener.Stop();
    FAcceptor.join();
    for (auto& t : FThreads) t.join();
}

void TBehaviourServer::SetFiles(std::map<std::string, std::string> files) {
    std::lock_guard<std::mutex> g(FLock);
    FFiles = std::move(files);
}

std::string TBehaviourServer::Address() const { return "127.0.0.1:" + std::to_string(Port()); }
std::string TBehaviourServer::Url(const std::string& path) const { return "http://" + Address() + path; }

int TBehaviourServer::Connections() const {
    std::lock_guard<std::mutex> g(FLock);
    return FConnections;
}

size_t TBehaviourServer::Answered() const {
    std::lock_guard<std::mutex> g(FLock);
    return FAnswered;
}

size_t TBehaviourServer::CameWhileAnswering() const {
    std::lock_guard<std::mutex> g(FLock);
    return FCameWhileAnswering;
}

size_t TBehaviourServer::CameAhead() const {
    std::lock_guard<std::mutex> g(FLock);
    return FCameAhead;
}

size_t TBehaviourServer::Asked(const std::string& target) const {
    std::lock_guard<std::mutex> g(FLock);
    auto it = FAsked.find(target);
    return it == FAsked.end() ? 0 : it->second;
}

bool TBehaviourServer::Readable(int fd, int timeoutMs) const { return FListener.Readable(fd, timeoutMs); }

void TBehaviourServer::Accept() {
    while (Readable(FListener.Fd(), -1)) {
        int fd = ::accept4(FListener.Fd(), nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        timeval bound{5, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &bound, sizeof bound);
        std::lock_guard<std::mutex> g(FLock);
        ++FConnections;
        FThreads.emplace_back([this, fd] { Serve(fd); });
    }
}

bool TBehaviourServer::ReadRequest(int fd, int timeoutMs, std::string& target) {
    std::string head;
    // Byte by byte: a request sent ahead behind this one stays in the kernel, unread.
    while (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) {
        if (head.size() > 16384 || !Readable(fd, timeoutMs)) return false;
        char c;
        if (::recv(fd, &c, 1, 0) != 1) return false;
        head += c;
    }
    size_t sp = head.find(' ');
    target = head.substr(sp + 1, head.find(' ', sp + 1) - sp - 1);
    return true;
}

std::string TBehaviourServer::Answer(const std::string& target) const {
    std::string body = "not found\n";
    bool found = false;
    {
        std::lock_guard<std::mutex> g(FLock);
        auto it = FFiles.find(target);
        if (it == FFiles.end()) it = FFiles.find(target.substr(0, target.find('?')));
        found = it != FFiles.end();
        if (found) body = it->second;
    }
    std::string status = found ? "200 OK" : "404 Not Found";
    std::string type = "Content-Type: " + (found ? ContentType(target) : "text/plain") + "\r\n";
    switch (FBehaviour) {
    case TServerBehaviour::Http10Close: return "HTTP/1.0 " + status + "\r\n" + type + "\r\n" + body;
    case TServerBehaviour::Http11Close:
        return "HTTP/1.1 " + status + "\r\nConnection: close\r\n" + type + "\r\n" + body;
    case TServerBehaviour::KeepAliveUnframed: return "HTTP/1.1 " + status + "\r\n" + type + "\r\n" + body;
    case TServerBehaviour::KeepAliveChunked:
        return "HTTP/1.1 " + status + "\r\n" + type + "Transfer-Encoding: chunked\r\n\r\n" + Chunked(body);
    case TServerBehaviour::Http10KeepAlive:
        return "HTTP/1.0 " + status + "\r\nConnection: keep-alive\r\n" + type +
               "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    default:
        return "HTTP/1.1 " + status + "\r\n" + type + "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
               body;
    }
}

void TBehaviourServer::Serve(int fd) {
    const int idleMs = FBehaviour == TServerBehaviour::DropsAhead ? 300 : 5000;
    size_t answered = 0;
    std::string target;
    while (ReadRequest(fd, idleMs, target)) {
        {
            // Counted before the answer goes: the peer may be done with it before a count
            // made afterwards.
            std::lock_guard<std::mutex> g(FLock);
            if (Unread(fd) > 0) ++FCameAhead;
            ++FAnswered;
            ++FAsked[target];
        }
        std::string answer = Answer(target);
        bool hold = FHoldFirstTail && answered == 0 && answer.size() > 1 && !OneRequestPerConnection(FBehaviour);
        if (hold) {
            // The head and all but the last byte: a client that reads whole answers before
            // it asks again cannot ask before that byte went out.
            SendAll(fd, answer.substr(0, answer.size() - 1));
            if (Readable(fd, 3000) && Unread(fd) > 0) {
                std::lock_guard<std::mutex> g(FLock);
                ++FCameWhileAnswering;
            }
            answer.erase(0, answer.size() - 1);
        }
        SendAll(fd, answer);
        ++answered;
        if (!hold) {
            // A request already there as the answer before it went out came ahead too:
            // no client waiting for whole answers sends its next one that soon.
            std::lock_guard<std::mutex> g(FLock);
            if (Unread(fd) > 0) ++FCameWhileAnswering;
        }
        // A plain close with requests unread: the kernel resets, and what was still
        // queued of the answer is lost.
        if (OneRequestPerConnection(FBehaviour) || (FBehaviour == TServerBehaviour::CloseAfterN && answered == FN)) {
            ::close(fd);
            return;
        }
        if (FBehaviour == TServerBehaviour::ResetUnread && Unread(fd) > 0) {
            Reset(fd);
            return;
        }
        if (FBehaviour == TServerBehaviour::DropsAhead) {
            char drop[4096];
            while (Readable(fd, idleMs) && ::recv(fd, drop, sizeof drop, 0) > 0) {
            }
            break;
        }
    }
    // An orderly close: the peer reads everything, and what it still sends is taken.
    ::shutdown(fd, SHUT_WR);
    char buf[4096];
    while (Readable(fd, 1000) && ::recv(fd, buf, sizeof buf, 0) > 0) {
    }
    ::close(fd);
}

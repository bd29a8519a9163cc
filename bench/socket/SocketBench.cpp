// SocketBench: throughput of TWSocket over the loopback against a plain blocking loop in
// the same process. Each direction moves 512 MB over one TCP connection between the
// measured side and a blocking peer thread (a discarding reader, or a writer); the
// reference run puts a blocking loop in the measured side's place. Prints MB/s, CPU
// milliseconds per MB (the whole process) and the ratio to the reference.
#include "net/socket/WSocket.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr int64_t kTotal = 512LL * 1024 * 1024;
constexpr int kChunk = 64 * 1024;

struct TResult {
    double Seconds = 0, CpuSeconds = 0;
    double MBps() const { return double(kTotal) / (1024 * 1024) / Seconds; }
    double CpuMsPerMB() const { return CpuSeconds * 1000 / (double(kTotal) / (1024 * 1024)); }
};

double CpuNow() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

int Listener(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(fd, 4);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int ConnectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(uint16_t(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    return fd;
}

void Discard(int fd) {
    std::vector<char> buf(kChunk);
    int64_t got = 0;
    while (got < kTotal) {
        ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
        if (n <= 0) break;
        got += n;
    }
}

void Produce(int fd) {
    std::vector<char> buf(kChunk, 'x');
    for (int64_t sent = 0; sent < kTotal;) {
        ssize_t n = ::send(fd, buf.data(), size_t(std::min<int64_t>(kChunk, kTotal - sent)), MSG_NOSIGNAL);
        if (n <= 0) break;
        sent += n;
    }
}

// The peer thread accepts one connection and runs Peer on it while Measured runs here.
template <typename FPeer, typename FMeasured>
TResult Run(FPeer peer, FMeasured measured) {
    int port;
    int lfd = Listener(port);
    std::thread t([&] {
        int c = ::accept(lfd, nullptr, nullptr);
        peer(c);
        ::close(c);
    });
    double cpu0 = CpuNow();
    auto t0 = std::chrono::steady_clock::now();
    measured(port);
    t.join();
    TResult r;
    r.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    r.CpuSeconds = CpuNow() - cpu0;
    ::close(lfd);
    return r;
}

void BlockingSend(int port) {
    int fd = ConnectTo(port);
    Produce(fd);
    ::close(fd);
}

void BlockingReceive(int port) {
    int fd = ConnectTo(port);
    Discard(fd);
    ::close(fd);
}

// TWSocket sends: a new chunk is queued whenever the queue has drained (OnDataSent).
void WSocketSend(int port) {
    TWSocket s(nullptr);
    std::vector<char> buf(4 * kChunk, 'x');
    int64_t queued = 0;
    bool done = false;
    auto more = [&] {
        if (queued >= kTotal) {
            done = true;
            return;
        }
        int32_t n = int32_t(std::min<int64_t>(int64_t(buf.size()), kTotal - queued));
        queued += n;
        s.Send(buf.data(), n);
    };
    s.OnSessionConnected = [&](TObject*, uint16_t) { more(); };
    s.OnDataSent = [&](TObject*, uint16_t) {
        if (queued > 0) more();
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    WaitUntil([&] { return done; }, 120000);
    s.Close();
}

void WSocketReceive(int port) {
    TWSocket s(nullptr);
    std::vector<char> buf(kChunk);
    int64_t got = 0;
    s.OnDataAvailable = [&](TObject*, uint16_t) {
        int32_t n = s.Receive(buf.data(), int32_t(buf.size()));
        if (n > 0) got += n;
    };
    s.SetAddr("127.0.0.1");
    s.SetPort(std::to_string(port));
    s.Connect();
    WaitUntil([&] { return got >= kTotal || s.State() == wsClosed; }, 120000);
    s.Close();
}

void Print(const char* name, const TResult& r, const TResult& ref) {
    std::printf("%-34s %8.1f MB/s  %6.3f ms CPU/MB  ratio %.2f\n", name, r.MBps(), r.CpuMsPerMB(), r.MBps() / ref.MBps());
}

}  // namespace

int main() {
    std::printf("512 MB per run over one loopback TCP connection\n");
    TResult refSend = Run(Discard, BlockingSend);
    TResult wsSend = Run(Discard, WSocketSend);
    TResult refRecv = Run(Produce, BlockingReceive);
    TResult wsRecv = Run(Produce, WSocketReceive);
    Print("blocking loop, send", refSend, refSend);
    Print("TWSocket Send -> discarding peer", wsSend, refSend);
    Print("blocking loop, receive", refRecv, refRecv);
    Print("TWSocket Receive <- writing peer", wsRecv, refRecv);
    double worst = std::min(wsSend.MBps() / refSend.MBps(), wsRecv.MBps() / refRecv.MBps());
    std::printf("lowest ratio %.2f (target >= 0.50): %s\n", worst, worst >= 0.5 ? "met" : "NOT met");
    return 0;
}

// http_bench: THttpCli's Get against curl on the same loopback server, in the same run.
//
// A forked child process serves "/big" (200 MB, or the size given as the first argument
// in MB) and "/small" (10 KB) over HTTP/1.0, closing after each answer. Measured: one Get
// of /big into a discarding stream against "curl -o /dev/null", and 2,000 Gets of /small
// (or the count given as the second argument) against one curl run fetching the same
// number of URLs from a config file; each side pays one connection per request. Printed:
// wall time, throughput or requests per second, CPU time (the client's own process; the
// curl child's), and the ratios (targets: large >= 0.8 of curl, small >= 0.5).
#include "net/http/HttpProt.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

extern char** environ;

namespace {

// ---- the server (child process) -------------------------------------------------------

void SendAll(int fd, const char* p, size_t n) {
    while (n > 0) {
        ssize_t k = send(fd, p, n, MSG_NOSIGNAL);
        if (k <= 0) return;
        p += k;
        n -= size_t(k);
    }
}

void Serve(int listenFd, size_t bigSize) {
    std::vector<char> zeros(1 << 20, 'z');
    for (;;) {
        int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0) continue;
        std::string request;
        char buf[4096];
        while (request.find("\r\n\r\n") == std::string::npos) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 5000) <= 0) break;
            ssize_t k = recv(fd, buf, sizeof buf, 0);
            if (k <= 0) break;
            request.append(buf, size_t(k));
        }
        size_t size = request.find(" /big ") != std::string::npos ? bigSize : 10 * 1024;
        std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                           std::to_string(size) + "\r\nConnection: close\r\n\r\n";
        SendAll(fd, head.data(), head.size());
        for (size_t left = size; left > 0;) {
            size_t n = left < zeros.size() ? left : zeros.size();
            SendAll(fd, zeros.data(), n);
            left -= n;
        }
        shutdown(fd, SHUT_WR);
        // Wait for the client's close so that the connection ends cleanly.
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 2000) > 0 && recv(fd, buf, sizeof buf, 0) > 0) {}
        close(fd);
    }
}

// Forks the server before any thread exists; returns its pid and port.
pid_t StartServer(size_t bigSize, int& port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd, 128) != 0) {
        std::perror("bench server");
        std::exit(1);
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    pid_t pid = fork();
    if (pid == 0) {
        Serve(fd, bigSize);
        _exit(0);
    }
    close(fd);
    return pid;
}

// ---- measuring ------------------------------------------------------------------------

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds(int who) {
    rusage u{};
    getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

struct TRun {
    double Wall = 0;
    double Cpu = 0;
};

// Runs curl with Args and waits; its CPU time comes from the reaped child's usage.
TRun RunCurl(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    double cpu0 = CpuSeconds(RUSAGE_CHILDREN), t0 = Now();
    pid_t pid;
    if (posix_spawnp(&pid, "curl", nullptr, nullptr, argv.data(), environ) != 0) {
        std::perror("curl");
        std::exit(1);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    TRun r{Now() - t0, CpuSeconds(RUSAGE_CHILDREN) - cpu0};
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) std::fprintf(stderr, "curl failed (%d)\n", status);
    return r;
}

// Discards what it is given, as "-o /dev/null" does.
class TNullStream : public TStream {
public:
    int64_t Read(void*, int64_t) override { return 0; }
    int64_t Write(const void*, int64_t count) override {
        FSize += count;
        return count;
    }
    int64_t Seek(int64_t, TSeekOrigin) override { return FSize; }
    int64_t FSize = 0;
};

TRun RunClient(const std::string& url, int count, int64_t& bytes) {
    THttpCli cli(nullptr);
    TNullStream sink;
    cli.SetRcvdStream(&sink);
    cli.SetURL(url);
    double cpu0 = CpuSeconds(RUSAGE_SELF), t0 = Now();
    for (int i = 0; i < count; ++i) cli.Get();
    TRun r{Now() - t0, CpuSeconds(RUSAGE_SELF) - cpu0};
    bytes = sink.FSize;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const size_t bigMb = argc > 1 ? size_t(std::atol(argv[1])) : 200;
    const int smallCount = argc > 2 ? std::atoi(argv[2]) : 2000;
    int port = 0;
    pid_t server = StartServer(bigMb << 20, port);
    const std::string base = "http://127.0.0.1:" + std::to_string(port);

    try {
        // Large file.
        int64_t bytes = 0;
        RunClient(base + "/small", 1, bytes);  // warm-up: socket layer started, caches filled
        TRun ours = RunClient(base + "/big", 1, bytes);
        if (bytes != int64_t(bigMb << 20)) std::fprintf(stderr, "short body: %lld bytes\n", (long long)bytes);
        TRun curl = RunCurl({"curl", "-s", "-o", "/dev/null", base + "/big"});
        double mb = double(bigMb);
        std::printf("large file (%zu MB)\n", bigMb);
        std::printf("  THttpCli.Get   %8.3f s  %8.1f MB/s  cpu %6.3f s\n", ours.Wall, mb / ours.Wall, ours.Cpu);
        std::printf("  curl           %8.3f s  %8.1f MB/s  cpu %6.3f s\n", curl.Wall, mb / curl.Wall, curl.Cpu);
        std::printf("  throughput ratio (THttpCli / curl) %.2f   (target >= 0.80)\n", curl.Wall / ours.Wall);

        // Small requests.
        TRun oursSmall = RunClient(base + "/small", smallCount, bytes);
        std::string config = "/tmp/albrivo-http-bench-" + std::to_string(getpid()) + ".cfg";
        {
            std::ofstream cfg(config);
            for (int i = 0; i < smallCount; ++i)
                cfg << "url = \"" << base << "/small\"\noutput = \"/dev/null\"\n";
        }
        TRun curlSmall = RunCurl({"curl", "-s", "-K", config});
        std::remove(config.c_str());
        std::printf("small requests (%d x 10 KB)\n", smallCount);
        std::printf("  THttpCli.Get   %8.3f s  %8.0f req/s  cpu %6.3f s\n", oursSmall.Wall,
                    smallCount / oursSmall.Wall, oursSmall.Cpu);
        std::printf("  curl           %8.3f s  %8.0f req/s  cpu %6.3f s\n", curlSmall.Wall,
                    smallCount / curlSmall.Wall, curlSmall.Cpu);
        std::printf("  request rate ratio (THttpCli / curl) %.2f   (target >= 0.50)\n",
                    curlSmall.Wall / oursSmall.Wall);
    } catch (const Exception& e) {
        std::fprintf(stderr, "http_bench: %s\n", e.Message().c_str());
        kill(server, SIGTERM);
        waitpid(server, nullptr, 0);
        return 1;
    }
    kill(server, SIGTERM);
    waitpid(server, nullptr, 0);
    return 0;
}

// http_bench: THttpCli's Get against curl on the same loopback server, in the same run.
//
// A forked child process serves "/big" (200 MB, or the size given as the first argument
// in MB) and "/small" (10 KB) over HTTP/1.0, closing after each answer. Measured: one Get
// of /big into a discarding stream against "curl -o /dev/null", and 2,000 Gets of /small
// (or the count given as the second argument) against one curl run fetching the same
// number of URLs from a config file; each side pays one connection per request. Printed:
// wall time, throughput or requests per second, CPU time (the client's own process; the
// curl child's), and the ratios (targets: large >= 0.8 of curl, small >= 0.5).
//
// Then the same over TLS: a second child serves the same answers over https with a
// certificate made for the run (openssl req, in a scratch folder), which both clients
// trust. Measured: the large file (target: at most 1.1 times curl's time), and the small
// requests three ways, to show what a handshake costs: THttpCli with its kept sessions
// resumed on each new connection, THttpCli with every session forgotten (a full handshake
// per connection), and curl (which keeps its sessions too).
#include "net/http/HttpProt.h"
#include "bench/BenchCertificate.h"
#include "platform/tls/Tls.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
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

// The same over a TLS session on a blocking socket.
void SendAll(SSL* ssl, const char* p, size_t n) {
    while (n > 0) {
        int k = SSL_write(ssl, p, int(n));
        if (k <= 0) return;
        p += k;
        n -= size_t(k);
    }
}

// Reads a request head; false when the client went away first.
template <typename TRecv>
bool ReadHead(int fd, std::string& request, TRecv receive) {
    char buf[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return false;
        long k = receive(buf, sizeof buf);
        if (k <= 0) return false;
        request.append(buf, size_t(k));
    }
    return true;
}

// Serves plain HTTP, or https with Ctx.
void Serve(int listenFd, size_t bigSize, SSL_CTX* ctx) {
    std::vector<char> zeros(1 << 20, 'z');
    for (;;) {
        int fd = accept(listenFd, nullptr, nullptr);
        if (fd < 0) continue;
        tls::TSslPtr session(ctx ? SSL_new(ctx) : nullptr);
        SSL* ssl = session.get();
        if (ssl) {
            SSL_set_fd(ssl, fd);
            if (SSL_accept(ssl) != 1) {
                close(fd);
                continue;
            }
        }
        std::string request;
        bool read = ssl ? ReadHead(fd, request, [&](char* b, size_t n) { return long(SSL_read(ssl, b, int(n))); })
                        : ReadHead(fd, request, [&](char* b, size_t n) { return long(recv(fd, b, n, 0)); });
        size_t size = request.find(" /big ") != std::string::npos ? bigSize : 10 * 1024;
        std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                           std::to_string(size) + "\r\nConnection: close\r\n\r\n";
        for (size_t left = read ? size + head.size() : 0; left > 0;) {
            const bool first = left > size;
            const char* p = first ? head.data() : zeros.data();
            size_t n = first ? head.size() : std::min(left, zeros.size());
            if (ssl)
                SendAll(ssl, p, n);
            else
                SendAll(fd, p, n);
            left -= n;
        }
        if (ssl) SSL_shutdown(ssl);
        shutdown(fd, SHUT_WR);
        char buf[4096];
        // Wait for the client's close so that the connection ends cleanly.
        pollfd p{fd, POLLIN, 0};
        while (poll(&p, 1, 2000) > 0 && recv(fd, buf, sizeof buf, 0) > 0) {}
        close(fd);
    }
}

// Forks the server before any thread exists; returns its pid and port. With Ctx it
// serves https.
pid_t StartServer(size_t bigSize, int& port, SSL_CTX* ctx = nullptr) {
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
        Serve(fd, bigSize, ctx);
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

// Count Gets of Url. FullHandshakes: every kept TLS session is forgotten before each, so
// each connection pays a whole handshake.
TRun RunClient(const std::string& url, int count, int64_t& bytes, bool fullHandshakes = false) {
    THttpCli cli(nullptr);
    TNullStream sink;
    cli.SetRcvdStream(&sink);
    cli.SetURL(url);
    double cpu0 = CpuSeconds(RUSAGE_SELF), t0 = Now();
    for (int i = 0; i < count; ++i) {
        if (fullHandshakes) tls::ForgetSessions();
        cli.Get();
    }
    TRun r{Now() - t0, CpuSeconds(RUSAGE_SELF) - cpu0};
    bytes = sink.FSize;
    return r;
}

// ---- TLS ------------------------------------------------------------------------------------

// A certificate for 127.0.0.1 made for this run in Dir (cert.pem, key.pem); the server
// context that serves it, or null when it cannot be made.
tls::TSslCtxPtr MakeServerContext(const std::string& dir) {
    const std::string cert = dir + "/cert.pem", key = dir + "/key.pem";
    if (!MakeLoopbackCertificate(cert, key)) return nullptr;
    try {
        return tls::ServerContext(cert, key);
    } catch (const tls::ETlsError& e) {
        std::fprintf(stderr, "http_bench: %s\n", e.Message().c_str());
        return nullptr;
    }
}

struct TPair {
    TRun Ours, Curl;
};

// One Get of Base/big (after a warm-up Get) against curl with CurlOptions; prints both.
TPair CompareLarge(const char* title, const std::string& base, const std::vector<std::string>& curlOptions,
                   size_t bigMb) {
    int64_t bytes = 0;
    RunClient(base + "/small", 1, bytes);  // warm-up: socket layer started, caches filled
    TPair r;
    r.Ours = RunClient(base + "/big", 1, bytes);
    if (bytes != int64_t(bigMb << 20)) std::fprintf(stderr, "short body: %lld bytes\n", (long long)bytes);
    std::vector<std::string> args = {"curl", "-s"};
    args.insert(args.end(), curlOptions.begin(), curlOptions.end());
    args.insert(args.end(), {"-o", "/dev/null", base + "/big"});
    r.Curl = RunCurl(args);
    double mb = double(bigMb);
    std::printf("%s (%zu MB)\n", title, bigMb);
    std::printf("  THttpCli.Get   %8.3f s  %8.1f MB/s  cpu %6.3f s\n", r.Ours.Wall, mb / r.Ours.Wall, r.Ours.Cpu);
    std::printf("  curl           %8.3f s  %8.1f MB/s  cpu %6.3f s\n", r.Curl.Wall, mb / r.Curl.Wall, r.Curl.Cpu);
    return r;
}

// One curl run fetching Base/small Count times, listed in a config file.
TRun CurlSmall(const std::string& base, const std::vector<std::string>& curlOptions, int count) {
    std::string config = "/tmp/albrivo-http-bench-" + std::to_string(getpid()) + ".cfg";
    {
        std::ofstream cfg(config);
        for (int i = 0; i < count; ++i) cfg << "url = \"" << base << "/small\"\noutput = \"/dev/null\"\n";
    }
    std::vector<std::string> args = {"curl", "-s"};
    args.insert(args.end(), curlOptions.begin(), curlOptions.end());
    args.insert(args.end(), {"-K", config});
    TRun r = RunCurl(args);
    std::remove(config.c_str());
    return r;
}

void PrintSmall(const char* name, const TRun& r, int count) {
    std::printf("  %-30s %8.3f s  %8.0f req/s  %6.3f ms/req  cpu %6.3f s\n", name, r.Wall, count / r.Wall,
                1000 * r.Wall / count, r.Cpu);
}

// The large file and the small requests over https, THttpCli against curl.
void RunHttps(const std::string& base, const std::string& caFile, size_t bigMb, int smallCount, double plainSmallWall) {
    tls::SetVerifySettings({true, caFile});
    TPair large = CompareLarge("https large file", base, {"--cacert", caFile}, bigMb);
    std::printf("  time ratio (THttpCli / curl) %.2f   (target <= 1.10)\n", large.Ours.Wall / large.Curl.Wall);

    int64_t bytes = 0;
    TRun resumed = RunClient(base + "/small", smallCount, bytes);
    TRun full = RunClient(base + "/small", smallCount, bytes, true);
    TRun curlSmall = CurlSmall(base, {"--cacert", caFile}, smallCount);
    std::printf("https small requests (%d x 10 KB, one TLS session per connection)\n", smallCount);
    PrintSmall("THttpCli, sessions resumed", resumed, smallCount);
    PrintSmall("THttpCli, full handshakes", full, smallCount);
    PrintSmall("curl (sessions resumed)", curlSmall, smallCount);
    std::printf("  handshake cost per connection: full %.3f ms, resumed %.3f ms (over plain http)\n",
                1000 * (full.Wall - plainSmallWall) / smallCount, 1000 * (resumed.Wall - plainSmallWall) / smallCount);
    std::printf("  request rate ratio, resumed (THttpCli / curl) %.2f\n", curlSmall.Wall / resumed.Wall);
}

}  // namespace

int main(int argc, char** argv) {
    const size_t bigMb = argc > 1 ? size_t(std::atol(argv[1])) : 200;
    const int smallCount = argc > 2 ? std::atoi(argv[2]) : 2000;
    int port = 0, tlsPort = 0;
    char dirTemplate[] = "/tmp/albrivo-http-bench-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate) ? dirTemplate : "";
    tls::TSslCtxPtr serverCtx = dir.empty() ? nullptr : MakeServerContext(dir);
    if (!serverCtx) std::fprintf(stderr, "http_bench: no certificate could be made; https is left out\n");
    pid_t server = StartServer(bigMb << 20, port);
    pid_t tlsServer = serverCtx ? StartServer(bigMb << 20, tlsPort, serverCtx.get()) : -1;
    const std::string base = "http://127.0.0.1:" + std::to_string(port);
    int status = 0;

    try {
        // Large file.
        TPair large = CompareLarge("large file", base, {}, bigMb);
        std::printf("  throughput ratio (THttpCli / curl) %.2f   (target >= 0.80)\n", large.Curl.Wall / large.Ours.Wall);

        // Small requests.
        int64_t bytes = 0;
        TRun oursSmall = RunClient(base + "/small", smallCount, bytes);
        TRun curlSmall = CurlSmall(base, {}, smallCount);
        std::printf("small requests (%d x 10 KB)\n", smallCount);
        std::printf("  THttpCli.Get   %8.3f s  %8.0f req/s  cpu %6.3f s\n", oursSmall.Wall,
                    smallCount / oursSmall.Wall, oursSmall.Cpu);
        std::printf("  curl           %8.3f s  %8.0f req/s  cpu %6.3f s\n", curlSmall.Wall,
                    smallCount / curlSmall.Wall, curlSmall.Cpu);
        std::printf("  request rate ratio (THttpCli / curl) %.2f   (target >= 0.50)\n",
                    curlSmall.Wall / oursSmall.Wall);
        if (serverCtx)
            RunHttps("https://127.0.0.1:" + std::to_string(tlsPort), dir + "/cert.pem", bigMb, smallCount,
                     oursSmall.Wall);
    } catch (const Exception& e) {
        std::fprintf(stderr, "http_bench: %s\n", e.Message().c_str());
        status = 1;
    }
    for (pid_t child : {server, tlsServer}) {
        if (child <= 0) continue;
        kill(child, SIGTERM);
        waitpid(child, nullptr, 0);
    }
    serverCtx.reset();
    if (!dir.empty()) {
        std::remove((dir + "/cert.pem").c_str());
        std::remove((dir + "/key.pem").c_str());
        rmdir(dir.c_str());
    }
    return status;
}

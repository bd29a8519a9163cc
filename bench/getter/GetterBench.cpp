// Getter benchmark, two rows, each against curl in the same run:
//  - one large file from a loopback server into a file, fetched by THTTPGet without and
//    with a progress handler, and by curl -o;
//  - many small files (200 x 50 KB by default) one after the other over one getter, which
//    keeps its connection, against one curl given every address in a -K config (curl too
//    keeps its connection), and against a new getter per file (a new connection each).
// Then the same over https, with a certificate for 127.0.0.1 made for the run (openssl
// req, in a scratch folder) that both clients trust:
//  - the large file into a file against curl --cacert -o (target: at most 1.1 times
//    curl's time);
//  - what a handshake costs: small files over one getter from addresses whose answers
//    close the connection, so that every file pays a new connection: over http (no
//    handshake), over https with the kept TLS sessions resumed on each reconnect, over
//    https with every session forgotten first (a full handshake each), and by curl -K
//    (which resumes its sessions too).
//
// The server is this program itself started again with "--serve" in a child process: a
// thread per connection, HTTP/1.1 keep-alive for requests that allow it; "/big.bin" is
// the large file through sendfile(), "/small/N" a block of the small size from memory,
// "/close/N" the same block answered with "Connection: close". So it costs little and is
// the same for every client. Given a certificate and a key, a second such server speaks
// TLS (the large file read in blocks and written through the session). CPU times: the
// getter's is this process's own (the server is another process); curl's is that of the
// reaped child.
// Memory: the getter's resident set before and after, and the peak, show that the body is
// never held whole.
//
// Usage: getter_bench [MB [COUNT [KB]]]   (default 200 200 50)
#include "net/inetget/HTTPGet.h"
#include "bench/BenchCertificate.h"
#include "platform/tls/Tls.h"

#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <openssl/ssl.h>

extern char** environ;

namespace {

// ---- the server (child process) -------------------------------------------------------------

struct TServed {
    std::string BigPath;
    off_t BigSize = 0;
    std::string Small;
};

// One accepted connection, plain or through a TLS session (Ssl).
struct TPeer {
    int Fd = -1;
    SSL* Ssl = nullptr;
};

// Reads one request head (bounded: 5 s, 16 KB); false when the peer closed or went quiet.
bool ReadRequestHead(const TPeer& c, std::string& pending, std::string& head) {
    char buf[4096];
    for (;;) {
        size_t end = pending.find("\r\n\r\n");
        if (end != std::string::npos) {
            head = pending.substr(0, end + 4);
            pending.erase(0, end + 4);
            return true;
        }
        if (pending.size() > 16384) return false;
        // Bytes the session has already taken off the socket are not seen by poll.
        if (!c.Ssl || SSL_pending(c.Ssl) == 0) {
            pollfd p{c.Fd, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) return false;
        }
        long n = c.Ssl ? long(SSL_read(c.Ssl, buf, int(sizeof buf))) : long(::recv(c.Fd, buf, sizeof buf, 0));
        if (n <= 0) return false;
        pending.append(buf, size_t(n));
    }
}

bool SendAll(const TPeer& c, const char* data, size_t size) {
    while (size > 0) {
        long n = c.Ssl ? long(SSL_write(c.Ssl, data, int(std::min<size_t>(size, 1 << 20))))
                       : long(::send(c.Fd, data, size, MSG_NOSIGNAL));
        if (n <= 0) return false;
        data += n;
        size -= size_t(n);
    }
    return true;
}

// The large file: through sendfile() in the clear, read in blocks and written through the
// session over TLS.
bool SendFile(const TPeer& c, const std::string& path, off_t size) {
    int f = ::open(path.c_str(), O_RDONLY);
    if (f < 0) return false;
    off_t off = 0;
    if (!c.Ssl) {
        while (off < size)
            if (::sendfile(c.Fd, f, &off, size_t(size - off)) <= 0) break;
    } else {
        std::vector<char> block(1 << 20);
        while (off < size) {
            ssize_t n = ::pread(f, block.data(), std::min<size_t>(block.size(), size_t(size - off)), off);
            if (n <= 0 || !SendAll(c, block.data(), size_t(n))) break;
            off += n;
        }
    }
    ::close(f);
    return off == size;
}

// Serves the requests of one connection: HTTP/1.1 ones keep it unless they say close
// (or ask for "/close/N"). With Ctx, the connection is a TLS one.
void ServeConnection(int fd, const TServed& served, SSL_CTX* ctx) {
    tls::TSslPtr session(ctx ? SSL_new(ctx) : nullptr);
    TPeer c{fd, session.get()};
    if (c.Ssl && (SSL_set_fd(c.Ssl, fd) != 1 || SSL_accept(c.Ssl) != 1)) {
        ::close(fd);
        return;
    }
    std::string pending, head;
    while (ReadRequestHead(c, pending, head)) {
        std::string lower = head;
        for (char& ch : lower) ch = char(std::tolower(static_cast<unsigned char>(ch)));
        bool keep = lower.find(" http/1.1\r\n") != std::string::npos &&
                    lower.find("connection: close") == std::string::npos && head.compare(0, 11, "GET /close/") != 0;
        bool big = head.compare(0, 13, "GET /big.bin ") == 0;
        off_t size = big ? served.BigSize : off_t(served.Small.size());
        std::string reply = std::string(keep ? "HTTP/1.1" : "HTTP/1.0") +
                            " 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                            std::to_string(size) + (keep ? "\r\n\r\n" : "\r\nConnection: close\r\n\r\n");
        if (!big) reply += served.Small;
        if (!SendAll(c, reply.data(), reply.size())) break;
        if (big && !SendFile(c, served.BigPath, size)) break;
        if (!keep) {
            if (c.Ssl) SSL_shutdown(c.Ssl);  // the closing alert, as a server ending a connection sends it
            break;
        }
    }
    ::close(fd);
}

// Serves on 127.0.0.1:Port until killed; over TLS when CertFile and KeyFile are given.
void Serve(int port, const std::string& path, size_t smallBytes, const std::string& certFile,
           const std::string& keyFile) {
    // A client that goes away (the start-up probe does) must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 64) != 0) {
        std::perror("serve: bind");
        std::exit(1);
    }
    static TServed served;
    struct stat st;
    ::stat(path.c_str(), &st);
    served.BigPath = path;
    served.BigSize = st.st_size;
    for (size_t i = 0; i < smallBytes; ++i) served.Small += char((i * 2654435761u) >> 11);
    static tls::TSslCtxPtr ctx;
    if (!certFile.empty()) {
        try {
            ctx = tls::ServerContext(certFile, keyFile);
        } catch (const Exception& e) {
            std::fprintf(stderr, "serve: %s\n", e.Message().c_str());
            std::exit(1);
        }
    }
    for (;;) {
        int c = ::accept(lfd, nullptr, nullptr);
        if (c < 0) continue;
        int nodelay = 1;
        ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &nodelay, sizeof nodelay);
        std::thread([c] { ServeConnection(c, served, ctx.get()); }).detach();
    }
}

// ---- measuring -------------------------------------------------------------------------------------

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds(int who) {
    rusage u;
    ::getrusage(who, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

long RssKb() {
    FILE* f = std::fopen("/proc/self/statm", "r");
    long pages = 0, rss = 0;
    if (f) {
        if (std::fscanf(f, "%ld %ld", &pages, &rss) != 2) rss = 0;
        std::fclose(f);
    }
    return rss * (::sysconf(_SC_PAGESIZE) / 1024);
}

pid_t Spawn(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& s : args) argv.push_back(const_cast<char*>(s.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
    return pid;
}

bool WaitForPort(int port, double seconds) {
    double end = Now() + seconds;
    while (Now() < end) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(uint16_t(port));
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        ::close(fd);
        if (ok) return true;
        Sleep(20);
    }
    return false;
}

struct TResult {
    double Seconds = 0, Cpu = 0;
    bool Ok = false;
};

TResult RunGetter(const std::string& url, const std::string& out, bool progress, long* blocks) {
    THTTPGet g(nullptr);
    g.SetURL(url);
    g.SetFileName(out);
    g.SetWaitThread(true);
    if (progress) g.OnProgress = [blocks](TObject*, int32_t, int32_t) { ++*blocks; };
    double t0 = Now(), c0 = CpuSeconds(RUSAGE_SELF);
    g.StartTransfer();
    TResult r;
    r.Seconds = Now() - t0;
    r.Cpu = CpuSeconds(RUSAGE_SELF) - c0;
    r.Ok = g.LastResult();
    return r;
}

TResult RunCurlWith(const std::vector<std::string>& args) {
    double t0 = Now(), c0 = CpuSeconds(RUSAGE_CHILDREN);
    pid_t pid = Spawn(args);
    int status = 0;
    ::waitpid(pid, &status, 0);
    TResult r;
    r.Seconds = Now() - t0;
    r.Cpu = CpuSeconds(RUSAGE_CHILDREN) - c0;
    r.Ok = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

TResult RunCurl(const std::string& url, const std::string& out, const std::vector<std::string>& options = {}) {
    std::vector<std::string> args = {"curl", "-sS"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-o", out, url});
    return RunCurlWith(args);
}

// Count small files one after the other: over one getter (Reuse), or a new getter each.
// FullHandshakes: every kept TLS session is forgotten before each file, so that each new
// connection pays a whole handshake.
TResult RunGetterMany(const std::string& base, const std::string& prefix, int count, bool reuse,
                      bool fullHandshakes = false) {
    double t0 = Now(), c0 = CpuSeconds(RUSAGE_SELF);
    TResult r;
    r.Ok = true;
    {
        std::unique_ptr<THTTPGet> g;
        for (int i = 0; i < count; ++i) {
            if (!g || !reuse) {
                g = std::make_unique<THTTPGet>(nullptr);
                g->SetWaitThread(true);
            }
            if (fullHandshakes) tls::ForgetSessions();
            g->SetURL(base + std::to_string(i));
            g->SetFileName(prefix + std::to_string(i));
            g->StartTransfer();
            r.Ok = r.Ok && g->LastResult();
        }
    }
    r.Seconds = Now() - t0;
    r.Cpu = CpuSeconds(RUSAGE_SELF) - c0;
    return r;
}

// The same files by one curl, every address in one -K config: it keeps its connection.
TResult RunCurlMany(const std::string& base, const std::string& prefix, int count,
                    const std::vector<std::string>& options = {}) {
    std::string config;
    for (int i = 0; i < count; ++i)
        config += "url = \"" + base + std::to_string(i) + "\"\noutput = \"" + prefix + std::to_string(i) + "\"\n";
    std::string configFile = prefix + "curl.conf";
    {
        TFileStream f(configFile, fmCreate);
        f.WriteBuffer(config.data(), int64_t(config.size()));
    }
    std::vector<std::string> args = {"curl", "-sS"};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"-K", configFile});
    TResult r = RunCurlWith(args);
    DeleteFile(configFile);
    return r;
}

// True when all Count files are there with Bytes each; deletes them.
bool CheckAndDelete(const std::string& prefix, int count, int64_t bytes) {
    bool ok = true;
    for (int i = 0; i < count; ++i) {
        ok = ok && FileSize(prefix + std::to_string(i)) == bytes;
        DeleteFile(prefix + std::to_string(i));
    }
    return ok;
}

void PrintMany(const char* name, const TResult& r, int count, const TResult* ref) {
    std::printf("%-36s %7.3f s  %7.0f files/s  cpu %6.3f s  %s", name, r.Seconds, count / r.Seconds, r.Cpu,
                r.Ok ? "ok" : "FAILED");
    if (ref) std::printf("  time %.2fx curl, cpu %.2fx curl", r.Seconds / ref->Seconds, r.Cpu / ref->Cpu);
    std::printf("\n");
}

void Print(const char* name, const TResult& r, double mb, const TResult* ref) {
    std::printf("%-28s %7.3f s  %8.1f MB/s  cpu %6.3f s  %s", name, r.Seconds, mb / r.Seconds, r.Cpu,
                r.Ok ? "ok" : "FAILED");
    if (ref) std::printf("  throughput %.2fx curl, cpu %.2fx curl", ref->Seconds / r.Seconds, r.Cpu / ref->Cpu);
    std::printf("\n");
}

// ---- https --------------------------------------------------------------------------------------

// A certificate for 127.0.0.1 made for this run in Dir (cert.pem, key.pem) with the
// openssl command; false when it cannot be made.
bool MakeCertificate(const std::string& dir) { return MakeLoopbackCertificate(dir + "cert.pem", dir + "key.pem"); }

// Keeps the faster of two runs of one side (and whether all of them went well).
void KeepBest(TResult& kept, const TResult& r, bool first) {
    if (first || r.Seconds < kept.Seconds) kept = TResult{r.Seconds, r.Cpu, r.Ok && (first || kept.Ok)};
    else kept.Ok = kept.Ok && r.Ok;
}

// The https rows against the TLS server at TlsPort (the plain one at Port gives the
// handshake-free reference); true when every transfer was whole.
bool RunHttps(const std::string& dir, int port, int tlsPort, const std::string& src, long mb, int count,
              int64_t bytes) {
    const std::string cert = dir + "cert.pem";
    const std::vector<std::string> trust = {"--cacert", cert};
    tls::SetVerifySettings({true, cert});
    const std::string https = "https://127.0.0.1:" + std::to_string(tlsPort);
    const std::string url = https + "/big.bin";
    std::printf("\ngetter_bench: %ld MB over https to 127.0.0.1 (best of 2)\n", mb);
    // Warm-up: the TLS layer started, a session kept on each side.
    long blocks = 0;
    RunCurl(https + "/small/0", dir + "warm.bin", trust);
    RunGetter(https + "/small/0", dir + "warm.bin", false, &blocks);
    TResult curl, getter;
    bool sizesOk = true;
    for (int round = 0; round < 2; ++round) {
        KeepBest(curl, RunCurl(url, dir + "curl.bin", trust), round == 0);
        sizesOk = FileSize(dir + "curl.bin") == FileSize(src) && sizesOk;
        DeleteFile(dir + "curl.bin");
        KeepBest(getter, RunGetter(url, dir + "getter.bin", false, &blocks), round == 0);
        sizesOk = FileSize(dir + "getter.bin") == FileSize(src) && sizesOk;
        DeleteFile(dir + "getter.bin");
    }
    DeleteFile(dir + "warm.bin");
    Print("curl --cacert -o", curl, double(mb), nullptr);
    Print("THTTPGet", getter, double(mb), &curl);
    std::printf("sizes %s; time %.2fx curl's; target: THTTPGet's time <= 1.10x curl's: %s\n",
                sizesOk ? "ok" : "WRONG", getter.Seconds / curl.Seconds,
                getter.Seconds <= 1.1 * curl.Seconds ? "met" : "MISSED");

    // Handshakes: every answer closes its connection, so each file pays a new one.
    std::printf("\ngetter_bench: %d files of %lld KB over one getter, a new connection each (best of 3)\n", count,
                (long long)(bytes / 1024));
    const std::string plainBase = "http://127.0.0.1:" + std::to_string(port) + "/close/";
    const std::string tlsBase = https + "/close/";
    TResult plain, resumed, full, curlMany;
    bool manyOk = true;
    for (int round = 0; round < 3; ++round) {
        KeepBest(plain, RunGetterMany(plainBase, dir + "plain-", count, true), round == 0);
        manyOk = CheckAndDelete(dir + "plain-", count, bytes) && manyOk;
        KeepBest(curlMany, RunCurlMany(tlsBase, dir + "curl-", count, trust), round == 0);
        manyOk = CheckAndDelete(dir + "curl-", count, bytes) && manyOk;
        KeepBest(resumed, RunGetterMany(tlsBase, dir + "resumed-", count, true), round == 0);
        manyOk = CheckAndDelete(dir + "resumed-", count, bytes) && manyOk;
        KeepBest(full, RunGetterMany(tlsBase, dir + "full-", count, true, true), round == 0);
        manyOk = CheckAndDelete(dir + "full-", count, bytes) && manyOk;
    }
    PrintMany("THTTPGet over http (no handshake)", plain, count, nullptr);
    PrintMany("curl -K https (sessions resumed)", curlMany, count, nullptr);
    PrintMany("THTTPGet https, sessions resumed", resumed, count, &curlMany);
    PrintMany("THTTPGet https, full handshakes", full, count, &curlMany);
    std::printf("sizes %s; handshake cost per connection (over plain http): full %.3f ms, resumed %.3f ms\n",
                manyOk ? "ok" : "WRONG", 1000 * (full.Seconds - plain.Seconds) / count,
                1000 * (resumed.Seconds - plain.Seconds) / count);
    return curl.Ok && getter.Ok && sizesOk && plain.Ok && curlMany.Ok && resumed.Ok && full.Ok && manyOk;
}

// A port on 127.0.0.1 that was free a moment ago.
int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 5 || argc == 7) && std::string(argv[1]) == "--serve") {
        Serve(std::atoi(argv[2]), argv[3], size_t(std::atol(argv[4])), argc == 7 ? argv[5] : "",
              argc == 7 ? argv[6] : "");
        return 0;
    }
    long mb = argc > 1 ? std::atol(argv[1]) : 200;
    int count = argc > 2 ? std::atoi(argv[2]) : 200;
    long kb = argc > 3 ? std::atol(argv[3]) : 50;
    std::string dir = PrivateTempDir();
    std::string src = dir + "big.bin";
    {
        // Varied bytes, written in blocks: the file is made at run time, never stored.
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = char((i * 2654435761u) >> 13);
        TFileStream f(src, fmCreate);
        for (long i = 0; i < mb; ++i) f.WriteBuffer(block.data(), int64_t(block.size()));
    }
    int port = FreePort();
    pid_t server = Spawn({ExecutableFileName(), "--serve", std::to_string(port), src, std::to_string(kb * 1024)});
    if (server < 0 || !WaitForPort(port, 10)) {
        std::fprintf(stderr, "getter_bench: the server did not start\n");
        return 1;
    }
    std::string url = "http://127.0.0.1:" + std::to_string(port) + "/big.bin";
    std::printf("getter_bench: %ld MB over 127.0.0.1 (sendfile server)\n", mb);

    // A warm-up of each, so that page cache and first-use costs are out of the way.
    long blocks = 0;
    RunCurl(url, dir + "warm.bin");
    RunGetter(url, dir + "warm.bin", false, &blocks);

    TResult curl = RunCurl(url, dir + "curl.bin");
    long rssBefore = RssKb();
    TResult plain = RunGetter(url, dir + "plain.bin", false, &blocks);
    long rssAfter = RssKb();
    blocks = 0;
    TResult withProgress = RunGetter(url, dir + "progress.bin", true, &blocks);
    rusage self;
    ::getrusage(RUSAGE_SELF, &self);

    Print("curl -o", curl, double(mb), nullptr);
    Print("THTTPGet", plain, double(mb), &curl);
    Print("THTTPGet with OnProgress", withProgress, double(mb), &curl);
    std::printf("progress events: %ld; getter RSS %ld KB before, %ld KB after, peak %ld KB\n", blocks,
                rssBefore, rssAfter, long(self.ru_maxrss));
    bool sizesOk = FileSize(dir + "plain.bin") == FileSize(src) && FileSize(dir + "progress.bin") == FileSize(src) &&
                   FileSize(dir + "curl.bin") == FileSize(src);
    std::printf("sizes %s; target: THTTPGet >= 0.70x curl throughput: %s\n", sizesOk ? "ok" : "WRONG",
                curl.Seconds / plain.Seconds >= 0.7 ? "met" : "NOT met");
    for (const char* f : {"warm.bin", "curl.bin", "plain.bin", "progress.bin"}) DeleteFile(dir + f);

    // Many small files, one after the other.
    std::string base = "http://127.0.0.1:" + std::to_string(port) + "/small/";
    int64_t bytes = int64_t(kb) * 1024;
    std::printf("\ngetter_bench: %d files of %ld KB, one after the other, over 127.0.0.1 (best of 3)\n", count, kb);
    RunCurlMany(base, dir + "warm-", 20);
    RunGetterMany(base, dir + "warm-", 20, true);
    CheckAndDelete(dir + "warm-", 20, bytes);
    // Each side's best of three rounds, taken in turns: other load on the machine falls on
    // single rounds, not on one side.
    TResult curlMany, oneGetter, newGetters;
    bool manyOk = true;
    auto best = [](TResult& kept, const TResult& r, bool first) {
        if (first || r.Seconds < kept.Seconds) kept = TResult{r.Seconds, r.Cpu, r.Ok && (first || kept.Ok)};
        else kept.Ok = kept.Ok && r.Ok;
    };
    for (int round = 0; round < 3; ++round) {
        best(curlMany, RunCurlMany(base, dir + "curl-", count), round == 0);
        manyOk = CheckAndDelete(dir + "curl-", count, bytes) && manyOk;
        best(oneGetter, RunGetterMany(base, dir + "one-", count, true), round == 0);
        manyOk = CheckAndDelete(dir + "one-", count, bytes) && manyOk;
        best(newGetters, RunGetterMany(base, dir + "new-", count, false), round == 0);
        manyOk = CheckAndDelete(dir + "new-", count, bytes) && manyOk;
    }
    PrintMany("curl -K (one connection)", curlMany, count, nullptr);
    PrintMany("THTTPGet, one getter", oneGetter, count, &curlMany);
    PrintMany("THTTPGet, a new getter per file", newGetters, count, &curlMany);
    std::printf("sizes %s; target: one getter's time <= curl's: %s\n", manyOk ? "ok" : "WRONG",
                oneGetter.Seconds <= curlMany.Seconds ? "met" : "NOT met");

    // Over https, against a second server of the same files that speaks TLS.
    bool httpsOk = true;
    int tlsPort = FreePort();
    pid_t tlsServer = -1;
    if (!MakeCertificate(dir)) {
        std::fprintf(stderr, "getter_bench: no certificate could be made; https is left out\n");
    } else {
        tlsServer = Spawn({ExecutableFileName(), "--serve", std::to_string(tlsPort), src, std::to_string(kb * 1024),
                           dir + "cert.pem", dir + "key.pem"});
        if (tlsServer < 0 || !WaitForPort(tlsPort, 10)) {
            std::fprintf(stderr, "getter_bench: the https server did not start\n");
            httpsOk = false;
        } else {
            try {
                httpsOk = RunHttps(dir, port, tlsPort, src, mb, count, bytes);
            } catch (const Exception& e) {
                std::fprintf(stderr, "getter_bench: %s\n", e.Message().c_str());
                httpsOk = false;
            }
        }
    }
    for (const char* f : {"big.bin", "cert.pem", "key.pem"}) DeleteFile(dir + f);

    for (pid_t child : {server, tlsServer}) {
        if (child <= 0) continue;
        ::kill(child, SIGTERM);
        ::waitpid(child, nullptr, 0);
    }
    bool ok = httpsOk && plain.Ok && withProgress.Ok && curl.Ok && sizesOk;
    ok = ok && curlMany.Ok && oneGetter.Ok && newGetters.Ok && manyOk;
    return ok ? 0 : 1;
}

// Getter benchmark: one large file from a loopback server into a file, fetched by THTTPGet
// without and with a progress handler, and by curl -o as the reference, all in one run.
//
// The server is this program itself started again with "--serve" in a child process: it
// answers each connection with an HTTP/1.0 head and the file through sendfile(), so it
// costs little and is the same for every client. CPU times: the getter's is this process's
// own (the server is another process); curl's is that of the reaped child. Memory: the
// getter's resident set before and after, and the peak, show that the body is never held
// whole.
//
// Usage: getter_bench [MB]   (default 200)
#include "net/inetget/HTTPGet.h"

#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

// ---- the server (child process) -------------------------------------------------------------

void Serve(int port, const std::string& path) {
    // A client that goes away (the start-up probe does) must not end the server.
    std::signal(SIGPIPE, SIG_IGN);
    int lfd = ::socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    ::setsockopt(lfd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    if (::bind(lfd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd, 16) != 0) {
        std::perror("serve: bind");
        std::exit(1);
    }
    struct stat st;
    ::stat(path.c_str(), &st);
    std::string head = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                       std::to_string(st.st_size) + "\r\n\r\n";
    for (;;) {
        int c = ::accept(lfd, nullptr, nullptr);
        if (c < 0) continue;
        // Read the request head (bounded: 5 s, 16 KB), then answer.
        std::string req;
        char buf[4096];
        while (req.find("\r\n\r\n") == std::string::npos && req.size() < 16384) {
            pollfd p{c, POLLIN, 0};
            if (::poll(&p, 1, 5000) != 1) break;
            ssize_t n = ::recv(c, buf, sizeof buf, 0);
            if (n <= 0) break;
            req.append(buf, size_t(n));
        }
        ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
        int f = ::open(path.c_str(), O_RDONLY);
        off_t off = 0;
        while (off < st.st_size)
            if (::sendfile(c, f, &off, size_t(st.st_size - off)) <= 0) break;
        ::close(f);
        ::close(c);
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

TResult RunCurl(const std::string& url, const std::string& out) {
    double t0 = Now(), c0 = CpuSeconds(RUSAGE_CHILDREN);
    pid_t pid = Spawn({"curl", "-sS", "-o", out, url});
    int status = 0;
    ::waitpid(pid, &status, 0);
    TResult r;
    r.Seconds = Now() - t0;
    r.Cpu = CpuSeconds(RUSAGE_CHILDREN) - c0;
    r.Ok = pid > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

void Print(const char* name, const TResult& r, double mb, const TResult* ref) {
    std::printf("%-28s %7.3f s  %8.1f MB/s  cpu %6.3f s  %s", name, r.Seconds, mb / r.Seconds, r.Cpu,
                r.Ok ? "ok" : "FAILED");
    if (ref) std::printf("  throughput %.2fx curl, cpu %.2fx curl", ref->Seconds / r.Seconds, r.Cpu / ref->Cpu);
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--serve") {
        Serve(std::atoi(argv[2]), argv[3]);
        return 0;
    }
    long mb = argc > 1 ? std::atol(argv[1]) : 200;
    std::string dir = PrivateTempDir();
    std::string src = dir + "big.bin";
    {
        // Varied bytes, written in blocks: the file is made at run time, never stored.
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i) block[i] = char((i * 2654435761u) >> 13);
        TFileStream f(src, fmCreate);
        for (long i = 0; i < mb; ++i) f.WriteBuffer(block.data(), int64_t(block.size()));
    }
    int port = 0;
    {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        ::close(fd);
    }
    pid_t server = Spawn({ExecutableFileName(), "--serve", std::to_string(port), src});
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
    ::kill(server, SIGTERM);
    ::waitpid(server, nullptr, 0);
    for (const char* f : {"big.bin", "warm.bin", "curl.bin", "plain.bin", "progress.bin"}) DeleteFile(dir + f);
    return plain.Ok && withProgress.Ok && curl.Ok && sizesOk ? 0 : 1;
}

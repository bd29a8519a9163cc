// ChildProcess: spawning, ending and watching test servers.
//
// The child gets its own process group (POSIX_SPAWN_SETPGROUP with group 0), so that
// ending the group also ends anything the server itself started. Waiting for the child
// uses waitpid(WNOHANG) with short sleeps inside a time bound; there is no descriptor to
// block on for a child's end that would be simpler.
#include "tests/support/ChildProcess.h"

#include "platform/rtl/Classes.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <spawn.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

std::atomic<int> gNextFile{0};

std::string ScratchName(const std::string& stem) {
    return PrivateTempDir() + stem + "-" + IntToStr(::getpid()) + "-" + IntToStr(gNextFile++);
}

// The current environment with Extra's entries added or replacing those of the same name.
std::vector<std::string> MergedEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        std::string name = entry.substr(0, entry.find('='));
        bool replaced = false;
        for (const std::string& x : extra) replaced |= x.substr(0, x.find('=')) == name;
        if (!replaced) env.push_back(entry);
    }
    env.insert(env.end(), extra.begin(), extra.end());
    return env;
}

std::vector<char*> CStrings(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& t : texts) out.push_back(t.data());
    out.push_back(nullptr);
    return out;
}

}  // namespace

TChildProcess::TChildProcess(const std::vector<std::string>& argv, bool captureOutput,
                             const std::vector<std::string>& extraEnv) {
    if (argv.empty()) throw Exception("Cannot start: empty command");
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attr;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                        POSIX_SPAWN_SETSIGDEF);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    if (captureOutput) FOutputFile = ScratchName("child-output");
    const char* out = captureOutput ? FOutputFile.c_str() : "/dev/null";
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, out, O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);

    std::vector<std::string> args = argv;
    std::vector<std::string> env = MergedEnvironment(extraEnv);
    std::vector<char*> cargs = CStrings(args), cenv = CStrings(env);
    int rc = posix_spawnp(&FPid, cargs[0], &actions, &attr, cargs.data(), cenv.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        FPid = -1;
        throw Exception("Cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

TChildProcess::~TChildProcess() {
    if (FPid <= 0 || !Running()) return;
    // Signal the group only while its leader is unreaped: until then the group id cannot
    // belong to anyone else.
    ::kill(-FPid, SIGTERM);
    if (Wait(1500) < 0) {
        ::kill(-FPid, SIGKILL);
        Wait(1000);
    }
}

bool TChildProcess::Running() { return Wait(0) < 0; }

int TChildProcess::Wait(int timeoutMs) {
    if (FStatus >= 0) return FStatus;
    for (int waited = 0;; waited += 10) {
        int status = 0;
        pid_t r = ::waitpid(FPid, &status, WNOHANG);
        if (r == FPid) {
            FStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            return FStatus;
        }
        if (r < 0) return FStatus = 255;  // not our child any more
        if (waited >= timeoutMs) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string TChildProcess::Output() const {
    if (FOutputFile.empty() || !FileExists(FOutputFile)) return "";
    TFileStream f(FOutputFile, fmOpenRead);
    TStringStream s;
    s.CopyFrom(f, 0);
    return s.DataString();
}

// ==== ports ===================================================================================

int FreeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0)
        port = ntohs(a.sin_port);
    if (fd >= 0) ::close(fd);
    if (port == 0) throw Exception("No free loopback port");
    return port;
}

namespace {

// One bounded connection attempt.
bool TryConnect(int port, int timeoutMs) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(uint16_t(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    if (!ok && errno == EINPROGRESS) {
        pollfd p{fd, POLLOUT, 0};
        int err = 0;
        socklen_t len = sizeof err;
        ok = ::poll(&p, 1, timeoutMs) == 1 &&
             ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    ::close(fd);
    return ok;
}

}  // namespace

bool WaitForPort(int port, int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (TryConnect(port, 200)) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ==== ready-made servers ==========================================================================

namespace {

TServerProcess StartAndWait(const std::vector<std::string>& argv, int port, int timeoutMs,
                            const std::string& what) {
    TServerProcess s;
    s.Port = port;
    s.Process = std::make_unique<TChildProcess>(argv, true);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!WaitForPort(port, 100)) {
        if (!s.Process->Running())
            throw Exception(what + " ended at start: " + s.Process->Output());
        if (std::chrono::steady_clock::now() >= deadline)
            throw Exception(what + " does not accept on port " + IntToStr(port));
    }
    return s;
}

}  // namespace

TServerProcess StartPythonHttpServer(const std::string& dir, int timeoutMs) {
    int port = FreeLoopbackPort();
    return StartAndWait({"python3", "-m", "http.server", "--bind", "127.0.0.1", IntToStr(port),
                         "--directory", dir},
                        port, timeoutMs, "python3 http.server");
}

TServerProcess StartPythonHttp11Server(const std::string& dir, int timeoutMs) {
    static const char* script =
        "import functools, http.server, sys\n"
        "class Handler(http.server.SimpleHTTPRequestHandler):\n"
        "    protocol_version = 'HTTP/1.1'\n"
        "    def log_message(self, format, *args):\n"
        "        sys.stderr.write('%d %s\\n' % (self.client_address[1], format % args))\n"
        "        sys.stderr.flush()\n"
        "handler = functools.partial(Handler, directory=sys.argv[2])\n"
        "http.server.ThreadingHTTPServer(('127.0.0.1', int(sys.argv[1])), handler).serve_forever()\n";
    int port = FreeLoopbackPort();
    return StartAndWait({"python3", "-c", script, IntToStr(port), dir}, port, timeoutMs,
                        "python3 http.server (HTTP/1.1)");
}

int PythonClientConnections(const TServerProcess& server) {
    std::set<std::string> ports;
    std::istringstream log(server.Process->Output());
    for (std::string line; std::getline(log, line);) {
        size_t sp = line.find(" \"");
        if (sp != std::string::npos && sp > 0) ports.insert(line.substr(0, sp));
    }
    return int(ports.size());
}

TServerProcess StartTinyProxy(int timeoutMs) {
    int port = FreeLoopbackPort();
    std::string conf = ScratchName("tinyproxy") + ".conf";
    // tinyproxy reads plain LF lines only.
    std::string text = "Port " + IntToStr(port) + "\n"
                       "Listen 127.0.0.1\n"
                       "Timeout 30\n"
                       "MaxClients 20\n"
                       "Allow 127.0.0.1\n"
                       "LogLevel Info\n"
                       "DisableViaHeader Yes\n";
    // Run as whoever we are; as root tinyproxy would otherwise switch to another user.
    if (::getuid() == 0) text += "User root\nGroup root\n";
    {
        TFileStream f(conf, fmCreate);
        f.WriteBuffer(text.data(), int64_t(text.size()));
    }
    // Debian installs it in /usr/sbin or /usr/bin depending on the release.
    std::string program = FileExists("/usr/sbin/tinyproxy") ? "/usr/sbin/tinyproxy" : "tinyproxy";
    return StartAndWait({program, "-d", "-c", conf}, port, timeoutMs, "tinyproxy");
}

// Demo site over loopback: the site started by the test on a free port, talked to with a
// plain blocking client whose every read has a time bound.
#include "demo/DemoSite.h"
#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

struct TReply {
    bool Connected = false;
    std::string Head;
    std::string Body;
    int Status = 0;
    long ContentLength = -1;
};

int ConnectLoopback(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(uint16_t(port));
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends Raw, reads until the server closes (or 5 s pass without data).
TReply Exchange(int port, const std::string& raw) {
    TReply r;
    int fd = ConnectLoopback(port);
    if (fd < 0) return r;
    r.Connected = true;
    ::send(fd, raw.data(), raw.size(), MSG_NOSIGNAL);
    std::string all;
    char buf[65536];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) all.append(buf, size_t(n));
    ::close(fd);
    size_t end = all.find("\r\n\r\n");
    if (end == std::string::npos) return r;
    r.Head = all.substr(0, end + 2);
    r.Body = all.substr(end + 4);
    std::sscanf(r.Head.c_str(), "HTTP/1.0 %d", &r.Status);
    size_t cl = r.Head.find("Content-Length: ");
    if (cl != std::string::npos) r.ContentLength = std::stol(r.Head.substr(cl + 16));
    return r;
}

TReply Get(int port, const std::string& target) {
    return Exchange(port, "GET " + target + " HTTP/1.0\r\nHost: 127.0.0.1:" +
                              std::to_string(port) + "\r\n\r\n");
}

// Every transport the build has: the socket layer's (when built) and the poll one.
class SiteLoopback : public ::testing::TestWithParam<bool> {
protected:
    static TSiteOptions Options() {
        TSiteOptions o = TDemoSiteThread::Loopback();
        o.UsePollTransport = GetParam();
        return o;
    }
};

INSTANTIATE_TEST_SUITE_P(Transports, SiteLoopback, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? "Poll" : "Default";
                         });

TEST_P(SiteLoopback, ServesPagesXmlPhotosAndFaults) {
    TDemoSiteThread site(Options());
    int port = site.Site().Port();
    ASSERT_GT(port, 0);

    TReply page = Get(port, "/album/spring12.html");
    EXPECT_EQ(page.Status, 200);
    EXPECT_NE(page.Body.find("code_without_top.html?id=spring12&"), std::string::npos);
    EXPECT_EQ(long(page.Body.size()), page.ContentLength);

    TReply xml = Get(port, "/xml?spring12");
    EXPECT_NE(xml.Body.find("<image path=\"http://" + site.Address() + "/photos/spring12/11.jpg\""),
              std::string::npos);

    TReply photo = Get(port, "/photos/spring12/3.jpg");
    EXPECT_EQ(photo.Body, *DemoPhotoJpeg("spring12", 3));

    TReply cut = Get(port, "/photos/cutoff/3.jpg");
    EXPECT_EQ(cut.Status, 200);
    EXPECT_EQ(cut.ContentLength, long(DemoPhotoJpeg("cutoff", 3)->size()));
    EXPECT_EQ(long(cut.Body.size()), cut.ContentLength / 2);

    EXPECT_EQ(Get(port, "/photos/missing404/2.jpg").Status, 404);
    EXPECT_EQ(Exchange(port, "NONSENSE\r\n\r\n").Status, 400);

    auto log = site.Site().Requests();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[2], "GET /photos/spring12/3.jpg 200 " + std::to_string(photo.Body.size()));
    EXPECT_EQ(log[3].substr(log[3].size() - 4), " cut");
}

TEST_P(SiteLoopback, TrickleIsSlowButDoesNotHoldUpOtherRequests) {
    TDemoSiteThread site(Options());
    int port = site.Site().Port();
    const size_t size = DemoPhotoJpeg("slow", 0)->size();
    auto start = std::chrono::steady_clock::now();
    TReply slow;
    std::thread t([&] { slow = Get(port, "/photos/slow/0.jpg"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    auto quickStart = std::chrono::steady_clock::now();
    EXPECT_EQ(Get(port, "/").Status, 200);
    auto quick = std::chrono::steady_clock::now() - quickStart;
    t.join();
    auto total = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(slow.Body.size(), size);
    size_t pauses = (size - 1) / TrickleBytes;
    EXPECT_GE(total, std::chrono::milliseconds(TrickleDelayMs) * pauses);
    EXPECT_LT(quick, std::chrono::milliseconds(TrickleDelayMs) * pauses / 2);
}

TEST_P(SiteLoopback, ReportsGoToTheReportLogInOrder) {
    std::string file = std::string(::testing::TempDir()) + "tavo-loopback-report.log";
    TSiteOptions o = Options();
    o.ReportLog = file;
    TDemoSiteThread site(o);
    int port = site.Site().Port();
    for (std::string body : {"source_url=x&music=&title=a+b&version=KV1.0", "n=2"}) {
        TReply r = Exchange(port, "POST /owlmere/skyfen/log.php HTTP/1.0\r\nContent-Type: "
                                  "application/x-www-form-urlencoded\r\nContent-Length: " +
                                      std::to_string(body.size()) + "\r\n\r\n" + body);
        EXPECT_EQ(r.Status, 200);
    }
    EXPECT_EQ(site.Site().Reports().size(), 2u);
    std::ifstream in(file);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), "source_url=x&music=&title=a+b&version=KV1.0\nn=2\n");
}

TEST_P(SiteLoopback, ListeningTwiceOnOnePortFails) {
    TDemoSiteThread site(Options());
    TSiteOptions o = Options();
    o.Port = site.Site().Port();
    EXPECT_THROW(TDemoSiteThread second(o), ESiteError);
    o.Bind = "not-an-address";
    o.Port = 0;
    EXPECT_THROW(TDemoSiteThread third(o), ESiteError);
}

// ---- the executable -------------------------------------------------------------------

const std::string SiteExe = std::string(ALBRIVO_BINARY_DIR) + "/demo/tavo-site";

std::string RunAndRead(const std::string& command) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) return out;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    ::pclose(p);
    return out;
}

TEST(TavoSiteProgram, PrintsTheSampleAddress) {
    EXPECT_EQ(RunAndRead(SiteExe + " --print-sample-url --port 4321"),
              "http://127.0.0.1:4321/album/spring12.html\n");
}

TEST(TavoSiteProgram, ServesUntilTerminatedAndLogsEachRequest) {
    int port = 0;
    {
        // A free port: bind to 0, read it, release it for the child.
        TSiteOptions o = TDemoSiteThread::Loopback();
        TDemoSite probe(o);
        port = probe.Port();
    }
    std::string out = std::string(::testing::TempDir()) + "tavo-site-stdout.txt";
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::freopen(out.c_str(), "w", stdout);
        ::execl(SiteExe.c_str(), SiteExe.c_str(), "--port", std::to_string(port).c_str(), nullptr);
        ::_exit(127);
    }
    TReply r;
    for (int i = 0; i < 100 && !r.Connected; ++i) {
        r = Get(port, "/xml?empty0");
        if (!r.Connected) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(r.Status, 200);
    ::kill(pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 250 && ::waitpid(pid, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (::waitpid(pid, &status, WNOHANG) == 0 && !WIFEXITED(status)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(out);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_NE(all.str().find("GET /xml?empty0 200 "), std::string::npos) << all.str();
}

}  // namespace

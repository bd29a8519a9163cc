// Demo site over loopback: the site started by the test on a free port, on each transport
// (the socket layer's and the poll one), talked to with a plain blocking client whose
// every read has a time bound. Connections: keep-alive, pipelining, idle limits and
// latency; then the tavo-site program itself.
#include "SiteClient.h"
#include "demo/DemoSite.h"
#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

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
                             return i.param ? "Poll" : "WSocket";
                         });

TEST_P(SiteLoopback, ServesPagesXmlPhotosAndFaults) {
    TDemoSiteThread site(Options());
    int port = site.Site().Port();
    ASSERT_GT(port, 0);

    TTestReply page = Get(port, "/album/spring12.html");
    EXPECT_EQ(page.StatusLine, "HTTP/1.1 200 OK");
    EXPECT_NE(page.Body.find("code_without_top.html?id=spring12&"), std::string::npos);
    EXPECT_EQ(page.Header("Content-Length"), std::to_string(page.Body.size()));
    EXPECT_TRUE(page.Closed);

    TTestReply xml = Get(port, "/xml?spring12");
    EXPECT_NE(xml.Body.find("<image path=\"http://" + site.Address() + "/photos/spring12/11.jpg\""),
              std::string::npos);

    TTestReply photo = Get(port, "/photos/spring12/3.jpg");
    EXPECT_EQ(photo.Body, *DemoPhotoJpeg("spring12", 3));

    TTestReply cut = Get(port, "/photos/cutoff/3.jpg");
    EXPECT_EQ(cut.Status, 200);
    EXPECT_FALSE(cut.Complete);
    EXPECT_TRUE(cut.Closed);
    EXPECT_EQ(cut.Header("Content-Length"), std::to_string(DemoPhotoJpeg("cutoff", 3)->size()));
    EXPECT_EQ(cut.Body.size(), DemoPhotoJpeg("cutoff", 3)->size() / 2);

    EXPECT_EQ(Get(port, "/photos/missing404/2.jpg").Status, 404);
    EXPECT_EQ(Exchange(port, "NONSENSE\r\n\r\n").StatusLine, "HTTP/1.1 400 Bad Request");

    auto log = site.Site().Requests();
    ASSERT_EQ(log.size(), 6u);
    EXPECT_EQ(log[2], "GET /photos/spring12/3.jpg 200 " + std::to_string(photo.Body.size()));
    EXPECT_EQ(log[3].substr(log[3].size() - 4), " cut");
}

TEST_P(SiteLoopback, KeepAliveByVersionAndConnectionHeader) {
    TDemoSiteThread site(Options());
    struct TCase { std::string version, headers, connection; bool reused; };
    const TCase cases[] = {
        {"HTTP/1.1", "", "keep-alive", true},
        {"HTTP/1.1", "Connection: close\r\n", "close", false},
        {"HTTP/1.0", "", "close", false},
        {"HTTP/1.0", "Connection: keep-alive\r\n", "keep-alive", true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.version + " " + c.headers);
        TTestConnection conn(site.Site().Port());
        ASSERT_TRUE(conn.Send(RequestText("/xml?spring12", c.version, c.headers)));
        TTestReply first = conn.Read();
        EXPECT_TRUE(first.Complete);
        EXPECT_EQ(first.StatusLine, "HTTP/1.1 200 OK");
        EXPECT_EQ(first.Header("Connection"), c.connection);
        if (!c.reused) {
            EXPECT_TRUE(conn.ClosedWithin(3000));
            continue;
        }
        // Several more requests on the same connection, the last one closing it.
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(conn.Send(RequestText("/photos/spring12/" + std::to_string(i) + ".jpg", c.version, c.headers)));
            TTestReply next = conn.Read();
            EXPECT_TRUE(next.Complete) << i;
            EXPECT_EQ(next.Body, *DemoPhotoJpeg("spring12", i)) << i;
        }
        ASSERT_TRUE(conn.Send(RequestText("/", c.version, "Connection: close\r\n")));
        TTestReply last = conn.Read();
        EXPECT_EQ(last.Status, 200);
        EXPECT_EQ(last.Header("Connection"), "close");
        EXPECT_TRUE(conn.ClosedWithin(3000));
    }
}

TEST_P(SiteLoopback, AnswersThatEndAtTheCloseHaveNoLengthAndCloseTheirConnection) {
    TSiteOptions o = Options();
    o.EndAtClose = true;
    TDemoSiteThread site(o);
    for (const char* version : {"HTTP/1.1", "HTTP/1.0"}) {
        SCOPED_TRACE(version);
        TTestConnection conn(site.Site().Port());
        ASSERT_TRUE(conn.Send(RequestText("/photos/spring12/3.jpg", version, "Connection: keep-alive\r\n")));
        TTestReply photo = conn.Read();
        EXPECT_EQ(photo.Status, 200);
        EXPECT_FALSE(photo.Has("Content-Length"));
        EXPECT_EQ(photo.Header("Connection"), "close");
        EXPECT_TRUE(photo.Closed);
        EXPECT_EQ(photo.Body, *DemoPhotoJpeg("spring12", 3));
    }
}

TEST_P(SiteLoopback, PipelinedRequestsAreAnsweredInOrder) {
    TDemoSiteThread site(Options());
    TTestConnection conn(site.Site().Port());
    std::string batch;
    for (int i = 0; i < 5; ++i) batch += RequestText("/photos/night40/" + std::to_string(i) + ".jpg");
    batch += RequestText("/owlmere/skyfen/log.php", "HTTP/1.1", "Content-Length: 3\r\n", "POST") + "a=1";
    batch += RequestText("/xml?empty0", "HTTP/1.1", "Connection: close\r\n");
    ASSERT_TRUE(conn.Send(batch));
    for (int i = 0; i < 5; ++i) {
        TTestReply r = conn.Read();
        ASSERT_TRUE(r.Complete) << i;
        EXPECT_EQ(r.Body, *DemoPhotoJpeg("night40", i)) << i;
    }
    EXPECT_EQ(conn.Read().Body, "ok");
    TTestReply last = conn.Read();
    EXPECT_NE(last.Body.find("id=\"empty0\""), std::string::npos);
    EXPECT_TRUE(conn.ClosedWithin(3000));
    EXPECT_EQ(site.Site().Reports(), std::vector<std::string>{"a=1"});
}

TEST_P(SiteLoopback, LimitsAndIdleConnections) {
    TSiteOptions o = Options();
    o.IdleTimeoutMs = 300;
    TDemoSiteThread site(o);
    int port = site.Site().Port();
    struct TCase { std::string raw; std::string statusLine; };
    const TCase cases[] = {
        {"GET /" + std::string(MaxRequestLineBytes + 10, 'a') + " HTTP/1.1\r\n\r\n", "HTTP/1.1 414 URI Too Long"},
        {"POST / HTTP/1.1\r\nContent-Length: " + std::to_string(MaxRequestBodyBytes + 1) + "\r\n\r\n",
         "HTTP/1.1 413 Payload Too Large"},
        {[] {
             std::string r = "GET / HTTP/1.1\r\n";
             for (size_t i = 0; i <= MaxHeaderCount; ++i) r += "X-" + std::to_string(i) + ": v\r\n";
             return r + "\r\n";
         }(),
         "HTTP/1.1 431 Request Header Fields Too Large"},
    };
    for (const TCase& c : cases) {
        TTestReply r = Exchange(port, c.raw);
        EXPECT_EQ(r.StatusLine, c.statusLine);
        EXPECT_EQ(r.Header("Connection"), "close");  // what follows cannot be trusted
        EXPECT_TRUE(r.Closed);
    }
    // A connection that sends nothing, and one idle after an answer, are dropped.
    auto start = TTestClock::now();
    TTestConnection silent(port);
    EXPECT_TRUE(silent.ClosedWithin(5000));
    EXPECT_GE(MillisecondsSince(start), 250);
    TTestConnection idle(port);
    ASSERT_TRUE(idle.Send(RequestText("/xml?empty0")));
    EXPECT_TRUE(idle.Read().Complete);
    start = TTestClock::now();
    EXPECT_TRUE(idle.ClosedWithin(5000));
    EXPECT_GE(MillisecondsSince(start), 250);
}

// Latency: once per connection before the first request is read, and each answer a
// latency after its request arrived, each connection on its own timer.
TEST_P(SiteLoopback, LatencyPerConnectionAndPerRequestHoldsUpNoOne) {
    constexpr int L = 200, N = 3;
    TSiteOptions o = Options();
    o.LatencyMs = L;
    TDemoSiteThread site(o);
    int port = site.Site().Port();
    for (bool pipelined : {false, true}) {
        SCOPED_TRACE(pipelined ? "pipelined" : "one after the other");
        auto start = TTestClock::now();
        TTestConnection conn(port);
        long firstAnswer = 0;
        if (pipelined) {
            std::string batch;
            for (int i = 0; i < N; ++i) batch += RequestText("/photos/spring12/" + std::to_string(i) + ".jpg");
            ASSERT_TRUE(conn.Send(batch));
        }
        for (int i = 0; i < N; ++i) {
            if (!pipelined) {
                ASSERT_TRUE(conn.Send(RequestText("/photos/spring12/" + std::to_string(i) + ".jpg")));
            }
            TTestReply r = conn.Read();
            ASSERT_TRUE(r.Complete) << i;
            if (i == 0) firstAnswer = MillisecondsSince(start);
        }
        long total = MillisecondsSince(start);
        EXPECT_GE(firstAnswer, 2 * L);
        if (pipelined) {
            EXPECT_LT(total, 3 * L);  // the requests waited out their latency together
        } else {
            EXPECT_GE(total, (N + 1) * L);
            EXPECT_LT(total, (N + 2) * L);  // not one latency more
        }
    }
    // A connection waiting out its latencies holds up no other connection.
    TTestConnection slow(port);
    std::string batch;
    for (int i = 0; i < 4; ++i) batch += RequestText("/xml?empty0");
    ASSERT_TRUE(slow.Send(batch));
    std::this_thread::sleep_for(std::chrono::milliseconds(L / 2));
    auto start = TTestClock::now();
    TTestReply quick = Exchange(port, RequestText("/xml?spring12", "HTTP/1.0"));
    long quickMs = MillisecondsSince(start);
    EXPECT_EQ(quick.Status, 200);
    EXPECT_GE(quickMs, 2 * L);
    EXPECT_LT(quickMs, 4 * L);  // the slow connection still has answers to wait for
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(slow.Read().Complete) << i;
}

// Pipelined requests on a connection whose own latency has passed cost one latency
// together, not one each; the bound leaves a loaded machine more than a latency of slack.
TEST_P(SiteLoopback, PipelinedRequestsShareTheirLatency) {
    constexpr int L = 100, N = 3;
    TSiteOptions o = Options();
    o.LatencyMs = L;
    TDemoSiteThread site(o);
    TTestConnection conn(site.Site().Port());
    ASSERT_TRUE(conn.Send(RequestText("/xml?empty0")));
    ASSERT_TRUE(conn.Read().Complete);
    std::string batch;
    for (int i = 0; i < N; ++i) batch += RequestText("/photos/spring12/" + std::to_string(i) + ".jpg");
    auto start = TTestClock::now();
    ASSERT_TRUE(conn.Send(batch));
    for (int i = 0; i < N; ++i) ASSERT_TRUE(conn.Read().Complete) << i;
    EXPECT_LT(MillisecondsSince(start), 250);  // one after the other: 300 and more
}

TEST_P(SiteLoopback, TrickleAndStallDoNotHoldUpOtherRequests) {
    TDemoSiteThread site(Options());
    int port = site.Site().Port();
    const size_t size = DemoPhotoJpeg("slow", 0)->size();
    auto start = TTestClock::now();
    TTestReply slow;
    std::thread t([&] { slow = Get(port, "/photos/slow/0.jpg"); });
    TTestConnection stalled(port);
    ASSERT_TRUE(stalled.Send(RequestText("/photos/stall/1.jpg")));
    EXPECT_EQ(stalled.Read(size_t(-1), 300).Status, 200);  // the head, then nothing
    auto quickStart = TTestClock::now();
    EXPECT_EQ(Get(port, "/").Status, 200);
    long quick = MillisecondsSince(quickStart);
    t.join();
    long total = MillisecondsSince(start);
    EXPECT_EQ(slow.Body.size(), size);
    long pauses = long((size - 1) / TrickleBytes);
    EXPECT_GE(total, TrickleDelayMs * pauses);
    EXPECT_LT(quick, TrickleDelayMs * pauses / 2);
}

TEST_P(SiteLoopback, ReportsGoToTheReportLogInOrder) {
    std::string file = std::string(::testing::TempDir()) + "tavo-loopback-report-" +
                       std::to_string(::getpid()) + (GetParam() ? "p" : "w") + ".log";
    TSiteOptions o = Options();
    o.ReportLog = file;
    TDemoSiteThread site(o);
    int port = site.Site().Port();
    for (std::string body : {"source_url=x&music=&title=a+b&version=KV1.0", "n=2"}) {
        TTestReply r = Exchange(port, RequestText("/owlmere/skyfen/log.php", "HTTP/1.0",
                                                  "Content-Type: application/x-www-form-urlencoded\r\n"
                                                  "Content-Length: " + std::to_string(body.size()) + "\r\n",
                                                  "POST") + body);
        EXPECT_EQ(r.Status, 200);
    }
    EXPECT_EQ(site.Site().Reports().size(), 2u);
    std::ifstream in(file);
    std::stringstream all;
    all << in.rdbuf();
    EXPECT_EQ(all.str(), "source_url=x&music=&title=a+b&version=KV1.0\nn=2\n");
    std::remove(file.c_str());
}

TEST_P(SiteLoopback, ListeningTwiceOnOnePortFails) {
    TDemoSiteThread site(Options());
    TSiteOptions o = Options();
    o.Port = site.Site().Port();
    EXPECT_THROW(TDemoSiteThread second(o), ESiteError);
    o.Bind = "not-an-address";
    o.Port = 0;
    try {
        TDemoSiteThread third(o);
        ADD_FAILURE() << "listened on a bad address";
    } catch (const ESiteError& e) {
        EXPECT_EQ(std::string(e.what()).rfind("Cannot listen on not-an-address:0: ", 0), 0u) << e.what();
    }
}

// ---- the executable -------------------------------------------------------------------

const std::string SiteExe = std::string(ALBRIVO_BINARY_DIR) + "/demo/tavo-site";

struct TRun {
    int Code = -1;
    std::string Out, Err;
};

// Runs tavo-site with Args (already quoted for the shell), capturing both streams.
TRun RunSite(const std::string& args) {
    std::string err = std::string(::testing::TempDir()) + "tavo-site-stderr-" + std::to_string(::getpid());
    TRun run;
    FILE* p = ::popen((SiteExe + " " + args + " 2>" + err).c_str(), "r");
    if (!p) return run;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) run.Out.append(buf, n);
    int status = ::pclose(p);
    run.Code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::ifstream in(err);
    std::stringstream all;
    all << in.rdbuf();
    run.Err = all.str();
    std::remove(err.c_str());
    return run;
}

const std::string UsageLine =
    "usage: tavo-site [--bind ADDR] [--port PORT] [--report-log FILE] [--latency MS] [--close]\n"
    "                 [--poll] [--tls-cert FILE --tls-key FILE] [--help] [--version]\n";

TEST(TavoSiteProgram, HelpAndVersion) {
    TRun help = RunSite("--help");
    EXPECT_EQ(help.Code, 0);
    EXPECT_EQ(help.Err, "");
    EXPECT_EQ(help.Out.rfind(UsageLine, 0), 0u) << help.Out;
    for (const char* option : {"-b, --bind=ADDR", "-p, --port=PORT", "    --report-log=FILE", "    --latency=MS",
                               "    --poll", "    --tls-cert=FILE", "    --tls-key=FILE", "-h, --help", "-V, --version"})
        EXPECT_NE(help.Out.find("\n  " + std::string(option)), std::string::npos) << option;
    for (const char* args : {"--port 1 --version", "-V", "--vers"}) {
        TRun version = RunSite(args);
        EXPECT_EQ(version.Code, 0);
        EXPECT_EQ(version.Out, "tavo-site " ALBRIVO_VERSION "\n");
    }
    TRun full = RunSite("--help >/dev/full");
    EXPECT_EQ(full.Code, 1);
    EXPECT_EQ(full.Err, "tavo-site: cannot write to standard output: No space left on device\n");
}

TEST(TavoSiteProgram, ArgumentErrorsGoToStandardErrorWithExitTwo) {
    struct TCase { std::string args, reason; };
    const TCase cases[] = {
        {"--print-sample-url", "unknown argument: --print-sample-url"},
        {"extra", "unknown argument: extra"},
        {"--port", "--port needs a value"},
        {"-p", "-p needs a value"},
        {"--latency", "--latency needs a value"},
        {"--poll=1", "--poll takes no value"},
        {"-p 65536", "invalid port: 65536"},
        {"--po=1", "ambiguous option: --po (--port, --poll)"},
        {"--por=65536", "invalid port: 65536"},
        {"--port 65536", "invalid port: 65536"},
        {"--port -1", "invalid port: -1"},
        {"--port 12x", "invalid port: 12x"},
        {"--latency 60001", "invalid latency (0 to 60000 ms): 60001"},
        {"--latency ''", "invalid latency (0 to 60000 ms): "},
        {"--tls-cert cert.pem", "--tls-cert and --tls-key go together"},
        {"--tls-key key.pem --port 0", "--tls-cert and --tls-key go together"},
        {"--tls-cert", "--tls-cert needs a value"},
    };
    for (const TCase& c : cases) {
        TRun run = RunSite(c.args);
        EXPECT_EQ(run.Code, 2) << c.args;
        EXPECT_EQ(run.Out, "") << c.args;
        EXPECT_EQ(run.Err, "tavo-site: " + c.reason + "\n" + UsageLine) << c.args;
    }
}

TEST(TavoSiteProgram, ServesWithLatencyUntilTerminatedAndLogsEachRequest) {
    int port = 0;
    {
        // A free port: bind to 0, read it, release it for the child.
        TSiteOptions o = TDemoSiteThread::Loopback();
        TDemoSite probe(o);
        port = probe.Port();
    }
    std::string out = std::string(::testing::TempDir()) + "tavo-site-stdout-" + std::to_string(::getpid());
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (!std::freopen(out.c_str(), "w", stdout)) ::_exit(126);
        ::execl(SiteExe.c_str(), SiteExe.c_str(), "--port", std::to_string(port).c_str(), "--latency", "150",
                "--poll", nullptr);
        ::_exit(127);
    }
    TTestReply r;
    long ms = 0;
    for (int i = 0; i < 100 && !r.Complete; ++i) {
        auto start = TTestClock::now();
        r = Get(port, "/xml?empty0");
        ms = MillisecondsSince(start);
        if (!r.Complete) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(r.Status, 200);
    EXPECT_GE(ms, 300);  // the connection's latency and the request's
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
    EXPECT_EQ(all.str().rfind("tavo-site listening on http://127.0.0.1:" + std::to_string(port) +
                                  "/ (sample album http://127.0.0.1:" + std::to_string(port) +
                                  "/album/spring12.html)\n", 0), 0u) << all.str();
    EXPECT_NE(all.str().find("\nGET /xml?empty0 200 "), std::string::npos) << all.str();
    std::remove(out.c_str());
}

}  // namespace

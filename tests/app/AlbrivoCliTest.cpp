// albrivo-cli as a child process against the demo site in this process: exit codes and
// output of whole runs, the conventions of a command-line program (--help, --version,
// errors on standard error with the usage line, a standard output that cannot be
// written), several albums in one run and address lists, the usage report and
// --no-report, --quiet, the progress line on a terminal (through a pseudo-terminal),
// Ctrl-C and SIGTERM, and folders that cannot be made or written.
#include "album/commonFunc.h"
#include "demo/DemoSite.h"
#include "platform/tls/Tls.h"
#include "tests/support/TestCertificates.h"
#include "demo/SiteAlbums.h"
#include "demo/SiteMedia.h"
#include "platform/rtl/FileSys.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LoopbackListen.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <sstream>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string Cli = std::string(ALBRIVO_BINARY_DIR) + "/app/albrivo-cli";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::string ReadFile(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    std::stringstream all;
    all << in.rdbuf();
    return all.str();
}

#define REQUIRE_ALBUM(id)                                                      \
    do {                                                                       \
        if (!FindDemoAlbum(id)) FAIL() << "the demo site has no album " << (id); \
    } while (0)

int ClosedPort() {
    TDemoSiteThread site;
    return site.Site().Port();
}

// A child whose standard output and error go to files of their own.
struct TSplitRun {
    int Code = -1;
    std::string Out, Err;
};

class AlbrivoCli : public ::testing::Test {
protected:
    TDemoSiteThread Site;
    std::string Dir = NewDir();

    static std::string NewDir() {
        static int serial = 0;
        return PrivateTempDir() + "cli-" + std::to_string(++serial);
    }
    std::vector<std::string> Args(std::vector<std::string> extra) const {
        std::vector<std::string> a = {Cli, "--dir", Dir, "--site", Site.Address()};
        a.insert(a.end(), extra.begin(), extra.end());
        return a;
    }
    std::string Page(const std::string& id) const { return Site.Url("/album/" + id + ".html"); }
    // Runs Argv with its two outputs apart (through sh, which only redirects). Before: shell
    // commands run first ("cd DIR && ", "printf ... | ").
    TSplitRun RunSplit(const std::vector<std::string>& argv, int timeoutMs = 60000, const std::string& before = "") {
        static int serial = 0;
        std::string base = PrivateTempDir() + "split-" + std::to_string(++serial);
        std::vector<std::string> sh = {"/bin/sh", "-c",
                                       before + "exec \"$@\" >\"" + base + ".out\" 2>\"" + base + ".err\"", "sh"};
        sh.insert(sh.end(), argv.begin(), argv.end());
        TChildProcess child(sh);
        TSplitRun r;
        r.Code = child.Wait(timeoutMs);
        r.Out = ReadFile(base + ".out");
        r.Err = ReadFile(base + ".err");
        return r;
    }
    static void WaitForOutput(TChildProcess& child, const std::string& part, int timeoutMs = 20000) {
        for (int waited = 0; waited < timeoutMs && !Contains(child.Output(), part); waited += 20)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ASSERT_TRUE(Contains(child.Output(), part)) << child.Output();
    }
};

TEST_F(AlbrivoCli, ExitCodesAndOutput) {
    struct TCase {
        const char* Name;
        std::vector<std::string> Args;
        int Code;
        std::vector<std::string> Output;  // parts the output must hold
    };
    const std::string dead = "127.0.0.1:" + std::to_string(ClosedPort());
    const TCase cases[] = {
        {"full run with music, one at a time",
         Args({"--music", "--jobs", "1", Page("spring12")}),
         0,
         {"正在下载: [1/12] - 0.jpg", "正在下载: [12/12] - 11.jpg", "相册图片下载完毕", "相册音乐下载完毕!", "处理完毕",
          "12/12 photos in"}},
        {"default jobs", Args({Page("night40")}), 0, {"40/40 photos in", "正在下载: [1/40] - 0.jpg"}},
        {"a photo fails", Args({Page("missing404")}), 1, {"下载失败: 2.jpg", "4/5 photos in"}},
        {"site unreachable",
         {Cli, "--dir", Dir, "--site", dead, "http://" + dead + "/album/spring12.html"},
         2,
         {"albrivo-cli: Connection refused (Error #10061)"}},
        {"page not recognised", Args({Site.Url("/")}), 2, {"未能识别相册页面"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TChildProcess cli(c.Args, true);
        EXPECT_EQ(cli.Wait(60000), c.Code);
        std::string out = cli.Output();
        for (const std::string& part : c.Output) EXPECT_TRUE(Contains(out, part)) << part << "\n" << out;
    }
    EXPECT_TRUE(FileExists(Dir + "/春日花园/11.jpg"));
    EXPECT_TRUE(FileExists(Dir + "/春日花园/background.mp3"));
}

TEST_F(AlbrivoCli, HelpVersionAndArgumentErrors) {
    TSplitRun help = RunSplit({Cli, "--help"});
    EXPECT_EQ(help.Code, 0);
    EXPECT_EQ(help.Out.rfind("usage: albrivo-cli", 0), 0u);
    for (const char* option : {"--music", "--dir", "--input-file", "--site", "--jobs", "--timeout", "--quiet",
                               "--no-report", "--help", "--version"})
        EXPECT_TRUE(Contains(help.Out, option)) << option;
    EXPECT_EQ(help.Err, "");
    EXPECT_EQ(RunSplit({Cli, "-h"}).Out, help.Out);
    EXPECT_EQ(RunSplit({Cli, "--he"}).Out, help.Out);

    for (const char* form : {"--version", "-V", "--vers"}) {
        TSplitRun version = RunSplit({Cli, form});
        EXPECT_EQ(version.Code, 0) << form;
        EXPECT_EQ(version.Out, std::string("albrivo-cli ") + ALBRIVO_VERSION + "\n") << form;
        EXPECT_EQ(version.Err, "") << form;
    }

    // A standard output that cannot be written is a failure, and said so.
    for (const char* form : {"--help", "--version"}) {
        TChildProcess full({"/bin/sh", "-c", "exec \"$@\" >/dev/full", "sh", Cli, form}, true);
        EXPECT_EQ(full.Wait(20000), 1) << form;
        EXPECT_EQ(full.Output(), "albrivo-cli: cannot write to standard output: No space left on device\n");
    }

    struct TCase { std::vector<std::string> Args; std::string Reason; };
    const TCase cases[] = {
        {{Cli, "--music"}, "the album page address is missing"},
        {{Cli, "--fast", "x"}, "unknown argument: --fast"},
        {{Cli, "--site", "nohost", "x"}, "--site: not HOST:PORT: nohost"},
        {{Cli, "--jobs", "0", "x"}, "--jobs takes a number from 1 to 16: 0"},
        {{Cli, "--timeout", "x", "y"}, "--timeout takes seconds from 1 to 3600: x"},
        {{Cli, "--dir", "a\x1b[31m", "--fast"}, "unknown argument: --fast"},
        {{Cli, "--\x1b]0;title\a", "x"}, "unknown argument: --?]0;title?"},
        {{Cli, "-j"}, "-j needs a value"},
        {{Cli, "--quiet=1", "x"}, "--quiet takes no value"},
        {{Cli, "-i", "/dev/null"}, "no album page address in the input"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Reason);
        TSplitRun r = RunSplit(c.Args);
        EXPECT_EQ(r.Code, 2);
        EXPECT_EQ(r.Out, "");
        EXPECT_EQ(r.Err.rfind("albrivo-cli: " + c.Reason + "\nusage: albrivo-cli", 0), 0u) << r.Err;
    }
}

TEST_F(AlbrivoCli, QuietPrintsOnlyErrorsAndTheSummary) {
    TSplitRun ok = RunSplit(Args({"--quiet", Page("spring12")}));
    EXPECT_EQ(ok.Code, 0);
    EXPECT_EQ(ok.Out, "12/12 photos in " + Dir + "/春日花园/ (12 saved, 0 skipped, 0 failed)\n");
    EXPECT_EQ(ok.Err, "");

    TSplitRun failing = RunSplit(Args({"--quiet", "--jobs", "1", Page("missing404")}));
    EXPECT_EQ(failing.Code, 1);
    EXPECT_EQ(failing.Out, "4/5 photos in " + Dir + "/缺图相册/ (4 saved, 0 skipped, 1 failed)\n");
    EXPECT_EQ(failing.Err, "下载失败: 2.jpg (HTTP 404 Not Found)\n");

    TSplitRun plain = RunSplit(Args({"--jobs", "1", Page("missing404")}));
    EXPECT_TRUE(Contains(plain.Out, "正在下载: [3/5] - 2.jpg\n")) << plain.Out;
    EXPECT_FALSE(Contains(plain.Out, "下载失败")) << plain.Out;  // failures go to standard error
    EXPECT_EQ(plain.Err, "下载失败: 2.jpg (HTTP 404 Not Found)\n");
}

TEST_F(AlbrivoCli, OnATerminalTheProgressIsOneLineRedrawnInPlace) {
    std::vector<std::string> args = Args({"--jobs", "2", Page("slow")});
    int master = -1;
    pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    std::string out;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    for (;;) {
        pollfd p{master, POLLIN, 0};
        if (std::chrono::steady_clock::now() > deadline || poll(&p, 1, 1000) < 0) break;
        if (!(p.revents & (POLLIN | POLLHUP))) continue;
        char buffer[4096];
        ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;  // EIO once the child and its terminal are gone
        out.append(buffer, size_t(n));
    }
    close(master);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    // The photo stage is one line, redrawn: "[i/40] bytes rate", never a line per status.
    EXPECT_TRUE(Contains(out, "\r[1/3] ")) << out;
    EXPECT_TRUE(Contains(out, "/s\x1b[K")) << out;
    EXPECT_FALSE(Contains(out, "正在下载: [")) << out;
    // Whole lines still come through, and the summary ends the output.
    EXPECT_TRUE(Contains(out, "相册图片下载完毕\r\n")) << out;
    EXPECT_TRUE(Contains(out, "3/3 photos in " + Dir + "/慢速相册/ (3 saved, 0 skipped, 0 failed)\r\n")) << out;
}

TEST_F(AlbrivoCli, InterruptAndTerminateStopTheRunAtOnce) {
    struct TCase { const char* Name; int Signal; };
    const TCase cases[] = {{"Ctrl-C", SIGINT}, {"SIGTERM", SIGTERM}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TChildProcess cli(Args({"--jobs", "1", Page("slow")}), true);
        // The slow album trickles each photo in; stop once the first one is on its way.
        WaitForOutput(cli, "[1/3]");
        auto start = std::chrono::steady_clock::now();
        kill(cli.Pid(), c.Signal);
        EXPECT_EQ(cli.Wait(30000), 1);
        auto took = std::chrono::steady_clock::now() - start;
        EXPECT_LT(took, std::chrono::seconds(3));  // generous: the cancel takes milliseconds
        std::string out = cli.Output();
        EXPECT_TRUE(Contains(out, "正在停止...")) << out;
        EXPECT_TRUE(Contains(out, "处理完毕")) << out;
        EXPECT_FALSE(Contains(out, "3/3 photos")) << out;
        for (int i = 0; i < 3; i++) EXPECT_FALSE(FileExists(Dir + "/慢速相册/" + std::to_string(i) + ".jpg.part"));
    }
}

TEST_F(AlbrivoCli, AFolderThatCannotBeMadeEndsTheRunBeforeAnyTransfer) {
    // A regular file where a folder should be: no folder can be made there, even by root.
    ASSERT_TRUE(ForceDirectories(Dir));
    std::ofstream(Dir + "/plain-file") << "x";
    std::ofstream(Dir + "/旅行_日记_Tom_s") << "x";  // the name of the folder of album oddtitle
    struct TCase { const char* Name; std::vector<std::string> Args; std::string Error; bool PageFetched; };
    const TCase cases[] = {
        {"--dir names a file",
         {Cli, "--dir", Dir + "/plain-file", "--site", Site.Address(), Page("oddtitle")},
         "albrivo-cli: cannot make the folder " + Dir + "/plain-file/: File exists\n",
         false},
        {"--dir inside a file",
         {Cli, "--dir", Dir + "/plain-file/sub", "--site", Site.Address(), Page("oddtitle")},
         "albrivo-cli: cannot make the folder " + Dir + "/plain-file/sub/: Not a directory\n",
         false},
        {"the album's folder is a file",
         {Cli, "--dir", Dir, "--site", Site.Address(), Page("oddtitle")},
         "albrivo-cli: cannot make the album folder " + Dir + "/旅行_日记_Tom_s/: File exists\n",
         true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        size_t before = Site.Site().Requests().size();
        TSplitRun r = RunSplit(c.Args);
        EXPECT_EQ(r.Code, 2);
        EXPECT_EQ(r.Err, c.Error);
        EXPECT_FALSE(Contains(r.Out, "photos in")) << r.Out;
        // Nothing but the album page (when the folder's name comes from it) was asked for.
        std::vector<std::string> requests = Site.Site().Requests();
        ASSERT_EQ(requests.size() - before, c.PageFetched ? 1u : 0u);
        if (c.PageFetched) {
            EXPECT_EQ(requests.back().rfind("GET /album/oddtitle.html ", 0), 0u) << requests.back();
        }
    }
}

TEST_F(AlbrivoCli, SeveralAlbumsRunInTurnAndTheWorstExitCodeWins) {
    const std::string list = Dir + ".list";
    ASSERT_TRUE(ForceDirectories(Dir));
    std::ofstream(list) << "# albums to fetch\n\n  " << Page("missing404") << "  \r\n" << Page("night40") << "\n";
    struct TCase {
        const char* Name;
        std::vector<std::string> Args;
        std::string Before;  // shell commands ahead of the program
        int Code;
        std::vector<std::string> Folders;  // of the summary lines, in order
        std::string Err;                   // the end of standard error
    };
    const TCase cases[] = {
        {"addresses, then the list", Args({"-q", Page("spring12"), "-i", list}), "", 1,
         {"春日花园", "缺图相册", "城市夜景"}, "2.jpg (HTTP 404 Not Found)\n"},
        {"the list on standard input", Args({"-q", "--input-file=-"}), "printf '%s\\n' '" + Page("spring12") + "' | ", 0,
         {"春日花园"}, ""},
        {"an album that cannot be done is named, the others go on",
         Args({"-q", Site.Url("/"), Page("spring12")}), "", 2,
         {"春日花园"}, "albrivo-cli: " + Site.Url("/") + ": 未能识别相册页面\n"},
        {"a list that cannot be read", Args({"-q", Page("spring12"), "-i", Dir + "/no-such-list"}), "", 2, {},
         "albrivo-cli: cannot read " + Dir + "/no-such-list: No such file or directory\n"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TSplitRun r = RunSplit(c.Args, 120000, c.Before);
        EXPECT_EQ(r.Code, c.Code);
        std::istringstream out(r.Out);
        std::vector<std::string> lines;
        for (std::string line; std::getline(out, line);) lines.push_back(line);
        ASSERT_EQ(lines.size(), c.Folders.size()) << r.Out;
        for (size_t i = 0; i < lines.size(); i++)
            EXPECT_TRUE(Contains(lines[i], " " + Dir + "/" + c.Folders[i] + "/")) << lines[i];
        EXPECT_EQ(r.Err.substr(r.Err.size() - std::min(r.Err.size(), c.Err.size())), c.Err) << r.Err;
    }
}

TEST_F(AlbrivoCli, InterruptStopsTheAlbumAndTheOnesAfterIt) {
    TChildProcess cli(Args({"--jobs", "1", Page("slow"), Page("spring12")}), true);
    WaitForOutput(cli, "[1/3]");
    kill(cli.Pid(), SIGINT);
    EXPECT_EQ(cli.Wait(30000), 1);
    EXPECT_TRUE(Contains(cli.Output(), "正在停止...")) << cli.Output();
    for (const std::string& line : Site.Site().Requests())
        EXPECT_FALSE(Contains(line, "spring12")) << line;
}

TEST_F(AlbrivoCli, TheFolderIsTheCurrentOneByDefault) {
    ASSERT_TRUE(ForceDirectories(Dir));
    TSplitRun r = RunSplit({Cli, "-q", "--site", Site.Address(), Page("spring12")}, 60000, "cd '" + Dir + "' && ");
    EXPECT_EQ(r.Code, 0) << r.Err;
    EXPECT_EQ(r.Out, "12/12 photos in " + Dir + "/春日花园/ (12 saved, 0 skipped, 0 failed)\n");
    EXPECT_TRUE(FileExists(Dir + "/春日花园/11.jpg"));
}

TEST_F(AlbrivoCli, TheUsageReportGoesUnlessTurnedOff) {
    auto reports = [this] {
        int count = 0;
        for (const std::string& line : Site.Site().Requests())
            if (line.rfind("POST /owlmere/skyfen/log.php ", 0) == 0) count++;
        return count;
    };
    EXPECT_EQ(RunSplit(Args({"-q", Page("spring12")})).Code, 0);
    EXPECT_EQ(reports(), 1);
    EXPECT_EQ(RunSplit(Args({"-q", "--no-report", Page("spring12"), Page("night40")})).Code, 0);
    EXPECT_EQ(reports(), 1);
}

TEST_F(AlbrivoCli, MusicThatFailsIsAFailure) {
    REQUIRE_ALBUM("noaudio");
    TSplitRun without = RunSplit(Args({"-q", Page("noaudio")}));
    EXPECT_EQ(without.Code, 0) << without.Err;
    TSplitRun with = RunSplit(Args({"--music", Page("noaudio")}));
    EXPECT_EQ(with.Code, 1) << with.Out << with.Err;
    EXPECT_TRUE(Contains(with.Err, "相册音乐下载失败: ")) << with.Err;
    EXPECT_FALSE(FileExists(Dir + "/" + SafeFileName(FindDemoAlbum("noaudio")->Title) + "/background.mp3"));
}

// ---- hostile sites ------------------------------------------------------------------------

TEST_F(AlbrivoCli, ControlBytesNeverReachTheOutput) {
    REQUIRE_ALBUM("ctrltitle");
    TChildProcess cli(Args({"--jobs", "1", Page("ctrltitle")}), true);
    cli.Wait(60000);
    std::string out = cli.Output();
    EXPECT_TRUE(Contains(out, "photos in")) << out;
    for (char c : out) {
        unsigned char u = static_cast<unsigned char>(c);
        EXPECT_FALSE((u < 32 && u != '\n') || u == 127) << "byte " << int(u) << " in\n" << out;
    }
}

TEST_F(AlbrivoCli, EndlessPageOrXmlFailsAtSixteenMegabytesInLittleMemory) {
    struct TCase { const char* Id; const char* Reason; };
    const TCase cases[] = {{"hugepage", "The album page is larger than 16 MB"},
                           {"hugexml", "The album XML is larger than 16 MB"}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        if (!FindDemoAlbum(c.Id)) FAIL() << "the demo site has no album " << c.Id;
        TSplitRun r = RunSplit(Args({Page(c.Id)}), 120000);
        EXPECT_EQ(r.Code, 2);
        // The cause is told once, on the line that says what failed.
        EXPECT_EQ(r.Err, std::string("获取相册信息失败: ") + c.Reason + "\n");
        // The largest child reaped so far: albrivo-cli (sh execs it).
        rusage usage{};
        ASSERT_EQ(getrusage(RUSAGE_CHILDREN, &usage), 0);
        EXPECT_LT(usage.ru_maxrss, 64 * 1024) << "peak resident KB";
    }
}

TEST_F(AlbrivoCli, TimeoutEndsTheProgramDuringATricklingPage) {
    REQUIRE_ALBUM("trickle20");
    auto start = std::chrono::steady_clock::now();
    TChildProcess cli({"timeout", "3", Cli, "--dir", Dir, "--site", Site.Address(), Page("trickle20")}, true);
    int code = cli.Wait(30000);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code, 124) << cli.Output();  // timeout's own status: it had to send SIGTERM
    EXPECT_LT(took, std::chrono::seconds(6));  // 3 s, then the stop; generous
    EXPECT_TRUE(Contains(cli.Output(), "正在停止...")) << cli.Output();
}

TEST_F(AlbrivoCli, AStalledPhotoTimesOutAndCtrlCStopsItAtOnce) {
    REQUIRE_ALBUM("stall");
    TSplitRun r = RunSplit(Args({"--timeout", "1", "--jobs", "1", Page("stall")}));
    EXPECT_EQ(r.Code, 1);
    EXPECT_EQ(r.Err.rfind("下载失败: 1.jpg (receive timed out after 1000 ms: 127.0.0.1:", 0), 0u) << r.Err;
    EXPECT_TRUE(Contains(r.Out, "2/3 photos in")) << r.Out;

    // The default time-out is long; Ctrl-C during the stall ends the run at once.
    TChildProcess cli(Args({"--jobs", "1", Page("stall")}), true);
    WaitForOutput(cli, "[2/3] - 1.jpg");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto start = std::chrono::steady_clock::now();
    kill(cli.Pid(), SIGINT);
    EXPECT_EQ(cli.Wait(30000), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_FALSE(FileExists(Dir + "/" + SafeFileName(FindDemoAlbum("stall")->Title) + "/1.jpg.part"));
}

TEST_F(AlbrivoCli, AKilledRunIsResumedWithARangeWhereTheServerAllowsIt) {
    struct TCase { const char* Id; int ResumeStatus; };
    const TCase cases[] = {{"bigphoto", 206}, {"norange", 200}};
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Id);
        if (!FindDemoAlbum(c.Id)) FAIL() << "the demo site has no album " << c.Id;
        const std::string folder = Dir + "/" + SafeFileName(FindDemoAlbum(c.Id)->Title) + "/";
        const std::string part = folder + "0.jpg.part";
        {
            TChildProcess cli(Args({"--jobs", "1", Page(c.Id)}), true);
            // Killed in the middle of the 8 MB photo 0 (sent at about 2 MB/s).
            for (int waited = 0; waited < 20000 && FileSize(part) < 1024 * 1024; waited += 20)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            ASSERT_GE(FileSize(part), 1024 * 1024);
            kill(cli.Pid(), SIGKILL);
            EXPECT_EQ(cli.Wait(10000), 128 + SIGKILL);
        }
        ASSERT_TRUE(FileExists(part));
        EXPECT_TRUE(FileExists(part + ".validator"));
        EXPECT_FALSE(FileExists(folder + "0.jpg"));  // never a truncated file under the final name
        TSplitRun again = RunSplit(Args({"--jobs", "1", Page(c.Id)}), 60000);
        EXPECT_EQ(again.Code, 0) << again.Out << again.Err;
        EXPECT_EQ(ReadFile(folder + "0.jpg"), *DemoPhoto(c.Id, 0, true).Jpeg);
        EXPECT_FALSE(FileExists(part));
        EXPECT_FALSE(FileExists(part + ".validator"));
        std::vector<std::string> requests = Site.Site().Requests();
        std::string last;
        for (const std::string& line : requests)
            if (line.rfind("GET /photos/" + std::string(c.Id) + "/0.jpg ", 0) == 0) last = line;
        EXPECT_EQ(last.rfind("GET /photos/" + std::string(c.Id) + "/0.jpg " + std::to_string(c.ResumeStatus), 0), 0u)
            << last;
    }
}

TEST_F(AlbrivoCli, AFullDiskFailsEveryPhotoTruthfully) {
    // A file-size limit of 16 KB with SIGXFSZ ignored: every write past it fails, as on a
    // full disk. The album XML fits; every photo is larger.
    const char* limit =
        "import os, resource, signal, sys\n"
        "signal.signal(signal.SIGXFSZ, signal.SIG_IGN)\n"
        "resource.setrlimit(resource.RLIMIT_FSIZE, (16384, 16384))\n"
        "os.execv(sys.argv[1], sys.argv[1:])\n";
    std::vector<std::string> argv = {"python3", "-c", limit};
    for (const std::string& a : Args({"--jobs", "2", Page("spring12")})) argv.push_back(a);
    TSplitRun r = RunSplit(argv);
    const std::string folder = Dir + "/春日花园/";
    EXPECT_EQ(r.Code, 1) << r.Out << r.Err;
    for (int i = 0; i < 12; i++) {
        EXPECT_TRUE(Contains(r.Err, "下载失败: " + std::to_string(i) + ".jpg (cannot write " + std::to_string(i) + ".jpg.part: File too large)\n")) << i << "\n" << r.Err;
        EXPECT_FALSE(FileExists(folder + std::to_string(i) + ".jpg")) << i;
        EXPECT_FALSE(FileExists(folder + std::to_string(i) + ".jpg.part")) << i;
    }
    EXPECT_TRUE(Contains(r.Err, "无法写入相册文件夹: " + folder)) << r.Err;
    EXPECT_TRUE(Contains(r.Out, "0/12 photos in " + folder)) << r.Out;
}

TEST_F(AlbrivoCli, AnHttpsPageIsRefusedWithExitTwo) {
    REQUIRE_ALBUM("redirhttps");
    struct TCase { std::string Url, Reason; };
    const TCase cases[] = {
        // The plain site answers no TLS handshake; nothing goes to it in clear.
        {"https://" + Site.Address() + "/album/spring12.html",
         "TLS handshake with 127.0.0.1 failed: wrong version number: " + Site.Address()},
        {Page("redirhttps"), "TLS handshake with 127.0.0.1 failed: wrong version number: " + Site.Address()},
        {Page("redirftp"), "Unsupported protocol: ftp"},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Url);
        TSplitRun r = RunSplit(Args({c.Url}));
        EXPECT_EQ(r.Code, 2);
        EXPECT_TRUE(Contains(r.Err, "albrivo-cli: " + c.Reason + "\n")) << r.Err;
    }
}

// ---- https ---------------------------------------------------------------------------------------

TSiteOptions SecureSiteOptions() {
    TSiteOptions o = TDemoSiteThread::Loopback();
    o.TlsCert = TTestCertificates::Shared().Valid();
    o.TlsKey = TTestCertificates::Shared().Key();
    return o;
}

TEST_F(AlbrivoCli, AnAlbumOverHttpsAndTheCertificateOptions) {
    TDemoSiteThread secure(SecureSiteOptions());
    const std::string page = secure.Url("/album/spring12.html");
    const std::string ca = TTestCertificates::Shared().Ca();
    struct TCase {
        const char* Name;
        std::vector<std::string> Extra;
        int Code;
        std::string Out, Err;  // parts they must hold
        bool Warned;
    };
    const TCase cases[] = {
        {"trusted with --ca-certificate", {"--ca-certificate", ca, "--music", page}, 0, "12/12 photos in", "", false},
        {"not trusted", {page}, 2, "", "albrivo-cli: Certificate of 127.0.0.1 not accepted: unable to get local issuer certificate", false},
        {"not checked", {"--no-check-certificate", page}, 0, "12/12 photos in", "", true},
        {"a CA file that cannot be read", {"--ca-certificate", Dir + "/none.pem", page}, 2, "",
         "albrivo-cli: --ca-certificate: Cannot read CA certificates from " + Dir + "/none.pem: No such file or directory", false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        std::vector<std::string> extra = {"--no-report"};
        extra.insert(extra.end(), c.Extra.begin(), c.Extra.end());
        TSplitRun r = RunSplit(Args(extra));
        EXPECT_EQ(r.Code, c.Code) << r.Err;
        EXPECT_TRUE(Contains(r.Out, c.Out)) << r.Out;
        EXPECT_TRUE(Contains(r.Err, c.Err)) << r.Err;
        EXPECT_EQ(Contains(r.Err, std::string(tls::SNoCheckWarning) + "\n"), c.Warned) << r.Err;
    }
}


// ---- Ctrl-C over https ----------------------------------------------------------------------------

TEST_F(AlbrivoCli, CtrlCDuringATlsHandshakeStopsTheRunAtOnce) {
    // The page's site takes the connection and never answers the ClientHello.
    TLoopbackListener silent(4);
    const std::string page = "https://127.0.0.1:" + std::to_string(silent.Port()) + "/album/spring12.html";
    TChildProcess cli(Args({"--no-report", "--ca-certificate", TTestCertificates::Shared().Ca(), page}), true);
    ASSERT_TRUE(silent.Readable(silent.Fd(), 20000)) << cli.Output();
    int connection = accept(silent.Fd(), nullptr, nullptr);
    ASSERT_GE(connection, 0);
    // The ClientHello has come: the program is waiting for the server's answer.
    EXPECT_TRUE(silent.Readable(connection, 20000));
    auto start = std::chrono::steady_clock::now();
    kill(cli.Pid(), SIGINT);
    int code = cli.Wait(30000);
    auto took = std::chrono::steady_clock::now() - start;
    close(connection);
    EXPECT_EQ(code, 1) << cli.Output();
    EXPECT_LT(took, std::chrono::seconds(3));  // generous: the cancel takes milliseconds
    EXPECT_TRUE(Contains(cli.Output(), "albrivo-cli: stopped")) << cli.Output();
    EXPECT_FALSE(Contains(cli.Output(), "photos in")) << cli.Output();
}

TEST_F(AlbrivoCli, CtrlCDuringATlsBodyLeavesNoPhotoAndNoPart) {
    REQUIRE_ALBUM("bigphoto");
    // Photo 0 of bigphoto is 8 MB sent at about 2 MB/s: seconds of TLS records in flight.
    TDemoSiteThread secure(SecureSiteOptions());
    const std::string folder = Dir + "/" + SafeFileName(FindDemoAlbum("bigphoto")->Title) + "/";
    const std::string part = folder + "0.jpg.part";
    TChildProcess cli(Args({"--no-report", "--jobs", "1", "--ca-certificate", TTestCertificates::Shared().Ca(),
                            secure.Url("/album/bigphoto.html")}),
                      true);
    for (int waited = 0; waited < 20000 && FileSize(part) < 256 * 1024; waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_GE(FileSize(part), 256 * 1024) << cli.Output();
    auto start = std::chrono::steady_clock::now();
    kill(cli.Pid(), SIGINT);
    int code = cli.Wait(30000);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(code, 1) << cli.Output();
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_TRUE(Contains(cli.Output(), "正在停止...")) << cli.Output();
    EXPECT_FALSE(FileExists(folder + "0.jpg"));
    EXPECT_FALSE(FileExists(part));
    EXPECT_FALSE(FileExists(part + ".validator"));
}

}  // namespace

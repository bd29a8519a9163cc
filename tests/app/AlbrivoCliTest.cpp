// albrivo-cli as a child process against the demo site in this process: exit codes and
// output of a full run, a run with a failing photo, runs that cannot be done, bad
// arguments, and Ctrl-C pressing the stop button.
#include "demo/DemoSite.h"
#include "platform/rtl/FileSys.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <csignal>
#include <thread>

namespace {

const std::string Cli = std::string(ALBRIVO_BINARY_DIR) + "/app/albrivo-cli";

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

int ClosedPort() {
    TDemoSiteThread site;
    return site.Site().Port();
}

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
        {"full run with music",
         Args({"--music", Site.Url("/album/spring12.html")}),
         0,
         {"正在下载: [1/12] - 0.jpg", "正在下载: [12/12] - 11.jpg", "相册图片下载完毕", "相册音乐下载完毕!", "处理完毕",
          "12/12 photos in"}},
        {"a photo fails", Args({Site.Url("/album/missing404.html")}), 1, {"下载失败: 2.jpg", "4/5 photos in"}},
        {"site unreachable (start-up and page)",
         {Cli, "--dir", Dir, "--site", dead, "http://" + dead + "/album/spring12.html"},
         2,
         {"albrivo-cli: Connection refused (Error #10061)"}},
        {"page not recognised", Args({Site.Url("/")}), 2, {"未能识别相册页面"}},
        {"no address", {Cli, "--music"}, 2, {"the album page address is missing", "usage: albrivo-cli"}},
        {"unknown option", {Cli, "--fast", "x"}, 2, {"unknown argument: --fast"}},
        {"bad site", {Cli, "--site", "nohost", "x"}, 2, {"--site: not HOST:PORT: nohost"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TChildProcess cli(c.Args, true);
        EXPECT_EQ(cli.Wait(30000), c.Code);
        std::string out = cli.Output();
        for (const std::string& part : c.Output) EXPECT_TRUE(Contains(out, part)) << part << "\n" << out;
    }
    EXPECT_TRUE(FileExists(Dir + "/春日花园/11.jpg"));
    EXPECT_TRUE(FileExists(Dir + "/春日花园/background.mp3"));
}

TEST_F(AlbrivoCli, InterruptPressesTheStopButton) {
    TChildProcess cli(Args({Site.Url("/album/slow.html")}), true);
    // The slow album trickles each photo in; interrupt once the first one is on its way.
    for (int i = 0; i < 500 && !Contains(cli.Output(), "[1/3]"); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(Contains(cli.Output(), "[1/3]"));
    kill(cli.Pid(), SIGINT);
    EXPECT_EQ(cli.Wait(30000), 1);
    std::string out = cli.Output();
    EXPECT_TRUE(Contains(out, "正在停止...")) << out;
    EXPECT_TRUE(Contains(out, "处理完毕")) << out;
    EXPECT_FALSE(Contains(out, "3/3 photos")) << out;
}

}  // namespace

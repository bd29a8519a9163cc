// The client against real peers on loopback: Python's http.server serving a tree of
// files (pages, a folder redirect, a missing file, a large file streamed to disk) and
// tinyproxy in front of it.
#include "net/http/HttpProt.h"
#include "platform/rtl/FileSys.h"
#include "tests/support/ChildProcess.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

class HttpServers : public testing::Test {
protected:
    static void SetUpTestSuite() {
        Root = new fs::path(fs::temp_directory_path() / ("albrivo-http-" + std::to_string(getpid())));
        fs::create_directories(*Root / "sub" / "deeper");
        Write("index.html", "<html>home</html>\n");
        Write("sub/page.htm", "sub page");
        Write("sub/deeper/data.txt", std::string(70000, 'd'));
        // A large file, made sparse so that it costs no disk or time to create.
        std::ofstream(*Root / "large.bin").close();
        fs::resize_file(*Root / "large.bin", LargeSize);
        Server = new TServerProcess(StartPythonHttpServer(Root->string()));
    }
    static void TearDownTestSuite() {
        delete Server;
        Server = nullptr;
        fs::remove_all(*Root);
        delete Root;
    }
    static void Write(const std::string& name, const std::string& text) {
        std::ofstream(*Root / name, std::ios::binary) << text;
    }
    static std::string Url(const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(Server->Port) + path;
    }

    static constexpr int64_t LargeSize = 64 << 20;
    static fs::path* Root;
    static TServerProcess* Server;
};

fs::path* HttpServers::Root = nullptr;
TServerProcess* HttpServers::Server = nullptr;

TEST_F(HttpServers, FetchesPagesOfATree) {
    THttpCli cli(nullptr);
    struct {
        const char* Path;
        int Status;
        std::string Body;  // "*listing*": a folder listing naming page.htm
    } cases[] = {
        {"/", 200, "<html>home</html>\n"},
        {"/index.html", 200, "<html>home</html>\n"},
        {"/sub/page.htm", 200, "sub page"},
        {"/sub/deeper/data.txt", 200, std::string(70000, 'd')},
        {"/sub/", 200, "*listing*"},
        // The folder redirect comes with Content-Length 0, which ends the request there.
        {"/sub", 301, ""},
    };
    for (const auto& c : cases) {
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.SetURL(Url(c.Path));
        cli.Get();
        EXPECT_EQ(cli.StatusCode(), c.Status) << c.Path;
        if (c.Body == "*listing*") {
            EXPECT_NE(doc.DataString().find("page.htm"), std::string::npos) << c.Path;
        } else {
            EXPECT_EQ(doc.DataString(), c.Body) << c.Path;
        }
    }
}

TEST_F(HttpServers, MissingFileRaisesTheStatus) {
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL(Url("/no/such/file"));
    try {
        cli.Get();
        ADD_FAILURE() << "no error";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), 404);
        EXPECT_EQ(e.Message(), "File not found");
    }
}

TEST_F(HttpServers, LargeFileIsStreamedToDisk) {
    fs::path target = *Root / "copy.bin";
    int64_t blocks = 0;
    {
        TFileStream file(target.string(), fmCreate);
        THttpCli cli(nullptr);
        cli.SetRcvdStream(&file);
        cli.OnDocData = [&](TObject*, const void*, int) { ++blocks; };
        cli.SetURL(Url("/large.bin"));
        cli.Get();
        EXPECT_EQ(cli.RcvdCount(), LargeSize);
        EXPECT_EQ(cli.ContentLength(), LargeSize);
    }
    EXPECT_EQ(int64_t(fs::file_size(target)), LargeSize);
    EXPECT_GT(blocks, 1);
    fs::remove(target);
}

TEST_F(HttpServers, ThroughTinyproxy) {
    TServerProcess proxy = StartTinyProxy();
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetProxy("127.0.0.1");
    cli.SetProxyPort(std::to_string(proxy.Port));
    cli.SetURL(Url("/sub/page.htm"));
    cli.Get();
    EXPECT_EQ(cli.StatusCode(), 200);
    EXPECT_EQ(doc.DataString(), "sub page");

    TStringStream listing;
    cli.SetRcvdStream(&listing);
    cli.SetURL(Url("/sub/"));
    cli.Get();
    EXPECT_EQ(cli.StatusCode(), 200);
    EXPECT_NE(listing.DataString().find("deeper/"), std::string::npos);
}

}  // namespace

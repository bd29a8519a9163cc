// Requests ahead: a getter told what follows sends the first request alone, and once its
// answer showed a kept connection and a framed body, the requests that follow go on that
// connection before their answers arrive; every transfer still gets its own answer. And a
// preconnection: the next transfer, a POST too, finds its connection open.
// The line server holds its later answers until it has received a given number of requests
// (or a bound has passed), so it tells whether the requests really went ahead.
#include "tests/net/inetget/GetterFixture.h"
#include "tests/support/LineServer.h"

namespace {

class HTTPGetAhead : public ::testing::Test {
protected:
    static std::vector<THTTPGetNext> Next(const TLineServer& server, std::vector<std::string> paths) {
        std::vector<THTTPGetNext> next;
        for (const std::string& path : paths) next.push_back(THTTPGetNext{server.Url(path), 0, ""});
        return next;
    }
    std::string Dir = PrivateTempDir();
    bool Fetch(THTTPGet& g, TLineServer& server, const std::string& path, std::vector<THTTPGetNext> next) {
        g.SetAhead(std::move(next));
        g.SetURL(server.Url(path));
        g.SetFileName(Dir + path.substr(1) + ".txt");
        g.SetWaitThread(true);
        g.StartTransfer();
        return g.LastResult() && ReadFile(Dir + path.substr(1) + ".txt") == path;
    }
};

TEST_F(HTTPGetAhead, TheFirstRequestGoesAloneAndTheOnesThatFollowGoOutBehindItsAnswer) {
    // The second answer waits until three requests came: only requests sent ahead make it.
    TLineServer server({0, 0, 0, 3});
    THTTPGet g(nullptr);
    g.SetAheadLimit(8);
    EXPECT_TRUE(Fetch(g, server, "/a", Next(server, {"/b", "/c"})));
    EXPECT_TRUE(Fetch(g, server, "/b", Next(server, {"/c"})));
    EXPECT_TRUE(Fetch(g, server, "/c", {}));
    EXPECT_EQ(server.HeardBeforeFirstAnswer(), 1u);
    EXPECT_EQ(server.HeardBeforeAnswer(2), 3u);
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(HTTPGetAhead, ATransferOtherThanTheOneAheadGetsItsOwnAnswer) {
    struct TCase { const char* Name; int Limit; std::vector<std::string> Order; };
    const TCase cases[] = {
        {"the owner changed its plans", 4, {"/a", "/x", "/b"}},
        {"the line was not taken in order", 4, {"/a", "/c", "/b"}},
        {"no requests ahead", 0, {"/a", "/b", "/c"}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TLineServer server;
        THTTPGet g(nullptr);
        g.SetAheadLimit(c.Limit);
        EXPECT_TRUE(Fetch(g, server, c.Order[0], Next(server, {"/b", "/c"})));
        EXPECT_TRUE(Fetch(g, server, c.Order[1], Next(server, {"/c"})));
        EXPECT_TRUE(Fetch(g, server, c.Order[2], {}));
    }
}

TEST_F(HTTPGetAhead, APreconnectedGetterPostsOnTheConnectionItOpened) {
    TLineServer server;
    THTTPGet g(nullptr);
    g.Preconnect(server.Url("/report"));
    ASSERT_TRUE(server.WaitForConnections(1, 5000));
    EXPECT_FALSE(g.Busy());
    g.SetPostQuery("a=1");
    EXPECT_TRUE(Fetch(g, server, "/report", {}));
    EXPECT_EQ(server.Paths(0), (std::vector<std::string>{"/report"}));
    EXPECT_EQ(server.Connections(), 1);
}

}  // namespace

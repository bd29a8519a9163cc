// The getter against the ways servers end their answers and treat requests sent ahead
// (tests/support/BehaviourServer.h): a run of photos of about 170 KB, each transfer told
// which ones follow, must leave every file byte for byte as the server sent it whenever it
// reports success. Requests go ahead only once a server has shown that it keeps its
// connections, and only behind an answer with a framed body.
#include "tests/net/inetget/GetterFixture.h"
#include "tests/support/BehaviourServer.h"

#include <map>

namespace {

constexpr int Photos = 12;

// A photo body: deterministic bytes, a different length for each.
std::string PhotoBody(int index) {
    std::string body(170 * 1024 + size_t(index) * 997, '\0');
    uint32_t x = 2463534242u + uint32_t(index);
    for (char& c : body) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        c = char(x);
    }
    return body;
}

std::string PhotoPath(int index) { return "/p/" + std::to_string(index) + ".jpg"; }

std::map<std::string, std::string> PhotoFiles() {
    std::map<std::string, std::string> files;
    for (int i = 0; i < Photos; ++i) files[PhotoPath(i)] = PhotoBody(i);
    return files;
}

struct TRun {
    int Saved = 0, Failed = 0, Wrong = 0;
};

// Fetches every photo in order with one getter that may send AheadLimit requests ahead.
TRun FetchAll(TBehaviourServer& server, const std::string& dir, int aheadLimit) {
    TRun run;
    THTTPGet g(nullptr);
    g.SetAheadLimit(aheadLimit);
    g.SetReceiveTimeout(5000);
    g.SetWaitThread(true);
    for (int i = 0; i < Photos; ++i) {
        std::vector<THTTPGetNext> next;
        for (int j = i + 1; j < Photos; ++j) next.push_back(THTTPGetNext{server.Url(PhotoPath(j)), 0, ""});
        g.SetAhead(next);
        std::string file = dir + std::to_string(i) + ".jpg";
        g.SetURL(server.Url(PhotoPath(i)));
        g.SetFileName(file);
        g.StartTransfer();
        if (!g.LastResult()) ++run.Failed;
        else if (ReadFile(file) != PhotoBody(i)) ++run.Wrong;
        else ++run.Saved;
    }
    return run;
}

class HTTPGetBehaviour : public ::testing::Test {
protected:
    std::string Dir() {
        static int n = 0;
        std::string dir = PrivateTempDir() + "behaviour-" + std::to_string(++n) + "/";
        ForceDirectories(dir);
        return dir;
    }
};

TEST_F(HTTPGetBehaviour, EveryPhotoReportedSavedIsWholeWhateverTheServerDoes) {
    const TServerBehaviour behaviours[] = {
        TServerBehaviour::Http10Close,      TServerBehaviour::Http11Close,   TServerBehaviour::KeepAliveLength,
        TServerBehaviour::Http10KeepAlive,
        TServerBehaviour::KeepAliveChunked, TServerBehaviour::KeepAliveUnframed, TServerBehaviour::CloseAfterN,
        TServerBehaviour::ResetUnread,      TServerBehaviour::DropsAhead,
    };
    for (TServerBehaviour b : behaviours) {
        for (int ahead : {0, 8}) {
            SCOPED_TRACE(std::string(BehaviourName(b)) + ", ahead " + std::to_string(ahead));
            TBehaviourServer server(b, PhotoFiles());
            TRun run = FetchAll(server, Dir(), ahead);
            EXPECT_EQ(run.Wrong, 0);
            // Every one of these servers answers every request it reads: nothing fails.
            EXPECT_EQ(run.Saved, Photos);
        }
    }
}

TEST_F(HTTPGetBehaviour, TheFirstRequestToAServerGoesAloneAndOnlyKeptConnectionsCarryRequestsAhead) {
    struct TCase {
        TServerBehaviour Behaviour;
        int Connections;  // what the twelve photos took
        bool Ahead;       // whether requests went ahead
    } cases[] = {
        // One request per connection: each photo on its own, none asked for twice.
        {TServerBehaviour::Http10Close, Photos, false},
        {TServerBehaviour::Http11Close, Photos, false},
        {TServerBehaviour::KeepAliveUnframed, Photos, false},
        // Kept and framed: one connection carries them all, with requests ahead.
        {TServerBehaviour::KeepAliveLength, 1, true},
        {TServerBehaviour::KeepAliveChunked, 1, true},
        // An HTTP/1.0 server keeps the connection, but gets no request ahead.
        {TServerBehaviour::Http10KeepAlive, 1, false},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(BehaviourName(c.Behaviour));
        TBehaviourServer server(c.Behaviour, PhotoFiles());
        // Requests sent ahead are told by an event, not by the threads' timing: the first
        // answer stays unfinished until the next request came. (Counting requests already
        // there once a whole answer had gone into the socket missed them now and then under
        // load: the kernel took the answer before the client had read its head.) Where no
        // request may go ahead, nothing would end that wait but its bound.
        if (c.Ahead) server.HoldFirstTail();
        TRun run = FetchAll(server, Dir(), 8);
        EXPECT_EQ(run.Saved, Photos);
        EXPECT_EQ(server.Connections(), c.Connections);
        EXPECT_EQ(server.Answered(), size_t(Photos));
        if (c.Ahead) {
            EXPECT_GT(server.CameWhileAnswering(), 0u);
        } else {
            EXPECT_EQ(server.CameAhead(), 0u);
        }
    }
}

TEST_F(HTTPGetBehaviour, ATransferCutByAResetWithRequestsBehindItRunsAgainAloneAtOnce) {
    // /a proves the connection; /b and /c go ahead behind it. The server reads both, sends
    // a part of /b's answer and resets. /b runs again alone on a connection of its own, and
    // /c, whose request was lost with the first connection, too.
    std::string b(1000, 'b');
    auto answer = [](const std::string& body) {
        return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    TScriptedServer server({TScript().ReadRequest().Send(answer("/a")).ReadRequest().ReadRequest()
                                .Send(answer(b).substr(0, 300)).Delay(50).Reset(),
                            TScript().ReadRequest().Send(answer(b)).Close(),
                            TScript().ReadRequest().Send(answer("/c")).Close()});
    std::string url = "http://127.0.0.1:" + std::to_string(server.Port());
    std::string dir = Dir();
    THTTPGet g(nullptr);
    g.SetAheadLimit(8);
    g.SetWaitThread(true);
    const std::vector<std::pair<std::string, std::string>> transfers = {{"/a", "/a"}, {"/b", b}, {"/c", "/c"}};
    for (size_t i = 0; i < transfers.size(); ++i) {
        SCOPED_TRACE(transfers[i].first);
        std::vector<THTTPGetNext> next;
        for (size_t j = i + 1; j < transfers.size(); ++j) next.push_back(THTTPGetNext{url + transfers[j].first, 0, ""});
        g.SetAhead(next);
        g.SetURL(url + transfers[i].first);
        g.SetFileName(dir + std::to_string(i));
        g.StartTransfer();
        EXPECT_TRUE(g.LastResult()) << g.ErrorText();
        EXPECT_EQ(ReadFile(dir + std::to_string(i)), transfers[i].second);
    }
    EXPECT_EQ(server.ConnectionCount(), 3);
    EXPECT_EQ(server.RequestCount(0), 3);  // /a, and /b and /c sent ahead
    EXPECT_EQ(server.RequestCount(1), 1);  // /b alone
    EXPECT_EQ(server.RequestCount(2), 1);  // /c alone: the server gets no more requests ahead
}

}  // namespace

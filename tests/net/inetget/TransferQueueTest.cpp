// The transfer queue: transfers start in the order they were handed in (per connection,
// when lines hold them), at most Limit at once, and each gets its result; a retry runs again on its connection before that
// connection's line; one at a time recalls the lines (the transfers in flight finish);
// a cancel ends everything; connections opened ahead of the transfers are the ones they use.
// The server is TLineServer (tests/support/LineServer.h): every answer's body is its path.
#include "net/inetget/TransferQueue.h"

#include "tests/net/inetget/GetterFixture.h"
#include "tests/support/LineServer.h"

#include <algorithm>

namespace {

using TPaths = std::vector<std::string>;

class TransferQueue : public ::testing::Test {
protected:
    std::string Dir = PrivateTempDir();
    int Serial = 0;

    TTransfer Transfer(const TLineServer& server, const std::string& path) {
        TTransfer t;
        t.Id = ++Serial;
        t.Url = server.Url(path);
        t.FileName = Dir + "queue-" + std::to_string(t.Id);
        return t;
    }
    // Waits for results until the queue holds nothing; the ids in the order they ended.
    static std::vector<int> Drain(TTransferQueue& queue, std::vector<TTransferResult>* all = nullptr) {
        std::vector<int> ids;
        for (;;) {
            std::vector<TTransferResult> ended = queue.WaitForEnded();
            if (ended.empty()) return ids;
            for (const TTransferResult& r : ended) {
                ids.push_back(r.Id);
                if (all) all->push_back(r);
            }
        }
    }
};

TEST_F(TransferQueue, TransfersStartInOrderAtMostLimitAtOnceAndEachGetsItsResult) {
    struct TCase { int Limit; int Ahead; int Transfers; };
    const TCase cases[] = {{1, 0, 5}, {1, 4, 6}, {3, 0, 7}, {3, 2, 9}};
    for (const TCase& c : cases) {
        SCOPED_TRACE("limit " + std::to_string(c.Limit) + ", ahead " + std::to_string(c.Ahead));
        TLineServer server;
        TTransferQueue queue(c.Limit, 5000, c.Ahead);
        std::vector<int> started;
        int most = 0;
        queue.OnStarted = [&](int id) {
            started.push_back(id);
            most = std::max(most, queue.Running());
        };
        std::vector<int> handed;
        for (int i = 0; i < c.Transfers; ++i) {
            TTransfer t = Transfer(server, "/p" + std::to_string(i));
            handed.push_back(t.Id);
            queue.Add(t);
        }
        std::vector<TTransferResult> results;
        std::vector<int> ended = Drain(queue, &results);
        EXPECT_LE(most, c.Limit);
        std::sort(ended.begin(), ended.end());
        EXPECT_EQ(ended, handed);
        // Each starts once; in the order handed in when no line holds some back (with lines,
        // each connection keeps the order of its own).
        if (c.Limit == 1 || c.Ahead == 0) {
            EXPECT_EQ(started, handed);
        }
        std::sort(started.begin(), started.end());
        EXPECT_EQ(started, handed);
        for (const TTransferResult& r : results) {
            EXPECT_TRUE(r.Success) << r.ErrorText;
            EXPECT_EQ(r.StatusCode, 200);
            EXPECT_EQ(ReadFile(Dir + "queue-" + std::to_string(r.Id)), "/p" + std::to_string(r.Id - handed[0]));
        }
        EXPECT_LE(server.Connections(), c.Limit);
        EXPECT_EQ(queue.Running(), 0);
    }
}

TEST_F(TransferQueue, PreconnectOpensTheMissingConnectionsThatTheTransfersThenUse) {
    TLineServer server;
    TTransferQueue queue(3, 5000, 2);
    queue.Preconnect(server.Url("/"));
    ASSERT_TRUE(server.WaitForConnections(3, 5000));
    queue.Preconnect(server.Url("/"));  // the run has its connections: none more
    std::vector<int> handed;
    for (int i = 0; i < 6; ++i) {
        TTransfer t = Transfer(server, "/p" + std::to_string(i));
        handed.push_back(t.Id);
        queue.Add(t);
    }
    std::vector<int> ended = Drain(queue);
    std::sort(ended.begin(), ended.end());
    EXPECT_EQ(ended, handed);
    EXPECT_EQ(server.Connections(), 3);

    TLineServer other;
    TTransferQueue cancelled(2, 5000, 2);
    cancelled.Cancel();
    cancelled.Preconnect(other.Url("/"));
    EXPECT_FALSE(other.WaitForConnections(1, 100));
}

TEST_F(TransferQueue, ARetryRunsOnItsConnectionBeforeTheLineThatFollows) {
    TLineServer server;
    TTransferQueue queue(1, 5000, 4);
    for (const char* path : {"/a", "/b", "/c"}) queue.Add(Transfer(server, path));
    std::vector<int> ended;
    bool retried = false;
    for (;;) {
        std::vector<TTransferResult> results = queue.WaitForEnded();
        if (results.empty()) break;
        for (const TTransferResult& r : results) {
            ended.push_back(r.Id);
            // The owner asks for /b once more, whatever its result was.
            if (r.Id == 2 && !retried) {
                retried = true;
                queue.Retry(r.Id, 10);
            }
        }
    }
    EXPECT_EQ(ended, (std::vector<int>{1, 2, 2, 3}));
    TPaths heard;
    for (int i = 0; i < server.Connections(); ++i)
        for (const std::string& p : server.Paths(i)) heard.push_back(p);
    // /c may have been asked for ahead and dropped when /b went again: only the order of
    // the first asks counts.
    heard.erase(std::unique(heard.begin(), heard.end()), heard.end());
    EXPECT_EQ(std::vector<std::string>(heard.begin(), heard.begin() + 2), (TPaths{"/a", "/b"}));
}

TEST_F(TransferQueue, OneAtATimeRecallsTheLinesAndEndsRequestsAhead) {
    TLineServer server;
    TTransferQueue queue(3, 5000, 4);
    for (int i = 0; i < 9; ++i) queue.Add(Transfer(server, "/p" + std::to_string(i)));
    std::vector<TTransferResult> first = queue.WaitForEnded();
    ASSERT_FALSE(first.empty());
    queue.OneAtATime();
    EXPECT_EQ(queue.Limit(), 1);
    EXPECT_EQ(queue.Ahead(), 0);
    std::vector<int> rest = Drain(queue);
    EXPECT_EQ(first.size() + rest.size(), 9u);
}

TEST_F(TransferQueue, CancelEndsEverythingAndAbandonWaitsForTheConnections) {
    TLineServer server;
    TTransferQueue queue(2, 30000, 4);
    queue.Add(Transfer(server, "/silent-1"));
    queue.Add(Transfer(server, "/silent-2"));
    queue.Add(Transfer(server, "/never"));
    ASSERT_TRUE(server.WaitForHeard("/silent-2", 1, 5000));
    queue.Cancel();
    EXPECT_TRUE(queue.WaitForEnded().empty());
    // The two in flight ended as cancelled (never as a success); nothing else ran.
    for (const TTransferResult& r : queue.Abandon()) {
        EXPECT_FALSE(r.Success);
        EXPECT_EQ(r.ErrorText, "cancelled");
    }
    EXPECT_EQ(queue.Running(), 0);
    EXPECT_FALSE(server.WaitForHeard("/never", 1, 50));
    queue.Add(Transfer(server, "/after"));  // ignored once cancelled
    EXPECT_TRUE(queue.WaitForEnded().empty());
}

}  // namespace

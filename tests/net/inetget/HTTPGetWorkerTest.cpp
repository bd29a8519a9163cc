// Threaded getter: one worker thread and one internet session for the getter's lifetime,
// so that consecutive transfers reuse the persistent connection; several getters at once.
#include "tests/net/inetget/GetterFixture.h"

#include <dirent.h>
#include <memory>

namespace {

int ThreadCount() {
    int n = 0;
    DIR* d = ::opendir("/proc/self/task");
    for (dirent* e; d && (e = ::readdir(d));) n += e->d_name[0] != '.';
    if (d) ::closedir(d);
    return n;
}

}  // namespace

TEST_F(HTTPGetTest, OneWorkerThreadServesEveryTransfer) {
    TServerProcess python = StartPythonHttp11Server(*FWww);
    int withWorker = 0;
    std::vector<TObject*> senders;
    {
        THTTPGet g(nullptr);
        g.OnProgress = [&](TObject* s, int32_t, int32_t) {
            if (senders.empty() || senders.back() != s) senders.push_back(s);
        };
        g.SetWaitThread(true);
        g.SetURL(Url(python.Port, "/photo.jpg"));
        for (int i = 0; i < 5; ++i) {
            g.SetFileName(FDir + std::to_string(i) + ".jpg");
            g.StartTransfer();
            EXPECT_TRUE(g.LastResult());
            // The worker is still there, waiting for the next transfer: no thread more or
            // less than after the first one.
            if (i == 0) withWorker = ThreadCount();
            EXPECT_EQ(ThreadCount(), withWorker);
        }
    }
    EXPECT_EQ(ThreadCount(), withWorker - 1);  // ended with the getter
    EXPECT_EQ(senders.size(), 1u);     // one worker object raised every progress event
    EXPECT_EQ(ReadFile(FDir + "4.jpg"), ReadFile(*FWww + "photo.jpg"));
    EXPECT_EQ(PythonClientConnections(python), 1) << python.Process->Output();
}

TEST_F(HTTPGetTest, ConsecutiveTransfersReuseTheConnection) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\njpeg").Loop()});
    THTTPGet g(nullptr);
    g.SetWaitThread(true);
    for (int i = 0; i < 3; ++i) {
        g.SetURL(Url(server.Port(), "/" + std::to_string(i) + ".jpg"));
        g.SetFileName(FDir + std::to_string(i) + ".jpg");
        g.StartTransfer();
        EXPECT_TRUE(g.LastResult());
        EXPECT_EQ(ReadFile(FDir + std::to_string(i) + ".jpg"), "jpeg");
    }
    g.StartStringTransfer();  // text mode too
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(server.RequestCount(0), 4);
    EXPECT_NE(server.Received(0).find("GET /2.jpg HTTP/1.1\r\n"), std::string::npos);
}

TEST_F(HTTPGetTest, SeveralGettersRunAtOnceEachOnItsOwnWorker) {
    // Each answer waits, so all four transfers must be in flight together.
    TScriptedServer server({TScript().ReadRequest().Delay(1500).Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\njpeg").Loop()});
    constexpr int Count = 4;
    std::vector<std::unique_ptr<THTTPGet>> getters;
    std::vector<TEvents> events(Count);
    std::vector<TObject*> senders(Count, nullptr);
    for (int i = 0; i < Count; ++i) {
        getters.push_back(std::make_unique<THTTPGet>(nullptr));
        THTTPGet& g = *getters.back();
        events[size_t(i)].Attach(g);
        auto count = g.OnProgress;
        g.OnProgress = [&senders, count, i](TObject* s, int32_t t, int32_t r) {
            senders[size_t(i)] = s;
            count(s, t, r);
        };
        g.SetURL(Url(server.Port(), "/" + std::to_string(i) + ".jpg"));
        g.SetFileName(FDir + std::to_string(i) + ".jpg");
        g.StartTransfer();
    }
    EXPECT_TRUE(server.WaitForConnections(Count, 1400));  // before the first answer
    ASSERT_TRUE(WaitUntil([&] {
        for (auto& g : getters) if (g->Busy()) return false;
        return true;
    }, 5000));
    for (int i = 0; i < Count; ++i) {
        EXPECT_EQ(events[size_t(i)].Done, 1) << i;
        EXPECT_EQ(events[size_t(i)].OffThread, 0) << i;
        EXPECT_EQ(ReadFile(FDir + std::to_string(i) + ".jpg"), "jpeg") << i;
        for (int j = 0; j < i; ++j) EXPECT_NE(senders[size_t(i)], senders[size_t(j)]);
    }
}

TEST_F(HTTPGetTest, TransferStartedFromTheDoneEventOfTheLastIsDropped) {
    // The busy state lasts until the done event has returned, as it always did.
    THTTPGet g(nullptr);
    int done = 0;
    g.OnDoneFile = [&](TObject*, const std::string&, int32_t) {
        ++done;
        g.StartTransfer();
    };
    g.SetWaitThread(true);
    g.SetURL(Url(FPython->Port, "/photo.jpg"));
    g.SetFileName(FDir + "d.jpg");
    g.StartTransfer();
    EXPECT_EQ(done, 1);
    EXPECT_FALSE(g.Busy());
    g.StartTransfer();  // and the worker takes the next one afterwards
    EXPECT_EQ(done, 2);
}


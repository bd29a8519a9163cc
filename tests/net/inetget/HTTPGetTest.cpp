// Threaded getter: blocks and progress against Python's http.server, request texts and
// outcomes against the scripted server (case files in cases/), busy, cancel, destroy,
// time-out, a file that cannot be created, and the system proxy through tinyproxy.
#include "net/inetget/HTTPGet.h"

#include "platform/messages/Messages.h"
#include "platform/rtl/FileSys.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <memory>

namespace {

std::string CaseDir() { return std::string(ALBRIVO_SOURCE_DIR) + "/tests/net/inetget/cases/"; }

std::string ReadFile(const std::string& path) {
    TFileStream f(path, fmOpenRead);
    TStringStream s;
    s.CopyFrom(f, 0);
    return s.DataString();
}

void WriteFile(const std::string& path, const std::string& data) {
    TFileStream f(path, fmCreate);
    f.WriteBuffer(data.data(), int64_t(data.size()));
}

// Counts the events of one getter, checking they all run on the interface thread.
struct TEvents {
    std::vector<std::pair<int32_t, int32_t>> Progress;  // (TotalSize, Readed)
    bool SenderIsWorker = false;  // checked while the sender lives
    int Done = 0, Errors = 0, OffThread = 0;
    std::string DoneFile, DoneText;
    int32_t DoneSize = -1;

    void Attach(THTTPGet& g) {
        g.OnProgress = [this](TObject* s, int32_t total, int32_t readed) {
            OffThread += !IsMainThread();
            SenderIsWorker = dynamic_cast<THTTPGetThread*>(s) != nullptr;
            Progress.emplace_back(total, readed);
        };
        g.OnDoneFile = [this](TObject*, const std::string& name, int32_t size) {
            OffThread += !IsMainThread();
            ++Done;
            DoneFile = name;
            DoneSize = size;
        };
        g.OnDoneString = [this](TObject*, const std::string& text) {
            ++Done;
            DoneText = text;
        };
        g.OnError = [this](TObject*) {
            OffThread += !IsMainThread();
            ++Errors;
        };
    }
};

class HTTPGetTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        // Loopback servers only: a proxy set in the caller's environment must not apply.
        for (const char* name : {"http_proxy", "HTTP_PROXY", "no_proxy", "NO_PROXY"}) ::unsetenv(name);
        FWww = new std::string(PrivateTempDir() + "getter-www/");
        ForceDirectories(*FWww);
        std::string body;
        for (int i = 0; i < 3000; ++i) body += char('a' + i % 26);
        WriteFile(*FWww + "photo.jpg", body);
        FPython = new TServerProcess(StartPythonHttpServer(*FWww));
    }
    static void TearDownTestSuite() {
        delete FPython;
        delete FWww;
    }
    void SetUp() override {
        static int n = 0;
        FDir = PrivateTempDir() + "getter-" + std::to_string(++n) + "/";
        ForceDirectories(FDir);
    }
    std::string Url(int port, const std::string& path) {
        return "http://127.0.0.1:" + std::to_string(port) + path;
    }

    static std::string* FWww;
    static TServerProcess* FPython;
    std::string FDir;
};

std::string* HTTPGetTest::FWww = nullptr;
TServerProcess* HTTPGetTest::FPython = nullptr;

// A receive time-out for new handles for the length of a test.
struct TShortReceiveTimeout {
    DWORD Saved = 0;
    explicit TShortReceiveTimeout(DWORD ms) {
        DWORD len = 4;
        InternetQueryOptionA(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &Saved, &len);
        InternetSetOptionA(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &ms, 4);
    }
    ~TShortReceiveTimeout() { InternetSetOptionA(nullptr, INTERNET_OPTION_RECEIVE_TIMEOUT, &Saved, 4); }
};

}  // namespace

// ---- against Python's http.server ----------------------------------------------------------

TEST_F(HTTPGetTest, ThreeThousandBytesInBlocksWithProgressThenDone) {
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.SetURL(Url(FPython->Port, "/photo.jpg"));
    g.SetFileName(FDir + "0.jpg");
    g.SetWaitThread(true);
    g.StartTransfer();
    EXPECT_FALSE(g.Busy());
    EXPECT_TRUE(g.LastResult());
    using P = std::pair<int32_t, int32_t>;
    EXPECT_EQ(ev.Progress, (std::vector<P>{{3000, 1025}, {3000, 2050}, {3000, 3000}}));
    EXPECT_TRUE(ev.SenderIsWorker);
    EXPECT_EQ(ev.Done, 1);
    EXPECT_EQ(ev.DoneFile, FDir + "0.jpg");
    EXPECT_EQ(ev.DoneSize, 3000);
    EXPECT_EQ(ev.Errors, 0);
    EXPECT_EQ(ev.OffThread, 0);
    EXPECT_EQ(ReadFile(FDir + "0.jpg"), ReadFile(*FWww + "photo.jpg"));
}

TEST_F(HTTPGetTest, TextModeAndMissingFile) {
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.SetWaitThread(true);
    g.SetURL(Url(FPython->Port, "/photo.jpg"));
    g.StartStringTransfer();
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(ev.DoneText, ReadFile(*FWww + "photo.jpg"));

    g.SetURL(Url(FPython->Port, "/missing.jpg"));
    g.SetFileName(FDir + "missing.jpg");
    g.StartTransfer();
    EXPECT_FALSE(g.LastResult());  // 404: the page is kept, the outcome is a failure
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_TRUE(FileExists(FDir + "missing.jpg"));
}

// ---- request texts -----------------------------------------------------------------------------

TEST_F(HTTPGetTest, PostCarriesTheFormAndGetCarriesNoBody) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok").Close()});
    THTTPGet g(nullptr);
    g.SetWaitThread(true);
    g.SetFileName(FDir + "r.txt");
    g.SetURL("HTTP://127.0.0.1:" + std::to_string(server.Port()) + "/report?x=1");
    g.SetPostQuery("a=1&b=2");
    g.SetReferer("http://127.0.0.1/from");
    g.StartTransfer();
    EXPECT_TRUE(g.LastResult());
    g.SetPostQuery("");
    g.SetReferer("");
    g.SetAgent("");
    g.StartTransfer();
    ASSERT_TRUE(server.WaitForFinished(2, 3000));
    std::string host = "Host: 127.0.0.1:" + std::to_string(server.Port()) + "\r\n";
    EXPECT_EQ(server.Received(0),
              "POST /report?x=1 HTTP/1.1\r\nAccept: */*\r\nReferer: http://127.0.0.1/from\r\n"
              "User-Agent: Corvane HTTPGet\r\n" + host + "Connection: Keep-Alive\r\n"
              "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n\r\na=1&b=2");
    EXPECT_EQ(server.Received(1), "GET /report?x=1 HTTP/1.1\r\nAccept: */*\r\n" + host +
                                      "Connection: Keep-Alive\r\n\r\n");
}

TEST(HTTPGetSplit, HostAndPath) {
    struct { const char* Url; const char* Host; const char* Path; } cases[] = {
        {"http://h/a/b?c=d", "h", "/a/b?c=d"},
        {"HTTP://127.0.0.1:18690/p/0.jpg?x=/y", "127.0.0.1:18690", "/p/0.jpg?x=/y"},
        {"hTtP://h", "", "h"},
        {"h/x", "h", "/x"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string host, path;
        THTTPGetThread::SplitHostPath(c.Url, host, path);
        EXPECT_EQ(host, c.Host) << c.Url;
        EXPECT_EQ(path, c.Path) << c.Url;
    }
}

// ---- outcomes from case files ---------------------------------------------------------------------

TEST_F(HTTPGetTest, OutcomesOfScriptedReplies) {
    std::vector<std::string> names;
    DIR* d = ::opendir(CaseDir().c_str());
    for (dirent* e; d && (e = ::readdir(d));)
        if (std::string(e->d_name).find(".case") != std::string::npos) names.push_back(e->d_name);
    if (d) ::closedir(d);
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 10u);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        TCaseFile c = LoadCaseFile(CaseDir() + name);
        TScriptedServer server(c.Scripts, 3000);
        THTTPGet g(nullptr);
        TEvents ev;
        ev.Attach(g);
        g.SetWaitThread(true);
        g.SetBinaryData(c.Field("binary") == "1");
        g.SetURL(Url(server.Port(), "/p.jpg"));
        std::string file = FDir + name + ".jpg";
        g.SetFileName(file);
        g.StartTransfer();
        bool success = c.Field("success") == "1";
        EXPECT_EQ(g.LastResult(), success);
        EXPECT_EQ(ev.Done, success ? 1 : 0);
        EXPECT_EQ(ev.Errors, success ? 0 : 1);
        std::string expected = c.Field("file", "*");
        if (expected == "-") {
            EXPECT_FALSE(FileExists(file));
        } else if (expected != "*") {
            EXPECT_EQ(ReadFile(file), expected);
        }
    }
}

// ---- failures, busy, cancel, destroy ------------------------------------------------------------------

TEST_F(HTTPGetTest, UnreachableUnwritableAndTlsAddressesFail) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx").Close()});
    struct { std::string Url, File; } cases[] = {
        {Url(FreeLoopbackPort(), "/a.jpg"), FDir + "refused.jpg"},
        {Url(server.Port(), "/a.jpg"), FDir + "no/such/folder/a.jpg"},
        {"https://127.0.0.1:" + std::to_string(server.Port()) + "/a.jpg", FDir + "tls.jpg"},
        {"127.0.0.1", FDir + "nohost.jpg"},
        {Url(server.Port(), "/a.jpg"), "/dev/full"},  // created, but every write fails
    };
    for (const auto& c : cases) {
        THTTPGet g(nullptr);
        TEvents ev;
        ev.Attach(g);
        g.SetWaitThread(true);
        g.SetURL(c.Url);
        g.SetFileName(c.File);
        g.StartTransfer();
        EXPECT_FALSE(g.LastResult()) << c.Url;
        EXPECT_EQ(ev.Errors, 1) << c.Url;
        EXPECT_EQ(ev.Done, 0) << c.Url;
        EXPECT_FALSE(FileExists(c.File)) << c.Url;
    }
    EXPECT_EQ(server.ConnectionCount(), 2);  // the TLS address was never sent in clear
}

TEST_F(HTTPGetTest, ServerThatNeverAnswersTimesOut) {
    TShortReceiveTimeout shorter(300);
    TScriptedServer server({TScript().Hang()});
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.SetWaitThread(true);
    g.SetURL(Url(server.Port(), "/a.jpg"));
    g.SetFileName(FDir + "a.jpg");
    auto start = std::chrono::steady_clock::now();
    g.StartTransfer();
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(HTTPGetTest, StartWhileBusyChangesNothing) {
    TScriptedServer server({TScript().ReadRequest().Delay(200).Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\n1").Close()});
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.SetURL(Url(server.Port(), "/1.jpg"));
    g.SetFileName(FDir + "1.jpg");
    g.StartTransfer();
    ASSERT_TRUE(g.Busy());
    g.SetFileName(FDir + "2.jpg");  // the running worker keeps its own copy
    g.SetWaitThread(true);
    g.StartTransfer();              // dropped, and returns at once
    EXPECT_TRUE(g.Busy());
    ASSERT_TRUE(WaitUntil([&] { return !g.Busy(); }, 5000));
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_EQ(ev.Done, 1);
    EXPECT_EQ(ev.DoneFile, FDir + "1.jpg");
    EXPECT_FALSE(FileExists(FDir + "2.jpg"));
}

TEST_F(HTTPGetTest, CancelEndsABlockedTransferAtOnce) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc").Hang()});
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.SetURL(Url(server.Port(), "/a.jpg"));
    g.SetFileName(FDir + "a.jpg");
    g.StartTransfer();
    ASSERT_TRUE(server.WaitForReceived(0, 1, 3000));
    auto start = std::chrono::steady_clock::now();
    g.CancelTransfer();
    ASSERT_TRUE(WaitUntil([&] { return !g.Busy(); }, 3000));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_EQ(ev.Done, 0);
}

TEST_F(HTTPGetTest, CancelFromProgressStopsBeforeTheNextBlock) {
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    auto count = g.OnProgress;
    g.OnProgress = [&](TObject* s, int32_t t, int32_t r) {
        count(s, t, r);
        g.CancelTransfer();
    };
    g.SetWaitThread(true);
    g.SetURL(Url(FPython->Port, "/photo.jpg"));
    g.SetFileName(FDir + "c.jpg");
    g.StartTransfer();
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(ev.Progress.size(), 1u);
    EXPECT_EQ(ev.Errors, 1);
}

TEST_F(HTTPGetTest, DestroyWhileRunningWaitsAndRaisesNothing) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\nabc").Hang()});
    TEvents ev;
    auto start = std::chrono::steady_clock::now();
    {
        TComponent owner(nullptr);
        auto* g = new THTTPGet(&owner);  // owned by Owner, freed with it
        ev.Attach(*g);
        g->SetURL(Url(server.Port(), "/a.jpg"));
        g->SetFileName(FDir + "a.jpg");
        g->StartTransfer();
        // The worker is now blocked reading the rest of the body.
        ASSERT_TRUE(server.WaitForReceived(0, 1, 3000));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
    EXPECT_EQ(ev.Errors + ev.Done, 0);
    ProcessMessages();  // nothing left queued for the destroyed component
    EXPECT_EQ(ev.Errors + ev.Done, 0);
}

// ---- one worker for the getter's lifetime -------------------------------------------------------------

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
    int before = ThreadCount();
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
            EXPECT_EQ(ThreadCount(), before + 1);  // the worker, waiting for the next transfer
        }
    }
    EXPECT_EQ(ThreadCount(), before);  // ended with the getter
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

// ---- the system proxy --------------------------------------------------------------------------------

TEST_F(HTTPGetTest, HttpProxyIsUsedAndNoProxyBypassesIt) {
    TScriptedServer origin({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 3\r\n\r\nvia").Close()});
    TServerProcess proxy = StartTinyProxy();
    std::string url = Url(origin.Port(), "/through.jpg");
    THTTPGet g(nullptr);
    g.SetWaitThread(true);
    g.SetURL(url);
    g.SetFileName(FDir + "p.jpg");

    ::setenv("http_proxy", ("http://127.0.0.1:" + std::to_string(proxy.Port)).c_str(), 1);
    ::unsetenv("no_proxy");
    g.StartTransfer();
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(ReadFile(FDir + "p.jpg"), "via");
    ASSERT_TRUE(origin.WaitForFinished(1, 3000));
    EXPECT_EQ(origin.Received(0).substr(0, 21), "GET /through.jpg HTTP");
    EXPECT_NE(proxy.Process->Output().find(url), std::string::npos) << proxy.Process->Output();

    // A proxy that would answer differently, bypassed for 127.0.0.1.
    TScriptedServer fake({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nfake").Close()});
    ::setenv("http_proxy", ("127.0.0.1:" + std::to_string(fake.Port())).c_str(), 1);
    ::setenv("no_proxy", "localhost,127.0.0.1", 1);
    g.StartTransfer();
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(ReadFile(FDir + "p.jpg"), "via");
    EXPECT_EQ(fake.ConnectionCount(), 0);
    EXPECT_EQ(origin.ConnectionCount(), 2);

    // The getter's session outlives its transfers; new settings still reach the next one.
    ::unsetenv("no_proxy");
    g.StartTransfer();
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(ReadFile(FDir + "p.jpg"), "fake");
    EXPECT_EQ(fake.ConnectionCount(), 1);
    ::unsetenv("http_proxy");
    ::unsetenv("no_proxy");
}

TEST_F(HTTPGetTest, HeaderInjectionInTheAddressSendsNothing) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\n\r\n").Close()});
    THTTPGet g(nullptr);
    g.SetWaitThread(true);
    g.SetFileName(FDir + "i.jpg");
    for (std::string tail : {"/a.jpg\r\nX-Evil: 1", "/a.jpg HTTP/1.0\r\n\r\nGET /b"}) {
        g.SetURL(Url(server.Port(), tail));
        g.StartTransfer();
        EXPECT_FALSE(g.LastResult());
    }
    g.SetURL("http://127.0.0.1:" + std::to_string(server.Port()) + "\r\n/a.jpg");
    g.StartTransfer();
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(server.ConnectionCount(), 0);
}

// ---- former faults ------------------------------------------------------------------------------------

// An exception thrown by the done event used to escape the worker thread and end the
// process; it now reaches the caller of the waiting StartTransfer.
TEST_F(HTTPGetTest, ExceptionFromTheDoneEventReachesTheWaitingCaller) {
    THTTPGet g(nullptr);
    g.SetWaitThread(true);
    g.SetURL(Url(FPython->Port, "/photo.jpg"));
    g.SetFileName(FDir + "e.jpg");
    g.OnDoneFile = [](TObject*, const std::string&, int32_t) { throw Exception("boom"); };
    try {
        g.StartTransfer();
        ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
        EXPECT_EQ(e.Message(), "boom");
    }
    EXPECT_FALSE(g.Busy());
    EXPECT_TRUE(g.LastResult());
    g.OnDoneFile = nullptr;
    g.StartTransfer();  // idle again: a second transfer runs
    EXPECT_TRUE(g.LastResult());
}

// Threaded getter: the properties an album run relies on beyond the answer's bytes (those
// are the case files): connect and receive time-outs and their texts, cancel of a blocked
// connect or read while StartTransfer waits, a full disk, the head event before the body,
// and header values that are refused before anything is sent.
#include "tests/net/inetget/GetterFixture.h"

#include <chrono>
#include <csignal>
#include <sys/resource.h>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;

long long MsSince(TClock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(TClock::now() - start).count();
}

// A file-size limit for this process (ctest runs each test in a process of its own), with
// SIGXFSZ ignored so that a write beyond it fails with EFBIG instead of ending the process.
struct TFileSizeLimit {
    rlimit Saved{};
    void (*SavedHandler)(int) = nullptr;
    explicit TFileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &Saved);
        SavedHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit limited = Saved;
        limited.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limited);
    }
    ~TFileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &Saved);
        std::signal(SIGXFSZ, SavedHandler);
    }
};

const char* const StallAfterHead = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabc";

}  // namespace

// ---- time-outs -----------------------------------------------------------------------------------

TEST_F(HTTPGetTest, TimeoutsHaveTheirDefaults) {
    THTTPGet g(nullptr);
    EXPECT_EQ(g.ConnectTimeout(), 10000u);
    EXPECT_EQ(g.ReceiveTimeout(), 30000u);
    EXPECT_EQ(g.ResumeFrom(), 0);
    EXPECT_EQ(g.StatusCode(), 0);
    EXPECT_EQ(g.ErrorText(), "");
}

TEST_F(HTTPGetTest, EachWaitEndsAfterTheTimeoutThatWasSet) {
    TStalledListener stalled;                                              // connect hangs
    TScriptedServer silent({TScript().Hang()});                            // no head
    TScriptedServer stalling({TScript().ReadRequest().Send(StallAfterHead).Hang()});  // head, then nothing
    struct { const char* Name; int Port; int Status; const char* Error; const char* File; } cases[] = {
        {"connect", stalled.Port(), 0, "connect timed out after 200 ms", nullptr},
        {"head", silent.Port(), 0, "receive timed out after 300 ms", nullptr},
        {"body", stalling.Port(), 200, "receive timed out after 300 ms", "abc"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THTTPGet g(nullptr);
        TEvents ev;
        ev.Attach(g);
        g.SetWaitThread(true);
        g.SetConnectTimeout(200);
        g.SetReceiveTimeout(300);
        g.SetURL(Url(c.Port, "/a.jpg"));
        g.SetFileName(FDir + c.Name + ".jpg");
        auto start = TClock::now();
        g.StartTransfer();
        long long ms = MsSince(start);
        EXPECT_GE(ms, c.Status ? 290 : 190);
        EXPECT_LT(ms, 5000);
        EXPECT_FALSE(g.LastResult());
        EXPECT_EQ(ev.Errors, 1);
        EXPECT_EQ(g.ErrorText(), c.Error);
        EXPECT_EQ(g.StatusCode(), c.Status);
        if (c.File) {
            EXPECT_EQ(ReadFile(FDir + c.Name + ".jpg"), c.File);
        }
    }
}

// ---- cancel --------------------------------------------------------------------------------------

TEST_F(HTTPGetTest, CancelMakesAWaitingStartTransferReturnAtOnce) {
    TStalledListener stalled;
    TScriptedServer stalling({TScript().ReadRequest().Send(StallAfterHead).Hang()});
    struct { const char* Name; int Port; } cases[] = {
        {"blocked connect", stalled.Port()},
        {"stall after the head", stalling.Port()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        THTTPGet g(nullptr);
        TEvents ev;
        ev.Attach(g);
        g.SetWaitThread(true);
        g.SetURL(Url(c.Port, "/a.jpg"));
        g.SetFileName(FDir + "a.jpg");
        TClock::time_point cancelled;
        std::thread canceller([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            cancelled = TClock::now();
            g.CancelTransfer();
        });
        auto start = TClock::now();
        g.StartTransfer();
        canceller.join();
        EXPECT_GE(MsSince(start), 190);
        // Within a few milliseconds; the bound leaves room for a loaded machine.
        EXPECT_LT(MsSince(cancelled), 1000);
        EXPECT_FALSE(g.LastResult());
        EXPECT_EQ(ev.Errors, 1);
        EXPECT_EQ(ev.Done, 0);
        EXPECT_EQ(g.ErrorText(), "cancelled");
    }
}

TEST_F(HTTPGetTest, CancelWhileIdleChangesNothing) {
    THTTPGet g(nullptr);
    g.CancelTransfer();  // no worker yet
    TEvents ev;
    ev.Attach(g);
    g.SetWaitThread(true);
    g.SetURL(Url(FPython->Port, "/photo.jpg"));
    g.SetFileName(FDir + "a.jpg");
    g.StartTransfer();
    g.CancelTransfer();  // after the end: the next transfer is not touched
    g.StartTransfer();
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(ev.Done, 2);
    EXPECT_EQ(g.ErrorText(), "");
}

// ---- a full disk ---------------------------------------------------------------------------------

TEST_F(HTTPGetTest, WriteBeyondTheFileSizeLimitFailsNamingTheFileAndTheReason) {
    WriteFile(*FWww + "large.jpg", std::string(200000, 'x'));
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.SetWaitThread(true);
    g.SetURL(Url(FPython->Port, "/large.jpg"));
    g.SetFileName(FDir + "3.jpg.part");
    {
        TFileSizeLimit limit(100000);
        g.StartTransfer();
    }
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_EQ(ev.ErrorText, "cannot write 3.jpg.part: File too large");
    EXPECT_LE(FileSize(FDir + "3.jpg.part"), 100000);
    g.StartTransfer();  // without the limit the same getter succeeds
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(g.ErrorText(), "");
    EXPECT_EQ(FileSize(FDir + "3.jpg.part"), 200000);
}

// ---- the head event ------------------------------------------------------------------------------

TEST_F(HTTPGetTest, HeadEventComesOnceWithTheFinalHeadBeforeTheBody) {
    TScriptedServer server({TScript()
                                .ReadRequest()
                                .Send("HTTP/1.1 302 Found\r\nLocation: /b.jpg\r\nContent-Length: 0\r\n\r\n")
                                .ReadRequest()
                                .Send("HTTP/1.1 200 OK\r\nETag: \"e1\"\r\nContent-Length: 3\r\n\r\nabc")
                                .Loop()});
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    std::string file = FDir + "h.jpg";
    struct { int Count = 0, Status = 0, StatusInside = 0, OffThread = 0; bool FileThere = true;
             std::string Raw, ETag; TObject* Sender = nullptr; } head;
    g.OnHead = [&](TObject* sender, int status, const std::string& raw) {
        ++head.Count;
        head.OffThread += !IsMainThread();
        head.Sender = sender;
        head.Status = status;
        head.Raw = raw;
        head.StatusInside = g.StatusCode();
        head.ETag = g.ResponseHeader("etag");
        head.FileThere = FileExists(file);
    };
    g.SetWaitThread(true);
    g.SetURL(Url(server.Port(), "/a.jpg"));
    g.SetFileName(file);
    g.StartTransfer();
    EXPECT_TRUE(g.LastResult());
    EXPECT_EQ(head.Count, 1);
    EXPECT_EQ(head.OffThread, 0);
    EXPECT_EQ(head.Sender, &g);
    EXPECT_EQ(head.Status, 200);
    EXPECT_EQ(head.StatusInside, 200);
    EXPECT_EQ(head.Raw, "HTTP/1.1 200 OK\r\nETag: \"e1\"\r\nContent-Length: 3\r\n\r\n");
    EXPECT_EQ(head.ETag, "\"e1\"");
    EXPECT_FALSE(head.FileThere);  // no body byte written yet
    EXPECT_EQ(ReadFile(file), "abc");
}

TEST_F(HTTPGetTest, HeadEventThatThrowsFailsTheTransferBeforeTheFile) {
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.OnHead = [](TObject*, int, const std::string&) { throw Exception("no room for the validator"); };
    g.SetWaitThread(true);
    g.SetURL(Url(FPython->Port, "/photo.jpg"));
    g.SetFileName(FDir + "t.jpg");
    g.StartTransfer();
    EXPECT_FALSE(g.LastResult());
    EXPECT_EQ(ev.Errors, 1);
    EXPECT_EQ(g.ErrorText(), "no room for the validator");
    EXPECT_FALSE(FileExists(FDir + "t.jpg"));
}

TEST_F(HTTPGetTest, NoHeadEventWithoutAnAnswer) {
    THTTPGet g(nullptr);
    int heads = 0;
    g.OnHead = [&](TObject*, int, const std::string&) { ++heads; };
    g.SetWaitThread(true);
    g.SetURL(Url(FreeLoopbackPort(), "/a.jpg"));
    g.SetFileName(FDir + "n.jpg");
    g.StartTransfer();
    EXPECT_EQ(heads, 0);
    EXPECT_EQ(g.StatusCode(), 0);
    EXPECT_EQ(g.ResponseHeader("Content-Length"), "");
}

// ---- request header values ---------------------------------------------------------------------------

TEST_F(HTTPGetTest, ControlBytesInHeaderValuesSendNothing) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n").Loop()});
    struct { const char* Extra; const char* IfRange; } cases[] = {
        {"X-A: a\rb", ""},
        {"X-A: \x01", ""},
        {"X-A: a\r\nno colon", ""},
        {"", "\"v\"\r\nX-Evil: 1"},
        {"", "\"v\"\x7f"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.Extra) + c.IfRange);
        THTTPGet g(nullptr);
        g.SetWaitThread(true);
        g.SetURL(Url(server.Port(), "/a.jpg"));
        g.SetFileName(FDir + "c.jpg");
        g.SetExtraHeaders(c.Extra);
        g.SetResumeFrom(*c.IfRange ? 4 : 0);
        g.SetIfRange(c.IfRange);
        g.StartTransfer();
        EXPECT_FALSE(g.LastResult());
        EXPECT_EQ(g.ErrorText(), "invalid request header");
        EXPECT_FALSE(FileExists(FDir + "c.jpg"));
    }
    EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST_F(HTTPGetTest, ResumeDoesNotApplyToText) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\ntext").Loop()});
    THTTPGet g(nullptr);
    TEvents ev;
    ev.Attach(g);
    g.SetWaitThread(true);
    g.SetURL(Url(server.Port(), "/a.txt"));
    g.SetResumeFrom(2);
    g.StartStringTransfer();
    EXPECT_EQ(ev.DoneText, "text");
    ASSERT_TRUE(server.WaitForReceived(0, 1, 3000));
    EXPECT_EQ(server.Received(0).find("Range:"), std::string::npos);
}

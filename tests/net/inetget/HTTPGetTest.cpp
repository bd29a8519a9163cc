// Threaded getter: blocks and progress against Python's http.server, request texts and
// outcomes against the scripted server (case files in cases/: status, headers, file
// content, resumed transfers, failure texts), busy, cancel, destroy, and the system proxy
// through tinyproxy.
#include "tests/net/inetget/GetterFixture.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <memory>

namespace {

std::string CaseDir() { return std::string(ALBRIVO_SOURCE_DIR) + "/tests/net/inetget/cases/"; }

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

// Each case file gives the server's bytes and what the getter must make of them. Fields:
// success (0/1), file (the file's content afterwards; "-": no file, absent: not checked),
// status (StatusCode), error (ErrorText; %FILE% stands for the file's name), resumed,
// header.NAME (ResponseHeader(NAME)), and what the transfer is started with: binary,
// existing (the file's content before), resume, if-range, extra (header lines). A
// [request] section is the exact request expected.
TEST_F(HTTPGetTest, OutcomesOfScriptedReplies) {
    std::vector<std::string> names;
    DIR* d = ::opendir(CaseDir().c_str());
    for (dirent* e; d && (e = ::readdir(d));)
        if (std::string(e->d_name).find(".case") != std::string::npos) names.push_back(e->d_name);
    if (d) ::closedir(d);
    std::sort(names.begin(), names.end());
    ASSERT_GE(names.size(), 20u);
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
        if (c.Info.count("existing")) WriteFile(file, DecodeEscapes(c.Field("existing")));
        g.SetResumeFrom(StrToIntDef(c.Field("resume", "0"), 0));
        g.SetIfRange(c.Field("if-range"));
        g.SetExtraHeaders(DecodeEscapes(c.Field("extra")));
        g.StartTransfer();

        bool success = c.Field("success") == "1";
        EXPECT_EQ(g.LastResult(), success);
        EXPECT_EQ(ev.Done, success ? 1 : 0);
        EXPECT_EQ(ev.Errors, success ? 0 : 1);
        std::string expected = c.Field("file", "*");
        if (expected == "-") {
            EXPECT_FALSE(FileExists(file));
        } else if (expected != "*") {
            EXPECT_EQ(ReadFile(file), DecodeEscapes(expected));
        }
        if (c.Info.count("status")) {
            EXPECT_EQ(g.StatusCode(), StrToInt(c.Field("status")));
        }
        std::string error = c.Field("error");
        for (size_t p = error.find("%FILE%"); p != std::string::npos; p = error.find("%FILE%"))
            error.replace(p, 6, name + ".jpg");
        EXPECT_EQ(g.ErrorText(), error);
        EXPECT_EQ(ev.ErrorText, error);
        EXPECT_EQ(g.Resumed(), c.Field("resumed") == "1");
        for (const auto& field : c.Info) {
            if (field.first.compare(0, 7, "header.") == 0) {
                EXPECT_EQ(g.ResponseHeader(field.first.substr(7)), field.second) << field.first;
            }
        }
        std::string request = ExpandPort(c.Section("request"), server.Port());
        if (!request.empty()) {
            ASSERT_TRUE(server.WaitForReceived(0, request.size(), 3000)) << server.Received(0);
            EXPECT_EQ(server.Received(0), request);
        }
    }
}

// ---- failures, busy, cancel, destroy ------------------------------------------------------------------

TEST_F(HTTPGetTest, UnreachableUnwritableAndOtherProtocolsFail) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 200 OK\r\nContent-Length: 1\r\n\r\nx").Close()});
    std::string port = std::to_string(server.Port());
    struct { std::string Url, File, Error; } cases[] = {
        {Url(FreeLoopbackPort(), "/a.jpg"), FDir + "refused.jpg", "connection refused"},
        {Url(server.Port(), "/a.jpg"), FDir + "no/such/folder/a.jpg", "cannot create a.jpg: No such file or directory"},
        // https is fetched (HTTPGetHttpsTest): refused like http where nobody listens.
        {"https://127.0.0.1:" + std::to_string(FreeLoopbackPort()) + "/a.jpg", FDir + "tls.jpg", "connection refused"},
        {"FTP://127.0.0.1:" + port + "/a.jpg", FDir + "ftp.jpg", "unsupported protocol: ftp"},
        {"file:/etc/passwd", FDir + "file.jpg", "unsupported protocol: file"},
        {"javascript:alert(1)", FDir + "js.jpg", "unsupported protocol: javascript"},
        {"127.0.0.1", FDir + "nohost.jpg", "invalid address"},
        // Created, but every write fails.
        {Url(server.Port(), "/a.jpg"), "/dev/full", "cannot write full: No space left on device"},
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
        EXPECT_EQ(g.ErrorText(), c.Error) << c.Url;
    }
    EXPECT_EQ(server.ConnectionCount(), 2);  // no other protocol's address was sent in clear
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
    EXPECT_EQ(ev.ErrorText, "cancelled");
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

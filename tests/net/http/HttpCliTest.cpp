// Tests of THttpCli behaviour that a single case file cannot express: event order,
// refusals before anything is sent, local failures, completion exactly once, relocation
// to another server, header bytes split across reads at every position, and failures of
// the caller's stream.
#include "net/http/HttpProt.h"
#include "tests/net/http/HttpCliTestSupport.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::string Ok5 = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";

std::string Url(const TScriptedServer& s, const std::string& path) {
    return "http://127.0.0.1:" + std::to_string(s.Port()) + path;
}

// Counts OnRequestDone and remembers its arguments.
struct TDoneCounter {
    int Count = 0;
    THttpRequest Kind = httpAbort;
    uint16_t Error = 0;
    void Attach(THttpCli& cli) {
        cli.OnRequestDone = [this](TObject*, THttpRequest k, uint16_t e) {
            ++Count;
            Kind = k;
            Error = e;
        };
    }
    // Lets the pending completion messages run, then a little longer for strays.
    void Settle() {
        WaitUntil([this] { return Count > 0; }, 2000);
        WaitUntil([] { return false; }, 30);
    }
};

TEST(HttpCli, Defaults) {
    THttpCli cli(nullptr);
    EXPECT_EQ(cli.LocalAddr(), "0.0.0.0");
    EXPECT_EQ(cli.ProxyPort(), "80");
    EXPECT_EQ(cli.Agent(), "Mozilla/3.0 (compatible)");
    EXPECT_EQ(cli.Accept(), "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*");
    EXPECT_EQ(cli.ContentTypePost(), "application/x-www-form-urlencoded");
    EXPECT_EQ(cli.Timeout(), 30000u);
    EXPECT_EQ(cli.State(), httpIdle);
    EXPECT_EQ(cli.RequestType(), httpAbort);
    EXPECT_EQ(cli.ContentLength(), -1);
    EXPECT_STREQ(HttpRequestName(httpPOST), "httpPOST");
    cli.SetMultiThreaded(true);
    EXPECT_TRUE(cli.CtrlSocket()->MultiThreaded());
}

TEST(HttpCli, EventOrderOfAPlainGet) {
    TScriptedServer server({TScript().ReadRequest().Send(
        "HTTP/1.0 200 OK\r\nSet-Cookie: id=7\r\nContent-Length: 5\r\n\r\nhello").Close()});
    THttpCli cli(nullptr);
    std::vector<std::string> events;
    auto log = [&](const char* name) { return [&events, name](TObject*) { events.push_back(name); }; };
    cli.OnStateChange = [&](TObject*) { events.push_back("state" + std::to_string(int(cli.State()))); };
    cli.OnSessionConnected = log("connected");
    cli.OnRequestHeaderBegin = log("reqbegin");
    cli.OnRequestHeaderEnd = log("reqend");
    cli.OnCommand = [&](TObject*, std::string&) { events.push_back("cmd"); };
    cli.OnHeaderBegin = log("hbegin");
    cli.OnHeaderData = log("hdata");
    cli.OnCookie = [&](TObject*, const std::string& data, bool& accept) {
        EXPECT_TRUE(accept);
        events.push_back("cookie:" + data);
    };
    cli.OnHeaderEnd = log("hend");
    cli.OnDocBegin = log("docbegin");
    cli.OnDocData = [&](TObject*, const void*, int len) { events.push_back("data" + std::to_string(len)); };
    cli.OnDocEnd = log("docend");
    cli.OnRequestDone = [&](TObject*, THttpRequest k, uint16_t e) {
        events.push_back(std::string("done:") + HttpRequestName(k) + ":" + std::to_string(e));
    };
    cli.SetURL(Url(server, "/"));
    cli.Get();
    WaitUntil([&] { return events.back().compare(0, 5, "done:") == 0; }, 2000);
    const std::vector<std::string> expected = {
        "state1", "state3", "state4", "state2", "connected", "state5", "reqbegin",
        "cmd", "cmd", "cmd", "cmd", "reqend", "cmd",
        "hbegin", "hdata", "cookie:id=7", "hdata", "hdata", "state6", "hend",
        "docbegin", "data5", "docend", "state0", "done:httpGET:0"};
    EXPECT_EQ(events, expected);
}

TEST(HttpCli, RefusedBeforeAnythingIsSent) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    TStringStream nothing;
    struct {
        const char* Property;
        std::function<void(THttpCli&)> Set;
    } cases[] = {
        {"URL", [&](THttpCli& c) { c.SetURL(Url(server, "/a\r\nX-Evil: 1")); }},
        {"Cookie", [&](THttpCli& c) { c.SetCookie("a=1\nb"); }},
        {"Agent", [&](THttpCli& c) { c.SetAgent(std::string("x\0y", 3)); }},
        {"Proxy", [&](THttpCli& c) { c.SetProxy("127.0.0.1\r"); }},
        {"Reference", [&](THttpCli& c) { c.SetReference("\x7f"); }},
        {"ContentRangeBegin", [&](THttpCli& c) { c.SetContentRangeBegin("1\r\n"); }},
    };
    for (const auto& c : cases) {
        THttpCli one(nullptr);
        one.SetURL(Url(server, "/"));
        c.Set(one);
        auto [code, message] = TryGet(one);
        EXPECT_EQ(code, httperrBadCharacter) << c.Property;
        EXPECT_EQ(message, std::string("Invalid character in ") + c.Property);
        EXPECT_EQ(one.State(), httpIdle);
    }
    cli.SetURL(Url(server, "/"));
    try {
        cli.RunRequest(httpPOST);
        ADD_FAILURE() << "POST without a stream";
    } catch (const EHttpException& e) {
        EXPECT_EQ(e.ErrorCode(), httperrNothingToPost);
        EXPECT_EQ(e.Message(), "HTTP component has nothing to post");
    }
    WaitUntil([] { return false; }, 50);
    EXPECT_EQ(server.ConnectionCount(), 0);
}

TEST(HttpCli, OtherSchemesAreRefusedBeforeAnythingIsSent) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()});
    const std::string port = std::to_string(server.Port());
    struct {
        std::string Url;
        const char* Scheme;
    } cases[] = {
        {"https://127.0.0.1:" + port + "/a", "https"},
        {"HTTPS://127.0.0.1:" + port + "/a", "https"},
        {"ftp://127.0.0.1:" + port + "/x.jpg", "ftp"},
        {"file:///etc/passwd", "file"},
        {"javascript:alert(1)", "javascript"},
        {"mailto:me@127.0.0.1", "mailto"},
    };
    for (bool proxied : {false, true}) {
        for (const auto& c : cases) {
            const bool https = std::string(c.Scheme) == "https";
            if (https && !proxied) continue;  // spoken directly, over TLS
            SCOPED_TRACE(c.Url + (proxied ? " through a proxy" : ""));
            THttpCli cli(nullptr);
            TDoneCounter done;
            done.Attach(cli);
            if (proxied) cli.SetProxy("127.0.0.1:" + port);
            cli.SetURL(c.Url);
            auto [code, message] = TryGet(cli);
            EXPECT_EQ(code, httperrUnsupportedProtocol);
            EXPECT_EQ(message, https ? std::string(SHttpTlsThroughProxy) : "Unsupported protocol: " + std::string(c.Scheme));
            EXPECT_EQ(cli.State(), httpIdle);
            WaitUntil([] { return false; }, 5);
            EXPECT_EQ(done.Count, 0);  // refused before it started
        }
    }
    WaitUntil([] { return false; }, 30);
    EXPECT_EQ(server.ConnectionCount(), 0);
    // A host and port without a scheme is an http address, not the scheme "127.0.0.1".
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.SetURL("localhost:" + port + "/x");
    cli.Get();
    EXPECT_EQ(doc.DataString(), "hello");
}

TEST(HttpCli, BusyWhileARequestRuns) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    cli.SetURL(Url(server, "/"));
    int busy = 0;
    cli.OnDocData = [&](TObject*, const void*, int) {
        auto [code, message] = TryGet(cli);
        if (code == httperrBusy && message == "HTTP component is busy") ++busy;
    };
    cli.Get();
    EXPECT_EQ(busy, 1);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST(HttpCli, ConnectionRefusedCompletesOnce) {
    int port;
    {
        TScriptedServer gone({TScript().Close()});
        port = gone.Port();
    }
    THttpCli cli(nullptr);
    TDoneCounter done;
    done.Attach(cli);
    cli.SetURL("http://127.0.0.1:" + std::to_string(port) + "/");
    auto [code, message] = TryGet(cli);
    EXPECT_EQ(code, 404);
    EXPECT_NE(message.find("(Error #10061)"), std::string::npos) << message;
    EXPECT_NE(message.find("refused"), std::string::npos) << message;
    done.Settle();
    EXPECT_EQ(done.Count, 1);
    EXPECT_EQ(done.Error, 10061);
    EXPECT_EQ(cli.StatusCode(), 404);
}

TEST(HttpCli, LookupThatCannotStartIsA404) {
    THttpCli cli(nullptr);
    TDoneCounter done;
    done.Attach(cli);
    cli.SetURL("http:///nohost");
    auto [code, message] = TryGet(cli);
    EXPECT_EQ(code, 404);
    EXPECT_FALSE(message.empty());
    done.Settle();
    EXPECT_EQ(done.Count, 1);
}

TEST(HttpCli, CompletionsOfConsecutiveRequestsStayApart) {
    TScriptedServer server({TScript().ReadRequest().Send("HTTP/1.0 500 Oops\r\nContent-Length: 0\r\n\r\n").Close(),
                            TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    std::vector<int> statuses;
    cli.OnRequestDone = [&](TObject* s, THttpRequest, uint16_t) {
        statuses.push_back(static_cast<THttpCli*>(s)->StatusCode());
    };
    cli.SetURL(Url(server, "/"));
    EXPECT_EQ(TryGet(cli).first, 500);
    // The second request starts before the first one's OnRequestDone has run.
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.Get();
    EXPECT_EQ(doc.DataString(), "hello");
    WaitUntil([&] { return statuses.size() >= 2; }, 2000);
    WaitUntil([] { return false; }, 30);
    EXPECT_EQ(statuses.size(), 2u);
    EXPECT_EQ(cli.State(), httpIdle);
}

TEST(HttpCli, OnCommandEmptiesALineButNotItsLineEnd) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    cli.OnCommand = [](TObject*, std::string& s) {
        if (s.compare(0, 7, "Accept:") == 0) s.clear();
        if (s.compare(0, 11, "User-Agent:") == 0) s = "User-Agent: test";
    };
    cli.SetURL(Url(server, "/x"));
    cli.Get();
    EXPECT_EQ(server.Received(0), "GET /x HTTP/1.0\r\n\r\nUser-Agent: test\r\nHost: 127.0.0.1\r\n\r\n");
}

TEST(HttpCli, AbsoluteLocationToAnotherServer) {
    TScriptedServer target({TScript().ReadRequest().Send(Ok5).Close()});
    TScriptedServer first({TScript().ReadRequest().Send(
        "HTTP/1.0 301 Moved\r\nLocation: http://127.0.0.1:" + std::to_string(target.Port()) +
        "/new?q=1\r\n\r\nold body").Close()});
    THttpCli cli(nullptr);
    TStringStream doc;
    int changes = 0;
    cli.OnLocationChange = [&](TObject*) { ++changes; };
    cli.SetRcvdStream(&doc);
    cli.SetAccept("");
    cli.SetAgent("");
    cli.SetURL(Url(first, "/old"));
    cli.Get();
    EXPECT_EQ(doc.DataString(), "hello");
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(cli.Location(), "http://127.0.0.1/new?q=1");
    EXPECT_EQ(target.Received(0), "GET /new?q=1 HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
}

TEST(HttpCli, ContentRangeOfAnAnswerRangesTheNextRequest) {
    TScriptedServer server({TScript().ReadRequest().Send(
                                "HTTP/1.0 206 Partial\r\nContent-Range: bytes 10-19/100\r\n"
                                "Accept-Ranges: bytes\r\n\r\n0123456789").Close(),
                            TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    cli.SetURL(Url(server, "/r"));
    cli.SetContentRangeEnd("19");
    cli.Get();
    EXPECT_EQ(cli.AcceptRanges(), "bytes");
    EXPECT_EQ(cli.ContentRangeBegin(), "10");
    EXPECT_EQ(cli.ContentRangeEnd(), "19");
    cli.Get();
    EXPECT_NE(server.Received(0).find("Range: bytes=-19\r\n"), std::string::npos);
    EXPECT_NE(server.Received(1).find("Range: bytes=10-19\r\n"), std::string::npos);
    EXPECT_EQ(cli.AcceptRanges(), "");
}

// The reply is written in two parts with a pause between them, for every split point of
// the header, so each position also arrives as a separate read on the client side.
TEST(HttpCli, HeaderSplitAcrossReadsAtEveryByte) {
    const std::string reply =
        "HTTP/1.0 200 OK\r\nContent-Type: Text/Plain\r\nX-Long: abcdef\r\nContent-Length: 4\r\n\r\nbody";
    const size_t headerEnd = reply.find("\r\n\r\n") + 4;
    std::vector<TScript> scripts;
    for (size_t cut = 1; cut <= headerEnd; ++cut)
        scripts.push_back(TScript().ReadRequest().Send(reply.substr(0, cut)).Delay(3).Send(reply.substr(cut)).Close());
    TScriptedServer server(scripts);
    THttpCli cli(nullptr);
    cli.SetURL(Url(server, "/"));
    for (size_t cut = 1; cut <= headerEnd; ++cut) {
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.Get();
        EXPECT_EQ(doc.DataString(), "body") << "cut " << cut;
        EXPECT_EQ(cli.ContentType(), "text/plain") << "cut " << cut;
        EXPECT_EQ(cli.RcvdHeader().Count(), 4) << "cut " << cut;
    }
}

TEST(HttpCli, LineTooLongFailsTheRequest) {
    TScriptedServer server({TScript().ReadRequest().Send(
        "HTTP/1.0 200 OK\r\nX-Big: " + std::string(9000, 'b') + "\r\n\r\n").Hang()});
    THttpCli cli(nullptr);
    cli.SetURL(Url(server, "/"));
    auto [code, message] = TryGet(cli);
    EXPECT_EQ(code, httperrLineTooLong);
    EXPECT_EQ(message, "HTTP line too long");
}

TEST(HttpCli, HeaderOfMoreThanOneMebibyteFailsTheRequest) {
    std::string head = "HTTP/1.0 200 OK\r\n";
    while (head.size() <= THttpResponseParser::MaxHeader) head += "X-Filler: " + std::string(100, 'f') + "\r\n";
    TScriptedServer server({TScript().ReadRequest().Send(head).Hang()});
    THttpCli cli(nullptr);
    cli.SetURL(Url(server, "/"));
    auto [code, message] = TryGet(cli);
    EXPECT_EQ(code, httperrHeaderTooLarge);
    EXPECT_EQ(message, "HTTP header too large");
}

// A stream that refuses to take more than a few bytes (a full disk).
class TFullStream : public TMemoryStream {
public:
    int64_t Write(const void* buffer, int64_t count) override {
        if (Size() + count > 3) return 0;
        return TMemoryStream::Write(buffer, count);
    }
};

TEST(HttpCli, FailingStreamFailsTheRequest) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Hang()});
    THttpCli cli(nullptr);
    TFullStream full;
    TDoneCounter done;
    done.Attach(cli);
    cli.SetRcvdStream(&full);
    cli.SetURL(Url(server, "/"));
    try {
        cli.Get();
        ADD_FAILURE() << "no error";
    } catch (const EWriteError& e) {
        EXPECT_EQ(e.Message(), "Stream write error");
    }
    done.Settle();
    EXPECT_EQ(done.Count, 1);
}

TEST(HttpCli, MultiThreadedPumpFetchesToo) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetMultiThreaded(true);
    cli.SetRcvdStream(&doc);
    cli.SetURL(Url(server, "/"));
    cli.Get();
    EXPECT_EQ(doc.DataString(), "hello");
}

}  // namespace

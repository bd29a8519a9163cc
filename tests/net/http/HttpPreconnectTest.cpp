// THttpCli::Preconnect: the connection opened ahead of a request, against the scripted
// server. A GET to the same server goes out on it (one connection, the usual state
// changes); another server, a POST, or a proxy leave it unused; a server that closes or
// resets it as the request comes, with nothing answered, costs one new connection and the
// request still succeeds, while an answer cut after its first bytes stays a failure; over
// https the handshake is done ahead too; a client destroyed with its connection still
// opening leaves nothing behind.
#include "net/http/HttpProt.h"
#include "platform/tls/Tls.h"
#include "tests/net/http/HttpCliTestSupport.h"
#include "tests/support/ScriptedServer.h"
#include "tests/support/TestCertificates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

const std::string Ok5 = "HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nhello";

std::string UrlOf(const TScriptedServer& s, const char* scheme = "http") {
    return std::string(scheme) + "://127.0.0.1:" + std::to_string(s.Port()) + "/doc";
}

// Pumps messages until the connection opened ahead is ready (at most 5 s).
bool WaitPreconnected(const THttpCli& cli) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!cli.Preconnected() && std::chrono::steady_clock::now() < until) {
        WaitMessageTimeout(50);
        ProcessMessages();
    }
    return cli.Preconnected();
}

std::vector<THttpCliState> StatesOf(THttpCli& cli, const std::function<void()>& run) {
    std::vector<THttpCliState> states;
    cli.OnStateChange = [&](TObject*) { states.push_back(cli.State()); };
    run();
    cli.OnStateChange = nullptr;
    return states;
}

}  // namespace

TEST(HttpPreconnect, ARequestToTheSameServerGoesOnTheConnectionOpenedAhead) {
    TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()});
    THttpCli cli(nullptr);
    TStringStream doc;
    cli.SetRcvdStream(&doc);
    cli.Preconnect(UrlOf(server));
    ASSERT_TRUE(WaitPreconnected(cli));
    cli.SetURL(UrlOf(server));
    std::pair<int, std::string> result;
    std::vector<THttpCliState> states = StatesOf(cli, [&] { result = TryGet(cli); });
    EXPECT_EQ(result.first, 0) << result.second;
    EXPECT_EQ(doc.DataString(), "hello");
    EXPECT_EQ(server.ConnectionCount(), 1);
    EXPECT_FALSE(cli.Preconnected());
    const std::vector<THttpCliState> expected = {httpStarting,       httpResolving,    httpResolved, httpConnected,
                                                 httpAwaitingHeader, httpAwaitingBody, httpIdle};
    EXPECT_EQ(states, expected);
}

TEST(HttpPreconnect, AConnectionThatDoesNotFitIsLeftUnused) {
    struct TCase {
        const char* Name;
        bool OtherServer;
        bool Post;
        bool Proxy;
    };
    const TCase cases[] = {
        {"another server", true, false, false},
        {"a POST", false, true, false},
        {"a proxy set after the connection opened", false, false, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        // The first connection is the one opened ahead: it is closed unused.
        TScriptedServer ahead({TScript().ReadUntilClose(), TScript().ReadRequest().Send(Ok5).Close()});
        TScriptedServer other({TScript().ReadRequest().Send(Ok5).Close()});
        TScriptedServer& target = c.OtherServer || c.Proxy ? other : ahead;
        THttpCli cli(nullptr);
        TStringStream doc;
        TStringStream body("a=1");
        cli.SetRcvdStream(&doc);
        cli.Preconnect(UrlOf(ahead));
        ASSERT_TRUE(WaitPreconnected(cli));
        if (c.Proxy) {
            cli.SetProxy("127.0.0.1");
            cli.SetProxyPort(std::to_string(other.Port()));
        }
        cli.SetURL(UrlOf(c.OtherServer ? other : ahead));
        std::pair<int, std::string> result;
        if (c.Post) {
            cli.SetSendStream(&body);
            try {
                cli.RunRequest(httpPOST);
            } catch (const EHttpException& e) {
                result = {e.ErrorCode(), e.Message()};
            }
        } else {
            result = TryGet(cli);
        }
        EXPECT_EQ(result.first, 0) << result.second;
        EXPECT_EQ(doc.DataString(), "hello");
        EXPECT_EQ(target.TotalRequestCount(), 1);
        EXPECT_TRUE(ahead.WaitForFinished(1, 5000));  // the one opened ahead was closed
        EXPECT_EQ(ahead.RequestCount(0), 0);
    }
}

TEST(HttpPreconnect, AConnectionClosedBeforeAnyAnswerCostsOneNewConnection) {
    const std::string cut = "HTTP/1.0 200 OK\r\nContent-Le";
    struct TCase {
        const char* Name;
        TScript First;
        bool Ready;  // the connection is ready before the request (not closed at once)
        int Code;
        int Connections;
    };
    const TCase cases[] = {
        {"closed as the request came", TScript().ReadRequest().Close(), true, 0, 2},
        {"reset as the request came", TScript().ReadRequest().Reset(), true, 0, 2},
        {"closed before the request", TScript().Close(), false, 0, 2},
        {"an answer cut after its first bytes", TScript().ReadRequest().Send(cut).Close(), true, httperrIncomplete,
         1},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.First, TScript().ReadRequest().Send(Ok5).Close()});
        THttpCli cli(nullptr);
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.Preconnect(UrlOf(server));
        ASSERT_TRUE(server.WaitForConnections(1, 5000));
        // A connection closed at once may be seen dead before the request or after it
        // went out: either way the request ends the same.
        if (c.Ready) {
            ASSERT_TRUE(WaitPreconnected(cli));
        }
        cli.SetURL(UrlOf(server));
        std::pair<int, std::string> result = TryGet(cli);
        EXPECT_EQ(result.first, c.Code) << result.second;
        if (c.Code == 0) {
            EXPECT_EQ(doc.DataString(), "hello");
        } else {
            EXPECT_EQ(result.second, SHttpHeadIncomplete);
        }
        EXPECT_EQ(server.ConnectionCount(), c.Connections);
    }
}

TEST(HttpPreconnect, TheHandshakeIsDoneAheadOverHttps) {
    const TTestCertificates& certs = TTestCertificates::Shared();
    tls::SetVerifySettings({true, certs.Ca()});
    {
        TScriptedServer server({TScript().ReadRequest().Send(Ok5).Close()}, TServerTls{certs.Valid(), certs.Key(), 0, 0});
        THttpCli cli(nullptr);
        TStringStream doc;
        cli.SetRcvdStream(&doc);
        cli.Preconnect(UrlOf(server, "https"));
        ASSERT_TRUE(WaitPreconnected(cli));
        cli.SetURL(UrlOf(server, "https"));
        std::pair<int, std::string> result = TryGet(cli);
        EXPECT_EQ(result.first, 0) << result.second;
        EXPECT_EQ(doc.DataString(), "hello");
        EXPECT_EQ(server.ConnectionCount(), 1);
    }
    tls::SetVerifySettings({});
}

TEST(HttpPreconnect, AClientGoneWhileItsConnectionOpensLeavesNothingBehind) {
    TScriptedServer server({TScript().ReadUntilClose()});
    {
        THttpCli cli(nullptr);
        cli.Preconnect(UrlOf(server));
    }
    ProcessMessages();  // whatever the socket had posted finds no one
    {
        THttpCli cli(nullptr);
        cli.Preconnect(UrlOf(server));
        ASSERT_TRUE(WaitPreconnected(cli));
    }
    EXPECT_TRUE(server.WaitForFinished(1, 5000));
}

// Sending ahead (HTTP/1.1 pipelining) in the internet library: requests go ahead only on a
// connection an answer showed kept (the pool's, or behind an answer with a framed body),
// answers read in order on one connection, lines that break (the server closes, a request
// leaves out of turn) and the requests sent afresh after, the refusals with their error
// numbers, bodies that end at the close on a connection that carried requests ahead, the
// connection numbers, and aborting a request that waits for its answer; and
// preconnections, which carry the next request of any verb.
// The server is TLineServer (tests/support/LineServer.h).
#include "platform/wininet/WinInet.h"

#include "tests/platform/wininet/InetTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/LineServer.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;


using TPaths = std::vector<std::string>;

// A session and connection handle to one server, and the requests opened on it.
struct TClient {
    THandleGuard Session;
    THandleGuard Connect;
    std::vector<std::unique_ptr<THandleGuard>> Requests;

    explicit TClient(int port, HINTERNET session = nullptr)
        : Session(session ? session : InternetOpenA("", INTERNET_OPEN_TYPE_DIRECT, nullptr, nullptr, 0)),
          Connect(InternetConnectA(Session, Server(port).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0)) {}
    HINTERNET Open(const char* path, const char* verb = "GET", const char* version = nullptr, DWORD flags = 0) {
        return Keep(HttpOpenRequestA(Connect, verb, path, version, nullptr, nullptr, flags, 0));
    }
    // A request of the same session to another server.
    HINTERNET OpenOn(int port, const char* path) {
        HINTERNET c = Keep(InternetConnectA(Session, Server(port).c_str(), 0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
        return Keep(HttpOpenRequestA(c, "GET", path, nullptr, nullptr, nullptr, 0, 0));
    }
    HINTERNET Keep(HINTERNET h) {
        Requests.push_back(std::make_unique<THandleGuard>(h));
        return h;
    }
};

// Sends "/proof" on Client's server and reads its answer, so that a connection the server
// keeps waits in the session's pool: the one a request sent ahead first in line takes.
void Prove(TClient& client) {
    TOutcome got = SendAndRead(client.Open("/proof"), "");
    ASSERT_EQ(got.Status, 200u);
    ASSERT_EQ(got.ReadError, 0u);
}

BOOL Ahead(HINTERNET request, HINTERNET behind, const char* headers = nullptr) {
    return HttpSendRequestAheadA(request, behind, headers, headers ? DWORD(-1) : 0);
}

DWORD ConnectionId(HINTERNET request) {
    DWORD id = 0, len = sizeof id;
    EXPECT_TRUE(InternetQueryOptionA(request, INTERNET_OPTION_CONNECTION_ID, &id, &len));
    return id;
}

// Reads the rest of a sent request's body.
std::string ReadBody(HINTERNET request) {
    std::string body;
    char buf[5];
    DWORD got = 0;
    while (InternetReadFile(request, buf, sizeof buf, &got) && got) body.append(buf, got);
    return body;
}

}  // namespace

// ---- answers in order on one connection -------------------------------------------------------

TEST(InetLine, RequestsSentAheadAreAnsweredInOrderOnOneConnection) {
    // After the proof, the server answers only once /a and /b came, so both went out
    // before any answer was read; the third goes while the first answer is being read.
    TLineServer server({0, 0, 0, 3});
    TClient client(server.Port());
    Prove(client);
    HINTERNET a = client.Open("/a"), b = client.Open("/b"), c = client.Open("/c");
    EXPECT_EQ(ConnectionId(a), 0u);
    ASSERT_TRUE(Ahead(a, nullptr)) << GetLastError();
    ASSERT_TRUE(Ahead(b, a)) << GetLastError();
    ASSERT_TRUE(HttpSendRequestA(a, nullptr, 0, nullptr, 0)) << GetLastError();  // holds it, body unread
    ASSERT_TRUE(Ahead(c, b)) << GetLastError();  // written under the holder's feet
    EXPECT_NE(ConnectionId(a), 0u);
    EXPECT_EQ(ConnectionId(b), ConnectionId(a));
    EXPECT_EQ(ConnectionId(c), ConnectionId(a));

    EXPECT_EQ(ReadBody(a), "/a");
    TOutcome gotB = SendAndRead(b, "");
    EXPECT_EQ(gotB.Status, 200u);
    EXPECT_EQ(gotB.Body, "/b");
    EXPECT_EQ(SendAndRead(c, "").Body, "/c");
    EXPECT_EQ(server.Paths(0), (TPaths{"/proof", "/a", "/b", "/c"}));

    // After the last in line, the connection went back to the pool.
    HINTERNET d = client.Open("/d");
    EXPECT_EQ(SendAndRead(d, "").Body, "/d");
    EXPECT_EQ(ConnectionId(d), ConnectionId(a));
    EXPECT_EQ(server.Connections(), 1);
}

TEST(InetLine, RequestGoesBehindOneSentAsUsual) {
    TLineServer server;
    TClient client(server.Port());
    HINTERNET a = client.Open("/a"), b = client.Open("/b");
    ASSERT_TRUE(HttpSendRequestA(a, nullptr, 0, nullptr, 0));
    ASSERT_TRUE(Ahead(b, a, "X-Photo: 2\r\n")) << GetLastError();
    // Its HttpSendRequestA sends nothing more: its own headers are ignored.
    EXPECT_EQ(ReadBody(a), "/a");
    ASSERT_TRUE(HttpSendRequestA(b, "X-Other: 1", DWORD(-1), nullptr, 0)) << GetLastError();
    EXPECT_EQ(ReadBody(b), "/b");
    char sent[512];
    DWORD len = sizeof sent;
    ASSERT_TRUE(HttpQueryInfoA(b, HTTP_QUERY_RAW_HEADERS_CRLF | HTTP_QUERY_FLAG_REQUEST_HEADERS, sent, &len, nullptr));
    EXPECT_NE(std::string(sent).find("X-Photo: 2\r\n"), std::string::npos);
    EXPECT_EQ(std::string(sent).find("X-Other"), std::string::npos);
    EXPECT_EQ(server.Paths(0), (TPaths{"/a", "/b"}));
    EXPECT_EQ(server.Connections(), 1);
}

// ---- lines that break ----------------------------------------------------------------------------

TEST(InetLine, RequestsOfABrokenLineAreSentAfreshAndGetTheirOwnAnswers) {
    struct {
        const char* Name;
        TLineServerRules Rules;
        TPaths AfreshOnSecond;  // the requests the second connection brought
    } cases[] = {
        // The answer to /a says close: the two behind it go again (the second connection
        // was pooled by /b and taken by /c).
        {"says close", {0, 0, 2, 4}, {"/b", "/c"}},
        // The server closes after the proof and two answers without saying so: /c finds
        // the connection closed before any byte of its answer and goes once more on a new one.
        {"closes unannounced", {0, 3, 0, 4}, {"/c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TLineServer server(c.Rules);
        TClient client(server.Port());
        Prove(client);
        HINTERNET r[3] = {client.Open("/a"), client.Open("/b"), client.Open("/c")};
        ASSERT_TRUE(Ahead(r[0], nullptr));
        ASSERT_TRUE(Ahead(r[1], r[0]));
        ASSERT_TRUE(Ahead(r[2], r[1]));
        DWORD line = ConnectionId(r[0]);
        const char* paths[3] = {"/a", "/b", "/c"};
        for (int i = 0; i < 3; ++i) {
            TOutcome got = SendAndRead(r[i], "");
            EXPECT_TRUE(got.Sent) << paths[i] << " " << got.SendError;
            EXPECT_EQ(got.Body, paths[i]);
            EXPECT_EQ(got.ReadError, 0u);
        }
        EXPECT_EQ(server.Paths(0), (TPaths{"/proof", "/a", "/b", "/c"}));
        EXPECT_EQ(server.Paths(1), c.AfreshOnSecond);
        EXPECT_EQ(server.Connections(), 2);
        EXPECT_EQ(ConnectionId(r[0]), line);
        EXPECT_NE(ConnectionId(r[2]), line);  // the getter learns to send the rest again
    }
}

TEST(InetLine, RequestLeavingOutOfTurnBreaksTheLine) {
    struct {
        const char* Name;
        bool CloseB;  // /b is closed before its turn; otherwise /b asks before /a was read
    } cases[] = {{"closed before its turn", true}, {"asks before the answer ahead was read", false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TLineServer server({0, 0, 0, 4});
        TClient client(server.Port());
        Prove(client);
        HINTERNET a = client.Open("/a"), b = client.Open("/b"), d = client.Open("/c");
        ASSERT_TRUE(Ahead(a, nullptr));
        ASSERT_TRUE(Ahead(b, a));
        ASSERT_TRUE(Ahead(d, b));
        ASSERT_TRUE(HttpSendRequestA(a, nullptr, 0, nullptr, 0));
        auto start = TClock::now();
        if (c.CloseB) {
            ASSERT_TRUE(InternetCloseHandle(b));
            client.Requests[1]->H = nullptr;
        } else {
            EXPECT_EQ(SendAndRead(b, "").Body, "/b");  // afresh
        }
        EXPECT_EQ(ReadBody(a), "/a");  // the holder's own answer is whole
        EXPECT_EQ(SendAndRead(d, "").Body, "/c");
        EXPECT_LT(TClock::now() - start, std::chrono::seconds(2));
        EXPECT_EQ(server.Paths(0), (TPaths{"/proof", "/a", "/b", "/c"}));
        EXPECT_EQ(server.Connections(), 2);
        EXPECT_EQ(server.Paths(1), c.CloseB ? TPaths{"/c"} : TPaths({"/b", "/c"}));
    }
}

// ---- refusals ------------------------------------------------------------------------------------

TEST(InetLine, RequestsThatMayNotGoAheadAreRefusedAndLeftAsTheyWere) {
    TLineServer server, elsewhere;
    struct {
        const char* Name;
        DWORD Error;
        // Opens the request (and whatever it goes behind) on Client; Other is another
        // session to the same server. Returns {request, behind}.
        std::pair<HINTERNET, HINTERNET> (*Setup)(TClient& client, TClient& other, int elsewhere);
        const char* Headers;
        size_t SentBefore = 0;  // how often the setup sent the request itself
    } cases[] = {
        {"POST", ERROR_INVALID_PARAMETER,
         [](TClient& cl, TClient&, int) { return std::make_pair(cl.Open("/r", "POST"), HINTERNET(nullptr)); }, nullptr},
        {"HTTP/1.0", ERROR_INVALID_PARAMETER,
         [](TClient& cl, TClient&, int) { return std::make_pair(cl.Open("/r", "GET", "HTTP/1.0"), HINTERNET(nullptr)); }, nullptr},
        {"asks to close", ERROR_INVALID_PARAMETER,
         [](TClient& cl, TClient&, int) { return std::make_pair(cl.Open("/r"), HINTERNET(nullptr)); }, "Connection: close"},
        {"bad header line", ERROR_HTTP_INVALID_HEADER,
         [](TClient& cl, TClient&, int) { return std::make_pair(cl.Open("/r"), HINTERNET(nullptr)); }, "no colon"},
        {"behind itself", ERROR_INVALID_PARAMETER,
         [](TClient& cl, TClient&, int) { HINTERNET r = cl.Open("/r"); return std::make_pair(r, r); }, nullptr},
        {"behind one to another server", ERROR_INVALID_PARAMETER,
         [](TClient& cl, TClient&, int elsewhere) {
             HINTERNET behind = cl.OpenOn(elsewhere, "/x");
             HttpSendRequestA(behind, nullptr, 0, nullptr, 0);
             return std::make_pair(cl.Open("/r"), behind);
         }, nullptr},
        {"behind one of another session", ERROR_INVALID_PARAMETER,
         [](TClient& cl, TClient& other, int) {
             HINTERNET behind = other.Open("/x");
             HttpSendRequestA(behind, nullptr, 0, nullptr, 0);
             return std::make_pair(cl.Open("/r"), behind);
         }, nullptr},
        {"first on a new connection", ERROR_INTERNET_INCORRECT_HANDLE_STATE,
         [](TClient& cl, TClient&, int) { return std::make_pair(cl.Open("/r"), HINTERNET(nullptr)); }, nullptr},
        {"behind one whose line broke", ERROR_INTERNET_INCORRECT_HANDLE_STATE,
         [](TClient& cl, TClient&, int) {
             Prove(cl);
             HINTERNET first = cl.Open("/x"), second = cl.Open("/y");
             Ahead(first, nullptr);
             Ahead(second, first);
             InternetCloseHandle(first);  // closed before its turn
             return std::make_pair(cl.Open("/r"), second);
         }, nullptr},
        {"already sent", ERROR_INTERNET_INCORRECT_HANDLE_STATE,
         [](TClient& cl, TClient&, int) {
             HINTERNET r = cl.Open("/r");
             SendAndRead(r, "");
             return std::make_pair(r, HINTERNET(nullptr));
         }, nullptr, 1},
        {"already sent ahead", ERROR_INTERNET_INCORRECT_HANDLE_STATE,
         [](TClient& cl, TClient&, int) {
             Prove(cl);
             HINTERNET r = cl.Open("/r");
             Ahead(r, nullptr);
             return std::make_pair(r, HINTERNET(nullptr));
         }, nullptr, 1},
        {"behind one not sent", ERROR_INTERNET_INCORRECT_HANDLE_STATE,
         [](TClient& cl, TClient&, int) { return std::make_pair(cl.Open("/r"), cl.Open("/x")); }, nullptr},
        {"behind one whose connection went to the pool", ERROR_INTERNET_INCORRECT_HANDLE_STATE,
         [](TClient& cl, TClient&, int) {
             HINTERNET behind = cl.Open("/x");
             SendAndRead(behind, "");
             return std::make_pair(cl.Open("/r"), behind);
         }, nullptr},
    };
    size_t heard = 0;  // requests for /r the server had, over the cases
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TClient client(server.Port());
        TClient other(server.Port());
        auto [request, behind] = c.Setup(client, other, elsewhere.Port());
        heard += c.SentBefore;
        ASSERT_TRUE(server.WaitForHeard("/r", heard, 2000));
        EXPECT_FALSE(Ahead(request, behind, c.Headers));
        EXPECT_EQ(GetLastError(), c.Error);
        EXPECT_FALSE(server.WaitForHeard("/r", heard + 1, 50));  // nothing went out
    }
}

TEST(InetLine, ProxiedRequestsAndRefusedConnectsDoNotGoAhead) {
    TLineServer server;
    std::string proxy = Server(server.Port());
    // Through the proxy (itself) for 127.0.0.1; "localhost" bypasses it.
    TClient proxied(1, InternetOpenA("", INTERNET_OPEN_TYPE_PROXY, proxy.c_str(), "localhost", 0));
    HINTERNET r = proxied.Open("/r");
    EXPECT_FALSE(Ahead(r, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(server.Connections(), 0);
    // Left as it was: sent as usual, through the proxy.
    EXPECT_EQ(SendAndRead(r, "").Body, "http://127.0.0.1:1/r");

    THandleGuard bypassing(InternetConnectA(proxied.Session, ("localhost:" + std::to_string(server.Port())).c_str(),
                                            0, "", "", INTERNET_SERVICE_HTTP, 0, 0));
    THandleGuard proof(HttpOpenRequestA(bypassing, "GET", "/proof", nullptr, nullptr, nullptr, 0, 0));
    EXPECT_EQ(SendAndRead(proof, "").Body, "/proof");
    THandleGuard direct(HttpOpenRequestA(bypassing, "GET", "/direct", nullptr, nullptr, nullptr, 0, 0));
    EXPECT_TRUE(Ahead(direct, nullptr)) << GetLastError();
    EXPECT_EQ(SendAndRead(direct, "").Body, "/direct");

    // Nothing pooled: no connection is made to send a request ahead on.
    TClient nobody(FreeLoopbackPort());
    HINTERNET n = nobody.Open("/n");
    EXPECT_FALSE(Ahead(n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_EQ(ConnectionId(n), 0u);
}

TEST(InetLine, ConnectionIdIsReadOnlyAndBelongsToRequests) {
    TLineServer server;
    TClient client(server.Port());
    HINTERNET r = client.Open("/r");
    DWORD value = 7, len = sizeof value;
    EXPECT_FALSE(InternetSetOptionA(r, INTERNET_OPTION_CONNECTION_ID, &value, sizeof value));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPTION_NOT_SETTABLE);
    EXPECT_FALSE(InternetQueryOptionA(client.Session, INTERNET_OPTION_CONNECTION_ID, &value, &len));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_TYPE);
    // Two requests at once need two connections: their numbers differ.
    HINTERNET s = client.Open("/s");
    ASSERT_TRUE(HttpSendRequestA(r, nullptr, 0, nullptr, 0));
    ASSERT_TRUE(HttpSendRequestA(s, nullptr, 0, nullptr, 0));
    EXPECT_NE(ConnectionId(r), 0u);
    EXPECT_NE(ConnectionId(r), ConnectionId(s));
}

// ---- answers that end the connection -------------------------------------------------------------

TEST(InetLine, NothingGoesBehindAnAnswerThatEndsItsConnection) {
    const std::string kept = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    struct {
        const char* Name;
        std::string Reply;
    } cases[] = {
        {"body ends at the close", "HTTP/1.1 200 OK\r\n\r\nuntil the close"},
        {"says close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 4\r\n\r\nbody"},
        {"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        // The first connection proves itself, then answers /a so; /b must never go out on it.
        TScriptedServer server({TScript().ReadRequest().Send(kept).ReadRequest().Send(c.Reply).Close(),
                                TScript().ReadRequest().Send(kept).Close()});
        TClient client(server.Port());
        Prove(client);
        HINTERNET a = client.Open("/a"), b = client.Open("/b");
        ASSERT_TRUE(HttpSendRequestA(a, nullptr, 0, nullptr, 0)) << GetLastError();
        EXPECT_FALSE(Ahead(b, a));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
        TOutcome got = SendAndRead(a, "");  // a's own answer is read as sent
        EXPECT_EQ(got.ReadError, 0u);
        EXPECT_EQ(SendAndRead(b, "").Body, "ok");  // sent as usual, on a connection of its own
        EXPECT_EQ(server.RequestCount(0), 2);
    }
}

TEST(InetLine, ABodyEndingAtTheCloseOfAConnectionThatCarriedRequestsAheadIsNeverWhole) {
    // Proven by a framed answer, the connection carries /a and /b sent ahead; then the
    // server answers /a without a length and closes, in order or with a reset.
    const std::string kept = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
    const std::string unframed = "HTTP/1.1 200 OK\r\n\r\nthe body of /a";
    struct {
        const char* Name;
        TScript Script;
        DWORD Error;
    } cases[] = {
        {"orderly close", TScript().ReadRequest().Send(kept).ReadRequest().ReadRequest().Send(unframed).Close(),
         DWORD(ERROR_INTERNET_CONNECTION_ABORTED)},
        {"reset", TScript().ReadRequest().Send(kept).ReadRequest().ReadRequest().Send(unframed).Delay(50).Reset(),
         DWORD(ERROR_INTERNET_CONNECTION_RESET)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.Script, TScript().ReadRequest().Send(kept).Close()});
        TClient client(server.Port());
        Prove(client);
        HINTERNET a = client.Open("/a"), b = client.Open("/b");
        ASSERT_TRUE(Ahead(a, nullptr)) << GetLastError();
        ASSERT_TRUE(Ahead(b, a)) << GetLastError();
        TOutcome got = SendAndRead(a, "");
        EXPECT_TRUE(got.Sent);
        EXPECT_EQ(got.ReadError, c.Error);
        // /b had no answer on that connection: it is sent afresh and gets its own.
        EXPECT_EQ(SendAndRead(b, "").Body, "ok");
    }
}

TEST(InetLine, ABodyEndingAtTheCloseIsWholeOnlyAfterAnOrderlyClose) {
    const std::string unframed = "HTTP/1.1 200 OK\r\n\r\nuntil the close";
    struct {
        const char* Name;
        TScript Script;
        DWORD Error;
    } cases[] = {
        {"orderly close", TScript().ReadRequest().Send(unframed).Close(), 0},
        {"reset after the body", TScript().ReadRequest().Send(unframed).Delay(50).Reset(),
         DWORD(ERROR_INTERNET_CONNECTION_RESET)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.Script});
        TClient client(server.Port());
        TOutcome got = SendAndRead(client.Open("/a"), "");
        EXPECT_EQ(got.ReadError, c.Error);
        if (c.Error == 0) {
            EXPECT_EQ(got.Body, "until the close");
        }
    }
}

// ---- threads ---------------------------------------------------------------------------------------

TEST(InetLine, ClosingARequestWaitingForItsAnswerAbortsIt) {
    TLineServer server;
    TClient client(server.Port());
    Prove(client);
    HINTERNET a = client.Open("/silent");
    ASSERT_TRUE(Ahead(a, nullptr));
    std::thread closer([&] {
        server.WaitForPaths(0, 2, 2000);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        InternetCloseHandle(a);
    });
    auto start = TClock::now();
    EXPECT_FALSE(HttpSendRequestA(a, nullptr, 0, nullptr, 0));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_OPERATION_CANCELLED);
    EXPECT_LT(TClock::now() - start, std::chrono::seconds(2));
    closer.join();
    client.Requests[1]->H = nullptr;
}

TEST(InetLine, ConnectionInUseByAnotherThreadRefusesRequestsAhead) {
    TLineServer server;
    TClient client(server.Port());
    HINTERNET a = client.Open("/stall"), b = client.Open("/b");
    ASSERT_TRUE(HttpSendRequestA(a, nullptr, 0, nullptr, 0));
    std::thread reader([&] { ReadBody(a); });  // blocks in the stalled body
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    auto start = TClock::now();
    EXPECT_FALSE(Ahead(b, a));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_INCORRECT_HANDLE_STATE);
    EXPECT_LT(TClock::now() - start, std::chrono::milliseconds(500));  // it did not wait
    InternetCloseHandle(a);  // ends the read
    reader.join();
    client.Requests[0]->H = nullptr;
    EXPECT_EQ(SendAndRead(b, "").Body, "/b");  // left as it was
    EXPECT_EQ(server.Paths(0), TPaths{"/stall"});
}

// ---- preconnections ------------------------------------------------------------------------------

TEST(InetPreconnect, APreconnectionCarriesTheNextRequestWhateverItsVerb) {
    for (const char* verb : {"GET", "POST"}) {
        SCOPED_TRACE(verb);
        TLineServer server;
        TClient client(server.Port());
        ASSERT_TRUE(InternetPreconnectA(client.Open("/unsent"))) << GetLastError();
        ASSERT_TRUE(server.WaitForConnections(1, 5000));
        EXPECT_TRUE(server.Paths(0).empty());  // nothing was sent on it
        TOutcome got = SendAndRead(client.Open("/r", verb), "");
        EXPECT_EQ(got.Body, "/r");
        EXPECT_EQ(server.Paths(0), (TPaths{"/r"}));
        EXPECT_EQ(server.Connections(), 1);
    }
}

TEST(InetPreconnect, APostTakesNoConnectionThatCarriedARequestAndAFailedConnectIsSaid) {
    TLineServer server;
    TClient client(server.Port());
    EXPECT_EQ(SendAndRead(client.Open("/a"), "").Body, "/a");  // its connection is pooled
    EXPECT_EQ(SendAndRead(client.Open("/b", "POST"), "").Body, "/b");
    EXPECT_EQ(server.Connections(), 2);

    TClient nobody(FreeLoopbackPort());
    EXPECT_FALSE(InternetPreconnectA(nobody.Open("/n")));
    EXPECT_EQ(GetLastError(), ERROR_INTERNET_CANNOT_CONNECT);
}

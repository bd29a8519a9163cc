// The getter's line (net/inetget/ServerLine.h): the first request on a connection goes
// alone, requests go behind only an answer that keeps its connection and frames its body,
// answers are taken in order on one connection, a line that breaks (the server closes,
// says close, an answer left unread) has its waiting requests sent afresh, a body that
// ends at the close of a connection that carried requests ahead is never whole, a stop
// ends a read at once, and a preconnection carries the next request whatever its verb.
// The servers are TLineServer (tests/support/LineServer.h), which answers pipelined
// requests in order, and the scripted server for exact replies.
#include "net/inetget/ServerLine.h"

#include "tests/support/ChildProcess.h"
#include "tests/support/LineServer.h"
#include "tests/support/ScriptedServer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

using TClock = std::chrono::steady_clock;
using TPaths = std::vector<std::string>;
using inetwire::TConnectionAsk;

const inetwire::TTimeouts Limits{5000, 5000, 5000};
const TConnectionAsk KeepIt{"HTTP/1.1", "Keep-Alive", true};

TLinePlace Place(int port) { return TLinePlace{"127.0.0.1", uint16_t(port), false}; }

std::string Head(const std::string& path, const std::string& verb = "GET", const std::string& extra = "") {
    return verb + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: Keep-Alive\r\n" + extra + "\r\n";
}

DWORD SendAlone(TServerLine& line, int port, const std::string& path) {
    return line.Send(Place(port), Head(path), "", "GET", KeepIt, true, Limits);
}

// The rest of the answer being read, and the read's failure (0: the body ended properly).
struct TBody {
    std::string Text;
    DWORD Error = 0;
};
TBody ReadBody(TServerLine& line) {
    TBody body;
    char buf[7];
    for (;;) {
        size_t got = 0;
        body.Error = line.Read(buf, sizeof buf, &got, Limits.Receive);
        body.Text.append(buf, got);
        if (body.Error != ERROR_SUCCESS || got == 0) return body;
    }
}

// Takes the next answer in line; the request is sent alone on a new connection when the
// line says it must go afresh. Its body.
std::string TakeOrSendAfresh(TServerLine& line, int port, const std::string& path, bool& afresh) {
    DWORD r = line.TakeNext(Limits, afresh);
    EXPECT_EQ(r, 0u) << path;
    if (afresh) {
        EXPECT_EQ(SendAlone(line, port, path), 0u) << path;
    }
    return ReadBody(line).Text;
}

const std::string Kept = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

}  // namespace

// ---- answers in order on one connection -------------------------------------------------------

TEST(ServerLine, RequestsBehindAreAnsweredInOrderOnOneConnection) {
    // The answers after the first wait until three requests came: /b and /c went out
    // before /a's answer was read.
    TLineServer server({0, 0, 0, 3});
    TServerLine line;
    ASSERT_EQ(SendAlone(line, server.Port(), "/a"), 0u);
    ASSERT_TRUE(line.TakesRequestsBehind());
    ASSERT_TRUE(line.SendBehind(Head("/b"), Limits.Send));
    ASSERT_TRUE(line.SendBehind(Head("/c"), Limits.Send));
    EXPECT_EQ(line.Waiting(), 2u);
    EXPECT_EQ(ReadBody(line).Text, "/a");
    bool afresh = true;
    EXPECT_EQ(TakeOrSendAfresh(line, server.Port(), "/b", afresh), "/b");
    EXPECT_FALSE(afresh);
    EXPECT_EQ(TakeOrSendAfresh(line, server.Port(), "/c", afresh), "/c");
    EXPECT_FALSE(afresh);
    EXPECT_EQ(server.HeardBeforeAnswer(2), 3u);
    // After the last in line the connection stays for the next request alone.
    EXPECT_TRUE(line.HasIdleConnection(Place(server.Port())));
    ASSERT_EQ(SendAlone(line, server.Port(), "/d"), 0u);
    EXPECT_EQ(ReadBody(line).Text, "/d");
    EXPECT_EQ(server.Paths(0), (TPaths{"/a", "/b", "/c", "/d"}));
    EXPECT_EQ(server.Connections(), 1);
}

TEST(ServerLine, TheFirstRequestOnAConnectionGoesAlone) {
    TLineServer server;
    TServerLine line;
    EXPECT_FALSE(line.TakesRequestsBehind());
    EXPECT_FALSE(line.SendBehind(Head("/x"), Limits.Send));  // no connection at all
    ASSERT_EQ(line.Preconnect(Place(server.Port()), Limits.Connect), 0u);
    ASSERT_TRUE(server.WaitForConnections(1, 5000));
    EXPECT_FALSE(line.SendBehind(Head("/x"), Limits.Send));  // no answer showed it kept
    EXPECT_EQ(line.Waiting(), 0u);
    ASSERT_EQ(SendAlone(line, server.Port(), "/a"), 0u);
    EXPECT_EQ(ReadBody(line).Text, "/a");
    EXPECT_EQ(server.Paths(0), TPaths{"/a"});
}

TEST(ServerLine, AGetOnAKeptConnectionClosedUnansweredGoesOnceMoreAPostNever) {
    struct {
        const char* Verb;
        bool Retry;
        bool Answered;
        int Connections;
    } cases[] = {{"GET", true, true, 2}, {"POST", false, false, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Verb);
        // The kept connection takes the second request and closes without a byte of answer.
        TScriptedServer server({TScript().ReadRequest().Send(Kept).ReadRequest().Close(),
                                TScript().ReadRequest().Send(Kept).Close()});
        TServerLine line;
        ASSERT_EQ(SendAlone(line, server.Port(), "/a"), 0u);
        EXPECT_EQ(ReadBody(line).Text, "ok");
        ASSERT_TRUE(line.HasIdleConnection(Place(server.Port())));
        DWORD r = line.Send(Place(server.Port()), Head("/b", c.Verb), "", c.Verb, KeepIt, c.Retry, Limits);
        EXPECT_EQ(r == ERROR_SUCCESS, c.Answered) << r;
        if (c.Answered) {
            EXPECT_EQ(ReadBody(line).Text, "ok");
        }
        ASSERT_TRUE(server.WaitForFinished(1, 5000));
        EXPECT_EQ(server.ConnectionCount(), c.Connections);
    }
}

// ---- answers that end the connection -------------------------------------------------------------

TEST(ServerLine, NothingGoesBehindAnAnswerThatEndsItsConnection) {
    struct {
        const char* Name;
        std::string Reply;
        TConnectionAsk Ask;
    } cases[] = {
        {"body ends at the close", "HTTP/1.1 200 OK\r\n\r\nuntil the close", KeepIt},
        {"says close", "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Length: 4\r\n\r\nbody", KeepIt},
        {"HTTP/1.0 without keep-alive", "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nbody", KeepIt},
        {"the request asked to close", "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nbody", {"HTTP/1.1", "close", false}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({TScript().ReadRequest().Send(c.Reply).Close(), TScript().ReadRequest().Send(Kept).Close()});
        TServerLine line;
        ASSERT_EQ(line.Send(Place(server.Port()), Head("/a"), "", "GET", c.Ask, true, Limits), 0u);
        EXPECT_FALSE(line.TakesRequestsBehind());
        EXPECT_FALSE(line.SendBehind(Head("/b"), Limits.Send));
        EXPECT_EQ(ReadBody(line).Error, 0u);  // its own answer is read as sent
        EXPECT_FALSE(line.HasIdleConnection(Place(server.Port())));
        // The next goes alone, on a connection of its own.
        ASSERT_EQ(SendAlone(line, server.Port(), "/b"), 0u);
        EXPECT_EQ(ReadBody(line).Text, "ok");
        EXPECT_EQ(server.RequestCount(0), 1);
    }
}

TEST(ServerLine, RequestsOfABrokenLineAreToBeSentAfreshAndGetTheirOwnAnswers) {
    struct {
        const char* Name;
        TLineServerRules Rules;
        bool ReadA;           // /a's body is read before /b's turn
        TPaths FirstHeard;    // what the first connection brought
        TPaths SecondHeard;   // what the second connection brought
    } cases[] = {
        // (The answers after the first wait until all three requests came.)
        // The answer to /b says close: /c goes again.
        {"says close", {0, 0, 2, 3}, true, {"/a", "/b", "/c"}, {"/c"}},
        // The server closes after two answers without saying so: /c finds the connection
        // closed before any byte of its answer.
        {"closes unannounced", {0, 2, 0, 3}, true, {"/a", "/b", "/c"}, {"/c"}},
        // /b's turn is asked for before /a's answer was read: out of turn, the line is over.
        {"answer ahead left unread", {}, false, {"/a", "/b", "/c"}, {"/b", "/c"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TLineServer server(c.Rules);
        TServerLine line;
        ASSERT_EQ(SendAlone(line, server.Port(), "/a"), 0u);
        ASSERT_TRUE(line.SendBehind(Head("/b"), Limits.Send));
        ASSERT_TRUE(line.SendBehind(Head("/c"), Limits.Send));
        if (c.ReadA) {
            EXPECT_EQ(ReadBody(line).Text, "/a");
        }
        ASSERT_TRUE(server.WaitForPaths(0, 3, 5000));
        bool afresh = false;
        EXPECT_EQ(TakeOrSendAfresh(line, server.Port(), "/b", afresh), "/b");
        EXPECT_EQ(TakeOrSendAfresh(line, server.Port(), "/c", afresh), "/c");
        EXPECT_TRUE(afresh);
        EXPECT_EQ(server.Paths(0), c.FirstHeard);
        EXPECT_EQ(server.Paths(1), c.SecondHeard);
        EXPECT_EQ(server.Connections(), 2);
    }
}

TEST(ServerLine, ABodyEndingAtTheCloseOfAConnectionThatCarriedRequestsAheadIsNeverWhole) {
    // Kept after /proof, the connection carries /a and /b sent behind; the server answers
    // /a without a length and closes, in order or with a reset.
    const std::string unframed = "HTTP/1.1 200 OK\r\n\r\nthe body of /a";
    struct {
        const char* Name;
        TScript Script;
        DWORD Error;
    } cases[] = {
        {"orderly close", TScript().ReadRequest().Send(Kept).ReadRequest().ReadRequest().Send(unframed).Close(),
         DWORD(ERROR_INTERNET_CONNECTION_ABORTED)},
        {"reset", TScript().ReadRequest().Send(Kept).ReadRequest().ReadRequest().Send(unframed).Delay(50).Reset(),
         DWORD(ERROR_INTERNET_CONNECTION_RESET)},
    };
    for (auto& c : cases) {
        SCOPED_TRACE(c.Name);
        TScriptedServer server({c.Script, TScript().ReadRequest().Send(Kept).Close()});
        TServerLine line;
        ASSERT_EQ(SendAlone(line, server.Port(), "/proof"), 0u);
        EXPECT_EQ(ReadBody(line).Text, "ok");
        ASSERT_TRUE(line.SendBehind(Head("/a"), Limits.Send));
        ASSERT_TRUE(line.SendBehind(Head("/b"), Limits.Send));
        bool afresh = true;
        ASSERT_EQ(line.TakeNext(Limits, afresh), 0u);
        EXPECT_FALSE(afresh);
        TBody a = ReadBody(line);
        EXPECT_EQ(a.Error, c.Error);
        // /b had no answer on that connection: it goes afresh and gets its own.
        EXPECT_EQ(TakeOrSendAfresh(line, server.Port(), "/b", afresh), "ok");
        EXPECT_TRUE(afresh);
    }
}

TEST(ServerLine, ABodyEndingAtTheCloseIsWholeOnlyAfterAnOrderlyClose) {
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
        TServerLine line;
        ASSERT_EQ(SendAlone(line, server.Port(), "/a"), 0u);
        TBody body = ReadBody(line);
        EXPECT_EQ(body.Error, c.Error);
        if (c.Error == 0) {
            EXPECT_EQ(body.Text, "until the close");
        }
        EXPECT_FALSE(line.Open());
    }
}

// ---- stops and preconnections ----------------------------------------------------------------------

TEST(ServerLine, AbortEndsAWaitForAnAnswerAtOnceUntilCleared) {
    TLineServer server;
    TServerLine line;
    std::thread stopper([&] {
        // Once the request is there, the line can only be waiting for its answer.
        if (server.WaitForHeard("/silent", 1, 5000)) line.Abort();
    });
    auto start = TClock::now();
    EXPECT_EQ(SendAlone(line, server.Port(), "/silent"), DWORD(ERROR_INTERNET_OPERATION_CANCELLED));
    EXPECT_LT(TClock::now() - start, std::chrono::seconds(3));
    stopper.join();
    EXPECT_FALSE(line.Open());
    // Aborted, the line refuses every wait until the abort is cleared.
    EXPECT_EQ(SendAlone(line, server.Port(), "/a"), DWORD(ERROR_INTERNET_OPERATION_CANCELLED));
    line.ClearAbort();
    ASSERT_EQ(SendAlone(line, server.Port(), "/a"), 0u);
    EXPECT_EQ(ReadBody(line).Text, "/a");
}

TEST(ServerLine, APreconnectionCarriesTheNextRequestWhateverItsVerb) {
    for (const char* verb : {"GET", "POST"}) {
        SCOPED_TRACE(verb);
        TLineServer server;
        TServerLine line;
        ASSERT_EQ(line.Preconnect(Place(server.Port()), Limits.Connect), 0u);
        ASSERT_TRUE(server.WaitForConnections(1, 5000));
        EXPECT_TRUE(line.HasPreconnection(Place(server.Port())));
        EXPECT_FALSE(line.HasPreconnection(Place(server.Port() + 1)));
        // Asked again for the same place, the connection stays.
        ASSERT_EQ(line.Preconnect(Place(server.Port()), Limits.Connect), 0u);
        std::string body = std::string(verb) == "POST" ? "a=1" : "";
        std::string extra = body.empty() ? "" : "Content-Length: 3\r\n";
        ASSERT_EQ(line.Send(Place(server.Port()), Head("/r", verb, extra), body, verb, KeepIt, false, Limits), 0u);
        EXPECT_FALSE(line.HasPreconnection(Place(server.Port())));
        EXPECT_EQ(ReadBody(line).Text, "/r");
        EXPECT_EQ(server.Paths(0), TPaths{"/r"});
        EXPECT_EQ(server.Connections(), 1);
    }
    TServerLine line;
    EXPECT_EQ(line.Preconnect(Place(FreeLoopbackPort()), Limits.Connect), DWORD(ERROR_INTERNET_CANNOT_CONNECT));
    EXPECT_FALSE(line.Open());
}

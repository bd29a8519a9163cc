// The HTTP client's response parser and the internet library's head and body readers must
// frame every response the same way: the same responses accepted, the same body, the same
// ones refused (in the head or in the body). Each case is fed to both: the client's parser
// gets the bytes and then the end of the connection; the internet library's readers get a
// loopback connection whose peer sent the bytes and closed in order.
#include "net/http/HttpParser.h"
#include "platform/wininet/InetWire.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

// Where a response failed, if it did.
enum TVerdict { Ok, HeadRefused, BodyRefused, BodyCut };

struct TOutcome {
    TVerdict Verdict = Ok;
    int Status = 0;
    std::string Body;
};

class TBodySink : public THttpResponseSink {
public:
    std::string Body;
    void ResponseHeaderLine(const std::string&, THttpLineKind, THttpField, const std::string&) override {}
    void ResponseNoHeader() override {}
    void ResponseHeaderEnd() override { HeaderEnded = true; }
    void ResponseBody(const char* data, size_t len) override { Body.append(data, len); }
    void ResponseComplete() override {}
    bool HeaderEnded = false;
};

TOutcome ThroughTheClient(const std::string& input) {
    TBodySink sink;
    THttpResponseParser parser(sink);
    parser.Reset(false);
    parser.Feed(input.data(), input.size());
    parser.Finish();
    TOutcome out;
    out.Status = parser.StatusCode();
    out.Body = sink.Body;
    if (const EHttpException* e = parser.Error())
        out.Verdict = e->ErrorCode() == httperrIncomplete ? BodyCut : sink.HeaderEnded ? BodyRefused : HeadRefused;
    return out;
}

// Connects Sock to a loopback peer that sends Input and closes in order.
void ConnectToPeerThatSends(inetwire::TInetSocket& sock, const std::string& input) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(listener, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), len), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
    ASSERT_EQ(sock.Connect("127.0.0.1", ntohs(addr.sin_port), 5000), DWORD(ERROR_SUCCESS));
    int peer = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    ASSERT_GE(peer, 0);
    // The cases are small: they fit in the socket buffers, so the write does not block.
    EXPECT_EQ(::send(peer, input.data(), input.size(), MSG_NOSIGNAL), ssize_t(input.size()));
    ::close(peer);
}

TOutcome ThroughTheInternetLibrary(const std::string& input) {
    inetwire::TInetSocket sock(-1);
    ConnectToPeerThatSends(sock, input);
    inetwire::TResponseHead head;
    TOutcome out;
    // As HttpSendRequestA does: interim answers are skipped.
    do {
        if (inetwire::ReadResponseHead(sock, 5000, head) != ERROR_SUCCESS) {
            out.Verdict = HeadRefused;
            return out;
        }
    } while (head.Status >= 100 && head.Status < 200);
    out.Status = head.Status;
    inetwire::TBodyReader body;
    body.Start(head, "GET");
    for (;;) {
        char buf[5];
        size_t got = 0;
        DWORD r = body.Read(sock, buf, sizeof buf, &got, 5000);
        out.Body.append(buf, got);
        if (r == ERROR_INTERNET_CONNECTION_ABORTED) out.Verdict = BodyCut;
        if (r != ERROR_SUCCESS && r != ERROR_INTERNET_CONNECTION_ABORTED) out.Verdict = BodyRefused;
        if (r != ERROR_SUCCESS || got == 0) break;
    }
    return out;
}

struct TFramingCase {
    const char* Name;
    std::string Input;
    TVerdict Verdict;
    std::string Body;
};

const std::string Chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

std::vector<TFramingCase> Cases() {
    return {
        {"length", "HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhelloEXTRA", Ok, "hello"},
        {"until close", "HTTP/1.0 200 OK\r\n\r\nall of it", Ok, "all of it"},
        {"chunked", Chunked + "5\r\nhello\r\n6\r\n world\r\n0\r\nX: t\r\n\r\nEXTRA", Ok, "hello world"},
        {"chunk extensions", Chunked + "5 ;a=b; c=\"x;\\\"y\"\r\nhello\r\n0;z\r\n\r\n", Ok, "hello"},
        {"empty lines before the status line", "\r\n\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", Ok, "ok"},
        {"empty lines after an interim answer",
         "HTTP/1.1 100 Continue\r\n\r\n\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok", Ok, "ok"},
        {"final coding not chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked, gzip\r\nContent-Length: 2\r\n\r\nabcd",
         Ok, "abcd"},
        {"a coding merely named like chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: xchunked\r\n\r\n1\r\na\r\n0\r\n\r\n", Ok,
         "1\r\na\r\n0\r\n\r\n"},
        {"other fields folded", "HTTP/1.1 200 OK\r\nX-A: 1\r\n 2\r\nContent-Length: 1\r\n\r\nz", Ok, "z"},
        {"same length twice", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 1\r\n\r\nz", Ok, "z"},
        // Refused in the head.
        {"five empty lines", "\r\n\r\n\r\n\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", HeadRefused, ""},
        {"not HTTP", "SSH-2.0-x\r\n\r\n", HeadRefused, ""},
        {"blank after the status line", "HTTP/1.1 200 OK\r\n Content-Length: 1\r\n\r\nz", HeadRefused, ""},
        {"folded Transfer-Encoding", "HTTP/1.1 200 OK\r\nTransfer-Encoding:\r\n chunked\r\n\r\n1\r\na\r\n0\r\n\r\n",
         HeadRefused, ""},
        {"folded Content-Length", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\n 0\r\n\r\nz", HeadRefused, ""},
        {"blank before a colon", "HTTP/1.1 200 OK\r\nContent-Length : 1\r\n\r\nz", HeadRefused, ""},
        {"lengths conflict", "HTTP/1.1 200 OK\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\nzz", HeadRefused, ""},
        {"length negative", "HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nzz", HeadRefused, ""},
        {"length past 63 bits", "HTTP/1.1 200 OK\r\nContent-Length: 9223372036854775808\r\n\r\nzz", HeadRefused, ""},
        // Refused in the body.
        {"bad chunk size", Chunked + "zz\r\n", BodyRefused, ""},
        {"blanks after the chunk size", Chunked + "2  \r\nab\r\n0\r\n\r\n", BodyRefused, ""},
        {"text after the chunk size", Chunked + "2 erfrferferf\r\nab\r\n0\r\n\r\n", BodyRefused, ""},
        {"empty chunk extension", Chunked + "2;\r\nab\r\n0\r\n\r\n", BodyRefused, ""},
        {"unbalanced quote", Chunked + "2;a=\"b\r\nab\r\n", BodyRefused, ""},
        {"chunk longer than its size", Chunked + "1\r\nab\r\n0\r\n\r\n", BodyRefused, "a"},
        // Cut short.
        {"short length", "HTTP/1.1 200 OK\r\nContent-Length: 9\r\n\r\nabc", BodyCut, "abc"},
        {"short chunk", Chunked + "5\r\nhel", BodyCut, "hel"},
        {"no last chunk", Chunked + "1\r\na\r\n", BodyCut, "a"},
    };
}

TEST(HttpFraming, BothReadersAgree) {
    for (const TFramingCase& c : Cases()) {
        SCOPED_TRACE(c.Name);
        TOutcome client = ThroughTheClient(c.Input);
        TOutcome library = ThroughTheInternetLibrary(c.Input);
        EXPECT_EQ(client.Verdict, c.Verdict) << "client";
        EXPECT_EQ(library.Verdict, c.Verdict) << "internet library";
        if (c.Verdict == HeadRefused) continue;
        EXPECT_EQ(client.Body, c.Body) << "client";
        EXPECT_EQ(library.Body, c.Body) << "internet library";
        EXPECT_EQ(client.Status, library.Status);
    }
}

}  // namespace

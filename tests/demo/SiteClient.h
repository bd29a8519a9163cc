// SiteClient: a small blocking HTTP client for the demo site's loopback tests.
//
// TTestConnection connects to 127.0.0.1:PORT, sends raw request bytes and reads answers
// one at a time by their framing (Content-Length, chunked, or up to the end of the
// connection), so several answers can be read from one connection in order. Every read
// has a time bound; nothing here waits longer than the time-out it is given.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

struct TTestReply {
    bool Complete = false;   // a whole head and body arrived
    bool Closed = false;     // the server closed the connection (after or during the answer)
    bool TimedOut = false;   // a read ran into its time bound
    int Status = 0;
    std::string StatusLine;  // "HTTP/1.1 200 OK"
    std::vector<std::pair<std::string, std::string>> Headers;
    std::string Body;        // decoded when chunked

    std::string Header(const std::string& name) const;  // first value, any case; "" if absent
    bool Has(const std::string& name) const;
};

class TTestConnection {
public:
    explicit TTestConnection(int port);
    ~TTestConnection();
    TTestConnection(const TTestConnection&) = delete;
    TTestConnection& operator=(const TTestConnection&) = delete;

    bool Connected() const { return FFd >= 0; }
    bool Send(const std::string& raw);
    // One answer; at most MaxBody body bytes are read (the answer is then not Complete).
    // TimeoutMs bounds each read, not the whole answer.
    TTestReply Read(size_t maxBody = size_t(-1), int timeoutMs = 5000);
    // Whether the server closes the connection within TimeoutMs (bytes that come first
    // are dropped).
    bool ClosedWithin(int timeoutMs);
    // Whatever arrives within TimeoutMs, at most Max bytes.
    std::string ReadFor(int timeoutMs, size_t max = size_t(-1));

private:
    // Makes sure FBuffer holds N bytes; false on close or time-out (flags set in Reply).
    bool Fill(size_t n, int timeoutMs, TTestReply* reply);
    bool FillLine(std::string* line, int timeoutMs, TTestReply* reply);

    int FFd = -1;
    std::string FBuffer;
};

// "GET TARGET VERSION" with Host and the extra header lines ("Name: value\r\n" each).
std::string RequestText(const std::string& target, const std::string& version = "HTTP/1.1",
                        const std::string& extraHeaders = "", const std::string& method = "GET");

// Opens a connection, sends Raw, reads one answer (and, after "Connection: close",
// whether the connection then closes).
TTestReply Exchange(int port, const std::string& raw, size_t maxBody = size_t(-1), int timeoutMs = 5000);
// A GET of Target as HTTP/1.0 (so the server closes after the answer).
TTestReply Get(int port, const std::string& target, const std::string& extraHeaders = "");

using TTestClock = std::chrono::steady_clock;
inline long MillisecondsSince(TTestClock::time_point start) {
    return long(std::chrono::duration_cast<std::chrono::milliseconds>(TTestClock::now() - start).count());
}

// RequestsAhead: the requests a getter's worker has sent ahead of its running transfer on
// its line (ServerLine.h, HTTP/1.1 pipelining), in the order they went out.
//
// Requests wait only behind an answer that showed the connection kept and its body framed
// (HeadTakesRequestsBehind here, and the line's own check). Each request sent ahead is
// remembered with its address, resume values and header lines until a later transfer of
// the worker takes it up (Take: it must be the first one, with the same address and
// headers) or it is dropped, which breaks the line: nothing is answered twice, and no
// answer goes to another transfer than the one it was asked for. The list and the line
// agree on how many wait; when they do not (the line closed meanwhile), the requests are
// dropped.
//
// Threads: the worker's thread only.
#pragma once

#include "net/inetget/HTTPGet.h"
#include "net/inetget/ServerLine.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

class TRequestsAhead {
public:
    // Composes the head of Request (a GET to Host) with its extra header lines (Headers);
    // false when it cannot go ahead (a header value with control bytes, a request that does
    // not ask to keep its connection).
    using TCompose = std::function<bool(const THTTPGetRequest& request, std::string& headers, std::string& head)>;

    TRequestsAhead(TServerLine& line, TCompose compose) : FLine(line), FCompose(std::move(compose)) {}
    TRequestsAhead(const TRequestsAhead&) = delete;
    TRequestsAhead& operator=(const TRequestsAhead&) = delete;

    // True when requests may wait behind an answer with this head and status: HTTP/1.1
    // without "Connection: close", and a body with an end of its own (a length or chunks)
    // or none at all. HTTP/1.0 servers, even those that keep connections, are not trusted
    // with pipelining.
    static bool HeadTakesRequestsBehind(const std::string& rawHead, int status);

    bool Empty() const { return FSent.empty(); }
    // True when the first request sent ahead is for Url with Headers: it leaves the list,
    // and its answer is the next one on the line. Otherwise false, and nothing changes.
    bool Take(const std::string& url, const std::string& headers);
    // Gives up the requests sent ahead from position From on (breaking the line).
    void Drop(size_t from = 0);
    // Sends requests ahead behind the answer being read on the line (a request of Base's
    // server) until Base.AheadLimit are out: those the owner no longer wants (Wanted, in
    // order) are dropped, then the next ones are sent. Stops at the first that cannot go
    // ahead, or when Stopped says so. SendMs bounds each send.
    void Fill(const THTTPGetRequest& base, const std::string& host, const std::vector<THTTPGetNext>& wanted,
              DWORD sendMs, const std::function<bool()>& stopped);
    // True when requests sent ahead wait behind the answer being read: its failure may then
    // come from them rather than from its own answer.
    bool WaitedBehind() const { return !FSent.empty(); }

private:
    struct TSent {
        THTTPGetNext Next;
        std::string Headers;
    };
    bool SendOne(const THTTPGetNext& next, const THTTPGetRequest& base, const std::string& host, DWORD sendMs);

    TServerLine& FLine;
    TCompose FCompose;
    std::deque<TSent> FSent;
};

// RequestsAhead: the requests a getter's worker has sent ahead of its running transfer, on
// that transfer's connection (HTTP/1.1 pipelining), in the order they went out.
//
// Requests wait only behind an answer that showed the connection kept and its body framed
// (HeadTakesRequestsBehind); the internet library refuses anything else. Each request
// sent ahead keeps its own connection and request handles until a later transfer of the
// worker takes it up (Take: it must be the first one, with the same address and headers)
// or it is dropped (its handles closed, which breaks its line in the library; nothing is
// answered twice). The connection a request went out on is noted, so that the worker can
// tell when the line broke and a request was sent afresh.
//
// Threads: the worker's thread only.
#pragma once

#include "net/inetget/HTTPGet.h"

#include <deque>
#include <functional>
#include <string>
#include <vector>

// The connection a request's answer comes on (INTERNET_OPTION_CONNECTION_ID; 0: none yet).
DWORD ConnectionIdOf(HINTERNET request);
// Closes H when it is set, and clears it.
void CloseInternetHandle(HINTERNET& h);

class TRequestsAhead {
public:
    // Opens the connection and request handles of Request to Host and composes its extra
    // header lines; null when it cannot be (a header value with control bytes, a handle
    // that cannot be opened).
    using TOpen = std::function<HINTERNET(const THTTPGetRequest& request, const std::string& host,
                                          std::string& headers, HINTERNET& connect)>;

    explicit TRequestsAhead(TOpen open) : FOpen(std::move(open)) {}
    ~TRequestsAhead() { Drop(); }
    TRequestsAhead(const TRequestsAhead&) = delete;
    TRequestsAhead& operator=(const TRequestsAhead&) = delete;

    // True when requests may wait behind an answer with this head and status: HTTP/1.1
    // without "Connection: close", and a body with an end of its own (a length or chunks)
    // or none at all. HTTP/1.0 servers, even those that keep connections, are not trusted
    // with pipelining.
    static bool HeadTakesRequestsBehind(const std::string& rawHead, int status);

    bool Empty() const { return FSent.empty(); }
    // The request sent ahead for Url with Headers when it is the first one: its request
    // handle (Connect: its connection handle; Line: the connection it went out on) now
    // belongs to the caller. Otherwise null.
    HINTERNET Take(const std::string& url, const std::string& headers, HINTERNET& connect, DWORD& line);
    // Closes the requests sent ahead from position From on.
    void Drop(size_t from = 0);
    // Sends requests ahead behind Current (a request of Base's server whose answer is being
    // read) until Base.AheadLimit are out: those no longer riding on Current's connection are
    // dropped, those the owner no longer wants (Wanted, in order) too, then the next ones are
    // sent. Stops at the first that cannot go ahead, or when Stopped says so.
    void Fill(HINTERNET current, const THTTPGetRequest& base, const std::string& host,
              const std::vector<THTTPGetNext>& wanted, const std::function<bool()>& stopped);
    // True when a request sent ahead waits on Current's connection: a failure of Current
    // may then come from the requests ahead rather than from its own answer.
    bool WaitedBehind(HINTERNET current) const;

private:
    struct TSent {
        THTTPGetNext Next;
        std::string Headers;
        HINTERNET Connect = nullptr;
        HINTERNET Request = nullptr;
        DWORD Line = 0;  // the connection it went out on
    };
    bool SendOne(const THTTPGetNext& next, const THTTPGetRequest& base, const std::string& host, HINTERNET behind);

    TOpen FOpen;
    std::deque<TSent> FSent;
};

// ServerMemory: what a run has learnt about the servers it fetches from, shared by all of
// its getters (each on its own worker thread): which servers get no requests sent ahead.
//
// A server is struck off once it showed it does not keep connections or does not take
// pipelined requests well: it closed after an answer (said "Connection: close", or ended a
// body at the close), answered HTTP/1.0, or dropped a request sent ahead (the request had
// to be sent again on another connection). A server struck off stays so for the rest of
// the run; a new memory is a new run. Host names are compared without regard to case.
//
// Threads: every call may come from any thread; they are serialised by one lock.
#pragma once

#include <mutex>
#include <set>
#include <string>

class TServerMemory {
public:
    // True while requests may still go ahead to Host.
    bool MayGoAhead(const std::string& host) const;
    // No request goes ahead to Host for the rest of the run.
    void NoAhead(const std::string& host);

private:
    mutable std::mutex FLock;
    std::set<std::string> FNoAhead;  // lower-case host[:port] texts
};

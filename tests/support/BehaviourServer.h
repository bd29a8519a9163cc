// BehaviourServer: a loopback HTTP server that serves a fixed set of files the way one kind
// of real server does, for the tables of server behaviours in the transfer tests.
//
// Each behaviour is one way servers in the field end their answers and treat requests
// sent ahead (pipelined): servers that read one request per connection and close after the
// answer (HTTP/1.0, or HTTP/1.1 with "Connection: close", bodies without a length, as CGI
// gateways and small embedded servers answer), keep-alive servers with and without framed
// bodies, and keep-alive servers that close after some answers, reset a connection that
// brought requests they did not read, or say keep-alive and answer only the first request.
// (A server that drops some pipelined requests yet answers later ones shifts every answer
// after the gap onto the wrong request; no client can tell, so none is played here.)
// A server that closes with requests unread makes the kernel reset the connection, which
// can cut the tail of the answer it was sending: that is the point of the one-request
// behaviours, and the server reads a request exactly (never beyond its blank line) so that
// requests sent ahead stay unread.
//
// Files are looked up by the request target, then by its path without the query. Every
// wait is bounded and watches a stop pipe; the destructor stops and joins every thread.
#pragma once

#include "tests/support/LoopbackListen.h"

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

enum class TServerBehaviour {
    Http10Close,       // HTTP/1.0, no Content-Length: one request per connection, then close
    Http11Close,       // HTTP/1.1 "Connection: close", no Content-Length: the same
    KeepAliveLength,   // HTTP/1.1 keep-alive, Content-Length, pipelined requests in order
    Http10KeepAlive,   // HTTP/1.0 "Connection: keep-alive", Content-Length, pipelined in order
    KeepAliveChunked,  // HTTP/1.1 keep-alive, chunked bodies
    KeepAliveUnframed, // HTTP/1.1 that keeps nothing it says: no length, closes after each body
    CloseAfterN,       // as KeepAliveLength, and closes after N answers without saying so
    ResetUnread,       // as KeepAliveLength, but resets after an answer when requests came meanwhile
    DropsAhead,        // HTTP/1.1 keep-alive with length for the first request of a connection;
                       // every later request on it is dropped unanswered, and the connection
                       // closes once idle for 300 ms
};

// The behaviour's name, for test traces.
const char* BehaviourName(TServerBehaviour behaviour);

class TBehaviourServer {
public:
    // Files: request target (or path) -> body. N: the answers per connection of CloseAfterN.
    TBehaviourServer(TServerBehaviour behaviour, std::map<std::string, std::string> files, size_t n = 3);
    ~TBehaviourServer();
    TBehaviourServer(const TBehaviourServer&) = delete;
    TBehaviourServer& operator=(const TBehaviourServer&) = delete;

    // Replaces the files (which may name the server's own address, known once it listens).
    void SetFiles(std::map<std::string, std::string> files);

    int Port() const { return FListener.Port(); }
    // "127.0.0.1:PORT", and "http://127.0.0.1:PORT" followed by Path.
    std::string Address() const;
    std::string Url(const std::string& path) const;
    // Connections accepted, and requests answered, so far.
    int Connections() const;
    size_t Answered() const;
    // How often Target was asked for (on any connection).
    size_t Asked(const std::string& target) const;
    // Requests that came ahead: bytes of a later request were there as a request was read.
    size_t CameAhead() const;
    // Requests that were there as soon as the answer before them had gone out: a sign of
    // requests sent ahead that does not depend on when the server got to read them.
    size_t CameWhileAnswering() const;
    // From now on the first answer on a connection keeps its last byte back until the next
    // request came (or 3 s passed; a server that answers one request per connection does
    // not wait): a request that comes while its answer is not whole was surely sent ahead,
    // so CameWhileAnswering counts it whatever the threads' timing.
    void HoldFirstTail() { FHoldFirstTail = true; }

private:
    bool Readable(int fd, int timeoutMs) const;
    void Accept();
    void Serve(int fd);
    // Reads one request head exactly (nothing beyond its blank line); its target, or
    // false when the peer closed or nothing came in time.
    bool ReadRequest(int fd, int timeoutMs, std::string& target);
    std::string Answer(const std::string& target) const;

    const TServerBehaviour FBehaviour;
    std::map<std::string, std::string> FFiles;  // under FLock
    const size_t FN;
    TLoopbackListener FListener{64};
    mutable std::mutex FLock;
    int FConnections = 0;
    size_t FAnswered = 0;
    size_t FCameAhead = 0;
    size_t FCameWhileAnswering = 0;
    std::atomic<bool> FHoldFirstTail{false};
    std::map<std::string, size_t> FAsked;
    std::vector<std::thread> FThreads;  // joined by the destructor
    std::thread FAcceptor;
};

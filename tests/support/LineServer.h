// LineServer: a loopback HTTP server for pipelined requests. It reads every request a
// connection brings (several may come in one read) and answers them in order, each with a
// body naming its path; the scripted server reads one request per step and cannot tell
// pipelined ones apart. The first connection may hold its answers until some requests
// came (and its later answers until more came), close after some answers without saying
// so, or say "Connection: close"; later
// connections answer everything and stay open. Paths with a meaning on every connection:
// "/silent..." gets no answer; "/stall..." gets a head and the first bytes of a longer
// body, then nothing. Every wait is bounded; the destructor stops and joins everything.
#pragma once

#include "tests/support/LoopbackListen.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// How the first accepted connection misbehaves.
struct TLineServerRules {
    size_t Hold = 0;       // answer nothing until this many requests came (at most 3 s)
    size_t CloseAfter = 0; // close after this many answers without saying so (0: never)
    size_t SayClose = 0;   // the answer (1-based) that says "Connection: close", then close
    size_t HoldLater = 0;  // answers after the first wait until this many requests came (3 s bound)
};

class TLineServer {
public:
    explicit TLineServer(TLineServerRules rules = {});
    ~TLineServer();
    TLineServer(const TLineServer&) = delete;
    TLineServer& operator=(const TLineServer&) = delete;

    int Port() const { return FListener.Port(); }
    // "http://127.0.0.1:PORT" followed by Path.
    std::string Url(const std::string& path) const;
    int Connections() const;
    // Waits until Count connections were accepted.
    bool WaitForConnections(int count, int timeoutMs) const;
    // The paths of the requests connection Index brought, in order.
    std::vector<std::string> Paths(int index) const;
    // How many requests the first connection had brought when it sent its first answer,
    // and its Nth (1-based; 0 when it sent no such answer).
    size_t HeardBeforeFirstAnswer() const;
    size_t HeardBeforeAnswer(size_t n) const;
    // Waits until requests for Path came Count times, on any connection.
    bool WaitForHeard(const std::string& path, size_t count, int timeoutMs) const;
    bool WaitForPaths(int index, size_t count, int timeoutMs) const;

private:
    // Waits for Fd (or the stop pipe) up to TimeoutMs; true when Fd is readable.
    bool Readable(int fd, int timeoutMs) const;
    void Accept();
    // The answer to Path, the Nth (1-based) on its connection; Last is set when the
    // connection closes after it.
    std::string Answer(const std::string& path, size_t n, bool first, bool& last) const;
    void Serve(int fd, size_t index);

    TLineServerRules FRules;
    TLoopbackListener FListener{16};
    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::vector<std::vector<std::string>> FPaths;  // per connection
    size_t FHeardBeforeFirstAnswer = 0;
    std::vector<size_t> FHeardAtAnswer;            // first connection, per answer
    std::vector<std::thread> FThreads;             // joined by the destructor only
    std::thread FAcceptor;
};

// SiteTransport: the demo site's server side, behind one small interface.
//
// A transport listens on an address and gives each accepted connection a TSiteSession,
// which reads its requests, asks the Handler for the answers and says what to send,
// when, and when to close (keep-alive, latency, idle limits, directives). The transport
// only moves the bytes, keeps the session's deadlines as timers of its own loop, and
// closes gracefully: it shuts its sending side and reads until the peer closes (for at
// most two seconds), so closing never resets a connection whose answer the peer has not
// read yet (over TLS: after the closing alert). Run serves on the calling thread until
// Stop, which any thread may call.
// Connections are served concurrently and nothing waits on the serving thread, so a
// trickling, stalled or delayed answer does not hold up the other connections.
#pragma once

#include "demo/SiteHttp.h"
#include "demo/SiteSession.h"
#include "platform/rtl/SysUtils.h"
#include "platform/tls/Tls.h"

#include <functional>
#include <memory>
#include <string>

// A transport that cannot listen ("Cannot listen on 127.0.0.1:18690: ...").
class ESiteError : public Exception { using Exception::Exception; };

class TSiteTransport {
public:
    virtual ~TSiteTransport() = default;

    // Binds and listens; Port 0 picks a free port. Returns the port listened on. Throws
    // ESiteError.
    virtual int Listen(const std::string& bindAddress, int port) = 0;
    // Serves until Stop. Called once, after Listen, on the thread that serves.
    virtual void Run() = 0;
    // Makes Run return soon; open connections are closed. Any thread, any number of times.
    virtual void Stop() = 0;

    // The answer to a request; called on the serving thread.
    std::function<TSiteResponse(const TSiteRequest&)> Handler;
    // One line per answered request (see RequestLogLine); called on the serving thread.
    std::function<void(const std::string& line)> OnLog;
    // Latency and idle limits of every connection; set before Run.
    TSessionTimes Times;
    // Serves TLS with this context (a connection's handshake comes before its session
    // reads anything; one that fails is closed); null: plain. Set before Run.
    tls::TSslCtxPtr Tls;
};

// How long a closing connection is read and drained before it is closed anyway.
constexpr int DrainTimeoutMs = 2000;

// Plain BSD sockets and poll().
std::unique_ptr<TSiteTransport> NewPollTransport();
// The project's own TWSocket, in the creating thread's message loop.
std::unique_ptr<TSiteTransport> NewWSocketTransport();

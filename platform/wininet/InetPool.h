// InetPool: the idle persistent connections of one internet session.
//
// A connection whose response was read to its proper end, and that neither side means to
// close, waits here until a later request of the same session goes to the same place: the
// same server host and port, through the same proxy (or directly; see PoolKey). Later
// requests take the most recently used one first.
//
// Bounds: at most PerServer idle connections per place and Total per session (beyond them
// the oldest idle one is closed), and none is handed out after waiting longer than IdleMs
// (it is closed at the pool's next operation instead). A connection the server closed or
// wrote to while it waited is closed when it would be taken, never handed out. Closing the
// pool (the session's InternetCloseHandle) closes every idle connection and every one put
// back later.
//
// Threads: every operation may come from any thread; they are serialised by the pool's
// lock, and sockets are closed after it is released.
#pragma once

#include "platform/wininet/InetWire.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace inetwire {

// The bounds of a pool; 0 for PerServer or Total keeps no connection at all.
struct TPoolLimits {
    DWORD PerServer = 4;   // idle connections kept per server and proxy
    DWORD Total = 16;      // idle connections kept per session
    DWORD IdleMs = 30000;  // how long an idle connection may wait to be reused
};

// The place a connection goes to: server host (compared without regard to case) and
// port, and the proxy it goes through (ProxyHost empty: direct).
std::string PoolKey(const std::string& host, uint16_t port, const std::string& proxyHost,
                    uint16_t proxyPort);

class TInetPool {
public:
    explicit TInetPool(const TPoolLimits& limits) : FLimits(limits) {}
    ~TInetPool() { Close(); }
    TInetPool(const TInetPool&) = delete;
    TInetPool& operator=(const TInetPool&) = delete;

    // The most recently used idle connection to Key that is still open and silent, or
    // null. Its abort descriptor is none until the taker sets its own.
    std::unique_ptr<TInetSocket> Take(const std::string& key);
    // Keeps Sock for a later request to Key, or closes it when the pool is closed, a bound
    // is 0, or Sock holds unread bytes.
    void Put(const std::string& key, std::unique_ptr<TInetSocket> sock);
    // Closes every idle connection; later Puts close theirs.
    void Close();

    TPoolLimits Limits() const;
    // New bounds, applied at once (idle connections beyond them are closed).
    void SetLimits(const TPoolLimits& limits);
    size_t IdleCount() const;

private:
    using TClock = std::chrono::steady_clock;
    struct TIdle {
        std::string Key;
        std::unique_ptr<TInetSocket> Sock;
        TClock::time_point Since;
    };
    using TDropped = std::vector<std::unique_ptr<TInetSocket>>;
    // Moves the idle connections that waited too long, and those beyond the bounds
    // (oldest first), into Dropped. Caller holds the lock.
    void Trim(TDropped& dropped);

    mutable std::mutex FLock;
    TPoolLimits FLimits;
    std::deque<TIdle> FIdle;  // oldest first
    bool FClosed = false;
};

}  // namespace inetwire

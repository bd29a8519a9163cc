// InetLine: the line of requests sent ahead on one persistent connection (HTTP/1.1
// pipelining), shared by the requests in it.
//
// A line names one connection. At any moment the connection is either held by one request
// (the holder, whose answer is being read; the socket then lives in that request) or
// waits in the line between two answers, or the line is over. Behind the holder wait the
// requests whose heads went out on the connection after its own, in the order they were
// sent; their answers come back in that order, so each must be read in its turn. The
// holder whose body ended by its framing on a connection both sides keep hands it to the
// line when requests wait (bytes received beyond its body stay with it: they are the next
// answer's); the first of them takes it. With nobody waiting it goes to the pool.
//
// Any request leaving out of turn (closed before its turn, asking before the answers ahead
// of it were read, failing) breaks the line: the waiting connection is closed, and every
// request still in line will be sent afresh. A broken line stays broken.
//
// Threads: every operation takes the line's own lock, briefly; sending ahead writes under
// it so that nobody takes the connection halfway. Sockets are closed after it is released.
#pragma once

#include "platform/wininet/InetWire.h"

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace inetwire {

class TInetLine {
public:
    // A line behind Holder, who holds the connection numbered ConnectionId.
    TInetLine(const std::string& key, DWORD connectionId, uintptr_t holder);
    // A line whose connection waits for First, whose head was sent on it.
    TInetLine(const std::string& key, std::unique_ptr<TInetSocket> waiting, uintptr_t first);
    ~TInetLine();
    TInetLine(const TInetLine&) = delete;
    TInetLine& operator=(const TInetLine&) = delete;

    const std::string& Key() const { return FKey; }
    DWORD ConnectionId() const { return FConnectionId; }

    // Who may write on the connection now: the holder's number (0 when the connection
    // waits in the line), or false when the line is over.
    bool Holder(uintptr_t& holder) const;

    // Sends Head for request Id and puts Id at the end of the line. The bytes go on the
    // waiting connection, or on Held, the socket of holder HolderId, whose calls the caller
    // keeps out meanwhile. ERROR_INTERNET_INCORRECT_HANDLE_STATE when the line is over or
    // its holder is no longer HolderId; a failed send breaks the line and returns its number.
    DWORD SendBehind(uintptr_t id, const std::string& head, int abortFd, DWORD timeoutMs,
                     uintptr_t holderId, TInetSocket* held);

    // The connection for Id when Id is first in line and the connection waits for it (Id
    // becomes the holder); otherwise null, Id leaves and the line breaks.
    std::unique_ptr<TInetSocket> TakeTurn(uintptr_t id);

    // The holder's body ended: with Kept, the connection waits for the next in line, or
    // comes back (for the pool) when nobody waits; otherwise the line breaks. The socket
    // returned is the caller's: it goes to the pool, or closes.
    std::unique_ptr<TInetSocket> Release(uintptr_t holder, std::unique_ptr<TInetSocket> sock, bool kept);

    // Id (the holder, or one in line) leaves out of turn: the line breaks.
    void Break(uintptr_t id);

private:
    // Marks the line over and hands the waiting connection to Dropped. Caller holds the lock.
    void BreakLocked(std::unique_ptr<TInetSocket>& dropped);

    mutable std::mutex FLock;
    const std::string FKey;
    const DWORD FConnectionId;
    std::unique_ptr<TInetSocket> FWaiting;  // the connection between two answers
    uintptr_t FHolder = 0;                  // the request reading its answer, 0: none
    std::deque<uintptr_t> FLine;            // the requests sent ahead, in order
    bool FOver = false;                     // broken, or the connection went to the pool
};

}  // namespace inetwire

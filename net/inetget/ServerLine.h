// ServerLine: a getter's own connection to one server, which carries the request whose
// answer is being read and the requests sent ahead behind it (HTTP/1.1 pipelining), and
// the preconnection a getter opens for its next transfer. The worker (HTTPGet.cpp) puts a
// transfer here only when it goes straight to the server (never through a proxy); it is
// the one transport behind the getter that a multiplexed one could later replace.
//
// Invariants (the safety of requests ahead rests on them):
// - The first request on a connection goes alone (Send); requests go behind (SendBehind)
//   only while the answer being read, or the last one read, keeps the connection and frames
//   its body (Content-Length, chunks, or none at all), and only as an HTTP/1.1 request that
//   asks to keep it.
// - Answers are taken in the order the requests went out (TakeNext); any request out of
//   turn, any answer not read to its end, any failure closes the connection, and the
//   requests ahead on it are lost: their transfers send them again (TakeNext says so).
// - A body that ends at the close is whole only after an orderly close (over TLS with the
//   closing alert) of a connection that never carried a request ahead.
//
// A connection that waited longer than IdleMs for its next request is not used again: one
// dropped on the way without a close would only show by the request's time-out.
//
// Every wait is bounded by the caller's time-outs and watches the line's abort descriptor:
// Abort, from any other thread, ends a connect, send or read under way at once (it fails
// with ERROR_INTERNET_OPERATION_CANCELLED) until ClearAbort. Everything else is for the
// worker's thread only. Failures are the internet library's ERROR_* numbers; a TLS or
// tunnel failure also sets inetwire::LastFailureText().
#pragma once

#include "platform/wininet/InetRequestHead.h"
#include "platform/wininet/InetWire.h"

#include <cstdint>
#include <memory>
#include <string>

// Where a line goes: a server's host, port and scheme.
struct TLinePlace {
    std::string Host;
    uint16_t Port = 80;
    bool Secure = false;  // https: TLS over the connection
    bool operator==(const TLinePlace& o) const;
    bool operator!=(const TLinePlace& o) const { return !(*this == o); }
};

class TServerLine {
public:
    // How long a connection may wait for its next request (as the library's pool).
    static constexpr uint64_t IdleMs = 30000;

    TServerLine();
    ~TServerLine();
    TServerLine(const TServerLine&) = delete;
    TServerLine& operator=(const TServerLine&) = delete;

    // Any thread: the wait under way, and every later one until ClearAbort, fails at once.
    void Abort();
    void ClearAbort();

    // Connects to Place now (with the TLS handshake for https), so that the next request
    // there finds the connection open; nothing is sent. Keeps an open connection to Place
    // that no answer is due on. ERROR_SUCCESS or the connect's failure.
    DWORD Preconnect(const TLinePlace& place, DWORD connectMs);
    // True when an open connection to Place waits that no request went on yet.
    bool HasPreconnection(const TLinePlace& place) const;
    // True when a connection to Place waits that no answer is due on (kept after an
    // answer, or a preconnection); the server may still have closed it meanwhile.
    bool HasIdleConnection(const TLinePlace& place) const;

    // Sends a request alone and reads its final head (interim answers skipped). It goes on
    // the line's connection when that goes to Place, is open, and no answer is due on it;
    // otherwise the connection is closed and a new one made. Retry: a
    // request on a connection that was there before it (kept, or a preconnection), which
    // the server closed before any byte of the answer, goes once more on a new connection.
    // Ask: how the head asks about its connection.
    DWORD Send(const TLinePlace& place, const std::string& head, const std::string& body, const std::string& verb,
               const inetwire::TConnectionAsk& ask, bool retry, const inetwire::TTimeouts& limits);
    // True when a request may go behind the answers due now (see the top of this file).
    bool TakesRequestsBehind() const;
    // Sends Head (a GET that asks to keep the connection) behind the answers due. False
    // (nothing sent, or the connection closed after a send that failed halfway) when it may
    // not go or the send failed.
    bool SendBehind(const std::string& head, DWORD sendMs);
    // Requests sent behind whose answers were not taken yet.
    size_t Waiting() const { return FWaiting; }
    // Takes the answer of the first request sent behind, once the answer before it was read
    // to its end: reads its final head. Afresh is set (and ERROR_SUCCESS returned) when the
    // answer cannot come any more: the line broke or closed before its turn, or the
    // connection closed before any byte of it. The request is then to be sent alone (Send);
    // a connection that cannot carry it was closed.
    DWORD TakeNext(const inetwire::TTimeouts& limits, bool& afresh);

    // The answer being read: its head, and its body (as TBodyReader::Read). Once the body
    // ended, the connection stays for the next request when both sides keep it, and is
    // closed otherwise.
    const inetwire::TResponseHead& Head() const { return FHead; }
    DWORD Read(char* dest, size_t count, size_t* got, DWORD receiveMs);
    bool BodyEnded() const { return FBody.Ended(); }
    // True while an answer's body is being read on the connection.
    bool Reading() const { return FSock && FHaveAnswer && !FBody.Ended(); }
    // The time-out (INTERNET_OPTION_*_TIMEOUT) that ended the last failed call, 0: none.
    DWORD ExpiredTimeout() const { return FExpired; }
    // Gives up the requests sent behind: the answer being read may still end, then the
    // connection closes (at once when no answer is being read).
    void Break();
    // Closes the connection; the requests ahead on it are lost.
    void Close();
    bool Open() const { return FSock != nullptr; }

private:
    // Connects a new connection to Place, TLS included.
    DWORD Connect(const TLinePlace& place, DWORD connectMs, std::unique_ptr<inetwire::TInetSocket>& sock);
    // Reads the final head of an answer and starts its body.
    DWORD ReadHead(DWORD receiveMs, const std::string& verb);
    // Once the body ended: keeps the connection when both sides mean to, or closes it.
    void Release();
    // Notes a timeout of kind Option when R says one ran out.
    DWORD Expired(DWORD r, DWORD option);
    // True when the connection, waiting for a request, has waited too long.
    bool WaitedTooLong() const;

    int FAbortFd;
    std::unique_ptr<inetwire::TInetSocket> FSock;
    TLinePlace FPlace;
    inetwire::TResponseHead FHead;
    inetwire::TBodyReader FBody;
    bool FHaveAnswer = false;    // FHead and FBody are an answer's (not yet read to its end)
    bool FPersistent = false;    // the answer's request asked to keep the connection
    bool FCarriedAhead = false;  // the connection carried requests sent ahead
    bool FBroken = false;        // a send behind failed: nothing after this answer is taken
    size_t FWaiting = 0;
    uint64_t FIdleSince = 0;  // tick at which the connection began to wait for a request
    DWORD FExpired = 0;
    DWORD FReadError = ERROR_SUCCESS;  // the failure that closed the connection inside a body
};

// SiteSession: one client connection of the demo site, free of sockets and clocks.
//
// A session takes what the peer sent (Received, PeerClosed), hands out what is to be
// sent (Pending, Sent) and names the next moment it must hear of (Deadline, OnTime); a
// transport only moves bytes and keeps time, so both transports share one behaviour:
//
//   connection   with a latency, the first request is read only after it has passed
//   requests     read one after the other from the buffered input (pipelining), answers
//                in request order; with a latency each answer is due that long after its
//                request's last byte arrived, so pipelined requests wait out their
//                latencies together and one already due when the answer before it ends is
//                answered at once. Bytes that came during the connection's latency count
//                as arriving when it ends
//   keep-alive   HTTP/1.1 unless "Connection: close", HTTP/1.0 with "Connection:
//                keep-alive"; answers say "Connection: keep-alive" or "Connection: close"
//                and a closing answer ends the session once it is sent. Answers whose
//                body has no known end, or that stop early, always close
//   idle         a connection with no request in progress and nothing arriving, or an
//                answer that makes no progress, is dropped after the idle time-out; a
//                stalled answer holds the connection (until the peer closes) for longer
//   bounds       the request reader's limits per request; while an answer is in
//                progress at most MaxBufferedInput bytes of later requests are kept
//                (WantsInput turns false, so the transport stops reading)
//
// Times are passed in by the caller, so the session is tested without waiting.
#pragma once

#include "demo/SiteHttp.h"

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <utility>

struct TSessionTimes {
    std::chrono::milliseconds Latency{0};           // see "connection" and "requests" above
    std::chrono::milliseconds IdleTimeout{15000};   // see "idle" above
    std::chrono::milliseconds StallHold{600000};    // how long a stalled answer holds on
};

constexpr size_t MaxBufferedInput = 64 * 1024;

class TSiteSession {
public:
    using TClock = std::chrono::steady_clock;
    using TTime = TClock::time_point;
    using THandler = std::function<TSiteResponse(const TSiteRequest&)>;
    using TLog = std::function<void(const std::string& line)>;

    // A session for a connection accepted at Now. Handler answers each request (a
    // handler that throws gets a 500 answer); Log gets one RequestLogLine per answer.
    TSiteSession(const TSessionTimes& times, THandler handler, TLog log, TTime now);

    // Whether the transport should read from the connection now.
    bool WantsInput() const;
    // Bytes to send now (empty when there are none: waiting, pausing or stalled).
    std::pair<const char*, size_t> Pending() const;
    // The moment OnTime must be called at the latest; TTime::max() when none.
    TTime Deadline() const { return FDeadline; }
    // Whether the transport should close the connection (after sending what it took).
    bool Finished() const { return FPhase == Closed; }
    // Once finished: the last answer was cut off (on purpose, by a stall, or by the idle
    // limit) rather than sent whole. Over TLS such a connection ends without the closing
    // alert, so that the client sees a cut as it would over plain TCP.
    bool Cut() const { return FCut; }

    void Received(const char* data, size_t size, TTime now);
    // The peer sent its end of the stream (or the connection failed).
    void PeerClosed(TTime now);
    // Bytes of Pending() that went out.
    void Sent(size_t bytes, TTime now);
    // Time passed; does what falls due by Now (nothing when Now is before Deadline()).
    void OnTime(TTime now);

private:
    enum TPhase { ConnectWait, Reading, RequestWait, Answering, Closed };

    // Where the buffered input ends after a chunk that arrived At.
    struct TArrival {
        size_t End;
        TTime At;
    };

    void Stamp(TTime now);
    void Take(size_t used);
    void ReadRequests(TTime now);
    void Answer(TTime now);
    void FollowSender(TTime now);
    void AnswerDone(TTime now);
    void Close();

    TSessionTimes FTimes;
    THandler FHandler;
    TLog FLog;
    TPhase FPhase;
    TTime FDeadline;
    std::string FInput;  // received bytes not yet taken by the reader
    std::deque<TArrival> FArrivals;  // when the bytes of FInput came, oldest first
    TTime FLastTaken{};  // when the last byte the reader took came
    TRequestReader FReader;
    std::optional<TResponseSender> FSender;
    bool FKeepAlive = false;
    bool FPeerClosed = false;
    bool FCut = false;
};

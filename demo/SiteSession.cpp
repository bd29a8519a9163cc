// SiteSession: the per-connection state machine of the demo site (see SiteSession.h).
//
// Phases: ConnectWait (latency before the first request) -> Reading <-> RequestWait
// (until the request's answer is due) -> Answering (the sender's bytes, pauses and
// stalls) -> Reading again when the answer keeps the connection, Closed otherwise.
// FDeadline always belongs to the current phase: the end of a latency or a trickle pause,
// the idle limit, or the end of a stall's hold.
//
// Arrival times: each received chunk leaves a mark (where it ends in FInput, when it
// came); the reader's taking bytes consumes marks, and the mark holding the last byte
// taken dates the request, whose answer is due a latency later.
#include "demo/SiteSession.h"

#include <algorithm>

namespace {

// Marks kept per session. A peer that sends its bytes in ever more chunks while an
// answer is out shares the last mark, which takes the newest time, so an answer may come
// a little late but never before its request's latency has passed.
constexpr size_t MaxArrivalMarks = 64;

}  // namespace

TSiteSession::TSiteSession(const TSessionTimes& times, THandler handler, TLog log, TTime now)
    : FTimes(times), FHandler(std::move(handler)), FLog(std::move(log)) {
    if (FTimes.Latency.count() > 0) {
        FPhase = ConnectWait;
        FDeadline = now + FTimes.Latency;
    } else {
        FPhase = Reading;
        FDeadline = now + FTimes.IdleTimeout;
    }
}

bool TSiteSession::WantsInput() const {
    return FPhase != ConnectWait && FPhase != Closed && !FPeerClosed &&
           FInput.size() < MaxBufferedInput;
}

std::pair<const char*, size_t> TSiteSession::Pending() const {
    if (FPhase != Answering) return {nullptr, 0};
    return FSender->Pending();
}

void TSiteSession::Received(const char* data, size_t size, TTime now) {
    if (FPhase == Closed || size == 0) return;
    FInput.append(data, size);
    Stamp(now);
    if (FPhase == Reading) {
        FDeadline = now + FTimes.IdleTimeout;
        ReadRequests(now);
    }
}

void TSiteSession::PeerClosed(TTime now) {
    FPeerClosed = true;
    // Complete requests that arrived before the end are still answered; a partial one is
    // dropped. A stalled answer will never end, so there is nothing left to do.
    if (FPhase == Reading)
        ReadRequests(now);
    else if (FPhase == Answering && FSender->State() == TResponseSender::Stalled)
        Close();
}

void TSiteSession::Sent(size_t bytes, TTime now) {
    if (FPhase != Answering || bytes == 0) return;
    FSender->Advance(bytes);
    FollowSender(now);
}

void TSiteSession::OnTime(TTime now) {
    if (now < FDeadline) return;
    switch (FPhase) {
    case ConnectWait:
        // Bytes that came during the connection's latency (a transport does not read
        // then) count from its end, so the first request still waits a latency of its own.
        for (TArrival& mark : FArrivals) mark.At = std::max(mark.At, now);
        FPhase = Reading;
        FDeadline = now + FTimes.IdleTimeout;
        ReadRequests(now);
        break;
    case RequestWait:
        Answer(now);
        break;
    case Answering:
        if (FSender->State() == TResponseSender::Pausing) {
            FSender->OpenPiece();
            FDeadline = now + FTimes.IdleTimeout;
        } else {
            Close();  // no progress for the idle time-out, or a stall held long enough
        }
        break;
    case Reading:  // idle for too long
    case Closed:
        Close();
        break;
    }
}

// Marks the end of FInput, just appended to, as arrived at Now.
void TSiteSession::Stamp(TTime now) {
    if (!FArrivals.empty() && (FArrivals.back().At == now || FArrivals.size() >= MaxArrivalMarks)) {
        FArrivals.back().End = FInput.size();
        FArrivals.back().At = std::max(FArrivals.back().At, now);
        return;
    }
    FArrivals.push_back({FInput.size(), now});
}

// Drops the first Used bytes of FInput, which the reader took, with their marks.
void TSiteSession::Take(size_t used) {
    if (used == 0) return;
    // The last byte taken is at Used - 1: its mark is the first that ends after it.
    auto last = std::find_if(FArrivals.begin(), FArrivals.end(),
                             [used](const TArrival& mark) { return mark.End >= used; });
    if (last != FArrivals.end()) FLastTaken = last->At;
    while (!FArrivals.empty() && FArrivals.front().End <= used) FArrivals.pop_front();
    for (TArrival& mark : FArrivals) mark.End -= used;
    FInput.erase(0, used);
}

// Takes requests from the buffered input while the session is free to answer them.
void TSiteSession::ReadRequests(TTime now) {
    while (FPhase == Reading && !FInput.empty()) {
        size_t used = 0;
        TRequestReader::TState state = FReader.Feed(FInput.data(), FInput.size(), &used);
        Take(used);
        if (state == TRequestReader::rsNeedMore) break;
        // The latency runs from the request's arrival, so one that waited behind earlier
        // answers for longer than that is answered at once.
        const TTime due = FLastTaken + FTimes.Latency;
        if (FTimes.Latency.count() > 0 && due > now) {
            FPhase = RequestWait;
            FDeadline = due;
            return;
        }
        Answer(now);
    }
    if (FPhase == Reading && FPeerClosed) Close();
}

void TSiteSession::Answer(TTime now) {
    const bool complete = FReader.State() == TRequestReader::rsDone;
    TSiteResponse response;
    if (complete && FHandler) {
        try {
            response = FHandler(FReader.Request());
        } catch (const std::exception&) {
            response = PlainErrorResponse(500);
        }
    } else {
        response = PlainErrorResponse(complete ? 500 : FReader.ErrorStatus());
    }
    FKeepAlive = complete && !FPeerClosed && RequestKeepsAlive(FReader.Request()) &&
                 response.CanKeepAlive();
    if (FLog) FLog(RequestLogLine(FReader.Request(), response));
    FSender.emplace(response, response.HeadBytes(FKeepAlive ? "keep-alive" : "close"));
    FReader = TRequestReader();
    FPhase = Answering;
    FollowSender(now);
}

// Sets the deadline for what the sender does next, or ends the answer.
void TSiteSession::FollowSender(TTime now) {
    switch (FSender->State()) {
    case TResponseSender::Sending:
        FDeadline = now + FTimes.IdleTimeout;
        break;
    case TResponseSender::Pausing:
        FDeadline = now + std::chrono::milliseconds(FSender->DelayMs());
        break;
    case TResponseSender::Stalled:
        if (FPeerClosed) {
            Close();
            break;
        }
        FDeadline = now + FTimes.StallHold;
        break;
    case TResponseSender::Done:
        AnswerDone(now);
        break;
    }
}

void TSiteSession::AnswerDone(TTime now) {
    if (!FKeepAlive) {
        Close();
        return;
    }
    FSender.reset();
    FPhase = Reading;
    FDeadline = now + FTimes.IdleTimeout;
    ReadRequests(now);
}

void TSiteSession::Close() {
    FCut = FPhase == Answering &&
           (!FSender || FSender->State() != TResponseSender::Done || FSender->CutShort());
    FPhase = Closed;
    FSender.reset();
    FInput.clear();
    FArrivals.clear();
    FDeadline = TTime::max();
}

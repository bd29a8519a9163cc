// SiteSession: the per-connection state machine of the demo site (see SiteSession.h).
//
// Phases: ConnectWait (latency before the first request) -> Reading <-> RequestWait
// (latency before an answer) -> Answering (the sender's bytes, pauses and stalls) ->
// Reading again when the answer keeps the connection, Closed otherwise. FDeadline always
// belongs to the current phase: the end of a latency or a trickle pause, the idle limit,
// or the end of a stall's hold.
#include "demo/SiteSession.h"

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

// Takes requests from the buffered input while the session is free to answer them.
void TSiteSession::ReadRequests(TTime now) {
    while (FPhase == Reading && !FInput.empty()) {
        size_t used = 0;
        TRequestReader::TState state = FReader.Feed(FInput.data(), FInput.size(), &used);
        FInput.erase(0, used);
        if (state == TRequestReader::rsNeedMore) break;
        if (FTimes.Latency.count() > 0) {
            FPhase = RequestWait;
            FDeadline = now + FTimes.Latency;
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
    FSender.reset();
    if (!FKeepAlive) {
        Close();
        return;
    }
    FPhase = Reading;
    FDeadline = now + FTimes.IdleTimeout;
    ReadRequests(now);
}

void TSiteSession::Close() {
    FPhase = Closed;
    FSender.reset();
    FInput.clear();
    FDeadline = TTime::max();
}

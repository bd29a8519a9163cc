// InetLine: one pipelined connection's line of requests (see InetLine.h). The state is the
// waiting socket, the holder's number and the queue of numbers, under one lock; every
// operation checks FOver first, since a line that broke never serves again.
#include "platform/wininet/InetLine.h"

#include <algorithm>

namespace inetwire {

TInetLine::TInetLine(const std::string& key, DWORD connectionId, uintptr_t holder)
    : FKey(key), FConnectionId(connectionId), FHolder(holder) {}

TInetLine::TInetLine(const std::string& key, std::unique_ptr<TInetSocket> waiting, uintptr_t first)
    : FKey(key), FConnectionId(waiting->Id()), FWaiting(std::move(waiting)) {
    FLine.push_back(first);
}

// The last request let go: a connection still waiting has nobody left to read from it.
TInetLine::~TInetLine() = default;

bool TInetLine::Holder(uintptr_t& holder) const {
    std::lock_guard<std::mutex> g(FLock);
    holder = FHolder;
    return !FOver;
}

DWORD TInetLine::SendBehind(uintptr_t id, const std::string& head, int abortFd, DWORD timeoutMs,
                            uintptr_t holderId, TInetSocket* held) {
    std::unique_ptr<TInetSocket> dropped;  // closed after the lock is released
    std::lock_guard<std::mutex> g(FLock);
    if (FOver || FHolder != holderId) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    TInetSocket* sock = holderId ? held : FWaiting.get();
    if (!sock) return ERROR_INTERNET_INCORRECT_HANDLE_STATE;
    // The sender's close must be able to end a send that blocks; the holder (or nobody,
    // for a waiting connection) watches the connection again afterwards.
    int watched = sock->AbortFd();
    sock->SetAbortFd(abortFd);
    // Even a send that fails halfway may have put the request before the server.
    sock->MarkCarriedAhead();
    DWORD r = sock->SendAll(head, timeoutMs);
    sock->SetAbortFd(watched);
    if (r != ERROR_SUCCESS) {
        BreakLocked(dropped);
        return r;
    }
    FLine.push_back(id);
    return ERROR_SUCCESS;
}

std::unique_ptr<TInetSocket> TInetLine::TakeTurn(uintptr_t id) {
    std::unique_ptr<TInetSocket> dropped;
    std::lock_guard<std::mutex> g(FLock);
    if (!FOver && FHolder == 0 && FWaiting && !FLine.empty() && FLine.front() == id) {
        FLine.pop_front();
        FHolder = id;
        return std::move(FWaiting);
    }
    FLine.erase(std::remove(FLine.begin(), FLine.end(), id), FLine.end());
    BreakLocked(dropped);
    return nullptr;
}

std::unique_ptr<TInetSocket> TInetLine::Release(uintptr_t holder, std::unique_ptr<TInetSocket> sock, bool kept) {
    std::unique_ptr<TInetSocket> dropped;
    std::lock_guard<std::mutex> g(FLock);
    if (FOver || FHolder != holder || !kept) {
        BreakLocked(dropped);
        return nullptr;  // Sock closes here, after the lock
    }
    FHolder = 0;
    if (!FLine.empty()) {
        sock->SetAbortFd(-1);
        FWaiting = std::move(sock);
        return nullptr;
    }
    FOver = true;  // the connection leaves the line for the pool
    return sock;
}

void TInetLine::Break(uintptr_t id) {
    std::unique_ptr<TInetSocket> dropped;
    std::lock_guard<std::mutex> g(FLock);
    if (FHolder == id) FHolder = 0;
    FLine.erase(std::remove(FLine.begin(), FLine.end(), id), FLine.end());
    BreakLocked(dropped);
}

void TInetLine::BreakLocked(std::unique_ptr<TInetSocket>& dropped) {
    FOver = true;
    FHolder = 0;
    FLine.clear();
    dropped = std::move(FWaiting);
}

}  // namespace inetwire

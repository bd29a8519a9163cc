// InetPool: the session's idle connections (see InetPool.h). One deque, oldest first:
// Put appends, Take searches from the back, Trim removes from the front.
#include "platform/wininet/InetPool.h"

#include "platform/rtl/SysUtils.h"

#include <map>

namespace inetwire {

std::string PoolKey(const std::string& host, uint16_t port, const std::string& proxyHost,
                    uint16_t proxyPort) {
    std::string key = LowerCase(host) + ":" + IntToStr(port);
    if (!proxyHost.empty()) key += " via " + LowerCase(proxyHost) + ":" + IntToStr(proxyPort);
    return key;
}

std::unique_ptr<TInetSocket> TInetPool::Take(const std::string& key) {
    TDropped dropped;  // closed after the lock is released
    std::lock_guard<std::mutex> g(FLock);
    Trim(dropped);
    for (size_t i = FIdle.size(); i-- > 0;) {
        if (FIdle[i].Key != key) continue;
        std::unique_ptr<TInetSocket> sock = std::move(FIdle[i].Sock);
        FIdle.erase(FIdle.begin() + long(i));
        // The server may have closed it (or said something unasked) while it waited.
        if (sock->IdleAndOpen()) return sock;
        dropped.push_back(std::move(sock));
    }
    return nullptr;
}

void TInetPool::Put(const std::string& key, std::unique_ptr<TInetSocket> sock) {
    if (!sock) return;
    TDropped dropped;
    std::lock_guard<std::mutex> g(FLock);
    sock->SetAbortFd(-1);
    if (FClosed || FLimits.PerServer == 0 || FLimits.Total == 0 || !sock->IdleAndOpen()) {
        dropped.push_back(std::move(sock));
        return;
    }
    FIdle.push_back({key, std::move(sock), TClock::now()});
    Trim(dropped);
}

void TInetPool::Close() {
    TDropped dropped;
    std::lock_guard<std::mutex> g(FLock);
    FClosed = true;
    for (TIdle& idle : FIdle) dropped.push_back(std::move(idle.Sock));
    FIdle.clear();
}

TPoolLimits TInetPool::Limits() const {
    std::lock_guard<std::mutex> g(FLock);
    return FLimits;
}

void TInetPool::SetLimits(const TPoolLimits& limits) {
    TDropped dropped;
    std::lock_guard<std::mutex> g(FLock);
    FLimits = limits;
    Trim(dropped);
}

size_t TInetPool::IdleCount() const {
    std::lock_guard<std::mutex> g(FLock);
    return FIdle.size();
}

void TInetPool::Trim(TDropped& dropped) {
    TClock::time_point oldest = TClock::now() - std::chrono::milliseconds(FLimits.IdleMs);
    std::map<std::string, size_t> perKey;
    for (const TIdle& idle : FIdle) ++perKey[idle.Key];
    size_t total = FIdle.size();
    for (auto it = FIdle.begin(); it != FIdle.end();) {
        size_t& ofKey = perKey[it->Key];
        bool expired = it->Since < oldest;
        if (expired || ofKey > FLimits.PerServer || total > FLimits.Total) {
            --ofKey;
            --total;
            dropped.push_back(std::move(it->Sock));
            it = FIdle.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace inetwire

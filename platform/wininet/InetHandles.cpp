// InetHandles: the handle table and the thread's last error (see InetHandles.h).
#include "platform/wininet/InetHandles.h"

#include <map>
#include <unistd.h>

namespace inetwire {

namespace {

std::mutex gTableLock;
std::map<uintptr_t, std::shared_ptr<THandle>> gHandles;
uintptr_t gNextHandle = 1;
TTimeouts gDefaultTimeouts;      // guarded by gTableLock
TPoolLimits gDefaultPoolLimits;  // guarded by gTableLock

// Removes H and its descendants from the table and wakes every wait on them. Caller
// holds the table lock.
void CloseTree(const std::shared_ptr<THandle>& h) {
    gHandles.erase(h->Id);
    h->Closed();
    for (auto& weak : h->Children)
        if (auto child = weak.lock()) CloseTree(child);
    h->Children.clear();
}

}  // namespace

thread_local DWORD tLastError = ERROR_SUCCESS;

TRequestHandle::~TRequestHandle() {
    Sock.reset();
    if (AbortFd >= 0) ::close(AbortFd);
}

void TRequestHandle::Closed() {
    if (AbortFd < 0) return;
    uint64_t one = 1;
    (void)!::write(AbortFd, &one, sizeof one);
}

BOOL Fail(DWORD error) {
    tLastError = error;
    return FALSE;
}

HINTERNET FailHandle(DWORD error) {
    tLastError = error;
    return nullptr;
}

std::shared_ptr<THandle> LookupKind(HINTERNET h, THandleKind kind) {
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(h));
    if (it == gHandles.end()) {
        tLastError = ERROR_INVALID_HANDLE;
        return nullptr;
    }
    if (it->second->Kind != kind) {
        tLastError = ERROR_INTERNET_INCORRECT_HANDLE_TYPE;
        return nullptr;
    }
    return it->second;
}

HINTERNET Insert(std::shared_ptr<THandle> h, std::shared_ptr<THandle> parent) {
    std::lock_guard<std::mutex> g(gTableLock);
    if (parent && gHandles.count(parent->Id) == 0) return FailHandle(ERROR_INVALID_HANDLE);
    h->Timeouts = parent ? parent->Timeouts : gDefaultTimeouts;
    if (parent) parent->Children.push_back(h);
    h->Parent = std::move(parent);
    h->Id = gNextHandle++;
    gHandles.emplace(h->Id, h);
    tLastError = ERROR_SUCCESS;
    return reinterpret_cast<HINTERNET>(h->Id);
}

bool CloseHandleTree(HINTERNET handle) {
    std::lock_guard<std::mutex> g(gTableLock);
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == gHandles.end()) return false;
    std::shared_ptr<THandle> h = it->second;  // alive until the tree is closed
    CloseTree(h);
    return true;
}

TTimeouts TimeoutsNow(const THandle& h) {
    std::lock_guard<std::mutex> g(gTableLock);
    return h.Timeouts;
}

TPoolLimits DefaultPoolLimits() {
    std::lock_guard<std::mutex> g(gTableLock);
    return gDefaultPoolLimits;
}

std::unique_lock<std::mutex> LockTable() { return std::unique_lock<std::mutex>(gTableLock); }

THandle* FindLocked(HINTERNET h) {
    auto it = gHandles.find(reinterpret_cast<uintptr_t>(h));
    return it == gHandles.end() ? nullptr : it->second.get();
}

TTimeouts& DefaultTimeoutsLocked() { return gDefaultTimeouts; }
TPoolLimits& DefaultPoolLimitsLocked() { return gDefaultPoolLimits; }

}  // namespace inetwire

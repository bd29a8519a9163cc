// InetHandles: the internet library's handles, typed by kind, the table that maps HINTERNET
// numbers to them, and the calling thread's last error. Internal to the library.
//
// A session holds connections, a connection holds requests; each handle keeps a shared
// reference to its parent, so a child's parent never goes away under it. A call takes a
// shared reference out of the table under the table lock, then works on the object with
// the table lock released, so InternetCloseHandle from another thread can remove the handle
// (and its descendants) at any moment: it marks them closed (Closed: a session closes its
// pool, a request signals its abort descriptor, which every wait of that request watches).
// The object itself lives on until the last call holding it returns.
//
// Lock order: a request's own lock, then the table lock, then the pool's lock. A handle can
// be destroyed under the table lock.
#pragma once

#include "platform/wininet/InetPool.h"
#include "platform/wininet/InetWire.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace inetwire {

enum THandleKind { hkSession, hkConnect, hkRequest };

// What every handle has.
struct THandle {
    explicit THandle(THandleKind kind) : Kind(kind) {}
    virtual ~THandle() = default;
    THandle(const THandle&) = delete;
    THandle& operator=(const THandle&) = delete;
    // The handle was closed (under the table lock): wakes whatever waits on it.
    virtual void Closed() {}

    const THandleKind Kind;
    uintptr_t Id = 0;
    std::shared_ptr<THandle> Parent;
    std::vector<std::weak_ptr<THandle>> Children;  // guarded by the table lock
    TTimeouts Timeouts;                            // guarded by the table lock
    std::mutex Lock;                               // serialises calls on this handle
};

struct TSessionHandle : THandle {
    static constexpr THandleKind Of = hkSession;
    TSessionHandle() : THandle(hkSession) {}
    void Closed() override { Pool->Close(); }

    std::string Agent;
    TProxy Proxy;        // for http requests
    TProxy SecureProxy;  // for https requests (through a CONNECT tunnel)
    std::shared_ptr<TInetPool> Pool;
};

struct TConnectHandle : THandle {
    static constexpr THandleKind Of = hkConnect;
    TConnectHandle() : THandle(hkConnect) {}
    TSessionHandle& Session() const { return static_cast<TSessionHandle&>(*Parent); }

    std::string Host, UserName, Password;
    uint16_t Port = 0;  // 0: the default port of each request's scheme
};

struct TRequestHandle : THandle {
    static constexpr THandleKind Of = hkRequest;
    TRequestHandle() : THandle(hkRequest) {}
    ~TRequestHandle() override;  // closes the connection and the abort descriptor
    void Closed() override;  // makes the abort descriptor readable
    TConnectHandle& Connection() const { return static_cast<TConnectHandle&>(*Parent); }
    TSessionHandle& Session() const { return Connection().Session(); }

    int AbortFd = -1;  // readable once closed
    std::string Verb, Object, Version, Referer, Accept;
    DWORD Flags = 0;
    bool Secure = false;  // https (INTERNET_FLAG_SECURE)
    uint16_t Port = INTERNET_DEFAULT_HTTP_PORT;  // the connection's, or the scheme's default
    std::string RequestHead;  // the head last sent, for HTTP_QUERY_FLAG_REQUEST_HEADERS
    bool HaveResponse = false;
    TResponseHead Response;
    std::unique_ptr<TInetSocket> Sock;  // until the body ended
    std::string SockKey;                // where Sock goes (PoolKey)
    bool Persistent = false;            // the request asked to keep its connection
    TBodyReader Body;
    std::atomic<DWORD> ExpiredTimeout{0};  // INTERNET_OPTION_EXPIRED_TIMEOUT
};

// ---- errors ---------------------------------------------------------------------------------

// The calling thread's last error (GetLastError).
extern thread_local DWORD tLastError;
// Set the thread's error and return the failure value of the call's type.
BOOL Fail(DWORD error);
HINTERNET FailHandle(DWORD error);

// ---- the table ------------------------------------------------------------------------------

// The live handle of this number and kind, or null with the thread's error set.
std::shared_ptr<THandle> LookupKind(HINTERNET h, THandleKind kind);
template <class T>
std::shared_ptr<T> Lookup(HINTERNET h) {
    return std::static_pointer_cast<T>(LookupKind(h, T::Of));
}
// Enters a new handle below Parent (null for a session), inheriting its time-outs (a
// session: the process-wide defaults). Refused as a closed handle when Parent was closed
// after the caller looked it up: the close did not see the new handle, so nothing would
// ever wake a wait on it.
HINTERNET Insert(std::shared_ptr<THandle> h, std::shared_ptr<THandle> parent);
// Removes the handle and its descendants from the table and wakes every wait on them.
// False when it is not a live handle.
bool CloseHandleTree(HINTERNET h);
// The handle's time-outs as they are now (InternetSetOptionA may change them meanwhile).
TTimeouts TimeoutsNow(const THandle& h);
// The pool bounds a new session starts with.
TPoolLimits DefaultPoolLimits();

// The table lock, for the options, which read and write the time-outs of handles and the
// defaults of the process (FindLocked and the Default*Locked values need it held).
std::unique_lock<std::mutex> LockTable();
THandle* FindLocked(HINTERNET h);
TTimeouts& DefaultTimeoutsLocked();
TPoolLimits& DefaultPoolLimitsLocked();

}  // namespace inetwire

// WinsockResolver: host lookups, asynchronous (WSAAsyncGetHostByName/Addr) and blocking
// (gethostbyname), plus the service and protocol databases.
//
// One resolver thread takes requests in order. A request lives in a table under one
// lock; the thread resolves without the lock, then, under it, writes the host entry into
// the caller's buffer and posts the completion only if the request is still in the
// table. WSACancelAsyncRequest removes it under the same lock, so after cancelling the
// caller's buffer is never written and no completion is posted.
//
// Names that never need a DNS server: dotted addresses, "localhost" (127.0.0.1), and the
// reserved ".invalid" domain, which fails at once.
#include "platform/winsock/Winsock.h"
#include "platform/winsock/WinsockInternal.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace winsock {

namespace {

struct THostResult {
    int Error = 0;  // WSA error, 0 on success
    std::string Name;
    std::vector<in_addr> Addrs;
};

struct TRequest {
    HANDLE Id = 0;
    HWND Wnd = nullptr;
    UINT Msg = 0;
    bool ByAddr = false;
    std::string Query;  // the name, or the 4 address bytes
    char* Buf = nullptr;
    int BufLen = 0;
};

std::mutex gLock;
std::condition_variable gWake;
std::deque<std::shared_ptr<TRequest>> gQueue;
std::map<HANDLE, std::shared_ptr<TRequest>> gPending;  // queued or running, not cancelled
HANDLE gNextId = 1;
bool gStop = false;
std::thread& gThread = *new std::thread();  // see gReactor in Winsock.cpp

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    if (s.size() < suffix.size()) return false;
    for (size_t i = 0; i < suffix.size(); ++i)
        if (std::tolower(uint8_t(s[s.size() - suffix.size() + i])) != suffix[i]) return false;
    return true;
}

int WsaFromGai(int rc) {
    switch (rc) {
        case EAI_AGAIN: return WSATRY_AGAIN;
        case EAI_FAIL: return WSANO_RECOVERY;
#ifdef EAI_NODATA
        case EAI_NODATA: return WSANO_DATA;
#endif
        case EAI_MEMORY: return WSAENOBUFS;
        default: return WSAHOST_NOT_FOUND;
    }
}

THostResult ResolveName(const std::string& name) {
    THostResult r;
    in_addr a{};
    if (::inet_aton(name.c_str(), &a)) {
        r.Name = name;
        r.Addrs.push_back(a);
        return r;
    }
    std::string lower = name;
    for (char& c : lower) c = char(std::tolower(uint8_t(c)));
    if (lower == "localhost" || lower == "localhost.") {
        r.Name = "localhost";
        a.s_addr = ::htonl(INADDR_LOOPBACK);
        r.Addrs.push_back(a);
        return r;
    }
    if (name.empty() || lower == "invalid" || EndsWithNoCase(lower, ".invalid") || EndsWithNoCase(lower, ".invalid.")) {
        r.Error = WSAHOST_NOT_FOUND;
        return r;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    addrinfo* list = nullptr;
    int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        r.Error = WsaFromGai(rc);
        return r;
    }
    r.Name = list->ai_canonname ? list->ai_canonname : name;
    for (addrinfo* p = list; p; p = p->ai_next) {
        in_addr ad = reinterpret_cast<sockaddr_in*>(p->ai_addr)->sin_addr;
        bool seen = false;
        for (const in_addr& x : r.Addrs) seen = seen || x.s_addr == ad.s_addr;
        if (!seen) r.Addrs.push_back(ad);
    }
    ::freeaddrinfo(list);
    return r;
}

THostResult ResolveAddr(const std::string& bytes) {
    THostResult r;
    in_addr a{};
    std::memcpy(&a, bytes.data(), 4);
    if (a.s_addr == ::htonl(INADDR_LOOPBACK)) {
        r.Name = "localhost";  // the loopback address is named without a name server
    } else {
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr = a;
        char host[NI_MAXHOST];
        int rc = ::getnameinfo(reinterpret_cast<sockaddr*>(&sin), sizeof sin, host, sizeof host, nullptr, 0, NI_NAMEREQD);
        if (rc != 0) {
            r.Error = WsaFromGai(rc);
            return r;
        }
        r.Name = host;
    }
    r.Addrs.push_back(a);
    return r;
}

// Lays a host entry out in Buf: the record, the alias list (empty), the address list,
// the addresses, the name. Returns the bytes used, or -1 when Buf is too small.
int WriteHostEnt(const THostResult& r, char* buf, int bufLen) {
    size_t n = r.Addrs.size();
    size_t need = sizeof(hostent) + sizeof(char*) + (n + 1) * sizeof(char*) + n * 4 + r.Name.size() + 1;
    if (!buf || need > size_t(bufLen)) return -1;
    char* p = buf + sizeof(hostent);
    char** aliases = reinterpret_cast<char**>(p);
    aliases[0] = nullptr;
    char** addrList = aliases + 1;
    char* addrBytes = reinterpret_cast<char*>(addrList + n + 1);
    for (size_t i = 0; i < n; ++i) {
        std::memcpy(addrBytes + 4 * i, &r.Addrs[i], 4);
        addrList[i] = addrBytes + 4 * i;
    }
    addrList[n] = nullptr;
    char* name = addrBytes + 4 * n;
    std::memcpy(name, r.Name.c_str(), r.Name.size() + 1);
    hostent h{};
    h.h_name = name;
    h.h_aliases = aliases;
    h.h_addrtype = AF_INET;
    h.h_length = 4;
    h.h_addr_list = addrList;
    std::memcpy(buf, &h, sizeof h);
    return int(need);
}

void ResolverLoop() {
    for (;;) {
        std::shared_ptr<TRequest> req;
        {
            std::unique_lock<std::mutex> lock(gLock);
            gWake.wait(lock, [] { return gStop || !gQueue.empty(); });
            if (gStop) return;
            req = gQueue.front();
            gQueue.pop_front();
            if (!gPending.count(req->Id)) continue;  // cancelled while queued
        }
        THostResult r = req->ByAddr ? ResolveAddr(req->Query) : ResolveName(req->Query);
        std::lock_guard<std::mutex> guard(gLock);
        if (!gPending.erase(req->Id)) continue;  // cancelled while resolving
        int len = 0, err = r.Error;
        if (err == 0) {
            len = WriteHostEnt(r, req->Buf, req->BufLen);
            if (len < 0) {
                len = 0;
                err = WSAENOBUFS;
            }
        }
        PostMessageA(req->Wnd, req->Msg, WPARAM(req->Id), WSAMAKEASYNCREPLY(uint16_t(len), uint16_t(err)));
    }
}

HANDLE Enqueue(std::shared_ptr<TRequest> req) {
    if (!WinsockStarted()) {
        WSASetLastError(WSANOTINITIALISED);
        return 0;
    }
    std::lock_guard<std::mutex> guard(gLock);
    req->Id = gNextId++;
    gPending[req->Id] = req;
    gQueue.push_back(req);
    gWake.notify_one();
    return req->Id;
}

}  // namespace

void ResolverStart() {
    std::lock_guard<std::mutex> guard(gLock);
    gStop = false;
    gThread = std::thread(ResolverLoop);
}

void ResolverStop() {
    std::thread t;
    {
        std::lock_guard<std::mutex> guard(gLock);
        gStop = true;
        gQueue.clear();
        gPending.clear();
        gWake.notify_all();
        t = std::move(gThread);
    }
    // A lookup in progress finishes first; its result is dropped.
    if (t.joinable()) t.join();
}

HANDLE WSAAsyncGetHostByName(HWND wnd, UINT msg, const char* name, char* buf, int bufLen) {
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return 0;
    }
    auto req = std::make_shared<TRequest>();
    req->Wnd = wnd;
    req->Msg = msg;
    req->Query = name;
    req->Buf = buf;
    req->BufLen = bufLen;
    return Enqueue(req);
}

HANDLE WSAAsyncGetHostByAddr(HWND wnd, UINT msg, const char* addr, int len, int type, char* buf, int bufLen) {
    if (!addr || len != 4 || type != AF_INET) {
        WSASetLastError(addr ? WSAEAFNOSUPPORT : WSAEFAULT);
        return 0;
    }
    auto req = std::make_shared<TRequest>();
    req->Wnd = wnd;
    req->Msg = msg;
    req->ByAddr = true;
    req->Query.assign(addr, 4);
    req->Buf = buf;
    req->BufLen = bufLen;
    return Enqueue(req);
}

int WSACancelAsyncRequest(HANDLE asyncTaskHandle) {
    std::lock_guard<std::mutex> guard(gLock);
    if (gPending.erase(asyncTaskHandle)) return 0;
    WSASetLastError(WSAEINVAL);
    return SOCKET_ERROR;
}

hostent* gethostbyname(const char* name) {
    alignas(hostent) static thread_local char buf[MAXGETHOSTSTRUCT];
    if (!name) {
        WSASetLastError(WSAEFAULT);
        return nullptr;
    }
    THostResult r = ResolveName(name);
    if (r.Error == 0 && WriteHostEnt(r, buf, sizeof buf) < 0) r.Error = WSAENOBUFS;
    if (r.Error) {
        WSASetLastError(r.Error);
        return nullptr;
    }
    return reinterpret_cast<hostent*>(buf);
}

servent* getservbyname(const char* name, const char* proto) {
    static thread_local servent entry;
    static thread_local char buf[1024];
    servent* result = nullptr;
    if (name && ::getservbyname_r(name, proto, &entry, buf, sizeof buf, &result) == 0 && result) return result;
    WSASetLastError(WSANO_DATA);
    return nullptr;
}

protoent* getprotobyname(const char* name) {
    static thread_local protoent entry;
    static thread_local char buf[1024];
    protoent* result = nullptr;
    if (name && ::getprotobyname_r(name, &entry, buf, sizeof buf, &result) == 0 && result) return result;
    // The two protocols this system uses are known even without a protocols database.
    static thread_local char tcpName[] = "tcp", udpName[] = "udp";
    static thread_local char* noAliases[] = {nullptr};
    if (name && (std::strcmp(name, "tcp") == 0 || std::strcmp(name, "udp") == 0)) {
        entry.p_name = name[0] == 't' ? tcpName : udpName;
        entry.p_aliases = noAliases;
        entry.p_proto = name[0] == 't' ? IPPROTO_TCP : IPPROTO_UDP;
        return &entry;
    }
    WSASetLastError(WSANO_DATA);
    return nullptr;
}

}  // namespace winsock

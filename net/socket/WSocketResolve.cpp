// WSocketResolve: name resolution of TCustomWSocket: the unit routines that turn an
// address, a port and a protocol text into numbers, the resolution of a socket's own
// endpoint before it opens a handle, and the asynchronous lookups (DnsLookup,
// ReverseDnsLookup) whose replies come back to the notification window.
//
// WSocketResolveHost blocks for a name; the components therefore look a name up with
// DnsLookup first and hand Connect the dotted address it found.
#include "net/socket/WSocket.h"
#include "net/socket/WSocketBinding.h"

#include <cstring>

using namespace winsock;

// ==== unit routines ===========================================================================

uint32_t ParseLeadingNumber(const std::string& s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    uint32_t n = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9'; ++i) n = n * 10 + uint32_t(s[i] - '0');
    return n;
}

bool IsDottedIP(const std::string& s) {
    size_t i = 0, len = s.size();
    while (i < len && s[i] == ' ') ++i;
    if (i < len && s[i] == '.') return false;
    int dots = 0;
    uint32_t num = 0;
    for (; i < len; ++i) {
        char c = s[i];
        if (c == '.') {
            ++dots;
            if (dots > 3 || num > 255 || i + 1 >= len || s[i + 1] < '0' || s[i + 1] > '9') return false;
            num = 0;
        } else if (c >= '0' && c <= '9') {
            num = num * 10 + uint32_t(c - '0');
            if (num > 100000) return false;  // no part can grow this large and still pass
        } else {
            for (; i < len; ++i)
                if (s[i] != ' ') return false;
            break;
        }
    }
    return dots == 3 && num <= 255;
}

uint32_t WSocketResolveHost(const std::string& inAddr) {
    if (inAddr.empty() || inAddr.size() > 256)
        throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid Hostname.");
    std::string text = Trim(inAddr);
    if (IsDottedIP(inAddr)) {
        winsock::u_long a = WS(inet_addr)(text.c_str());
        if (a == INADDR_NONE && text != "255.255.255.255")
            throw ESocketException("WSocketResolveHost: '" + inAddr + "' Invalid IP address.");
        return uint32_t(a);
    }
    hostent* h = WS(gethostbyname)(text.c_str());
    if (!h || !h->h_addr_list || !h->h_addr_list[0])
        throw ESocketException("WSocketResolveHost: Cannot convert host address '" + inAddr + "', Error #" +
                               IntToStr(WS(WSAGetLastError)()));
    uint32_t a;
    std::memcpy(&a, h->h_addr_list[0], 4);
    return a;
}

uint16_t WSocketResolvePort(const std::string& port, const std::string& proto) {
    if (port.empty() || port.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Port.");
    if (proto.empty() || proto.size() >= 32) throw ESocketException("WSocketResolvePort: Invalid Proto.");
    if (port[0] >= '0' && port[0] <= '9') {
        uint32_t n = ParseLeadingNumber(port);
        if (n > 65535) throw ESocketException("Range check error");
        return uint16_t(n);
    }
    std::string p = Trim(proto);
    servent* se = WS(getservbyname)(Trim(port).c_str(), p.empty() ? nullptr : p.c_str());
    if (!se)
        throw ESocketException("WSocketResolvePort: Cannot convert port '" + port + "', Error #" +
                               IntToStr(WS(WSAGetLastError)()));
    return WS(ntohs)(winsock::u_short(se->s_port));
}

int32_t WSocketResolveProto(const std::string& proto) {
    if (proto.empty() || proto.size() >= 32) throw ESocketException("WSocketResolveProto: Invalid Protocol.");
    std::string p = Trim(proto);
    if (!p.empty() && p[0] >= '0' && p[0] <= '9') return int32_t(ParseLeadingNumber(p));
    protoent* pe = WS(getprotobyname)(p.c_str());
    if (!pe)
        throw ESocketException("WSocketResolveProto: Cannot convert protocol '" + p + "', Error #" +
                               IntToStr(WS(WSAGetLastError)()));
    return pe->p_proto;
}


// ==== the endpoint of a socket ================================================================

// Resolves protocol, remote port, (for Connect) local port and remote address, each once.
void TCustomWSocket::ResolveRemote(TOpenPurpose purpose) {
    const char* prefix = purpose == opConnect ? "connect: " : "listen: ";
    try {
        if (!FProtoResolved) {
            FProto = WSocketResolveProto(FProtoStr);
            FType = FProto == IPPROTO_UDP ? SOCK_DGRAM : SOCK_STREAM;
            FProtoResolved = true;
        }
        if (!FPortResolved) {
            FSin.sin_port = WS(htons)(WSocketResolvePort(FPortStr, FProtoStr));
            FPortResolved = true;
        }
        // Only a connecting socket binds a local port of its choice; a listening one binds
        // its own endpoint.
        if (purpose == opConnect && !FLocalPortResolved) {
            FLocalPortNum = WSocketResolvePort(FLocalPortStr, FProtoStr);
            FLocalPortResolved = true;
        }
        if (!FAddrResolved) {
            FSin.sin_addr.s_addr = WSocketResolveHost(FAddrStr);
            FAddrResolved = true;
        }
    } catch (const Exception& e) {
        throw ESocketException(prefix + e.Message());
    }
}

// ==== lookups =================================================================================

// A new lookup replaces a running one silently (no OnDnsLookupDone for it) and starts
// from empty results.
void TCustomWSocket::StartFreshLookup() {
    if (FDnsLookupHandle != 0) {
        WS(WSACancelAsyncRequest)(FDnsLookupHandle);
        FDnsLookupHandle = 0;
    }
    FDnsResult.clear();
    FDnsResultList.Clear();
}

void TCustomWSocket::DnsLookup(const std::string& hostName) {
    Guarded([&] {
        if (hostName.empty()) {
            RaiseError("DNS lookup: invalid host name.");
            DoDnsLookupDone(WSAEINVAL);
            return;
        }
        StartFreshLookup();
        winsock::u_long a = WS(inet_addr)(hostName.c_str());
        if (a != INADDR_NONE) {
            in_addr ia;
            ia.s_addr = a;
            FDnsResult = WS(inet_ntoa)(ia);
            DoDnsLookupDone(0);
            return;
        }
        FEarlyReply = false;
        HANDLE h = WS(WSAAsyncGetHostByName)(FWindowHandle, WM_SOCKET_HOST_BY_NAME, hostName.c_str(),
                                             FDnsLookupBuffer, int(sizeof FDnsLookupBuffer));
        if (h == 0) {
            RaiseErrorFmt(hostName + ": can't start DNS lookup, error #" + IntToStr(WS(WSAGetLastError)()));
            return;
        }
        FDnsLookupHandle = h;
        if (FEarlyReply) {
            FEarlyReply = false;
            HandleHostByName(FSavedReply.WParam, FSavedReply.LParam);
        }
    });
}

void TCustomWSocket::HandleHostByName(WPARAM wParam, LPARAM lParam) {
    if (FDnsLookupHandle == 0) {
        // The reply overtook the call that started the lookup.
        FEarlyReply = true;
        FSavedReply.Msg = WM_SOCKET_HOST_BY_NAME;
        FSavedReply.WParam = wParam;
        FSavedReply.LParam = lParam;
        return;
    }
    if (HANDLE(wParam) != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    uint16_t error = WSAGETASYNCERROR(lParam);
    if (error == 0) {
        const hostent* h = reinterpret_cast<const hostent*>(FDnsLookupBuffer);
        for (int i = 0; h->h_addr_list && h->h_addr_list[i] && i < 256; ++i) {
            in_addr ia;
            std::memcpy(&ia, h->h_addr_list[i], 4);
            FDnsResultList.Add(WS(inet_ntoa)(ia));
        }
        if (FDnsResultList.Count() > 0) FDnsResult = FDnsResultList[0];
    }
    DoDnsLookupDone(error);
}

void TCustomWSocket::HandleHostByAddr(WPARAM wParam, LPARAM lParam) {
    if (FDnsLookupHandle == 0 || HANDLE(wParam) != FDnsLookupHandle) return;
    FDnsLookupHandle = 0;
    uint16_t error = WSAGETASYNCERROR(lParam);
    if (error == 0) {
        const hostent* h = reinterpret_cast<const hostent*>(FDnsLookupBuffer);
        FDnsResult = h->h_name ? h->h_name : "";
        FDnsResultList.Add(FDnsResult);
    }
    DoDnsLookupDone(error);
}

void TCustomWSocket::ReverseDnsLookup(const std::string& hostAddr) {
    Guarded([&] {
        if (hostAddr.empty() || hostAddr.size() > 256) {
            RaiseError("ReverseDnsLookup: Invalid host name.");
            DoDnsLookupDone(WSAEINVAL);
            return;
        }
        StartFreshLookup();
        winsock::u_long a = WS(inet_addr)(hostAddr.c_str());
        HANDLE h = WS(WSAAsyncGetHostByAddr)(FWindowHandle, WM_SOCKET_HOST_BY_ADDR, reinterpret_cast<const char*>(&a),
                                             4, AF_INET, FDnsLookupBuffer, int(sizeof FDnsLookupBuffer));
        if (h == 0) {
            RaiseErrorFmt(hostAddr + ": can't start DNS lookup, error #" + IntToStr(WS(WSAGetLastError)()));
            return;
        }
        FDnsLookupHandle = h;
    });
}

void TCustomWSocket::CancelDnsLookup() {
    Guarded([&] {
        if (FDnsLookupHandle == 0) return;
        // A lookup that has just completed cannot be cancelled any more, but its reply is
        // still queued: forgetting the handle drops it, so it counts as cancelled too.
        if (WS(WSACancelAsyncRequest)(FDnsLookupHandle) != 0 && WS(WSAGetLastError)() != WSAEINVAL) {
            FDnsLookupHandle = 0;
            ReportSocketError("WSACancelAsyncRequest");
            return;
        }
        FDnsLookupHandle = 0;
        if (!FDestroying) DoDnsLookupDone(WSAEINTR);
    });
}

// WSocketIO: the send queue, receiving, listening and accepting, adopting a handle,
// pausing, the waits and the peer queries of TCustomWSocket.
//
// Sending never waits: Send copies into the queue of TBuffer blocks and TryToSend hands
// the system as much as it takes; the rest goes out on FD_WRITE. OnDataSent fires only
// from a notification, never inside Send. Receiving is pulled by the OnDataAvailable
// handler inside ReceivePending, which keeps calling it while bytes are waiting.
#include "net/socket/WSocket.h"
#include "net/socket/WSocketBinding.h"
#include "net/socket/WSocketTls.h"

#include <cstring>

using namespace winsock;

// ==== send queue ==============================================================================

void TCustomWSocket::ClearSendQueue() { FBufList.clear(); }

void TCustomWSocket::BufferSendData(const void* data, int32_t len) {
    if (len < 1) return;
    const char* p = static_cast<const char*>(data);
    if (FBufList.empty()) FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
    TBuffer* last = FBufList.back().get();
    for (;;) {
        int32_t n = last->Write(p, len);
        p += n;
        len -= n;
        if (len <= 0) break;
        FBufList.push_back(std::make_unique<TBuffer>(FBufSize));
        last = FBufList.back().get();
    }
}

int32_t TCustomWSocket::RawSend(const void* data, int32_t len) {
    int32_t n;
    if (FTlsPhase == tlsOpen)
        n = TlsWrite(data, len);
    else if (FType == SOCK_DGRAM)
        n = WS(sendto)(FHSocket, static_cast<const char*>(data), len, FSendFlags,
                       reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin);
    else
        n = WS(send)(FHSocket, static_cast<const char*>(data), len, FSendFlags);
    if (n > 0) DoSendData(n);
    return n;
}

// Sends the unread bytes of up to 64 queued blocks with one gathering call; Len becomes
// the number of bytes offered. Fires OnSendData like RawSend.
int32_t TCustomWSocket::GatherSend(int32_t& len) {
    iovec pieces[64];
    int count = 0;
    len = 0;
    for (const auto& block : FBufList) {
        int32_t l;
        const char* p = block->Peek(l);
        if (l <= 0) continue;
        pieces[count].iov_base = const_cast<char*>(p);
        pieces[count].iov_len = size_t(l);
        len += l;
        if (++count == 64) break;
    }
    int32_t n = WS(sendv)(FHSocket, pieces, count, FSendFlags);
    if (n > 0) DoSendData(n);
    return n;
}

void TCustomWSocket::TryToSend() {
    if (FHSocket == INVALID_SOCKET || FBufList.empty()) return;
    for (;;) {
        if (FBufList.empty()) return;  // a handler closed the socket meanwhile
        int32_t len;
        const char* p = FBufList.front()->Peek(len);
        if (len <= 0) {
            if (FBufList.size() <= 1) {
                FAllSent = true;
                return;
            }
            FBufList.pop_front();
            continue;
        }
        // Several blocks waiting on a stream: hand them over in one call.
        // (TLS writes block by block: a record is made of the bytes of one call.)
        int32_t n = FType == SOCK_STREAM && FTlsPhase == tlsOff && FBufList.size() > 1 ? GatherSend(len)
                                                                                       : RawSend(p, len);
        if (n == 0) return;
        if (n < 0) {
            int err = WS(WSAGetLastError)();
            if (err == WSAECONNRESET || err == WSAENOTSOCK || err == WSAENOTCONN || err == WSAEINVAL ||
                err == WSAECONNABORTED) {
                FCloseInvoked = true;
                Close();
                DoSessionClosed(uint16_t(err));
                return;
            }
            if (err == WSAEWOULDBLOCK) return;
            ReportSocketError("TryToSend failed");
            return;
        }
        if (FBufList.empty()) return;
        for (int32_t left = n; left > 0 && !FBufList.empty();) {
            left -= FBufList.front()->Remove(left);
            if (left > 0) {
                if (FBufList.size() <= 1) break;
                FBufList.pop_front();
            }
        }
        if (n < len) return;
    }
}

int32_t TCustomWSocket::Send(const void* data, int32_t len) {
    return Guarded([&]() -> int32_t {
        if (FState != wsConnected) {
            WS(WSASetLastError)(WSAENOTCONN);
            ReportSocketError("Send");
            return -1;
        }
        FAllSent = false;
        int32_t result = 0;
        if (len > 0) {
            BufferSendData(data, len);
            result = len;
        }
        TryToSend();
        // Everything went out at once: OnDataSent still comes from the message loop.
        if (FAllSent && FHSocket != INVALID_SOCKET)
            PostMessageA(FWindowHandle, WM_SOCKET_SELECT, WPARAM(uint32_t(FHSocket)), WSAMAKESELECTREPLY(FD_WRITE, 0));
        return result;
    });
}

int32_t TCustomWSocket::SendStr(const std::string& str) {
    if (str.empty()) return 0;
    return Send(str.data(), int32_t(str.size()));
}

int32_t TCustomWSocket::SendTo(const sockaddr_in& dest, int destLen, const void* data, int32_t len) {
    return Guarded([&]() -> int32_t {
        int32_t n = WS(sendto)(FHSocket, static_cast<const char*>(data), len, FSendFlags,
                               reinterpret_cast<const sockaddr*>(&dest), destLen);
        if (n > 0) DoSendData(n);
        return n;
    });
}

void TCustomWSocket::Flush() {
    Guarded([&] {
        while (FHSocket != INVALID_SOCKET && !FAllSent) {
            TryToSend();
            PumpMessages();
            // The next FD_WRITE (or any other message) wakes the wait.
            if (FHSocket != INVALID_SOCKET && !FAllSent) WaitMessageTimeout(1000);
        }
    });
}

// ==== receiving ===============================================================================

int32_t TCustomWSocket::RawReceive(void* buffer, int32_t size, int flags) {
    if (FTlsPhase == tlsOpen) return TlsRead(buffer, size);
    return WS(recv)(FHSocket, static_cast<char*>(buffer), size, flags);
}

int32_t TCustomWSocket::RawReceiveFrom(SOCKET s, void* buffer, int32_t size, int flags, sockaddr_in& from,
                                       int& fromLen) {
    return WS(recvfrom)(s, static_cast<char*>(buffer), size, flags, reinterpret_cast<sockaddr*>(&from), &fromLen);
}

int32_t TCustomWSocket::Receive(void* buffer, int32_t bufferSize) {
    int32_t n = RawReceive(buffer, bufferSize, 0);
    if (n < 0)
        FLastError = WS(WSAGetLastError)();
    else
        FReadCount += n;
    return n;
}

int32_t TCustomWSocket::ReceiveFrom(void* buffer, int32_t bufferSize, sockaddr_in& from, int& fromLen) {
    int32_t n = RawReceiveFrom(FHSocket, buffer, bufferSize, 0, from, fromLen);
    if (n < 0)
        FLastError = WS(WSAGetLastError)();
    else
        FReadCount += n;
    return n;
}

std::string TCustomWSocket::ReceiveStr() {
    int32_t n = RcvdCount();
    if (n < 0) return std::string();
    if (n == 0) n = 255;
    std::string s(size_t(n), '\0');
    int32_t got = Receive(&s[0], n);
    s.resize(got > 0 ? size_t(got) : 0);
    return s;
}

int32_t TCustomWSocket::RcvdCount() {
    if (FTlsPhase == tlsOpen) {
        // What a Receive can take now: decrypted bytes, else received ones not yet decrypted.
        if (int pending = SSL_pending(FTls->Ssl.get())) return pending;
        if (FTls->HasInput()) return int32_t(FTls->InputEnd - FTls->InputAt);
    }
    winsock::u_long n = 0;
    if (WS(ioctlsocket)(FHSocket, long(FIONREAD), &n) == SOCKET_ERROR) {
        ReportSocketError("ioctlSocket");
        return -1;
    }
    return int32_t(n);
}

void TCustomWSocket::ReceivePending(uint16_t error, TWSocketOptions options) {
    char scratch[1024];
    for (;;) {
        FLastError = 0;
        try {
            if (!DoDataAvailable(error)) {
                // Nobody takes the data: read it and throw it away.
                if (RawReceive(scratch, sizeof scratch, 0) < 0) {
                    FLastError = WS(WSAGetLastError)();
                    if (FLastError == WSAEWOULDBLOCK) {
                        FLastError = 0;
                        break;
                    }
                }
            }
            if (options & wsoNoReceiveLoop) {
                // Decrypted bytes left unread would never be announced by the system.
                OfferTlsPending();
                break;
            }
            if (FLastError != 0) break;
            if (FHSocket == INVALID_SOCKET) break;  // a handler closed the socket
            if (TlsHasPending()) continue;
            winsock::u_long waiting = 0;
            if (WS(ioctlsocket)(FHSocket, long(FIONREAD), &waiting) == SOCKET_ERROR) {
                FLastError = WS(WSAGetLastError)();
                break;
            }
            if (waiting == 0) break;
        } catch (const TSocketGone&) {
            throw;
        } catch (...) {
            break;  // an exception of a handler ends the receive loop here
        }
    }
}

// ==== listening and accepting ================================================================

void TCustomWSocket::Listen() {
    Guarded([&] {
        const char* missing = !FPortAssigned    ? "listen: port not assigned"
                              : !FProtoAssigned ? "listen: protocol not assigned"
                              : !FAddrAssigned  ? "listen: address not assigned"
                                                : nullptr;
        if (missing) {
            WS(WSASetLastError)(WSAEINVAL);
            ReportSocketError(missing);
            return;
        }
        if (!OpenHandle(opListen)) return;
        const int on = -1;
        if (FType == SOCK_DGRAM && FReuseAddr &&
            WS(setsockopt)(FHSocket, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&on), sizeof on)) {
            ReportSocketError("setsockopt(SO_REUSEADDR)");
            return;
        }
        if (WS(bind)(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin)) {
            ReportSocketError("Bind");
            Close();
            return;
        }
        ChangeState(wsBound);
        if (FType == SOCK_DGRAM) {
            if (FMultiCast) {
                ip_mreq mreq{};
                mreq.imr_multiaddr.s_addr = WS(inet_addr)(FMultiCastAddrStr.c_str());
                mreq.imr_interface.s_addr = WS(htonl)(INADDR_ANY);
                if (WS(setsockopt)(FHSocket, IPPROTO_IP, IP_ADD_MEMBERSHIP, reinterpret_cast<char*>(&mreq),
                                        sizeof mreq)) {
                    ReportSocketError("setsockopt(IP MULTICAST)");
                    return;
                }
            }
            ChangeState(wsListening);
            ChangeState(wsConnected);
            DoSessionConnected(0);
        } else {
            if (WS(listen)(FHSocket, 5)) {
                ReportSocketError("Listen");
                return;
            }
            ChangeState(wsListening);
        }
        FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CLOSE;
        if (FHSocket != INVALID_SOCKET && WS(WSAAsyncSelect)(FHSocket, FWindowHandle, WM_SOCKET_SELECT, FSelectEvent))
            ReportSocketError("WSAASyncSelect");
    });
}

SOCKET TCustomWSocket::Accept() {
    return Guarded([&]() -> SOCKET {
        if (FState != wsListening) {
            WS(WSASetLastError)(WSAEINVAL);
            ReportSocketError("not a listening socket");
            return INVALID_SOCKET;
        }
        int len = sizeof FSin;
        FASocket = WS(accept)(FHSocket, reinterpret_cast<sockaddr*>(&FSin), &len);
        if (FASocket == INVALID_SOCKET) {
            ReportSocketError("Accept");
            return INVALID_SOCKET;
        }
        return FASocket;
    });
}

void TCustomWSocket::Dup(SOCKET newHSocket) {
    Guarded([&] {
        if (newHSocket == 0 || newHSocket == INVALID_SOCKET) {
            WS(WSASetLastError)(WSAEINVAL);
            ReportSocketError("Dup");
            return;
        }
        if (FState != wsClosed) {
            int rc = WS(closesocket)(FHSocket);
            FHSocket = INVALID_SOCKET;
            if (rc) {
                ReportSocketError("Dup (closesocket)");
                return;
            }
            ChangeState(wsClosed);
        }
        FHSocket = newHSocket;
        ApplyLinger();
        FSelectEvent = FD_READ | FD_WRITE | FD_CONNECT | FD_CLOSE;
        if (WS(WSAAsyncSelect)(FHSocket, FWindowHandle, WM_SOCKET_SELECT, FSelectEvent)) {
            ReportSocketError("WSAAsyncSelect");
            return;
        }
        if (FSslServerContext) {
            // Serving TLS: connected once the handshake is done.
            ChangeState(wsConnecting);
            BeginTls(true);
            return;
        }
        ChangeState(wsConnected);
    });
}

int TCustomWSocket::Pause() {
    FPaused = true;
    return WS(WSAAsyncSelect)(FHSocket, FWindowHandle, 0, 0);
}

int TCustomWSocket::Resume() {
    FPaused = false;
    const int result = WS(WSAAsyncSelect)(FHSocket, FWindowHandle, WM_SOCKET_SELECT, FSelectEvent);
    // Selecting again announces what waits in the system's buffer, but not the bytes a TLS
    // session took from it already: the FD_READ offering them may have come, and been
    // dropped, while paused.
    if (result == 0) OfferTlsPending();
    return result;
}

// Drains input until the peer closes; between passes it blocks in the message wait, and
// the FD_READ / FD_CLOSE notifications that end the wait also do the work.
void TCustomWSocket::WaitForClose() {
    Guarded([&] {
        while (FHSocket != INVALID_SOCKET && FState != wsClosed) {
            PumpMessages();
            if (FHSocket == INVALID_SOCKET || FState == wsClosed) break;
            winsock::u_long waiting = 0;
            if (WS(ioctlsocket)(FHSocket, long(FIONREAD), &waiting) == SOCKET_ERROR) break;
            if (waiting > 0) DoDataAvailable(0);
            if (FHSocket == INVALID_SOCKET) break;
            char probe;
            int32_t n = WS(recv)(FHSocket, &probe, 0, 0);
            if (n < 0) {
                FLastError = WS(WSAGetLastError)();
                if (FLastError != WSAEWOULDBLOCK) break;
            }
            PumpMessages();
            if (FHSocket != INVALID_SOCKET && FState != wsClosed) WaitMessageTimeout(1000);
        }
    });
}

// ==== addresses ===============================================================================

int TCustomWSocket::GetPeerName(sockaddr_in& name, int nameLen) {
    if (FState != wsConnected) return -1;
    return WS(getpeername)(FHSocket, reinterpret_cast<sockaddr*>(&name), &nameLen);
}

int TCustomWSocket::GetSockName(sockaddr_in& name, int& nameLen) {
    return WS(getsockname)(FHSocket, reinterpret_cast<sockaddr*>(&name), &nameLen);
}

std::string TCustomWSocket::PeerAddr() {
    if (FState != wsConnected) return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (WS(getpeername)(FHSocket, reinterpret_cast<sockaddr*>(&sin), &len)) {
        ReportSocketError("GetPeerName");
        return "error";
    }
    return WS(inet_ntoa)(sin.sin_addr);
}

std::string TCustomWSocket::PeerPort() {
    if (FState != wsConnected) return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (WS(getpeername)(FHSocket, reinterpret_cast<sockaddr*>(&sin), &len)) {
        ReportSocketError("GetPeerPort");
        return "error";
    }
    return IntToStr(WS(ntohs)(sin.sin_port));
}

std::string TCustomWSocket::GetLocalBoundPort() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (WS(getsockname)(FHSocket, reinterpret_cast<sockaddr*>(&sin), &len)) return "error";
    return IntToStr(WS(ntohs)(sin.sin_port));
}

std::string TCustomWSocket::GetLocalBoundAddr() {
    if (FState != wsBound && FState != wsConnected && FState != wsListening) return "error";
    sockaddr_in sin{};
    int len = sizeof sin;
    if (WS(getsockname)(FHSocket, reinterpret_cast<sockaddr*>(&sin), &len)) return "error";
    return WS(inet_ntoa)(sin.sin_addr);
}

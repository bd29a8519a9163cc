// WSocket core: construction, properties, the notification window, resolution, Connect,
// closing, notifications, lookups and error reporting of TCustomWSocket.
//
// Invariant: State() is wsClosed exactly when the object holds no handle, except after
// ReportSocketError met a reset (then the handle is gone and the state follows at once).
// OnSessionClosed fires at most once per connection, guarded by FCloseInvoked, which only
// ResetToDefaults clears.
//
// Every event is fired through a Do* operation that, after the handler returns, checks
// that the object still exists (CheckAlive); if a handler destroyed it, TSocketGone
// unwinds to the outermost entry (the window procedure or a public operation, each
// wrapped in Guarded), and nothing touches the freed object on the way.
//
// Sending, receiving, listening and the other operations are in WSocketIO.cpp; name
// resolution and the lookups in WSocketResolve.cpp.
#include "net/socket/WSocket.h"
#include "net/socket/WSocketBinding.h"
#include "net/socket/WSocketTls.h"

#include <cstring>

using namespace winsock;

namespace {

int32_t gSocketInstanceCount = 0;
const char* const kWindowClass = "XSocketWindowClass";

LRESULT SocketWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
    auto* obj = reinterpret_cast<TCustomWSocket*>(GetWindowLongA(wnd, 0));
    if (!obj) return DefWindowProcA(wnd, msg, wParam, lParam);
    TMessage m;
    m.Msg = msg;
    m.WParam = wParam;
    m.LParam = lParam;
    obj->WndProc(m);  // may destroy obj
    return m.Result;
}

}  // namespace

int32_t SocketInstanceCount() { return gSocketInstanceCount; }
bool WinsockLoaded() { return wsbinding::Loaded(); }

// ==== construction ============================================================================

TCustomWSocket::TCustomWSocket(TComponent* AOwner) : TComponent(AOwner) {
    AllocateSocketWindow();
    FBufSize = 1460;
    FMultiCastIpTTL = 1;
    ResetToDefaults();
    ++gSocketInstanceCount;
}

TCustomWSocket::~TCustomWSocket() {
    FDestroying = true;
    FLife->Alive = false;
    // The layers above are already gone, so no handler is called on the way out.
    OnSessionAvailable = nullptr;
    OnSessionConnected = nullptr;
    OnSessionClosed = nullptr;
    OnChangeState = nullptr;
    OnDataAvailable = nullptr;
    OnDataSent = nullptr;
    OnSendData = nullptr;
    OnDnsLookupDone = nullptr;
    OnError = nullptr;
    OnBgException = nullptr;
    try {
        CancelDnsLookup();
    } catch (...) {
    }
    try {
        if (FState != wsClosed) Close();
    } catch (...) {
    }
    if (FHSocket != INVALID_SOCKET) {  // closed through a reset path that kept no state
        try {
            WS(closesocket)(FHSocket);
        } catch (...) {
        }
        FHSocket = INVALID_SOCKET;
    }
    if (--gSocketInstanceCount < 1) {
        try {
            wsbinding::UnloadWinsock();
        } catch (...) {
        }
        gSocketInstanceCount = 0;
    }
    ClearSendQueue();
    DeallocateSocketWindow();
}

void TCustomWSocket::CheckAlive(const std::shared_ptr<TLife>& life) {
    if (!life->Alive) throw TSocketGone{};
}

void TCustomWSocket::AllocateSocketWindow() {
    WNDCLASSA cls;
    if (!GetClassInfoA(nullptr, kWindowClass, &cls)) {
        WNDCLASSA wc;
        wc.lpfnWndProc = SocketWindowProc;
        wc.cbWndExtra = sizeof(LONG_PTR);
        wc.lpszClassName = kWindowClass;
        if (!RegisterClassA(&wc) && !GetClassInfoA(nullptr, kWindowClass, &cls)) {
            FWindowHandle = nullptr;
            return;
        }
    }
    FWindowHandle = CreateWindowExA(WS_EX_TOOLWINDOW, kWindowClass, "", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                    nullptr, nullptr);
    if (FWindowHandle) SetWindowLongA(FWindowHandle, 0, reinterpret_cast<LONG_PTR>(this));
}

void TCustomWSocket::DeallocateSocketWindow() {
    if (!FWindowHandle) return;
    SetWindowLongA(FWindowHandle, 0, 0);
    DestroyWindow(FWindowHandle);
    FWindowHandle = nullptr;
}

void TCustomWSocket::ResetToDefaults() {
    std::memset(&FSin, 0, sizeof FSin);
    FSin.sin_family = AF_INET;
    FAddrFormat = AF_INET;
    FPortAssigned = false;
    FAddrAssigned = false;
    FAddrResolved = false;
    FPortResolved = false;
    FProtoResolved = false;
    FLocalPortResolved = false;
    FProtoAssigned = true;
    FProto = IPPROTO_TCP;
    FProtoStr = "tcp";
    FType = SOCK_STREAM;
    FLocalPortStr = "0";
    FLocalAddr = "0.0.0.0";
    FLingerOnOff = wsLingerOn;
    FLingerTimeout = 0;
    FHSocket = INVALID_SOCKET;
    FSelectEvent = 0;
    FState = wsClosed;
    FAllSent = true;
    FPaused = false;
    FReadCount = 0;
    FCloseInvoked = false;
    FFlushTimeout = 60;
}

// ==== properties ==============================================================================

void TCustomWSocket::AssignEndpointText(const char* name, const std::string& value, std::string& text,
                                        bool& assigned, bool& resolved) {
    std::string t = Trim(value);
    if (assigned && t == text) return;
    if (FState != wsClosed) {
        RaiseError(std::string("Cannot change ") + name + " if not closed");
        return;
    }
    text = t;
    assigned = !t.empty();
    resolved = false;
}

void TCustomWSocket::SetAddr(const std::string& value) {
    AssignEndpointText("Addr", value, FAddrStr, FAddrAssigned, FAddrResolved);
}

void TCustomWSocket::SetPort(const std::string& value) {
    AssignEndpointText("Port", value, FPortStr, FPortAssigned, FPortResolved);
}

void TCustomWSocket::SetProto(const std::string& value) {
    AssignEndpointText("Proto", value, FProtoStr, FProtoAssigned, FProtoResolved);
}

void TCustomWSocket::SetLocalPort(const std::string& value) {
    if (FState != wsClosed) {
        RaiseError("Cannot change LocalPort if not closed");
        return;
    }
    FLocalPortStr = value;
    FLocalPortResolved = false;
}

void TCustomWSocket::SetLocalAddr(const std::string& value) {
    if (FState != wsClosed) {
        RaiseError("Cannot change LocalAddr if not closed");
        return;
    }
    std::string text = value.empty() ? "0.0.0.0" : value;
    winsock::u_long a = WS(inet_addr)(text.c_str());
    if (a == INADDR_NONE) RaiseError("SetLocalAddr(): Invalid IP address");
    in_addr ia;
    ia.s_addr = a;
    FLocalAddr = WS(inet_ntoa)(ia);
}

TSocketSendFlags TCustomWSocket::SendFlags() {
    if (FSendFlags == 0) return wsSendNormal;
    if (FSendFlags == MSG_OOB) return wsSendUrgent;
    RaiseError("Invalid internal SendFlags");
    return wsSendNormal;
}

void TCustomWSocket::SetSendFlags(TSocketSendFlags v) {
    switch (v) {
        case wsSendNormal: FSendFlags = 0; break;
        case wsSendUrgent: FSendFlags = MSG_OOB; break;
        default: RaiseError("Invalid SendFlags");
    }
}

// ==== error reporting =========================================================================

void TCustomWSocket::RaiseError(const std::string& msg) {
    if (!OnError) throw ESocketException(msg);
    DoError();
}

void TCustomWSocket::RaiseErrorFmt(const std::string& msg) { RaiseError(msg); }

void TCustomWSocket::DoError() {
    if (!OnError) return;
    auto life = FLife;
    auto handler = OnError;
    handler(this);
    CheckAlive(life);
}

void TCustomWSocket::ReportSocketError(const std::string& funcName) {
    int code = WS(WSAGetLastError)();
    std::string msg = "Error " + IntToStr(code) + " in function " + funcName + "\r\n" + SocketErrorDesc(code);
    if (code == WSAECONNRESET || code == WSAENOTCONN) {
        EndTls(false);
        if (FHSocket != INVALID_SOCKET) WS(closesocket)(FHSocket);
        FHSocket = INVALID_SOCKET;
        if (FState != wsClosed) DoSessionClosed(uint16_t(code));
        ChangeState(wsClosed);
    }
    FLastError = code;
    RaiseError(msg);
}

void TCustomWSocket::HandleBgException(Exception& e) {
    bool canClose = true;
    if (OnBgException) {
        auto life = FLife;
        try {
            auto handler = OnBgException;
            handler(this, e, canClose);
        } catch (const TSocketGone&) {
            throw;
        } catch (...) {
        }
        CheckAlive(life);
    }
    if (canClose) {
        try {
            Abort();
        } catch (const TSocketGone&) {
            throw;
        } catch (...) {
        }
    }
}

// ==== events ==================================================================================

void TCustomWSocket::ChangeState(TSocketState newState) {
    TSocketState old = FState;
    FState = newState;
    DoChangeState(old, newState);
}

void TCustomWSocket::DoChangeState(TSocketState oldState, TSocketState newState) {
    if (!OnChangeState) return;
    auto life = FLife;
    auto handler = OnChangeState;
    handler(this, oldState, newState);
    CheckAlive(life);
}

bool TCustomWSocket::DoDataAvailable(uint16_t error) {
    if (!OnDataAvailable) return false;
    auto life = FLife;
    auto handler = OnDataAvailable;
    handler(this, error);
    CheckAlive(life);
    return true;
}

// The handler is called through a copy, so that it survives a handler that destroys the
// object (and with it the event member) while it runs.
#define ALBRIVO_FIRE(event, ...)        \
    do {                                \
        if (!event) return;             \
        auto life = FLife;              \
        auto handler = event;           \
        handler(this, __VA_ARGS__);     \
        CheckAlive(life);               \
    } while (0)

void TCustomWSocket::DoSessionAvailable(uint16_t error) { ALBRIVO_FIRE(OnSessionAvailable, error); }
void TCustomWSocket::DoSessionConnected(uint16_t error) { ALBRIVO_FIRE(OnSessionConnected, error); }
void TCustomWSocket::DoSessionClosed(uint16_t error) { ALBRIVO_FIRE(OnSessionClosed, error); }
void TCustomWSocket::DoDataSent(uint16_t error) { ALBRIVO_FIRE(OnDataSent, error); }
void TCustomWSocket::DoSendData(int32_t bytesSent) { ALBRIVO_FIRE(OnSendData, bytesSent); }
void TCustomWSocket::DoDnsLookupDone(uint16_t error) { ALBRIVO_FIRE(OnDnsLookupDone, error); }

#undef ALBRIVO_FIRE

// ==== the window procedure ====================================================================

void TCustomWSocket::WndProc(TMessage& msg) {
    Guarded([&] {
        try {
            switch (msg.Msg) {
                case WM_SOCKET_SELECT: HandleSelect(msg.WParam, msg.LParam); break;
                case WM_SOCKET_HOST_BY_NAME: HandleHostByName(msg.WParam, msg.LParam); break;
                case WM_SOCKET_HOST_BY_ADDR: HandleHostByAddr(msg.WParam, msg.LParam); break;
                case WM_SOCKET_CLOSE_DELAYED: Close(); break;
                case WM_SOCKET_RELEASE: {
                    FLife->Alive = false;  // set again by the destructor; unwinds below
                    delete this;
                    throw TSocketGone{};
                }
                case WM_SOCKET_TEST_EXCEPTION: throw ESocketException("Test exception in WSocket");
                default: msg.Result = DefWindowProcA(FWindowHandle, msg.Msg, msg.WParam, msg.LParam);
            }
        } catch (Exception& e) {
            HandleBgException(e);
        } catch (std::exception& e) {
            Exception wrapped(e.what());
            HandleBgException(wrapped);
        }
    });
}

// Winsock notification: the bits are handled in Winsock's order, each on its own; a
// handler that closes or replaces the socket ends the handling of this notification.
void TCustomWSocket::HandleSelect(WPARAM wParam, LPARAM lParam) {
    SOCKET s = SOCKET(uint32_t(wParam));
    if (s != FHSocket || FPaused) return;
    uint16_t event = WSAGETSELECTEVENT(lParam);
    uint16_t error = WSAGETSELECTERROR(lParam);
    // While a TLS handshake runs, every notification is its next step.
    if (FTlsPhase == tlsHandshake) {
        ContinueTlsHandshake(event);
        return;
    }
    // A TLS connection is connected only when its handshake is done.
    if ((event & (FD_CONNECT | FD_READ)) && FState == wsConnecting && FSslEnable && FTlsPhase == tlsOff &&
        error == 0) {
        BeginTls(false);
        return;
    }
    if (event & FD_CONNECT) {
        if (FState != wsConnected) {
            ChangeState(wsConnected);
            DoSessionConnected(error);
            if (error != 0 && FState != wsClosed) Close();
        }
        if (s != FHSocket) return;
    }
    if (event & FD_READ) {
        if (FState != wsConnected) {
            ChangeState(wsConnected);
            DoSessionConnected(error);
        }
        ReceivePending(error, FComponentOptions);
        if (s != FHSocket) return;
    }
    if (event & FD_WRITE) {
        TryToSend();
        if (FAllSent) DoDataSent(error);
        if (s != FHSocket) return;
    }
    if (event & FD_ACCEPT) {
        DoSessionAvailable(error);
        if (s != FHSocket) return;
    }
    if ((event & FD_CLOSE) && FState != wsConnecting) {
        ReceivePending(0, TWSocketOptions(FComponentOptions & ~wsoNoReceiveLoop));
        if (s != FHSocket) return;
        if (!FCloseInvoked) {
            FCloseInvoked = true;
            DoSessionClosed(TlsCloseError(error));
        }
        if (FState != wsClosed) Close();
    }
}

// ==== connecting ==============================================================================

// The step Connect and Listen share: the endpoint resolved, the send queue emptied and a
// handle of the endpoint's protocol made. False after the failure has been reported
// (RaiseError for the endpoint, ReportSocketError for the handle).
bool TCustomWSocket::OpenHandle(TOpenPurpose purpose) {
    try {
        ResolveRemote(purpose);
    } catch (const ESocketException& e) {
        RaiseError(e.Message());
        return false;
    }
    ClearSendQueue();
    FHSocket = WS(socket)(FAddrFormat, FType, FProto);
    if (FHSocket != INVALID_SOCKET) return true;
    ReportSocketError(purpose == opConnect ? "Connect (socket)" : "socket");
    return false;
}

void TCustomWSocket::Connect() {
    Guarded([&] {
        if (FHSocket != INVALID_SOCKET && FState != wsClosed) {
            RaiseError("Connect: Socket already in use");
            return;
        }
        if (!FPortAssigned) {
            RaiseError("Connect: No Port Specified");
            return;
        }
        if (!FAddrAssigned) {
            RaiseError("Connect: No IP Address Specified");
            return;
        }
        if (!FProtoAssigned) {
            RaiseError("Connect: No Protocol Specified");
            return;
        }
        FTlsFailure.clear();
        if (!OpenHandle(opConnect)) return;
        ChangeState(wsOpened);
        const int on = -1;
        const char* onp = reinterpret_cast<const char*>(&on);
        if (FType == SOCK_DGRAM) {
            BindLocal();
            if (FMultiCast && FMultiCastIpTTL != 1) {
                int ttl = FMultiCastIpTTL;
                if (WS(setsockopt)(FHSocket, IPPROTO_IP, IP_MULTICAST_TTL, reinterpret_cast<char*>(&ttl), sizeof ttl)) {
                    ReportSocketError("setsockopt(IP_MULTICAST_TTL)");
                    return;
                }
            }
            if (FSin.sin_addr.s_addr == INADDR_BROADCAST &&
                WS(setsockopt)(FHSocket, SOL_SOCKET, SO_BROADCAST, onp, sizeof on)) {
                ReportSocketError("setsockopt(SO_BROADCAST)");
                return;
            }
        } else {
            if (WS(setsockopt)(FHSocket, SOL_SOCKET, SO_REUSEADDR, onp, sizeof on)) {
                ReportSocketError("setsockopt(SO_REUSEADDR)");
                return;
            }
            if ((FComponentOptions & wsoTcpNoDelay) && WS(setsockopt)(FHSocket, IPPROTO_TCP, TCP_NODELAY, onp, sizeof on)) {
                ReportSocketError("setsockopt(IPPROTO_TCP, TCP_NODELAY)");
                return;
            }
            ApplyLinger();
            if (WS(setsockopt)(FHSocket, SOL_SOCKET, SO_KEEPALIVE, onp, sizeof on)) {
                ReportSocketError("setsockopt(SO_KEEPALIVE)");
                return;
            }
            if (FLocalPortNum != 0 || FLocalAddr != "0.0.0.0") BindLocal();
        }
        FSelectEvent = FD_READ | FD_WRITE | FD_ACCEPT | FD_CONNECT | FD_CLOSE;
        if (WS(WSAAsyncSelect)(FHSocket, FWindowHandle, WM_SOCKET_SELECT, FSelectEvent)) {
            ReportSocketError("WSAAsyncSelect");
            return;
        }
        if (FType == SOCK_DGRAM) {
            ChangeState(wsConnected);
            DoSessionConnected(0);
            return;
        }
        int rc = WS(connect)(FHSocket, reinterpret_cast<const sockaddr*>(&FSin), sizeof FSin);
        if (rc == 0 || WS(WSAGetLastError)() == WSAEWOULDBLOCK) {
            ChangeState(wsConnecting);
        } else {
            FLastError = WS(WSAGetLastError)();
            ReportSocketError("Connect");
        }
    });
}

void TCustomWSocket::BindLocal() {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = WS(htons)(FLocalPortNum);
    local.sin_addr.s_addr = WSocketResolveHost(FLocalAddr);
    if (WS(bind)(FHSocket, reinterpret_cast<const sockaddr*>(&local), sizeof local)) {
        RaiseErrorFmt("winsock.bind failed, error #" + IntToStr(WS(WSAGetLastError)()));
        return;
    }
    int len = sizeof local;
    if (WS(getsockname)(FHSocket, reinterpret_cast<sockaddr*>(&local), &len)) {
        RaiseErrorFmt("winsock.getsockname failed, error #" + IntToStr(WS(WSAGetLastError)()));
        return;
    }
    FLocalPortNum = WS(ntohs)(local.sin_port);
    FLocalPortStr = IntToStr(FLocalPortNum);
}

void TCustomWSocket::ApplyLinger() {
    if (FLingerOnOff == wsLingerNoSet) return;
    if (FHSocket == INVALID_SOCKET) {
        RaiseError("Cannot set linger option at this time");
        return;
    }
    linger lg{};
    lg.l_onoff = FLingerOnOff;
    lg.l_linger = uint16_t(FLingerTimeout);
    if (WS(setsockopt)(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg))
        ReportSocketError("setsockopt(SO_LINGER)");
}

// ==== closing =================================================================================

void TCustomWSocket::InternalClose(bool shut, uint16_t error) {
    if (FHSocket == INVALID_SOCKET) {
        if (FState != wsClosed) {
            ChangeState(wsClosed);
            ResetToDefaults();
        }
        return;
    }
    if (FState == wsClosed) return;
    EndTls(shut);
    if (shut) {
        Shutdown(1);
        // A graceful close delivers what the system already holds: lingering with a zero
        // time would reset the connection and drop the tail of the data.
        linger lg{};
        int len = sizeof lg;
        if (WS(getsockopt)(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<char*>(&lg), &len) == 0 &&
            lg.l_onoff && lg.l_linger == 0) {
            lg.l_onoff = 0;
            WS(setsockopt)(FHSocket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&lg), sizeof lg);
        }
    }
    for (;;) {
        if (WS(closesocket)(FHSocket) == 0) {
            FHSocket = INVALID_SOCKET;
            break;
        }
        int err = WS(WSAGetLastError)();
        if (err == WSAEWOULDBLOCK) {
            // A lingering close still has bytes on the way: keep the program responsive
            // and try again after a short wait in the message platform.
            PumpMessages();
            WaitMessageTimeout(20);
            continue;
        }
        FHSocket = INVALID_SOCKET;
        if (err == WSANOTINITIALISED) break;
        FLastError = err;
        ReportSocketError("Disconnect (closesocket)");
        return;
    }
    ChangeState(wsClosed);
    if (!FDestroying && !FCloseInvoked) {
        FCloseInvoked = true;
        DoSessionClosed(error);
    }
    try {
        ResetToDefaults();
    } catch (const TSocketGone&) {
        throw;
    } catch (...) {
    }
}

void TCustomWSocket::Close() {
    Guarded([&] { InternalClose(true, 0); });
}

void TCustomWSocket::CloseDelayed() { PostMessageA(FWindowHandle, WM_SOCKET_CLOSE_DELAYED, 0, 0); }

void TCustomWSocket::Release() { PostMessageA(FWindowHandle, WM_SOCKET_RELEASE, 0, 0); }

void TCustomWSocket::Abort() {
    Guarded([&] {
        CancelDnsLookup();
        ClearSendQueue();
        if (FState == wsConnected && FProto == IPPROTO_TCP) {
            FLingerOnOff = wsLingerOff;
            ApplyLinger();
        }
        InternalClose(false, 0);
    });
}

void TCustomWSocket::Shutdown(int how) {
    if (FHSocket != INVALID_SOCKET) WS(shutdown)(FHSocket, how);
}

// ==== message pumps ===========================================================================

void TCustomWSocket::PumpMessages() {
    if (FMultiThreaded)
        ProcessPendingMessages();
    else
        ProcessMessages();
}

void TCustomWSocket::ProcessPendingMessages() {
    auto life = FLife;
    while (life->Alive && ProcessOneMessage()) {
    }
    if (!life->Alive && life->Depth > 0) throw TSocketGone{};
}

bool TCustomWSocket::ProcessOneMessage() {
    MSG m;
    if (!PeekMessageA(&m, nullptr, 0, 0, PM_REMOVE)) return false;
    if (m.message == WM_QUIT) {
        FTerminated = true;
        return true;
    }
    TranslateMessage(&m);
    DispatchMessageA(&m);
    return true;
}

// WSocketTransport: the demo site's transport on the project's own message-driven sockets.
//
// A listening TWSocket reports each pending connection through OnSessionAvailable; the
// connection is accepted into a TWSocket of its own (Accept, then Dup) and given a
// TSiteSession. Everything runs on the thread that created the transport, inside its
// message loop (Run); Stop posts a message to that loop. Per connection:
//
//   reading   each OnDataAvailable reads what is there (one pass per notification) and
//             hands it to the session; while the session wants no input (its latency
//             before the first request, or a full input buffer) the socket is paused
//   sending   one piece of the session's pending bytes is queued with Send when the
//             socket's queue is empty, the next when OnDataSent says it drained; a
//             message to the transport's window continues a fast sender from the loop,
//             so one connection never keeps the thread from the others
//   timing    one timer of the transport's hidden window per connection (id = the
//             connection's id) stands for the session's deadline
//   TLS       with a context, each connection serves TLS: the socket runs the handshake
//             on its notifications before any data event; an answer sent whole ends
//             with the closing alert before the send side's shutdown, a cut one without
//   closing   a finished session is drained (send side shut, input read and dropped)
//             until the peer closes or the drain time passes. A peer that closes ends
//             the connection at once: the socket layer closes its side on FD_CLOSE
//
// Connection objects are never destroyed inside their own events: closing posts a
// message and the object is released from the loop afterwards.
#include "demo/SiteTransport.h"

#include "net/socket/WSocket.h"
#include "platform/messages/Messages.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>

namespace {

using TClock = std::chrono::steady_clock;

constexpr UINT WM_SITE_STOP = WM_USER + 100;     // Stop: leave the loop
constexpr UINT WM_SITE_RELEASE = WM_USER + 101;  // wParam: connection id to destroy
constexpr UINT WM_SITE_PUMP = WM_USER + 102;     // wParam: connection id to send more for

// At most this much is queued on a socket at a time.
constexpr size_t SendPieceBytes = 256 * 1024;

class TWSocketTransport : public TSiteTransport {
public:
    TWSocketTransport();
    ~TWSocketTransport() override;
    int Listen(const std::string& bindAddress, int port) override;
    void Run() override;
    void Stop() override;

private:
    struct TConn {
        std::unique_ptr<TWSocket> Sock;
        std::optional<TSiteSession> Session;
        bool Paused = false;
        bool Draining = false;
        bool Closing = false;
        TClock::time_point DrainEnd;
    };

    void WindowProc(TMessage& msg);
    void AcceptOne();
    void OnData(UINT_PTR id);
    void OnTimer(UINT_PTR id);
    void SendMore(UINT_PTR id, TConn& c);
    void Settle(UINT_PTR id, TConn& c);
    void StartDraining(UINT_PTR id, TConn& c);
    void ArmTimer(UINT_PTR id, TClock::time_point deadline);
    void CloseConn(UINT_PTR id, TConn& c);
    TConn* Find(UINT_PTR id);

    HWND FWindow = nullptr;
    std::unique_ptr<TWSocket> FListener;
    std::map<UINT_PTR, std::unique_ptr<TConn>> FConns;
    UINT_PTR FNextId = 0;
    std::atomic<bool> FStopped{false};
};

TWSocketTransport::TWSocketTransport() {
    FWindow = AllocateHWnd([this](TMessage& m) { WindowProc(m); });
}

TWSocketTransport::~TWSocketTransport() {
    FConns.clear();
    FListener.reset();
    DeallocateHWnd(FWindow);
}

int TWSocketTransport::Listen(const std::string& bindAddress, int port) {
    try {
        FListener = std::make_unique<TWSocket>(nullptr);
        FListener->SetProto("tcp");
        FListener->SetAddr(bindAddress);
        FListener->SetPort(std::to_string(port));
        FListener->OnSessionAvailable = [this](TObject*, uint16_t error) {
            if (error == 0) AcceptOne();
        };
        FListener->Listen();
        if (FListener->State() != wsListening) throw ESiteError("not listening");
        return std::stoi(FListener->GetLocalBoundPort());
    } catch (const std::exception& e) {
        FListener.reset();
        throw ESiteError("Cannot listen on " + bindAddress + ":" + std::to_string(port) + ": " +
                         e.what());
    }
}

void TWSocketTransport::Run() {
    MSG msg;
    while (!FStopped && GetMessageA(&msg, nullptr, 0, 0)) {
        TranslateMessage(&msg);
        DispatchMessageA(&msg);
    }
}

void TWSocketTransport::Stop() {
    FStopped = true;
    PostMessageA(FWindow, WM_SITE_STOP, 0, 0);
}

void TWSocketTransport::WindowProc(TMessage& msg) {
    if (msg.Msg == WM_SITE_RELEASE) {
        FConns.erase(msg.WParam);
    } else if (msg.Msg == WM_SITE_PUMP) {
        if (TConn* c = Find(msg.WParam)) {
            SendMore(msg.WParam, *c);
            Settle(msg.WParam, *c);
        }
    } else if (msg.Msg == WM_TIMER) {
        KillTimer(FWindow, msg.WParam);
        OnTimer(msg.WParam);
    }
    // WM_SITE_STOP only wakes the loop, which then sees FStopped.
}

TWSocketTransport::TConn* TWSocketTransport::Find(UINT_PTR id) {
    auto it = FConns.find(id);
    return it == FConns.end() || it->second->Closing ? nullptr : it->second.get();
}

void TWSocketTransport::AcceptOne() {
    SOCKET h = FListener->Accept();
    if (h == INVALID_SOCKET) return;
    // Heads and bodies go out as separate sends; answers must not wait for an ACK.
    int one = 1;
    winsock::setsockopt(h, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    const UINT_PTR id = ++FNextId;
    auto conn = std::make_unique<TConn>();
    conn->Session.emplace(Times, Handler, OnLog, TClock::now());
    TWSocket& s = *(conn->Sock = std::make_unique<TWSocket>(nullptr));
    // One read per notification: a paused connection must not be read in a loop.
    s.SetComponentOptions(wsoNoReceiveLoop);
    if (Tls) {
        s.SetSslServerContext(Tls);
        s.SetBufSize(16384);  // a TLS record per send block: full records, not 1460 bytes
    }
    // With a handler, socket failures are reported here instead of thrown into the loop.
    s.OnError = [this, id](TObject*) {
        if (TConn* c = Find(id)) CloseConn(id, *c);
    };
    s.OnDataAvailable = [this, id](TObject*, uint16_t) { OnData(id); };
    s.OnDataSent = [this, id](TObject*, uint16_t) {
        if (TConn* c = Find(id)) {
            SendMore(id, *c);
            Settle(id, *c);
        }
    };
    s.OnSessionClosed = [this, id](TObject*, uint16_t) {
        if (TConn* c = Find(id)) CloseConn(id, *c);
    };
    TConn& c = *conn;
    FConns[id] = std::move(conn);
    s.Dup(h);
    if (Find(id)) Settle(id, c);
}

void TWSocketTransport::OnData(UINT_PTR id) {
    TConn* c = Find(id);
    if (!c) return;
    // Always read what is there, even when the session wants no more: an unread
    // notification would only come back.
    std::string bytes = c->Sock->ReceiveStr();
    if (!c->Draining && !bytes.empty()) c->Session->Received(bytes.data(), bytes.size(), TClock::now());
    if (!Find(id)) return;
    SendMore(id, *c);
    Settle(id, *c);
}

void TWSocketTransport::OnTimer(UINT_PTR id) {
    TConn* c = Find(id);
    if (!c) return;
    auto now = TClock::now();
    if (c->Draining) {
        if (now >= c->DrainEnd)
            CloseConn(id, *c);
        else
            ArmTimer(id, c->DrainEnd);
        return;
    }
    c->Session->OnTime(now);
    SendMore(id, *c);
    Settle(id, *c);
}

void TWSocketTransport::SendMore(UINT_PTR id, TConn& c) {
    if (c.Draining || c.Closing || !c.Sock->AllSent()) return;  // OnDataSent comes back
    auto pending = c.Session->Pending();
    if (pending.second == 0) return;
    size_t n = std::min(pending.second, SendPieceBytes);
    if (c.Sock->Send(pending.first, int32_t(n)) < 0) {
        CloseConn(id, c);
        return;
    }
    c.Session->Sent(n, TClock::now());
    // Taken by the system at once: continue from the loop, after what else is queued.
    if (c.Sock->AllSent() && c.Session->Pending().second > 0)
        PostMessageA(FWindow, WM_SITE_PUMP, id, 0);
}

// Brings the socket in line with the session: closing, pausing or resuming input, timer.
void TWSocketTransport::Settle(UINT_PTR id, TConn& c) {
    if (c.Closing || c.Draining) return;
    if (c.Session->Finished()) {
        if (c.Sock->AllSent()) StartDraining(id, c);  // else OnDataSent brings us back
        return;
    }
    bool wants = c.Session->WantsInput();
    if (wants && c.Paused) {
        c.Paused = false;
        c.Sock->Resume();
    } else if (!wants && !c.Paused) {
        c.Paused = true;
        c.Sock->Pause();
    }
    ArmTimer(id, c.Session->Deadline());
}

void TWSocketTransport::StartDraining(UINT_PTR id, TConn& c) {
    c.Draining = true;
    c.DrainEnd = TClock::now() + std::chrono::milliseconds(DrainTimeoutMs);
    if (!c.Session->Cut()) c.Sock->SendCloseAlert();
    c.Sock->Shutdown(1);
    if (c.Paused) {
        c.Paused = false;
        c.Sock->Resume();  // the peer's close must be seen
    }
    ArmTimer(id, c.DrainEnd);
}

void TWSocketTransport::ArmTimer(UINT_PTR id, TClock::time_point deadline) {
    if (deadline == TClock::time_point::max()) {
        KillTimer(FWindow, id);
        return;
    }
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count() + 1;
    SetTimer(FWindow, id, UINT(std::clamp<int64_t>(ms, 1, 3600 * 1000)), nullptr);
}

void TWSocketTransport::CloseConn(UINT_PTR id, TConn& c) {
    c.Closing = true;
    KillTimer(FWindow, id);
    c.Sock->OnDataAvailable = nullptr;
    c.Sock->OnDataSent = nullptr;
    c.Sock->OnSessionClosed = nullptr;
    if (c.Sock->State() != wsClosed) c.Sock->Close();
    PostMessageA(FWindow, WM_SITE_RELEASE, id, 0);
}

}  // namespace

std::unique_ptr<TSiteTransport> NewWSocketTransport() {
    return std::make_unique<TWSocketTransport>();
}

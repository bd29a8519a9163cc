// WSocketTransport: the demo site's transport on the project's own message-driven sockets.
//
// A listening TWSocket reports each pending connection through OnSessionAvailable; the
// connection is accepted into a TWSocket of its own (Accept, then Dup) in line mode, so
// the request head arrives one line per OnDataAvailable. After the empty line ending the
// head, line mode is switched off for the body, if any. The answer is queued with Send;
// trickle pieces are spaced by timers of the transport's hidden window. When the queue is
// drained the connection is closed gracefully. Everything runs on the thread that created
// the transport, inside its message loop (Run); Stop posts a message to that loop.
//
// Connection objects are never destroyed inside their own events: closing posts a message
// and the object is released from the loop afterwards.
#include "demo/SiteTransport.h"

#include "net/socket/WSocket.h"
#include "platform/messages/Messages.h"

#include <atomic>
#include <map>
#include <optional>

namespace {

constexpr UINT WM_SITE_STOP = WM_USER + 100;     // Stop: leave the loop
constexpr UINT WM_SITE_RELEASE = WM_USER + 101;  // wParam: connection id to destroy

// Timer ids: a connection's id for its trickle pauses, the id with this bit for its idle
// limit (a client that connects and never finishes its request is dropped).
constexpr UINT_PTR IdleTimerBit = UINT_PTR(1) << (sizeof(UINT_PTR) * 8 - 1);
constexpr UINT IdleTimeoutMs = 15000;

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
        TRequestReader Reader;
        std::optional<TResponseSender> Sender;
        bool CloseWhenSent = false;
        bool Closing = false;
    };

    void WindowProc(TMessage& msg);
    void AcceptOne();
    void OnData(UINT_PTR id);
    void Answer(UINT_PTR id, TConn& c);
    void SendMore(UINT_PTR id, TConn& c);
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
    } else if (msg.Msg == WM_TIMER && (msg.WParam & IdleTimerBit)) {
        KillTimer(FWindow, msg.WParam);
        const UINT_PTR id = msg.WParam & ~IdleTimerBit;
        TConn* c = Find(id);
        if (c && !c->Sender) CloseConn(id, *c);  // still no complete request
    } else if (msg.Msg == WM_TIMER) {
        // A trickle pause ended.
        KillTimer(FWindow, msg.WParam);
        if (TConn* c = Find(msg.WParam)) {
            c->Sender->OpenPiece();
            SendMore(msg.WParam, *c);
        }
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
    const UINT_PTR id = ++FNextId;
    auto conn = std::make_unique<TConn>();
    TWSocket& s = *(conn->Sock = std::make_unique<TWSocket>(nullptr));
    s.SetLineMode(true);
    s.SetLineEnd("\n");
    s.SetLineLimit(int32_t(MaxRequestLineBytes) + 2);
    // With a handler, socket failures are reported here instead of thrown into the loop.
    s.OnError = [this, id](TObject*) {
        if (TConn* c = Find(id)) CloseConn(id, *c);
    };
    s.OnLineLimitExceeded = [this, id](TObject*, int32_t, bool& clearData) {
        clearData = true;
        if (TConn* c = Find(id)) CloseConn(id, *c);
    };
    s.OnDataAvailable = [this, id](TObject*, uint16_t) { OnData(id); };
    s.OnDataSent = [this, id](TObject*, uint16_t) {
        TConn* c = Find(id);
        if (c && c->CloseWhenSent) CloseConn(id, *c);
    };
    s.OnSessionClosed = [this, id](TObject*, uint16_t) {
        if (TConn* c = Find(id)) CloseConn(id, *c);
    };
    FConns[id] = std::move(conn);
    SetTimer(FWindow, id | IdleTimerBit, IdleTimeoutMs, nullptr);
    s.Dup(h);
}

void TWSocketTransport::OnData(UINT_PTR id) {
    TConn* c = Find(id);
    if (!c) return;
    TWSocket& s = *c->Sock;
    if (c->Sender) {
        s.ReceiveStr();  // after the answer started: read and drop
        return;
    }
    TRequestReader::TState st = c->Reader.State();
    if (!c->Reader.HeadComplete()) {
        std::string line = s.ReceiveStr();
        if (line.empty()) return;
        st = c->Reader.FeedLine(line);
        // The body, if any, is not made of lines; the socket re-delivers what it holds.
        if (st == TRequestReader::rsNeedMore && c->Reader.HeadComplete()) s.SetLineMode(false);
    } else {
        std::string bytes = s.ReceiveStr();
        size_t used = 0;
        st = c->Reader.FeedBody(bytes.data(), bytes.size(), &used);
    }
    if (st != TRequestReader::rsNeedMore) Answer(id, *c);
}

void TWSocketTransport::Answer(UINT_PTR id, TConn& c) {
    TSiteResponse response;
    if (c.Reader.State() == TRequestReader::rsDone && Handler)
        response = Handler(c.Reader.Request());
    else
        response = PlainErrorResponse(c.Reader.State() == TRequestReader::rsDone
                                          ? 500 : c.Reader.ErrorStatus());
    if (OnLog) OnLog(RequestLogLine(c.Reader.Request(), response));
    c.Sender.emplace(response);
    SendMore(id, c);
}

void TWSocketTransport::SendMore(UINT_PTR id, TConn& c) {
    TResponseSender& sender = *c.Sender;
    while (!sender.Done()) {
        if (sender.DelayMs() > 0) {
            SetTimer(FWindow, id, UINT(sender.DelayMs()), nullptr);
            return;
        }
        auto p = sender.Pending();
        if (c.Sock->Send(p.first, int32_t(p.second)) < 0) {
            CloseConn(id, c);
            return;
        }
        sender.Advance(p.second);
    }
    if (c.Sock->AllSent())
        CloseConn(id, c);
    else
        c.CloseWhenSent = true;
}

void TWSocketTransport::CloseConn(UINT_PTR id, TConn& c) {
    c.Closing = true;
    KillTimer(FWindow, id);
    KillTimer(FWindow, id | IdleTimerBit);
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

// HttpProt: the connection opened ahead of a request (see THttpCli::Preconnect).
//
// The spare socket is a TWSocket of its own whose events only keep its state: looked up
// and connecting, ready, or dead (a failure, a close, or bytes the server sent before it
// was asked anything). A request that fits it (same server, port, scheme and local
// address; no proxy; not a POST, whose body could not be sent twice) takes it over as its
// control socket instead of looking up and connecting, and goes on from the connect
// event, as a connect would. Should the server have closed it just as the request went
// out, with nothing of an answer received, the request connects afresh, once. One left
// idle for long is not trusted: a connection dropped on the way, without a close, would
// only show by the request's time-out.
#include "net/http/HttpProt.h"
#include "net/http/HttpUtils.h"

namespace {

// How long a connection opened ahead waits for its request, at most.
constexpr uint64_t SpareLifeMs = 30000;

}  // namespace

void THttpCli::Preconnect(const std::string& URL) {
    if (FState != httpIdle || !FProxy.empty()) return;
    const std::string foreign = httpwire::ForeignScheme(URL);
    if (!foreign.empty() && foreign != "https") return;
    std::string proto, user, pass, host, port, path;
    SplitUrl(URL, proto, user, pass, host, port, path);
    if (host.empty()) return;
    const bool tls = SameText(proto, "https");
    if (port.empty()) port = tls ? "443" : "80";
    if (FSpare && !FSpareDead && FSpareTls == tls && SameText(FSpareHost, host) && FSparePort == port) return;
    DropSpare();
    FSpare = std::make_unique<TWSocket>(this);
    FSpareHost = host;
    FSparePort = port;
    FSpareTls = tls;
    FSpareSince = GetTickCount64();
    TWSocket& s = *FSpare;
    s.SetMultiThreaded(FMultiThreaded);
    s.OnDnsLookupDone = [this](TObject*, uint16_t e) { SpareResolved(e); };
    s.OnSessionConnected = [this](TObject*, uint16_t e) {
        FSpareReady = e == 0;
        FSpareDead = e != 0;
    };
    s.OnSessionClosed = [this](TObject*, uint16_t) { FSpareDead = true; };
    s.OnDataAvailable = [this](TObject*, uint16_t) {
        // TLS records after the handshake (session tickets) give no bytes; anything else
        // before a request is not an answer to it.
        char bytes[256];
        if (!FSpare) return;
        int32_t n = FSpare->Receive(bytes, int32_t(sizeof bytes));
        if (n >= 0 || FSpare->LastError() != winsock::WSAEWOULDBLOCK) FSpareDead = true;
    };
    try {
        s.SetLocalAddr(FLocalAddr);
        s.DnsLookup(host);
    } catch (...) {
        FSpareDead = true;
    }
}

void THttpCli::SpareResolved(uint16_t error) {
    if (!FSpare) return;
    if (error != 0) {
        FSpareDead = true;
        return;
    }
    try {
        TWSocket& s = *FSpare;
        s.SetAddr(s.DnsResult());
        s.SetPort(FSparePort);
        s.SetProto("tcp");
        s.SetSslEnable(FSpareTls);
        s.SetSslHost(FSpareHost);
        s.Connect();
        FSpareConnecting = true;
    } catch (...) {
        FSpareDead = true;  // the request that comes connects as usual, and says why it cannot
    }
}

bool THttpCli::AdoptSpare() {
    if (!FSpare) return false;
    const bool fits = FSpareConnecting && !FSpareDead && GetTickCount64() - FSpareSince < SpareLifeMs &&
                      FRequestType != httpPOST && FProxy.empty() &&
                      FSpareTls == FTls && SameText(FSpareHost, FHostName) && FSparePort == FPort &&
                      FSpare->LocalAddr() == FLocalAddr;
    if (!fits) {
        DropSpare();
        return false;
    }
    const bool ready = FSpareReady;
    // The control socket is closed (StartRequest saw to it): the spare takes its place.
    DetachHandlers(*FCtrlSocket);
    FCtrlSocket = std::move(FSpare);
    DropSpare();
    AttachHandlers(*FCtrlSocket);
    FOnSpare = true;
    FDnsResult = FCtrlSocket->DnsResult();
    SetState(httpResolved);
    if (FReadyPosted) return true;
    // Connected already: the request goes on from the message loop, as after a connect;
    // otherwise the connect event still to come does it.
    if (ready) PostMessageA(FWindowHandle, WM_HTTPCLI_SPARE, FRequestSeq, 0);
    return true;
}

void THttpCli::DropSpare() {
    if (FSpare) {
        DetachHandlers(*FSpare);
        FSpare.reset();
    }
    FSpareConnecting = false;
    FSpareReady = false;
    FSpareDead = false;
}

bool THttpCli::RetryWithoutSpare() {
    if (!FOnSpare || FState != httpAwaitingHeader || FHeaderOpen || FHeaderLineCount > 0 || FStatusCode != 0)
        return false;
    FOnSpare = false;
    FConnected = false;
    FBrokenOff = false;
    FFailure = nullptr;
    PostMessageA(FWindowHandle, WM_HTTPCLI_OPEN, FRequestSeq, 0);
    return true;
}

// HttpProt: the component itself, the start of a request, the connection set-up, the
// request text, the three completion steps and the synchronous wait (see HttpProt.h).
// The response side lives in HttpProtResponse.cpp.
//
// Every handler the socket calls is wrapped so that an exception (a failing OnCommand,
// a SendStream that cannot be read, a socket refusing a setting) fails the request with
// that exception instead of vanishing in the socket's message loop and leaving the
// request running for ever.
#include "net/http/HttpProt.h"

namespace {

// Runs Body; an escaping exception fails the current request through Fail.
template <class TBody, class TFail>
void Shielded(TBody body, TFail fail) {
    try {
        body();
    } catch (...) {
        fail(std::current_exception());
    }
}

}  // namespace

const char* HttpRequestName(THttpRequest kind) {
    switch (kind) {
    case httpAbort: return "httpAbort";
    case httpGET: return "httpGET";
    case httpPOST: return "httpPOST";
    case httpHEAD: return "httpHEAD";
    }
    return "";
}

// ---- construction -------------------------------------------------------------------

THttpCli::THttpCli(TComponent* AOwner)
    : TComponent(AOwner), FRcvBuffer(new char[ReceiveBlock]) {
    FWindowHandle = AllocateWindow([this](TMessage& msg) { WndProc(msg); });
    FCtrlSocket = std::make_unique<TWSocket>(this);
    AttachHandlers(*FCtrlSocket);
}

void THttpCli::AttachHandlers(TWSocket& s) {
    s.OnSessionClosed = [this](TObject*, uint16_t e) { SocketSessionClosed(e); };
    s.OnDataAvailable = [this](TObject*, uint16_t e) { SocketDataAvailable(e); };
    s.OnSessionConnected = [this](TObject*, uint16_t e) { SocketSessionConnected(e); };
    s.OnDataSent = [this](TObject*, uint16_t e) { SocketDataSent(e); };
    s.OnDnsLookupDone = [this](TObject*, uint16_t e) { SocketDnsLookupDone(e); };
}

void THttpCli::DetachHandlers(TWSocket& s) {
    s.OnSessionClosed = nullptr;
    s.OnDataAvailable = nullptr;
    s.OnSessionConnected = nullptr;
    s.OnDataSent = nullptr;
    s.OnDnsLookupDone = nullptr;
}

THttpCli::~THttpCli() {
    // The socket fires OnSessionClosed while it is destroyed; the client is half gone by
    // then, so its handlers are detached first.
    DropSpare();
    if (FCtrlSocket) {
        DetachHandlers(*FCtrlSocket);
        FCtrlSocket.reset();
    }
    ReleaseWindow(FWindowHandle);
}

HWND THttpCli::AllocateWindow(std::function<void(TMessage&)> handler) {
    return AllocateHWnd(std::move(handler));
}

void THttpCli::ReleaseWindow(HWND wnd) {
    if (wnd) DeallocateHWnd(wnd);
}

void THttpCli::SetMultiThreaded(bool v) {
    FMultiThreaded = v;
    FCtrlSocket->SetMultiThreaded(v);
    if (FSpare) FSpare->SetMultiThreaded(v);
}

// ---- state and completion -----------------------------------------------------------

void THttpCli::SetState(THttpCliState state) {
    if (state == FState) return;
    FState = state;
    if (OnStateChange) OnStateChange(this);
    if (state == httpIdle) {
        LPARAM packed = (LPARAM(FRequestType) << 16) | FRequestDoneError;
        PostMessageA(FWindowHandle, WM_HTTPCLI_DONE, FRequestSeq, packed);
    }
}

// Several failure paths can reach this for one request (a refused connect also closes
// the socket, an empty error answer ends with its header and again with the close); only
// the first counts.
void THttpCli::SetReady() {
    if (FReadyPosted) return;
    FReadyPosted = true;
    PostMessageA(FWindowHandle, WM_HTTPCLI_READY, FRequestSeq, 0);
}

void THttpCli::WndProc(TMessage& msg) {
    const uint32_t seq = uint32_t(msg.WParam);
    switch (msg.Msg) {
    case WM_HTTPCLI_DONE:
        // Raised once per request, even when a newer request has started meanwhile; the
        // kind and error travel in the message because the fields now belong to it.
        if (seq == FLastDoneSeq) return;
        FLastDoneSeq = seq;
        if (OnRequestDone)
            OnRequestDone(this, THttpRequest((msg.LParam >> 16) & 0xFF), uint16_t(msg.LParam & 0xFFFF));
        return;
    case WM_HTTPCLI_READY:
        if (seq == FRequestSeq) SetState(httpIdle);  // a stale one must not end a newer request
        return;
    case WM_HTTPCLI_SPARE:
        if (seq == FRequestSeq && !FReadyPosted) SocketSessionConnected(0);
        return;
    case WM_HTTPCLI_OPEN:
        if (seq == FRequestSeq && !FReadyPosted)
            Shielded([&] { OpenConnection(); }, [&](std::exception_ptr e) { FailRequest(e); });
        return;
    default:
        msg.Result = DefWindowProcA(nullptr, msg.Msg, msg.WParam, msg.LParam);
    }
}

void THttpCli::Touch() { FLastActivity = GetTickCount64(); }

// ---- starting a request -------------------------------------------------------------

// No value that goes into the request text may carry a control byte: a CR or LF would
// let it add lines (headers, or a whole second request) of its own.
void THttpCli::CheckRequestValues() const {
    const std::pair<const char*, const std::string*> values[] = {
        {"URL", &FURL}, {"Proxy", &FProxy}, {"ProxyPort", &FProxyPort},
        {"Sender", &FSender}, {"Agent", &FAgent}, {"Accept", &FAccept},
        {"Reference", &FReference}, {"Cookie", &FCookie},
        {"ContentTypePost", &FContentTypePost}, {"ContentRangeBegin", &FContentRangeBegin},
        {"ContentRangeEnd", &FContentRangeEnd},
    };
    for (const auto& v : values)
        if (HasControlBytes(*v.second))
            throw EHttpException(std::string("Invalid character in ") + v.first, httperrBadCharacter);
}

// HTTP and HTTPS are spoken: an address meant for another protocol must not go out to
// port 80, and an https address never goes to a proxy, which would see it in clear. An
// address without a scheme counts as http.
void THttpCli::CheckScheme(const std::string& url) const {
    std::string scheme = httpwire::ForeignScheme(url);
    if (scheme.empty()) return;
    if (scheme != "https") throw EHttpException(SHttpUnsupportedProtocol + scheme, httperrUnsupportedProtocol);
    if (!FProxy.empty()) throw EHttpException(SHttpTlsThroughProxy, httperrUnsupportedProtocol);
}

void THttpCli::StartRequest(THttpRequest kind) {
    if (FState != httpIdle) throw EHttpException(SHttpBusy, httperrBusy);
    if (kind == httpPOST && !FSendStream) throw EHttpException(SHttpNothingToPost, httperrNothingToPost);
    CheckRequestValues();
    CheckScheme(FURL);

    // The socket is closed whenever the client is idle; should anything have left it
    // open, it is closed while the old request still counts as completed, so that its
    // close notification cannot touch the new one.
    if (FCtrlSocket->State() != wsClosed) FCtrlSocket->Abort();

    ++FRequestSeq;
    FReadyPosted = false;
    FRelocating = false;
    FClosingOnPurpose = false;
    FCloseAfterBlock = false;
    FBrokenOff = false;
    FOnSpare = false;
    FRelocationCount = 0;
    FFailure = nullptr;
    FPendingInput.clear();
    Touch();

    SetState(httpStarting);
    FRequestType = kind;
    ResetResponse();
    SplitRequestUrl();
    // From here on the request is running: whatever fails ends it instead of escaping
    // with the component left busy.
    Shielded([&] { OpenConnection(); }, [&](std::exception_ptr e) { FailRequest(e); });
}

void THttpCli::ResetResponse() {
    FRcvdHeader.Clear();
    FRequestDoneError = 0;
    FDocName.clear();
    FStatusCode = 0;
    FRcvdCount = 0;
    FSentCount = 0;
    FHeaderLineCount = 0;
    FBodyChunkCount = 0;
    FContentLength = -1;
    FContentType.clear();
    FAllowedToSend = false;
    FLocation = FURL;
}

// Request path, target host, connect host and port, document name.
void THttpCli::SplitRequestUrl() {
    std::string proto, user, pass, host, port, path;
    SplitUrl(FURL, proto, user, pass, host, port, path);
    FTls = SameText(proto, "https");
    FTargetHost = host;
    FDocName = path;
    if (!user.empty()) FUsername = user;
    if (!pass.empty()) FPassword = pass;
    if (FProxy.empty()) {
        // A query right after the host still needs the "/" of the request target.
        FPath = !path.empty() && path[0] == '?' ? "/" + path : path;
        FHostName = host;
        FPort = port.empty() ? DefaultPort() : port;
    } else {
        // Through a proxy the request line carries the absolute URL.
        FPath = (proto.empty() ? std::string("http://") : proto + "://") + host +
                (port.empty() ? "" : ":" + port) + path;
        std::string pProto, pUser, pPass, pHost, pPort, pPath;
        SplitUrl(FProxy, pProto, pUser, pPass, pHost, pPort, pPath);
        FHostName = pHost;
        FPort = pPort.empty() ? FProxyPort : pPort;
    }
    if (FPath.empty()) FPath = "/";

    // Document name: the last segment of the path without its query.
    std::string doc = FDocName.substr(0, FDocName.find('?'));
    if (doc.empty() || doc == "/") {
        doc = "document.htm";
    } else {
        if (doc.back() == '/') doc.pop_back();
        doc = doc.substr(doc.rfind('/') + 1).substr(0, 255);
        doc = doc.substr(0, doc.find('?'));
    }
    FDocName = doc;
}

// ---- connection ---------------------------------------------------------------------

void THttpCli::OpenConnection() {
    FDnsResult.clear();
    SetState(httpResolving);
    if (FReadyPosted) return;  // aborted by a state-change handler
    FOnSpare = false;
    if (AdoptSpare()) return;
    try {
        FCtrlSocket->SetLocalAddr(FLocalAddr);
        FCtrlSocket->DnsLookup(FHostName);
    } catch (const Exception& e) {
        FStatusCode = 404;
        FReasonPhrase = e.Message();
        FConnected = false;
        SetReady();
    }
}

void THttpCli::CloseConnection() {
    FConnected = false;
    FCtrlSocket->Close();
}

void THttpCli::SocketDnsLookupDone(uint16_t error) {
    if (FReadyPosted || FState == httpAborting) return;  // the request is already over
    Touch();
    if (error != 0) {
        FRequestDoneError = error;
        FStatusCode = 404;
        FReasonPhrase = "can't resolve hostname to IP address";
        ConnectionClosed(false);
        return;
    }
    Shielded([&] {
        FDnsResult = FCtrlSocket->DnsResult();
        SetState(httpResolved);
        if (FReadyPosted) return;
        TWSocket& s = *FCtrlSocket;
        s.SetAddr(FDnsResult);
        s.SetLocalAddr(FLocalAddr);
        s.SetPort(FPort);
        s.SetProto("tcp");
        s.SetSslEnable(FTls);
        s.SetSslHost(FTargetHost);
        try {
            s.Connect();
        } catch (const Exception&) {
            int32_t err = s.LastError();
            FRequestDoneError = uint16_t(err);
            FStatusCode = 404;
            FReasonPhrase = "can't connect: " + SocketErrorDesc(err) + " (Error #" + IntToStr(err) + ")";
            FClosingOnPurpose = true;
            s.Close();
            ConnectionClosed(false);
        }
    }, [&](std::exception_ptr e) { FailRequest(e); });
}

void THttpCli::SocketSessionConnected(uint16_t error) {
    if (FReadyPosted) return;
    Touch();
    if (error != 0) {
        FRequestDoneError = error;
        FStatusCode = 404;
        FReasonPhrase = SocketErrorDesc(error) + " (Error #" + IntToStr(error) + ")";
        // A TLS handshake that failed is the request's failure: nothing is fetched.
        const std::string& tlsFailure = FCtrlSocket->TlsFailure();
        if (!tlsFailure.empty()) {
            FReasonPhrase = tlsFailure;
            FFailure = std::make_exception_ptr(EHttpException(tlsFailure, httperrTls));
        }
        FClosingOnPurpose = true;
        ConnectionClosed(false);
        return;
    }
    Shielded([&] {
        FConnected = true;
        SetState(httpConnected);
        TriggerSessionConnected();
        if (FReadyPosted) return;
        FParser.Reset(FRequestType == httpHEAD);
        FStrayLine.clear();
        SetState(httpAwaitingHeader);
        if (FReadyPosted) return;
        switch (FRequestType) {
        case httpPOST:
            SendRequest("POST", "1.0");
            if (FReadyPosted) return;
            TriggerSendBegin();
            FAllowedToSend = true;
            SendBodyChunk();
            break;
        case httpHEAD:
            SendRequest("HEAD", "1.0");
            break;
        default:
            SendRequest("GET", "1.0");
            break;
        }
    }, [&](std::exception_ptr e) { FailRequest(e); });
}

// ---- request text -------------------------------------------------------------------

void THttpCli::WriteRequestLine(const std::string& line) {
    std::string s = line;
    if (OnCommand) OnCommand(this, s);
    FRequestBuffer += s;
    FRequestBuffer += "\r\n";
}

void THttpCli::SendRequest(const std::string& method, const std::string& version) {
    FRequestBuffer.clear();
    TriggerRequestHeaderBegin();
    WriteRequestLine(method + " " + FPath + " HTTP/" + version);
    if (!FSender.empty()) WriteRequestLine("From: " + FSender);
    if (!FAccept.empty()) WriteRequestLine("Accept: " + FAccept);
    if (!FReference.empty()) WriteRequestLine("Referer: " + FReference);
    if (method == "POST" && !FContentTypePost.empty()) WriteRequestLine("Content-Type: " + FContentTypePost);
    if (!FAgent.empty()) WriteRequestLine("User-Agent: " + FAgent);
    WriteRequestLine("Host: " + FTargetHost);
    if (FNoCache) WriteRequestLine("Pragma: no-cache");
    if (method == "POST") WriteRequestLine("Content-Length: " + IntToStr(FSendStream->Size()));
    if (FModifiedSince != 0) WriteRequestLine("If-Modified-Since: " + FormatHttpDate(FModifiedSince) + " GMT");
    if (!FUsername.empty())
        WriteRequestLine("Authorization: Basic " + EncodeText(encBase64, FUsername + ":" + FPassword));
    if (!FProxy.empty() && !FProxyUsername.empty())
        WriteRequestLine("Proxy-Authorization: Basic " +
                         EncodeText(encBase64, FProxyUsername + ":" + FProxyPassword));
    if (!FCookie.empty()) WriteRequestLine("Cookie: " + FCookie);
    if (!FContentRangeBegin.empty() || !FContentRangeEnd.empty()) {
        WriteRequestLine("Range: bytes=" + FContentRangeBegin + "-" + FContentRangeEnd);
        FContentRangeBegin.clear();  // a range applies to one request only
        FContentRangeEnd.clear();
    }
    FAcceptRanges.clear();
    TriggerRequestHeaderEnd();
    WriteRequestLine("");
    std::string request;
    request.swap(FRequestBuffer);
    if (FReadyPosted) return;  // an event handler aborted the request: nothing goes out
    if (FCtrlSocket->Send(request.data(), int32_t(request.size())) < 0)
        throw EHttpException(SHttpIncomplete, httperrIncomplete);
    Touch();
}

// ---- synchronous requests -----------------------------------------------------------

void THttpCli::Abort() {
    if (FState == httpIdle || FReadyPosted) return;
    SetState(httpAborting);
    FailRequest(std::make_exception_ptr(EHttpException(SHttpAborted, httperrAborted)));
}

void THttpCli::TimeOutRequest() {
    SetState(httpAborting);
    FailRequest(std::make_exception_ptr(EHttpException(
        "HTTP request timed out: nothing received or sent for " + IntToStr(FTimeout) + " ms",
        httperrTimeout)));
}

void THttpCli::RunRequest(THttpRequest kind) {
    StartRequest(kind);
    while (FState != httpIdle) {
        if (FMultiThreaded)
            FCtrlSocket->ProcessPendingMessages();
        else
            ProcessMessages();
        if (FState == httpIdle) break;
        if (FTimeout == 0) {
            WaitMessage();
            continue;
        }
        uint64_t idle = GetTickCount64() - FLastActivity;
        if (idle >= FTimeout) {
            if (!FReadyPosted) TimeOutRequest();
            // The ready message is queued now; the next pass handles it.
            continue;
        }
        WaitMessageTimeout(DWORD(FTimeout - idle));
    }
    if (FFailure) std::rethrow_exception(FFailure);
    if (FStatusCode >= 400) throw EHttpException(FReasonPhrase, uint16_t(FStatusCode));
}

// ---- triggers -----------------------------------------------------------------------

void THttpCli::TriggerCookie(const std::string& data, bool& accept) {
    if (OnCookie) OnCookie(this, data, accept);
}
void THttpCli::TriggerSessionConnected() { if (OnSessionConnected) OnSessionConnected(this); }
void THttpCli::TriggerRequestHeaderBegin() { if (OnRequestHeaderBegin) OnRequestHeaderBegin(this); }
void THttpCli::TriggerRequestHeaderEnd() { if (OnRequestHeaderEnd) OnRequestHeaderEnd(this); }
void THttpCli::TriggerHeaderBegin() {
    FHeaderOpen = true;
    if (OnHeaderBegin) OnHeaderBegin(this);
}
void THttpCli::TriggerHeaderEnd() {
    FHeaderOpen = false;
    if (OnHeaderEnd) OnHeaderEnd(this);
}
void THttpCli::TriggerDocBegin() { if (OnDocBegin) OnDocBegin(this); }
void THttpCli::TriggerDocData(const void* buffer, int len) { if (OnDocData) OnDocData(this, buffer, len); }
void THttpCli::TriggerDocEnd() { if (OnDocEnd) OnDocEnd(this); }
void THttpCli::TriggerSendBegin() { if (OnSendBegin) OnSendBegin(this); }
void THttpCli::TriggerSendData(const void* buffer, int len) { if (OnSendData) OnSendData(this, buffer, len); }
void THttpCli::TriggerSendEnd() { if (OnSendEnd) OnSendEnd(this); }

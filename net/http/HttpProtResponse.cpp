// HttpProtResponse: the response side of THttpCli: receiving, header lines, the body,
// relocation, the POST body and the end of the connection (see HttpProt.h).
//
// Bytes from the socket go to the response parser; its callbacks (the THttpResponseSink
// part of the client) update the response fields and raise the events. A response ends
// in one of three ways, each of which closes the control socket and posts the ready
// message exactly once: its framing says it is complete (FinishResponse), it fails
// (FailRequest: malformed data, time-out, an exception from a handler or RcvdStream), or
// the server closes (ConnectionClosed, which also notices a body cut short).
#include "net/http/HttpProt.h"

namespace {

constexpr size_t StrayLineLimit = 8192;

}  // namespace

// ---- receiving ----------------------------------------------------------------------

void THttpCli::SocketDataAvailable(uint16_t error) {
    try {
        if (FFeeding) {
            // A handler is pumping messages in the middle of a block: keep these bytes
            // for the outer call, which is still using the receive buffer.
            char more[8192];
            int32_t n = FCtrlSocket->Receive(more, sizeof more);
            if (n > 0) FPendingInput.append(more, size_t(n));
            return;
        }
        int32_t n = FCtrlSocket->Receive(FRcvBuffer.get(), int32_t(ReceiveBlock));
        if (n < 0 && FCtrlSocket->LastError() != winsock::WSAEWOULDBLOCK) FBrokenOff = true;
        if (FRequestType == httpAbort || n <= 0 || FReadyPosted) return;
        Touch();
        if (FState == httpAwaitingHeader || FState == httpAwaitingBody) {
            FeedResponse(FRcvBuffer.get(), size_t(n));
        } else {
            StrayData(FRcvBuffer.get(), size_t(n), error);
        }
        // An error status closes the connection, but only after the lines and the part
        // of the error page that came with it have been handled.
        if (FCloseAfterBlock && !FReadyPosted) {
            FClosingOnPurpose = true;
            FParser.Halt();
            CloseConnection();
            ConnectionClosed(false);
        }
    } catch (...) {
        FFeeding = false;
        FailRequest(std::current_exception());
    }
}

void THttpCli::FeedResponse(const char* data, size_t len) {
    FFeeding = true;
    bool ok = FParser.Feed(data, len);
    while (ok && !FPendingInput.empty()) {
        std::string more;
        more.swap(FPendingInput);
        ok = FParser.Feed(more.data(), more.size());
    }
    FFeeding = false;
    if (!ok && FParser.Error()) FailRequest(std::make_exception_ptr(*FParser.Error()));
}

// Lines that arrive while no request reads go to OnDataAvailable one by one.
void THttpCli::StrayData(const char* data, size_t len, uint16_t error) {
    FStrayLine.append(data, len);
    size_t lf;
    while ((lf = FStrayLine.find('\n')) != std::string::npos) {
        size_t end = lf > 0 && FStrayLine[lf - 1] == '\r' ? lf - 1 : lf;
        FLastResponse = FStrayLine.substr(0, end);
        FStrayLine.erase(0, lf + 1);
        if (OnDataAvailable) OnDataAvailable(this, error);
    }
    if (FStrayLine.size() > StrayLineLimit) FStrayLine.clear();
}

// ---- header -------------------------------------------------------------------------

void THttpCli::ResponseHeaderLine(const std::string& line, THttpLineKind kind, THttpField field,
                                  const std::string& value) {
    if (FHeaderLineCount == 0) TriggerHeaderBegin();
    ++FHeaderLineCount;
    FLastResponse = line;
    FRcvdHeader.Add(line);
    if (kind == THttpLineKind::Status) {
        FStatusCode = FParser.StatusCode();
        FReasonPhrase = FParser.ReasonPhrase();
    } else if (kind == THttpLineKind::Field) {
        switch (field) {
        case THttpField::Location:
            // An empty Location names no target; it is not followed.
            if (!Trim(value).empty()) {
                FLocationFlag = true;
                FLocationValue = Trim(value);
            }
            break;
        case THttpField::ContentLength:
            FContentLength = FParser.ContentLength();
            break;
        case THttpField::ContentRange: {
            // "bytes B-E/T": the bounds become the Range of the next request.
            size_t dash = value.find('-'), slash = value.find('/');
            FContentRangeBegin = dash != std::string::npos && dash > 6 ? value.substr(6, dash - 6) : "";
            FContentRangeEnd = dash != std::string::npos && slash != std::string::npos && slash > dash
                                   ? value.substr(dash + 1, slash - dash - 1) : "";
            break;
        }
        case THttpField::AcceptRanges:
            FAcceptRanges = value;
            break;
        case THttpField::ContentType:
            FContentType = LowerCase(value);
            break;
        case THttpField::WwwAuthenticate:
            FWwwAuthenticate.Add(value);
            break;
        case THttpField::SetCookie: {
            bool accept = true;  // what the handler leaves here is not used
            TriggerCookie(value, accept);
            break;
        }
        case THttpField::TransferEncoding:
        case THttpField::Other:
            break;
        }
    }
    if (OnHeaderData) OnHeaderData(this);
    if (FStatusCode >= 400) FCloseAfterBlock = true;
}

void THttpCli::ResponseNoHeader() {
    if (FHeaderLineCount == 0) TriggerHeaderBegin();
    ++FHeaderLineCount;
    if (FContentType.empty()) FContentType = "text/html";
    SetState(httpAwaitingBody);
    TriggerHeaderEnd();
}

void THttpCli::ResponseHeaderEnd() {
    FLastResponse.clear();
    // An empty document ends here, even when a Location came with it.
    if (FParser.ContentLength() == 0) {
        TriggerHeaderEnd();
        FinishResponse();
        return;
    }
    // An error answer is never followed, whatever it carries.
    if (FLocationFlag && FStatusCode < 400) {
        TriggerHeaderEnd();
        HeaderEndedWithLocation();
        return;
    }
    size_t dot = PosNth(".", FDocName, -1);
    if (dot > 0 && LowerCase(FDocName.substr(dot - 1)) == ".exe" && FContentType == "text/html")
        SetDocExt(FDocName, "htm");
    SetState(httpAwaitingBody);
    TriggerHeaderEnd();
}

// ---- body ---------------------------------------------------------------------------

void THttpCli::ResponseBody(const char* data, size_t len) {
    if (len == 0) return;
    if (FBodyChunkCount == 0) TriggerDocBegin();
    ++FBodyChunkCount;
    FRcvdCount += int64_t(len);
    FLastResponse.assign(data, len);
    if (FRcvdStream) FRcvdStream->WriteBuffer(data, int64_t(len));
    TriggerDocData(data, int(len));
}

void THttpCli::ResponseComplete() { FinishResponse(); }

// The document is complete: close (the server may keep the connection open) and finish.
void THttpCli::FinishResponse() {
    if (FReadyPosted) return;
    FParser.Halt();
    FClosingOnPurpose = true;
    CloseConnection();
    ConnectionClosed(false);  // in case the socket had nothing left to report
}

// ---- relocation ---------------------------------------------------------------------

void THttpCli::HeaderEndedWithLocation() {
    if (++FRelocationCount > MaxRelocations) {
        FailRequest(std::make_exception_ptr(EHttpException(SHttpTooManyRelocations, httperrTooManyRelocations)));
        return;
    }
    try {
        ResolveLocation(FLocationValue);
    } catch (const EHttpException&) {
        FailRequest(std::current_exception());
        return;
    }
    // Bytes after the header belong to the redirect's page and are dropped.
    FHeaderLineCount = 0;
    FBodyChunkCount = 0;
    FParser.Halt();
    FRelocating = true;
    FClosingOnPurpose = true;
    if (FCtrlSocket->State() != wsClosed) CloseConnection();
    if (FRelocating) {  // the socket had already reported its close
        FRelocating = false;
        Relocate();
    }
}

// Computes the next request from a Location value: connect host and port, target host,
// request path, TLS and Location. The value is read by the shared Location rules (a
// control byte fails the request) and resolved against the current address as RFC 3986
// resolves a reference ("#s" is the same document, dot segments go, "//host" keeps the
// scheme). Http may lead to https, never https to http; any other scheme fails.
void THttpCli::ResolveLocation(const std::string& value) {
    httpwire::TReference ref;
    switch (httpwire::ReadLocation(value, ref)) {
    case httpwire::lvInvalid:
        throw EHttpException("Invalid character in Location", httperrBadCharacter);
    case httpwire::lvUnsupportedScheme:
        if (ref.Scheme != "https")
            throw EHttpException(SHttpUnsupportedProtocol + ref.Scheme, httperrUnsupportedProtocol);
        break;
    case httpwire::lvFollow:
        break;
    }
    // A relative path whose first segment holds a ":" ("host:8080/x") is a path, as the
    // Location rules read it, not a scheme.
    std::string reference = Trim(value);
    if (httpwire::SchemeOf(reference).empty() && !ref.HasAuthority &&
        reference.find(':') < reference.find_first_of("/?#"))
        reference = "./" + reference;

    // Where the current request went.
    std::string host = FHostName, port = FPort, path = FPath;
    if (!FProxy.empty()) {
        std::string proto, u, p;
        SplitUrl(FPath, proto, u, p, host, port, path);
        if (path.empty()) path = "/";
    }
    const char* scheme = FTls ? "https" : "http";
    const std::string base = std::string(scheme) + "://" + host + (port.empty() ? "" : ":" + port) + path;

    // Where the next one goes. Credentials written into the target are not used.
    httpwire::SplitReference(httpwire::ResolveReference(base, reference, false), ref);
    if (FTls && ref.Scheme == "http") throw EHttpException(SHttpInsecureRedirect, httperrUnsupportedProtocol);
    std::string userInfo, hostPort, nHost, nPort;
    httpwire::SplitAuthority(ref.Authority, userInfo, hostPort);
    httpwire::SplitHostPortText(hostPort, nHost, nPort);
    if (nHost.empty()) throw EHttpException(SHttpUnsupportedProtocol + ref.Scheme, httperrUnsupportedProtocol);
    const bool tls = ref.Scheme == "https";
    if (tls && !FProxy.empty()) throw EHttpException(SHttpTlsThroughProxy, httperrUnsupportedProtocol);
    std::string nPath = !ref.Path.empty() && ref.Path[0] == '?' ? "/" + ref.Path : ref.Path;
    const bool emptyPath = nPath.empty();
    if (emptyPath) nPath = "/";

    FTls = tls;
    FTargetHost = nHost;
    if (FProxy.empty()) {
        FHostName = nHost;
        FPort = nPort.empty() ? DefaultPort() : nPort;
        FPath = nPath;
        FLocation = ref.Scheme + "://" + nHost + (emptyPath ? "" : nPath);
    } else {
        // The proxy needs the whole URL, port included.
        FLocation = "http://" + nHost + (nPort.empty() ? "" : ":" + nPort) + nPath;
        FPath = FLocation;
    }
}

void THttpCli::Relocate() {
    FConnected = false;
    FLocationFlag = false;
    FRelocating = false;
    FBrokenOff = false;
    FAllowedToSend = false;
    if (FRequestType == httpPOST) FRequestType = httpGET;  // the body is not sent again
    if (OnLocationChange) OnLocationChange(this);
    FRcvdHeader.Clear();
    PostMessageA(FWindowHandle, WM_HTTPCLI_OPEN, FRequestSeq, 0);
}

// ---- POST body ----------------------------------------------------------------------

void THttpCli::SocketDataSent(uint16_t) {
    if (FReadyPosted) return;
    Touch();
    try {
        SendBodyChunk();
    } catch (...) {
        FailRequest(std::current_exception());
    }
}

// One chunk per drained send queue, so a large body never piles up in memory.
void THttpCli::SendBodyChunk() {
    if (!FAllowedToSend || FReadyPosted) return;
    int64_t n = FSendStream->Read(FSendBuffer, int64_t(sizeof FSendBuffer));
    if (n <= 0) {
        FAllowedToSend = false;
        TriggerSendEnd();
        return;
    }
    FSentCount += n;
    TriggerSendData(FSendBuffer, int(n));
    FCtrlSocket->Send(FSendBuffer, int32_t(n));
}

// ---- end of the connection ----------------------------------------------------------

void THttpCli::SocketSessionClosed(uint16_t error) {
    if (FReadyPosted) return;
    if (error != 0) FBrokenOff = true;
    try {
        ConnectionClosed(!FClosingOnPurpose);
    } catch (...) {
        FailRequest(std::current_exception());
    }
}

void THttpCli::ConnectionClosed(bool peerClosed) {
    if (FReadyPosted) return;
    if (peerClosed && RetryWithoutSpare()) return;
    FConnected = false;
    if (FRelocating) {
        FRelocating = false;
        Relocate();
        return;
    }
    if (peerClosed && !FFailure) FailCutResponse();
    if (FHeaderOpen) {
        TriggerHeaderEnd();
        // The header never ended, but a Location had arrived: follow it.
        if (FLocationFlag && !FFailure && FStatusCode < 400) {
            HeaderEndedWithLocation();
            return;
        }
    }
    if (FBodyChunkCount > 0) TriggerDocEnd();
    SetReady();
}

// The server closed while the response was still due. A head that began but never ended,
// or a body cut short of its Content-Length or last chunk, is a failure, not a document;
// so is any response that the connection's reset (or, over TLS, a close without the
// closing alert) broke off, even one whose body was to end at the close.
void THttpCli::FailCutResponse() {
    if (FState != httpAwaitingHeader && FState != httpAwaitingBody) return;
    if (!FParser.Finish() && FParser.Error())
        FFailure = std::make_exception_ptr(*FParser.Error());
    else if (FBrokenOff)
        FFailure = std::make_exception_ptr(EHttpException(SHttpIncomplete, httperrIncomplete));
}

void THttpCli::FailRequest(std::exception_ptr failure) {
    if (FReadyPosted) return;
    if (!FFailure) FFailure = failure;
    FParser.Halt();
    FRelocating = false;
    FLocationFlag = false;
    FClosingOnPurpose = true;
    try {
        if (FCtrlSocket->State() != wsClosed) FCtrlSocket->Abort();
    } catch (...) {
        // Closing is all that is left to do; its own failure changes nothing.
    }
    try {
        ConnectionClosed(false);
    } catch (...) {
        SetReady();  // an end-of-document handler failed; the request ends all the same
    }
    SetReady();
}

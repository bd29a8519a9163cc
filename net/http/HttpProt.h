// HttpProt: THttpCli, the event-driven HTTP/1.0 client component, and what its users
// need with it (THttpRequest, EHttpException, the utility routines of HttpUtils.h).
//
// A request runs entirely on the thread that owns the component, driven by window
// messages: StartRequest splits the URL, the control socket looks up the host and
// connects, SendRequest writes the request, the response parser (HttpParser.h) turns the
// received bytes into header lines and body blocks, a Location header leads to a new
// request, and completion comes in three message steps posted to the client's own hidden
// window (ready -> state httpIdle -> OnRequestDone). RunRequest and Get start a request
// and pump messages until it is over, blocking in the message platform's wait between
// passes, and raise EHttpException for a failed one.
//
// Invariants: every request completes exactly once (its completion messages carry its
// sequence number; stale ones are ignored), the control socket is closed whenever the
// client is idle, no value containing a control byte ever reaches the request text,
// nothing is sent for an address or a Location whose scheme is neither http nor https,
// and nothing meant for https goes out in clear (not to a proxy, not after a Location
// that leads to http). After a step
// that raises an event (which may call Abort) the request is checked for being over
// before the next step touches the socket.
// Sources: HttpProt.cpp (component, request start, connection, request text,
// completion, synchronous wait) and HttpProtResponse.cpp (response, body, relocation,
// POST body, close).
#pragma once

#include "net/http/HttpException.h"
#include "net/http/HttpParser.h"
#include "net/http/HttpUtils.h"
#include "net/socket/WSocket.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/Classes.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>

enum THttpRequest : uint8_t { httpAbort, httpGET, httpPOST, httpHEAD };
// The value name of a request kind ("httpGET"), as the published event reports it.
const char* HttpRequestName(THttpRequest kind);

enum THttpCliState : uint8_t {
    httpIdle, httpStarting, httpConnected, httpResolving, httpResolved,
    httpAwaitingHeader, httpAwaitingBody, httpAborting
};

// The client's private messages. wParam: the request's sequence number; for
// WM_HTTPCLI_DONE lParam packs the request kind (bits 16..23) and the error (bits 0..15).
constexpr UINT WM_HTTPCLI_DONE = WM_USER + 1;   // raise OnRequestDone
constexpr UINT WM_HTTPCLI_READY = WM_USER + 2;  // the request is over: state httpIdle
constexpr UINT WM_HTTPCLI_OPEN = WM_USER + 3;   // connect for a relocation
constexpr UINT WM_HTTPCLI_SPARE = WM_USER + 4;  // go on on the connection opened ahead

using TOnCommand = std::function<void(TObject* Sender, std::string& S)>;
using TDocDataEvent = std::function<void(TObject* Sender, const void* Buffer, int Len)>;
using TCookieRcvdEvent = std::function<void(TObject* Sender, const std::string& Data, bool& Accept)>;
using THttpRequestDone = std::function<void(TObject* Sender, THttpRequest RqType, uint16_t Error)>;

class THttpCli : public TComponent, private THttpResponseSink {
public:
    static constexpr int MaxRelocations = 20;       // Location headers followed in a row
    static constexpr DWORD DefaultTimeout = 30000;  // ms without any byte received or sent
    static constexpr size_t ReceiveBlock = 65536;    // bytes taken from the socket per Receive

    explicit THttpCli(TComponent* AOwner);
    ~THttpCli() override;

    // ---- published properties ----
    const std::string& URL() const { return FURL; }
    void SetURL(const std::string& v) { FURL = v; }
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& v) { FLocalAddr = v; }
    const std::string& Proxy() const { return FProxy; }
    void SetProxy(const std::string& v) { FProxy = v; }
    const std::string& ProxyPort() const { return FProxyPort; }
    void SetProxyPort(const std::string& v) { FProxyPort = v; }
    const std::string& Sender() const { return FSender; }
    void SetSender(const std::string& v) { FSender = v; }
    const std::string& Agent() const { return FAgent; }
    void SetAgent(const std::string& v) { FAgent = v; }
    const std::string& Accept() const { return FAccept; }
    void SetAccept(const std::string& v) { FAccept = v; }
    const std::string& Reference() const { return FReference; }
    void SetReference(const std::string& v) { FReference = v; }
    const std::string& Username() const { return FUsername; }
    void SetUsername(const std::string& v) { FUsername = v; }
    const std::string& Password() const { return FPassword; }
    void SetPassword(const std::string& v) { FPassword = v; }
    const std::string& ProxyUsername() const { return FProxyUsername; }
    void SetProxyUsername(const std::string& v) { FProxyUsername = v; }
    const std::string& ProxyPassword() const { return FProxyPassword; }
    void SetProxyPassword(const std::string& v) { FProxyPassword = v; }
    bool NoCache() const { return FNoCache; }
    void SetNoCache(bool v) { FNoCache = v; }
    TDateTime ModifiedSince() const { return FModifiedSince; }
    void SetModifiedSince(TDateTime v) { FModifiedSince = v; }
    const std::string& Cookie() const { return FCookie; }
    void SetCookie(const std::string& v) { FCookie = v; }
    const std::string& ContentTypePost() const { return FContentTypePost; }
    void SetContentTypePost(const std::string& v) { FContentTypePost = v; }
    const std::string& ContentRangeBegin() const { return FContentRangeBegin; }
    void SetContentRangeBegin(const std::string& v) { FContentRangeBegin = v; }
    const std::string& ContentRangeEnd() const { return FContentRangeEnd; }
    void SetContentRangeEnd(const std::string& v) { FContentRangeEnd = v; }
    const std::string& AcceptRanges() const { return FAcceptRanges; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool v);
    // Inactivity bound of RunRequest / Get in milliseconds; 0 means none.
    DWORD Timeout() const { return FTimeout; }
    void SetTimeout(DWORD ms) { FTimeout = ms; }

    // ---- public properties ----
    TStream* RcvdStream() const { return FRcvdStream; }  // not owned
    void SetRcvdStream(TStream* s) { FRcvdStream = s; }
    TStream* SendStream() const { return FSendStream; }  // not owned
    void SetSendStream(TStream* s) { FSendStream = s; }
    int StatusCode() const { return FStatusCode; }
    const std::string& ReasonPhrase() const { return FReasonPhrase; }
    int64_t ContentLength() const { return FContentLength; }  // -1 when none was sent
    const std::string& ContentType() const { return FContentType; }  // lower case
    int64_t RcvdCount() const { return FRcvdCount; }
    int64_t SentCount() const { return FSentCount; }
    const std::string& DocName() const { return FDocName; }
    const std::string& Location() const { return FLocation; }
    const TStringList& RcvdHeader() const { return FRcvdHeader; }
    const TStringList& WwwAuthenticate() const { return FWwwAuthenticate; }
    const std::string& LastResponse() const { return FLastResponse; }
    THttpCliState State() const { return FState; }
    THttpRequest RequestType() const { return FRequestType; }
    bool Connected() const { return FConnected; }
    const std::string& DnsResult() const { return FDnsResult; }
    TWSocket* CtrlSocket() const { return FCtrlSocket.get(); }
    // Why the last request failed besides its status (time-out, too many relocations, a
    // malformed or cut-short response, a failing RcvdStream ...); null when it did not.
    std::exception_ptr Failure() const { return FFailure; }

    // ---- operations ----
    // Opens a connection to URL's server now (lookup, connect, and the TLS handshake for
    // https), while the client is idle, so that its next GET or HEAD to that server finds
    // it ready. Nothing is sent on it and no event is raised; a POST, a proxy, another
    // server or local address, or a connection the server closed meanwhile leave it
    // unused, and the request connects as usual. A request whose connection opened ahead
    // closes before any byte of an answer is made once more on a new connection.
    void Preconnect(const std::string& URL);
    // A connection opened ahead is connected (and past its handshake) and still usable.
    bool Preconnected() const { return FSpare && FSpareReady && !FSpareDead; }
    // Starts a request; its end is reported by OnRequestDone. Throws EHttpException
    // "HTTP component is busy" (1), "HTTP component has nothing to post" (2),
    // "Invalid character in <property>" (12) or, for a URL whose scheme is neither http
    // nor https, "Unsupported protocol: <scheme>" (14) (also for https with a Proxy), and
    // then changes nothing. A Location that leads to another scheme, or from https to
    // http, fails the request with code 14. An https address is fetched over TLS, verified
    // as platform/tls says; a failed handshake fails the request with code 15 and the
    // text of the failure ("Certificate of <host> not accepted: <reason>").
    void StartRequest(THttpRequest kind);
    // StartRequest, then pumps messages until the request is over. Rethrows Failure();
    // else raises EHttpException(ReasonPhrase, StatusCode) for a status of 400 or more.
    void RunRequest(THttpRequest kind);
    void Get() { RunRequest(httpGET); }
    // Ends the running request at once: the socket is aborted and the request completes
    // with Failure() EHttpException "HTTP request aborted" (13), which a waiting Get /
    // RunRequest raises as soon as it has handled the completion. No effect when idle or
    // when the request has already completed. Safe from any handler that runs while Get
    // pumps messages (a timer, a button, the client's own events).
    void Abort();

    // ---- events (empty: skipped) ----
    TNotifyEvent OnTrace;  // never raised
    TNotifyEvent OnSessionConnected;
    TNotifyEvent OnHeaderData;
    TOnCommand OnCommand;
    TNotifyEvent OnHeaderBegin;
    TNotifyEvent OnHeaderEnd;
    TNotifyEvent OnRequestHeaderBegin;
    TNotifyEvent OnRequestHeaderEnd;
    TNotifyEvent OnDocBegin;
    TDocDataEvent OnDocData;
    TNotifyEvent OnDocEnd;
    TNotifyEvent OnSendBegin;
    TDocDataEvent OnSendData;
    TNotifyEvent OnSendEnd;
    TNotifyEvent OnStateChange;
    THttpRequestDone OnRequestDone;
    TNotifyEvent OnLocationChange;
    TCookieRcvdEvent OnCookie;
    TDataAvailable OnDataAvailable;  // lines that arrive while no request is reading

protected:
    virtual void WriteRequestLine(const std::string& line);
    virtual void OpenConnection();
    virtual void CloseConnection();
    virtual void ResetResponse();
    virtual void Relocate();
    virtual void TriggerCookie(const std::string& data, bool& accept);
    virtual void TriggerSessionConnected();
    virtual void TriggerRequestHeaderBegin();
    virtual void TriggerRequestHeaderEnd();
    virtual void TriggerHeaderBegin();
    virtual void TriggerHeaderEnd();
    virtual void TriggerDocBegin();
    virtual void TriggerDocData(const void* buffer, int len);
    virtual void TriggerDocEnd();
    virtual void TriggerSendBegin();
    virtual void TriggerSendData(const void* buffer, int len);
    virtual void TriggerSendEnd();
    virtual HWND AllocateWindow(std::function<void(TMessage&)> handler);
    virtual void ReleaseWindow(HWND wnd);

    void SetState(THttpCliState state);
    void SetReady();
    void SendRequest(const std::string& method, const std::string& version);

private:
    // ---- HttpProt.cpp ----
    void WndProc(TMessage& msg);
    void CheckRequestValues() const;
    void CheckScheme(const std::string& url) const;
    const char* DefaultPort() const { return FTls ? "443" : "80"; }
    void SplitRequestUrl();
    void SocketDnsLookupDone(uint16_t error);
    void SocketSessionConnected(uint16_t error);
    void Touch();  // something was received or sent: restart the inactivity clock
    void TimeOutRequest();
    void AttachHandlers(TWSocket& s);
    static void DetachHandlers(TWSocket& s);

    // ---- HttpProtPreconnect.cpp ----
    void SpareResolved(uint16_t error);
    // Takes the connection opened ahead for the request just started, when it fits; true
    // when the request goes on on it.
    bool AdoptSpare();
    void DropSpare();
    // The adopted connection closed before any byte came: the request connects afresh.
    bool RetryWithoutSpare();

    // ---- HttpProtResponse.cpp ----
    void SocketDataAvailable(uint16_t error);
    void SocketDataSent(uint16_t error);
    void SocketSessionClosed(uint16_t error);
    void FeedResponse(const char* data, size_t len);
    void StrayData(const char* data, size_t len, uint16_t error);
    void ConnectionClosed(bool peerClosed);
    void FailCutResponse();
    void HeaderEndedWithLocation();
    // Throws EHttpException 12 or 14 for a Location that is not followed.
    void ResolveLocation(const std::string& value);
    void FinishResponse();
    void SendBodyChunk();
    void FailRequest(std::exception_ptr failure);
    // THttpResponseSink
    void ResponseHeaderLine(const std::string& line, THttpLineKind kind, THttpField field,
                            const std::string& value) override;
    void ResponseNoHeader() override;
    void ResponseHeaderEnd() override;
    void ResponseBody(const char* data, size_t len) override;
    void ResponseComplete() override;

    std::unique_ptr<TWSocket> FCtrlSocket;
    // A connection opened ahead (Preconnect) and what it is to.
    std::unique_ptr<TWSocket> FSpare;
    std::string FSpareHost, FSparePort;
    bool FSpareTls = false;
    bool FSpareConnecting = false;  // looked up; connect (and handshake) under way or done
    bool FSpareReady = false;       // connected, handshake done
    bool FSpareDead = false;        // failed, closed, or spoke before it was asked
    bool FOnSpare = false;          // the current request went out on the adopted spare
    uint64_t FSpareSince = 0;       // tick of the Preconnect
    HWND FWindowHandle = nullptr;
    bool FMultiThreaded = false;
    THttpCliState FState = httpIdle;
    std::string FLocalAddr = "0.0.0.0";
    std::string FHostName;    // looked up and connected: the URL's host or the proxy's
    std::string FTargetHost;  // the "Host: " value
    std::string FPort;        // connected port
    bool FTls = false;        // the current address is https: TLS on the connection
    std::string FProxy;
    std::string FProxyPort = "80";
    std::string FUsername, FPassword;
    std::string FProxyUsername, FProxyPassword;
    std::string FLocation;
    bool FConnected = false;
    std::string FDnsResult;
    THttpRequest FRequestType = httpAbort;
    int FBodyChunkCount = 0;
    int FHeaderLineCount = 0;
    std::string FLastResponse;
    bool FAllowedToSend = false;
    std::string FURL;
    std::string FPath;        // request-target of the request line
    std::string FDocName;
    std::string FSender, FReference;
    std::string FAgent = "Mozilla/3.0 (compatible)";
    std::string FAccept = "image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, */*";
    TDateTime FModifiedSince = 0;
    bool FNoCache = false;
    int FStatusCode = 0;
    std::string FReasonPhrase;
    int64_t FContentLength = -1;
    std::string FContentType;
    TStringList FWwwAuthenticate;
    std::string FContentTypePost = "application/x-www-form-urlencoded";
    std::string FContentRangeBegin, FContentRangeEnd;
    std::string FAcceptRanges;
    std::string FCookie;
    bool FLocationFlag = false;
    std::string FLocationValue;  // the value of the last Location line
    bool FHeaderOpen = false;
    TStringList FRcvdHeader;
    TStream* FRcvdStream = nullptr;
    int64_t FRcvdCount = 0;
    int64_t FSentCount = 0;
    TStream* FSendStream = nullptr;
    std::string FRequestBuffer;
    uint16_t FRequestDoneError = 0;
    DWORD FTimeout = DefaultTimeout;

    // Completion and connection bookkeeping.
    uint32_t FRequestSeq = 0;      // sequence number of the current request
    uint32_t FLastDoneSeq = 0;     // the last request whose OnRequestDone was raised
    bool FReadyPosted = true;      // the current request has completed
    bool FRelocating = false;      // the close now in progress leads to Relocate
    bool FClosingOnPurpose = false;  // the client itself closes (end, error, failure)
    bool FCloseAfterBlock = false;   // status >= 400: close once the current block is read
    bool FBrokenOff = false;         // the connection ended in a reset or a receive error
    int FRelocationCount = 0;
    uint64_t FLastActivity = 0;
    std::exception_ptr FFailure;

    // Receiving.
    THttpResponseParser FParser{*this};
    bool FFeeding = false;         // inside FeedResponse (a handler may pump messages)
    std::string FPendingInput;     // bytes received while FFeeding
    std::string FStrayLine;        // partial line received while no request reads
    std::unique_ptr<char[]> FRcvBuffer;
    char FSendBuffer[8193];
};

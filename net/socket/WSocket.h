// WSocket: the asynchronous TCP/UDP socket component, driven by window messages.
//
// Every socket object owns a hidden window of class "XSocketWindowClass". The Winsock
// layer (platform/winsock) reports connection, readability, writability, acceptance and
// closure to that window as messages, and name lookups complete there too; the object
// turns them into state changes and events (OnX members, an empty one is skipped). All of
// it runs on the thread that created the object; nothing here blocks that thread except
// the explicit waits (Flush, WaitForClose, WaitForFlag), which pump messages and sleep in
// the message platform's wait between passes.
//
// Class chain (the published class is the last):
//   TCustomWSocket      states, resolution, connect/close, notifications, send queue,
//                       receiving, listening/accepting, UDP, Dup, Pause/Resume
//   TCustomSocksWSocket SOCKS 4/4A/5 client (WSocketSocks.cpp)
//   TCustomLineWSocket  line mode (WSocketLine.cpp)
//   TCustomSyncWSocket  WaitForFlag / RunAndWait (WSocketLine.cpp)
//   TWSocket            publishes everything; no behaviour of its own
//
// Errors: a failing operation calls RaiseError; without an OnError handler that throws
// ESocketException, with one it sets LastError, fires OnError and carries on. Winsock
// failures read "Error <code> in function <name>" CR LF <SocketErrorDesc(code)>.
//
// A socket object may be destroyed inside any of its own event handlers: the code that
// fired the event notices and unwinds without touching the object again.
//
// Units: WSocket.cpp (core), WSocketResolve.cpp (name resolution, lookups), WSocketIO.cpp
// (sending, receiving, listening), WSocketTls.cpp (TLS on a connection), WSocketLine.cpp
// (line mode, waiting), WSocketSocks.cpp (SOCKS), WSocketBinding.cpp (binding, error texts).
#pragma once

#include "net/socket/WSockBuf.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/Classes.h"
#include "platform/rtl/SysUtils.h"
#include "platform/tls/Tls.h"
#include "platform/winsock/Winsock.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

using winsock::SOCKET;
using winsock::INVALID_SOCKET;

// ---- messages of the notification window -----------------------------------------------

constexpr UINT WM_SOCKET_SELECT = WM_USER + 1;          // socket notification
constexpr UINT WM_SOCKET_HOST_BY_NAME = WM_USER + 2;    // forward lookup done
constexpr UINT WM_SOCKET_HOST_BY_ADDR = WM_USER + 3;    // reverse lookup done
constexpr UINT WM_SOCKET_CLOSE_DELAYED = WM_USER + 4;   // CloseDelayed: Close now
constexpr UINT WM_SOCKET_RELEASE = WM_USER + 5;         // Release: destroy the object
constexpr UINT WM_SOCKET_TEST_EXCEPTION = WM_USER + 6;  // raises "Test exception in WSocket"
constexpr UINT WM_SOCKET_LINE_DATA = WM_USER + 20;      // re-deliver after a LineMode change

// ---- types ---------------------------------------------------------------------------

enum TSocketState : uint8_t {
    wsInvalidState, wsOpened, wsBound, wsConnecting, wsConnected, wsAccepting, wsListening, wsClosed
};

// Options are bits of one byte: ComponentOptions() & wsoTcpNoDelay.
enum TWSocketOption : uint8_t {
    wsoNoReceiveLoop = 0x01,  // one receive pass per FD_READ
    wsoTcpNoDelay = 0x02,     // Connect sets TCP_NODELAY
};
using TWSocketOptions = uint8_t;

enum TSocketSendFlags : uint8_t { wsSendNormal, wsSendUrgent };
enum TSocketLingerOnOff : uint8_t { wsLingerOff, wsLingerOn, wsLingerNoSet };

enum TSocksState : uint8_t { SocksIdle, SocksMethods, SocksAuthenticating, SocksConnecting };
enum TSocksAuthentication : uint8_t { socksNoAuthentication, socksAuthenticateUsercode };
enum TSocksAuthState : uint8_t { socksAuthStart, socksAuthSuccess, socksAuthFailure, socksAuthNotRequired };

// Events; Sender is always the socket. Error is a Winsock code, 0 = success.
using TDataAvailable = std::function<void(TObject* Sender, uint16_t Error)>;
using TDataSent = std::function<void(TObject* Sender, uint16_t Error)>;
using TSessionClosed = std::function<void(TObject* Sender, uint16_t Error)>;
using TSessionAvailable = std::function<void(TObject* Sender, uint16_t Error)>;
using TSessionConnected = std::function<void(TObject* Sender, uint16_t Error)>;
using TDnsLookupDone = std::function<void(TObject* Sender, uint16_t Error)>;
using TSendData = std::function<void(TObject* Sender, int32_t BytesSent)>;
using TChangeState = std::function<void(TObject* Sender, TSocketState OldState, TSocketState NewState)>;
using TBgExceptionEvent = std::function<void(TObject* Sender, Exception& E, bool& CanClose)>;
using TLineLimitEvent = std::function<void(TObject* Sender, int32_t RcvdLength, bool& ClearData)>;
using TSocksErrorEvent = std::function<void(TObject* Sender, int32_t Error, const std::string& Msg)>;
using TSocksAuthStateEvent = std::function<void(TObject* Sender, TSocksAuthState AuthState)>;

// Raised by a failing socket operation when no OnError handler is set.
class ESocketException : public Exception { using Exception::Exception; };

// ---- unit routines (raise ESocketException, never fire OnError) ---------------------------

// The English text of a Winsock error number; "Not a WinSock error" for others.
std::string SocketErrorDesc(int32_t errCode);
// IPv4 address in network order of a dotted address or a host name (blocking lookup).
uint32_t WSocketResolveHost(const std::string& inAddr);
// Port number in host order of a decimal text or a service name.
uint16_t WSocketResolvePort(const std::string& port, const std::string& proto);
// Protocol number of a decimal text or a protocol name.
int32_t WSocketResolveProto(const std::string& proto);
bool IsDottedIP(const std::string& s);
// Leading decimal digits after blanks ("  80x" -> 80); 0 for none.
uint32_t ParseLeadingNumber(const std::string& s);

// Live socket objects of the process; the Winsock binding is released when it drops to 0.
int32_t SocketInstanceCount();
// True while the Winsock binding is loaded and started (for tests).
bool WinsockLoaded();

// ---- TCustomWSocket ------------------------------------------------------------------

class TCustomWSocket : public TComponent {
public:
    explicit TCustomWSocket(TComponent* AOwner);
    ~TCustomWSocket() override;

    // -- properties (setters marked "closed" refuse unless State() == wsClosed) --
    const std::string& Addr() const { return FAddrStr; }
    void SetAddr(const std::string& value);  // closed; trimmed
    const std::string& Port() const { return FPortStr; }
    virtual void SetPort(const std::string& value);  // closed; trimmed
    const std::string& Proto() const { return FProtoStr; }
    virtual void SetProto(const std::string& value);  // closed; trimmed
    const std::string& LocalAddr() const { return FLocalAddr; }
    void SetLocalAddr(const std::string& value);  // closed; dotted, "" = "0.0.0.0"
    const std::string& LocalPort() const { return FLocalPortStr; }
    void SetLocalPort(const std::string& value);  // closed
    virtual std::string PeerAddr();  // "error" unless connected
    virtual std::string PeerPort();  // "error" unless connected
    const std::string& DnsResult() const { return FDnsResult; }
    const TStringList& DnsResultList() const { return FDnsResultList; }
    TSocketState State() const { return FState; }
    int32_t LastError() const { return FLastError; }
    SOCKET HSocket() const { return FHSocket; }
    HWND Handle() const { return FWindowHandle; }
    bool MultiThreaded() const { return FMultiThreaded; }
    void SetMultiThreaded(bool v) { FMultiThreaded = v; }
    bool MultiCast() const { return FMultiCast; }
    void SetMultiCast(bool v) { FMultiCast = v; }
    const std::string& MultiCastAddrStr() const { return FMultiCastAddrStr; }
    void SetMultiCastAddrStr(const std::string& v) { FMultiCastAddrStr = v; }
    int32_t MultiCastIpTTL() const { return FMultiCastIpTTL; }
    void SetMultiCastIpTTL(int32_t v) { FMultiCastIpTTL = v; }
    bool ReuseAddr() const { return FReuseAddr; }
    void SetReuseAddr(bool v) { FReuseAddr = v; }
    TWSocketOptions ComponentOptions() const { return FComponentOptions; }
    void SetComponentOptions(TWSocketOptions v) { FComponentOptions = v; }
    TSocketLingerOnOff LingerOnOff() const { return FLingerOnOff; }
    void SetLingerOnOff(TSocketLingerOnOff v) { FLingerOnOff = v; }
    int32_t LingerTimeout() const { return FLingerTimeout; }
    void SetLingerTimeout(int32_t v) { FLingerTimeout = v; }
    int32_t ReadCount() const { return FReadCount; }
    virtual int32_t RcvdCount();  // bytes waiting, -1 on error
    TSocketSendFlags SendFlags();
    void SetSendFlags(TSocketSendFlags v);
    int32_t FlushTimeout() const { return FFlushTimeout; }  // stored only
    void SetFlushTimeout(int32_t v) { FFlushTimeout = v; }
    int32_t BufSize() const { return FBufSize; }  // size of new send blocks (1460)
    void SetBufSize(int32_t v) { FBufSize = v > 0 ? v : 1460; }
    bool AllSent() const { return FAllSent; }
    bool Terminated() const { return FTerminated; }
    SOCKET AcceptedHandle() const { return FASocket; }

    // -- operations --
    virtual void DnsLookup(const std::string& hostName);       // ends with OnDnsLookupDone
    virtual void ReverseDnsLookup(const std::string& hostAddr);  // ends with OnDnsLookupDone
    virtual void CancelDnsLookup();                              // OnDnsLookupDone(10004)
    virtual void Connect();   // ends with OnSessionConnected
    virtual void Listen();    // TCP: wsListening; UDP: wsConnected at once
    virtual SOCKET Accept();  // a pending connection's handle, -1 on failure
    virtual void Dup(SOCKET newHSocket);  // adopt a connected handle
    virtual void Close();     // graceful: shut the send side, close
    virtual void CloseDelayed();  // Close from the message loop
    virtual void Release();       // destroy the object from the message loop
    virtual void Abort();     // cancel lookup, drop queue, close without lingering
    virtual void Shutdown(int how);  // 0 receive, 1 send, 2 both
    virtual int Pause();
    virtual int Resume();
    virtual void Flush();         // pump until the queue is drained or the socket is gone
    virtual void WaitForClose();  // pump and drain until closed
    virtual int GetPeerName(sockaddr_in& name, int nameLen);
    virtual int GetSockName(sockaddr_in& name, int& nameLen);
    virtual std::string GetLocalBoundPort();  // "error" unless bound/connected/listening
    virtual std::string GetLocalBoundAddr();

    // Queues Len bytes and sends what the system takes now; the length queued (0 for
    // Len <= 0), -1 when not connected. OnDataSent follows from the message loop.
    virtual int32_t Send(const void* data, int32_t len);
    virtual int32_t SendStr(const std::string& str);
    // Datagram send that bypasses the queue; the Winsock result.
    virtual int32_t SendTo(const sockaddr_in& dest, int destLen, const void* data, int32_t len);
    // Bytes read, 0 when the peer closed, -1 on error (LastError set).
    virtual int32_t Receive(void* buffer, int32_t bufferSize);
    virtual std::string ReceiveStr();
    virtual int32_t ReceiveFrom(void* buffer, int32_t bufferSize, sockaddr_in& from, int& fromLen);

    // -- TLS (WSocketTls.cpp) --
    // TLS on the connections made from now on (closed only). Connect follows the TCP
    // connect with a handshake that verifies the server as tls::ClientContext() says, and
    // OnSessionConnected fires when it is over: 0, or WSAECONNABORTED with TlsFailure()
    // telling why (the connection is then closed). Data then goes through TLS, driven by
    // the same notifications; a peer that closes without TLS's closing alert is reported
    // as WSAECONNABORTED (a cut, never an end). Not through a SOCKS server.
    bool SslEnable() const { return FSslEnable; }
    void SetSslEnable(bool value);
    // The name (or dotted address) sent as SNI and checked against the certificate;
    // empty: Addr.
    const std::string& SslHost() const { return FSslHost; }
    void SetSslHost(const std::string& value) { FSslHost = value; }
    // Serves TLS with Ctx on the handles adopted with Dup from now on: the handshake runs
    // first and OnSessionConnected ends it, as for a client. Null: plain.
    void SetSslServerContext(tls::TSslCtxPtr ctx) { FSslServerContext = std::move(ctx); }
    // Why the last handshake failed ("Certificate of h not accepted: ..."); "" when it did not.
    const std::string& TlsFailure() const { return FTlsFailure; }
    bool TlsActive() const { return FTlsPhase == tlsOpen; }  // the handshake is done
    bool TlsResumed() const;  // the connection resumed the session of an earlier one
    // TLS: sends the closing alert now, once, if the system takes it (never waits); the
    // peer then knows that what came is all. Close sends it too; Abort and Shutdown do not,
    // so a connection shut without it ends as a cut. Nothing on a plain connection.
    void SendCloseAlert();

    // Handles pending messages: the application's pump (MultiThreaded false) or this
    // thread's own loop (true).
    virtual void PumpMessages();
    void ProcessPendingMessages();
    bool ProcessOneMessage();

    // Message hook of the hidden window; public so the window procedure can reach it.
    virtual void WndProc(TMessage& msg);

    // -- events --
    TSessionAvailable OnSessionAvailable;
    TSessionConnected OnSessionConnected;
    TSessionClosed OnSessionClosed;
    TChangeState OnChangeState;
    TDataAvailable OnDataAvailable;
    TDataSent OnDataSent;
    TSendData OnSendData;
    TNotifyEvent OnLineTooLong;  // published; nothing fires it
    TDnsLookupDone OnDnsLookupDone;
    TNotifyEvent OnError;
    TBgExceptionEvent OnBgException;

protected:
    // Unwinds out of code that fired an event whose handler destroyed this object.
    struct TSocketGone {};
    // Shared with code on the stack: tells whether the object still exists.
    struct TLife {
        bool Alive = true;
        int Depth = 0;
    };
    // Entry guard of every operation that fires events: counts nesting and, at the
    // outermost level, absorbs TSocketGone.
    template <typename F>
    auto Guarded(F&& body) -> decltype(body());
    // Throws TSocketGone when a handler just destroyed the object. Static: it is called
    // exactly when the object may be gone, so it must not be called on it.
    static void CheckAlive(const std::shared_ptr<TLife>& life);

    virtual void AllocateSocketWindow();
    virtual void DeallocateSocketWindow();
    virtual void ResetToDefaults();
    virtual void InternalClose(bool shut, uint16_t error);
    virtual void BindLocal();
    virtual int32_t RawSend(const void* data, int32_t len);
    virtual void RaiseErrorFmt(const std::string& msg);  // the caller formats
    virtual void RaiseError(const std::string& msg);
    // Stores a trimmed endpoint text (Addr, Port, Proto) while the socket is closed;
    // refuses with "Cannot change <Name> if not closed" otherwise. An equal text that is
    // already assigned changes nothing.
    void StartFreshLookup();
    void AssignEndpointText(const char* name, const std::string& value, std::string& text, bool& assigned,
                            bool& resolved);
    virtual void HandleBgException(Exception& e);
    virtual bool DoDataAvailable(uint16_t error);
    virtual void DoSessionAvailable(uint16_t error);
    virtual void DoSessionConnected(uint16_t error);
    virtual void DoSessionClosed(uint16_t error);
    virtual void DoDataSent(uint16_t error);
    virtual void DoSendData(int32_t bytesSent);
    virtual void DoChangeState(TSocketState oldState, TSocketState newState);
    virtual void DoDnsLookupDone(uint16_t error);
    virtual void DoError();
    virtual int32_t RawReceive(void* buffer, int32_t size, int flags);
    virtual int32_t RawReceiveFrom(SOCKET s, void* buffer, int32_t size, int flags, sockaddr_in& from, int& fromLen);

    void ChangeState(TSocketState newState);
    void ReportSocketError(const std::string& funcName);
    void ApplyLinger();
    void TryToSend();
    int32_t GatherSend(int32_t& len);
    void BufferSendData(const void* data, int32_t len);
    void ClearSendQueue();
    void ReceivePending(uint16_t error, TWSocketOptions options);
    void HandleSelect(WPARAM wParam, LPARAM lParam);
    void HandleHostByName(WPARAM wParam, LPARAM lParam);
    void HandleHostByAddr(WPARAM wParam, LPARAM lParam);
    // What a handle is opened for: the local port is resolved only for a connect, and a
    // failure's text begins "connect: " or "listen: ".
    enum TOpenPurpose : uint8_t { opConnect, opListen };
    void ResolveRemote(TOpenPurpose purpose);
    bool OpenHandle(TOpenPurpose purpose);
    bool Destroying() const { return FDestroying; }

    // TLS (WSocketTls.cpp): the session over this socket's handle, its phase and end.
    struct TTlsLink;
    enum TTlsPhase : uint8_t { tlsOff, tlsHandshake, tlsOpen };
    void BeginTls(bool server);
    void ContinueTlsHandshake(uint16_t event);
    void FailTlsHandshake(const std::string& text);
    int32_t TlsRead(void* buffer, int32_t size);
    int32_t TlsWrite(const void* data, int32_t len);
    // Ends the session; Orderly sends the closing alert first (and keeps the session).
    void EndTls(bool orderly);
    bool TlsHasPending() const;
    // Posts the FD_READ that announces TlsHasPending's bytes, which no notification of the
    // system would announce; nothing when there are none.
    void OfferTlsPending();
    uint16_t TlsCloseError(uint16_t error) const;

    std::shared_ptr<TLife> FLife = std::make_shared<TLife>();
    std::string FDnsResult;
    TStringList FDnsResultList;
    SOCKET FASocket = INVALID_SOCKET;
    std::deque<std::unique_ptr<TBuffer>> FBufList;
    int32_t FBufSize = 1460;
    int32_t FSendFlags = 0;
    int32_t FLastError = 0;
    HWND FWindowHandle = nullptr;
    alignas(alignof(hostent)) char FDnsLookupBuffer[winsock::MAXGETHOSTSTRUCT + 1] = {};
    winsock::HANDLE FDnsLookupHandle = 0;
    bool FEarlyReply = false;
    TMessage FSavedReply;
    SOCKET FHSocket = INVALID_SOCKET;
    std::string FAddrStr;
    bool FAddrResolved = false;
    int32_t FAddrFormat = AF_INET;
    bool FAddrAssigned = false;
    int32_t FProto = IPPROTO_TCP;
    bool FProtoAssigned = true;
    bool FProtoResolved = false;
    bool FLocalPortResolved = false;
    std::string FProtoStr = "tcp";
    std::string FPortStr;
    bool FPortAssigned = false;
    bool FPortResolved = false;
    uint16_t FPortNum = 0;
    std::string FLocalPortStr = "0";
    uint16_t FLocalPortNum = 0;
    std::string FLocalAddr = "0.0.0.0";
    int32_t FType = SOCK_STREAM;
    TSocketLingerOnOff FLingerOnOff = wsLingerOn;
    int32_t FLingerTimeout = 0;
    bool FAllSent = true;
    int32_t FReadCount = 0;
    bool FPaused = false;
    bool FCloseInvoked = false;
    int32_t FFlushTimeout = 60;
    bool FMultiThreaded = false;
    bool FMultiCast = false;
    std::string FMultiCastAddrStr;
    int32_t FMultiCastIpTTL = 1;
    bool FReuseAddr = false;
    TWSocketOptions FComponentOptions = 0;
    TSocketState FState = wsClosed;
    bool FTerminated = false;
    long FSelectEvent = 0;
    bool FDestroying = false;
    sockaddr_in FSin{};
    bool FSslEnable = false;
    std::string FSslHost;
    tls::TSslCtxPtr FSslServerContext;
    std::string FTlsFailure;
    std::unique_ptr<TTlsLink> FTls;
    TTlsPhase FTlsPhase = tlsOff;
    bool FTlsCloseNotify = false;  // the peer's closing alert arrived
};

// ---- TCustomSocksWSocket -----------------------------------------------------------------

class TCustomSocksWSocket : public TCustomWSocket {
public:
    explicit TCustomSocksWSocket(TComponent* AOwner);

    const std::string& SocksServer() const { return FSocksServer; }
    virtual void SetSocksServer(const std::string& value);  // closed; trimmed
    const std::string& SocksPort() const { return FSocksPort; }
    virtual void SetSocksPort(const std::string& value);  // closed; trimmed
    const std::string& SocksLevel() const { return FSocksLevel; }
    void SetSocksLevel(const std::string& value);  // closed; "4", "4A" or "5"
    const std::string& SocksUsercode() const { return FSocksUsercode; }
    void SetSocksUsercode(const std::string& v) { FSocksUsercode = v; }
    const std::string& SocksPassword() const { return FSocksPassword; }
    void SetSocksPassword(const std::string& v) { FSocksPassword = v; }
    TSocksAuthentication SocksAuthentication() const { return FSocksAuthentication; }
    void SetSocksAuthentication(TSocksAuthentication v) { FSocksAuthentication = v; }
    TSocksState SocksState() const { return FSocksState; }
    const std::string& BoundAddr() const { return FBoundAddr; }  // from the SOCKS 5 reply
    const std::string& BoundPort() const { return FBoundPort; }

    void Connect() override;
    void Listen() override;
    int32_t RcvdCount() override;

    TSocksErrorEvent OnSocksError;
    TSessionConnected OnSocksConnected;
    TSocksAuthStateEvent OnSocksAuthState;

protected:
    void ResetToDefaults() override;
    void DoSessionConnected(uint16_t error) override;
    void DoSessionClosed(uint16_t error) override;
    bool DoDataAvailable(uint16_t error) override;
    int32_t RawReceive(void* buffer, int32_t size, int flags) override;
    virtual void DoSocksConnected(uint16_t error);
    virtual void DoSocksError(int32_t error, const std::string& msg);
    void DoSocksAuthState(TSocksAuthState authState);
    void SendSocksConnectRequest();
    void SendSocksCredentials();
    void FailSocks(int32_t error, const std::string& msg);
    bool HandleSocksReply();
    bool HandleSocks4Reply();
    bool HandleSocks5Reply();

    TSocksState FSocksState = SocksIdle;
    std::string FSocksServer;
    std::string FSocksLevel = "5";
    std::string FSocksPort;
    bool FSocksPortAssigned = false;
    bool FSocksServerAssigned = false;
    std::string FSocksUsercode;
    std::string FSocksPassword;
    TSocksAuthentication FSocksAuthentication = socksNoAuthentication;
    uint8_t FSocksAuthNumber = 0;
    std::string FBoundAddr;
    std::string FBoundPort;
    char FRcvBuf[128] = {};
    int32_t FRcvCnt = 0;
    int32_t FSocksRcvdCnt = 0;  // leftover application bytes behind the last reply
    char* FSocksRcvdPtr = nullptr;
};

// ---- TCustomLineWSocket --------------------------------------------------------------------

class TCustomLineWSocket : public TCustomSocksWSocket {
public:
    explicit TCustomLineWSocket(TComponent* AOwner);
    ~TCustomLineWSocket() override;

    bool LineMode() const { return FLineMode; }
    virtual void SetLineMode(bool value);
    const std::string& LineEnd() const { return FLineEnd; }
    void SetLineEnd(const std::string& v) { FLineEnd = v; }
    int32_t LineLimit() const { return FLineLimit; }  // 0 or less: no limit
    void SetLineLimit(int32_t v) { FLineLimit = v; }
    bool LineEcho() const { return FLineEcho; }
    void SetLineEcho(bool v) { FLineEcho = v; }
    bool LineEdit() const { return FLineEdit; }
    void SetLineEdit(bool v) { FLineEdit = v; }
    bool LineReceived() const { return FLineReceivedFlag; }
    int32_t LineLength() const { return FLineLength; }
    int32_t RcvdCount() override;
    void WndProc(TMessage& msg) override;

    TLineLimitEvent OnLineLimitExceeded;

protected:
    bool DoDataAvailable(uint16_t error) override;
    void DoSessionClosed(uint16_t error) override;
    int32_t RawReceive(void* buffer, int32_t size, int flags) override;
    virtual void DoLineLimitExceeded(int32_t rcvdLength, bool& clearData);
    virtual void EditLine(int32_t& len);
    void DeliverLines(int32_t searchFrom);
    void ReDeliver();
    void FreeRcvBuf();

    std::string FRcvdBuf;  // buffered input; size() is the receive count
    std::string FLineEnd = "\r\n";
    bool FLineMode = false;
    int32_t FLineLength = 0;
    int32_t FLineLimit = 65536;
    bool FLineReceivedFlag = false;
    bool FLineClearData = false;
    bool FLineEcho = false;
    bool FLineEdit = false;
    int32_t FTimeout = 0;
    DWORD FTimeStop = 0;
};

// ---- TCustomSyncWSocket --------------------------------------------------------------------

class TCustomSyncWSocket : public TCustomLineWSocket {
public:
    using TCustomLineWSocket::TCustomLineWSocket;

    int32_t Timeout() const { return FTimeout; }  // milliseconds, 0 = no limit
    void SetTimeout(int32_t v) { FTimeout = v; }
    // Clears Flag, runs Proc (may be empty) and waits for Flag; as WaitForFlag.
    virtual int32_t RunAndWait(const std::function<void()>& proc, bool& flag);
    // Pumps messages until Flag is set: 0, or 12001 on time-out or termination.
    virtual int32_t WaitForFlag(bool& flag);

protected:
    void* FLinePointer = nullptr;  // unused
};

class TWSocket : public TCustomSyncWSocket {
public:
    using TCustomSyncWSocket::TCustomSyncWSocket;
};

// ---- implementation of the entry guard -------------------------------------------------------

template <typename F>
auto TCustomWSocket::Guarded(F&& body) -> decltype(body()) {
    std::shared_ptr<TLife> life = FLife;
    struct TDepth {
        TLife& L;
        explicit TDepth(TLife& l) : L(l) { ++L.Depth; }
        ~TDepth() { --L.Depth; }
    } depth(*life);
    try {
        return body();
    } catch (const TSocketGone&) {
        if (life->Depth > 1) throw;
        using R = decltype(body());
        if constexpr (!std::is_void_v<R>) return R{};
    }
}

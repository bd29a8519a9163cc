// ScriptedServer: a byte-level TCP server on 127.0.0.1 for tests, and the case files that
// describe its exchanges.
//
// TScriptedServer listens on an ephemeral loopback port and plays one script per accepted
// connection, in accept order; the last script repeats for any further connection. Each
// connection runs on its own thread, so a script that hangs never holds up the next one.
// Every blocking call inside uses poll() with a time bound and also watches a stop pipe,
// so the destructor ends every thread within a bounded time.
//
// ---- Case files ---------------------------------------------------------------------
//
// A case file describes one exchange: what the server answers, how, and what the test
// expects. It is a text file of sections; a section starts with a line "[name]".
//
//   # Lines starting with '#' before the first section are comments.
//   [info]                 name = value lines a test reads with Field("name")
//   status = 200           (e.g. the expected status, the expected error text)
//   [request]              the exact request expected (data section)
//   GET /a HTTP/1.0
//   Host: 127.0.0.1:%PORT%
//
//   [reply]                the bytes the server sends (data section)
//   HTTP/1.0 200 OK
//   Content-Length: 7
//
//   hello                  (sent as "hello" CR LF: seven bytes)
//   [script]               one connection's actions, one per line; repeat the section
//   read-request           for the second, third ... connection
//   send
//   close
//
// Data sections ([request], [reply], [reply2] ... any name but info/script): every line
// ends with CR LF, except a line ending in a single backslash, which ends with nothing.
// Escapes inside data lines: \r \n \t \\ \0 and \xHH (two hex digits) for any byte.
// The text %PORT% is left as it stands; ExpandPort() replaces it with a port number.
// A data section has no trailing empty line unless one is written.
//
// Script lines (blank lines and '#' lines are skipped):
//   read-request           read a request: up to the blank line, plus a Content-Length body
//                          (requests that came together, pipelined, are read one by one)
//   read N                 read N bytes
//   read-until-close       read until the peer closes
//   send [section]         send a data section (default "reply")
//   send-head N [section]  send only the first N bytes of it (to close early after)
//   send-text TEXT         send TEXT with the data escapes, no line end added
//   trickle MS [section]   send a data section one byte at a time, MS ms between bytes
//   delay MS               wait MS milliseconds
//   alert                  TLS: send the closing alert, and nothing else (the TCP connection stays)
//   close                  close the connection (orderly FIN; over TLS the closing alert first)
//   drop                   close with a FIN but, over TLS, without the closing alert (a cut)
//   reset                  close with SO_LINGER 0 (the peer sees a reset)
//   hang                   answer nothing until the peer closes or the server is destroyed
//   loop                   start the script again (a persistent connection: each pass
//                          serves one request, until read-request meets the peer's close)
// Without a [script] section the script is "read-request, send, close".
// When a script ends without close, reset or hang, the connection is closed.
#pragma once

struct ssl_st;
struct ssl_ctx_st;

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// One action of a connection script.
struct TScriptStep {
    enum TKind { ReadRequest, ReadBytes, ReadUntilClose, Send, Trickle, Delay, Alert, Close, Drop, Reset, Hang, Loop };
    TKind Kind = Close;
    std::string Data;  // bytes to send (Send, Trickle)
    size_t Count = 0;  // bytes to read (ReadBytes)
    int Ms = 0;        // delay (Delay) or the pause between bytes (Trickle)
};

// A connection script, built step by step: TScript().ReadRequest().Send(reply).Close().
class TScript {
public:
    TScript& ReadRequest();
    TScript& Read(size_t count);
    TScript& ReadUntilClose();
    TScript& Send(const std::string& bytes);
    TScript& Trickle(const std::string& bytes, int msBetweenBytes);
    TScript& Delay(int ms);
    TScript& Alert();
    TScript& Close();
    TScript& Drop();
    TScript& Reset();
    TScript& Hang();
    TScript& Loop();

    std::vector<TScriptStep> Steps;
};

// A TLS server's certificate, key and protocol versions (0: OpenSSL's default bound).
struct TServerTls {
    std::string CertFile;  // PEM: the certificate, then the chain it sends
    std::string KeyFile;
    int MinVersion = 0;    // TLS1_VERSION ...; below TLS 1.2 the security level drops to 0
    int MaxVersion = 0;
};

class TScriptedServer {
public:
    // Starts listening at once; scripts must not be empty. StepTimeoutMs bounds every
    // read step: a peer that sends nothing for that long ends the connection.
    explicit TScriptedServer(std::vector<TScript> scripts, int stepTimeoutMs = 5000);
    // The same over TLS: each connection's handshake comes first (bounded by StepTimeoutMs);
    // one that fails ends the connection before its script. Throws Exception when the
    // certificate or key cannot be loaded.
    TScriptedServer(std::vector<TScript> scripts, const TServerTls& tls, int stepTimeoutMs = 5000);
    // Stops the acceptor and every connection (hang included) and joins their threads.
    ~TScriptedServer();
    TScriptedServer(const TScriptedServer&) = delete;
    TScriptedServer& operator=(const TScriptedServer&) = delete;

    int Port() const { return FPort; }
    int ConnectionCount() const;
    // Bytes received so far on connection Index (accept order); empty when none.
    std::string Received(int index) const;
    // Requests read whole so far by read-request steps on connection Index.
    int RequestCount(int index) const;
    // Requests read whole on every connection.
    int TotalRequestCount() const;
    // Waits until at least Count connections were accepted; false after TimeoutMs.
    bool WaitForConnections(int count, int timeoutMs) const;
    // Waits until connection Index has received at least Bytes bytes.
    bool WaitForReceived(int index, size_t bytes, int timeoutMs) const;
    // Waits until at least Count connections have finished their scripts.
    bool WaitForFinished(int count, int timeoutMs) const;
    // TLS: the name the client sent as SNI on connection Index ("" for none), whether its
    // handshake succeeded, and whether it resumed an earlier session.
    std::string ServerName(int index) const;
    bool HandshakeDone(int index) const;
    bool Resumed(int index) const;

private:
    struct TSslFree { void operator()(ssl_st* s) const; };
    struct TCtxFree { void operator()(ssl_ctx_st* c) const; };
    struct TConnection {
        int Fd = -1;
        std::unique_ptr<ssl_st, TSslFree> Ssl;
        std::string ServerName;
        bool HandshakeDone = false;
        bool Resumed = false;
        std::string Received;
        size_t Taken = 0;  // bytes the read steps took: a request read is never read again
        int Requests = 0;
        bool Finished = false;
        std::thread Thread;
    };
    // Field of connection Index under the lock; T() when there is no such connection.
    template <typename T>
    T Of(int index, T TConnection::*field) const;
    void Start();
    void AcceptLoop();
    // The TLS handshake of a new connection; false when it failed or timed out.
    bool Handshake(TConnection* conn);
    // Sends the closing alert (TLS) and the FIN.
    void CloseSending(TConnection* conn, bool alert);
    void RunScript(TConnection* conn, const TScript& script);
    bool RunStep(TConnection* conn, const TScriptStep& step);
    // Waits until Fd is ready for Events, the stop pipe fires, or TimeoutMs passes
    // (negative: no bound). True only when Fd is ready.
    bool WaitReady(int fd, short events, int timeoutMs) const;
    // Reads what is there into the connection's record. 0 at end of stream, -1 on error
    // or time-out.
    long ReadSome(TConnection* conn, int timeoutMs);
    bool SendAll(TConnection* conn, const std::string& bytes);
    bool Pause(int ms) const;  // false when stopped

    std::vector<TScript> FScripts;
    int FStepTimeoutMs;
    std::unique_ptr<ssl_ctx_st, TCtxFree> FTls;
    int FListenFd = -1;
    int FStopPipe[2] = {-1, -1};
    int FPort = 0;
    std::atomic<bool> FStopping{false};
    mutable std::mutex FLock;
    mutable std::condition_variable FChanged;
    std::vector<std::unique_ptr<TConnection>> FConnections;
    std::thread FAcceptor;
};

// A loopback port whose connects never complete (until it is destroyed): it listens with
// a backlog of none, filled by one connection of its own that is never accepted, so the
// peer's SYNs are dropped. For time-outs and cancels of a blocked connect.
class TStalledListener {
public:
    TStalledListener();
    ~TStalledListener();
    TStalledListener(const TStalledListener&) = delete;
    TStalledListener& operator=(const TStalledListener&) = delete;
    int Port() const { return FPort; }

private:
    int FListenFd = -1;
    int FFillerFd = -1;
    int FPort = 0;
};

// ---- case files -----------------------------------------------------------------------

struct TCaseFile {
    std::map<std::string, std::string> Info;      // the [info] fields
    std::map<std::string, std::string> Sections;  // data sections by name
    std::vector<TScript> Scripts;                 // one per [script] section, at least one

    // An [info] field; Default when absent.
    std::string Field(const std::string& name, const std::string& Default = "") const;
    // A data section's bytes; empty when absent.
    std::string Section(const std::string& name) const;
};

// Parses a case file's text. Throws Exception "Case file line N: <reason>" on a bad line.
TCaseFile ParseCaseText(const std::string& text);
// Reads and parses a case file; throws EFOpenError when it cannot be read.
TCaseFile LoadCaseFile(const std::string& path);
// Decodes the data escapes of one line (\r \n \t \\ \0 \xHH). Throws Exception on a bad
// escape.
std::string DecodeEscapes(const std::string& line);
// Replaces every %PORT% with the port number.
std::string ExpandPort(const std::string& text, int port);

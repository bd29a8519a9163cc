// HTTPGet: the threaded getter. THTTPGet fetches one HTTP resource at a time (GET, or a
// form POST when PostQuery is set) on its worker thread, THTTPGetThread, through the
// internet library, into a file (or a text), and reports the outcome by events on the
// interface thread.
//
// Threads: the component lives on the interface thread and raises every event there. It
// owns one worker for its lifetime (created with its first transfer), whose thread waits,
// blocked, for the next transfer, and which keeps its internet session open between
// transfers, so that a persistent connection left by one transfer serves the next one to
// the same server. Each transfer copies the request values when it starts, and the worker
// reaches the interface thread only through Synchronize (the head, progress, and the end
// handler TransferDone), waiting until each has run. TransferDone ends the component's busy
// state, which is what ends a WaitThread wait. Several getters run at once, each on its
// own worker and session.
//
// Outcome: Success (LastResult) is true only when a response arrived with a status below
// 400 and its body was read to its proper end: all of Content-Length in file mode, or, with
// no Content-Length, up to the chunked terminator or a clean close (BinaryData true: such
// a body is not read and the transfer fails). A failure inside the run (the file cannot be
// created or written, a Content-Length that is not a number) makes the transfer fail; no
// exception leaves the worker. After the transfer, StatusCode, ResponseHeader and
// ErrorText tell what the server answered and, on a failure, why.
//
// Resuming (file mode): with ResumeFrom N > 0 the request carries "Range: bytes=N-" (and
// "If-Range" with IfRange). A 206 answer whose Content-Range continues the N bytes already
// in the file to its end appends the body; a 200 answer replaces the file with the whole
// body; any other answer fails and leaves the file as it was.
//
// Requests ahead (file mode, GET, AheadLimit > 0): the owner names the transfers it will
// start next (SetAhead). Once the running transfer's answer has shown that the server
// keeps the connection (HTTP/1.1 without "Connection: close") and frames its body
// (Content-Length or chunked), the worker sends up to AheadLimit of their requests on the
// same connection behind it (HTTP/1.1 pipelining), so a far-away server's answers follow
// one another without a round trip each. The first request on a connection always goes
// alone. A later transfer whose address and resume values match the first request sent
// ahead takes up its answer; any other drops them all. Requests go ahead only straight to
// the server (never through a proxy, where pipelining is known to break), and never again
// to a server that the run's server memory struck off (see ServerMemory.h). Such
// transfers go on the worker's own line (ServerLine.h), a connection to the server that
// speaks HTTP/1.1 itself, as does any transfer that finds a preconnection to its server
// there (see Preconnect), or, for a server struck off, the connection the line kept to
// it (without requests ahead); every other transfer (text mode, a POST, AheadLimit 0,
// through a proxy) goes through the internet library, as does a redirect answered on the
// line, from its target on. Whatever happens to the connection, each
// transfer still gets its own answer: a request is sent afresh, alone, when the answers
// ahead of it could not be read, and a transfer whose own answer broke while requests
// waited behind it on its connection is run once more at once, alone, on another
// connection, without that counting as a failure.
#pragma once

#include "net/inetget/ServerMemory.h"
#include "platform/rtl/Classes.h"
#include "platform/wininet/InetRequestHead.h"
#include "platform/wininet/WinInet.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using TOnProgressEvent = std::function<void(TObject* Sender, int32_t TotalSize, int32_t Readed)>;
using TOnDoneFileEvent = std::function<void(TObject* Sender, const std::string& FileName, int32_t FileSize)>;
using TOnDoneStringEvent = std::function<void(TObject* Sender, const std::string& Result)>;
using TOnHeadEvent = std::function<void(TObject* Sender, int StatusCode, const std::string& RawHead)>;

class TGetterAnswer;
class TServerLine;
class TTargetFile;
class TRequestsAhead;
struct TLinePlace;

// The request values a transfer copies when it starts.
struct THTTPGetRequest {
    std::string AcceptTypes, Agent, URL, FileName, UserName, Password, PostQuery, Referer;
    bool BinaryData = false;
    bool UseCache = false;
    std::string ExtraHeaders;  // CR LF separated lines
    int64_t ResumeFrom = 0;
    std::string IfRange;
    DWORD ConnectTimeout = 10000;
    DWORD ReceiveTimeout = 30000;
    int AheadLimit = 0;  // requests the worker may send ahead of this one (0: none)
    std::shared_ptr<TServerMemory> Servers;  // the run's memory of servers (never null)
};

// A transfer the owner means to start next (file mode, GET): its address and, to resume
// a part, where the rest starts and the validator.
struct THTTPGetNext {
    std::string URL;
    int64_t ResumeFrom = 0;
    std::string IfRange;
    bool operator==(const THTTPGetNext& o) const {
        return URL == o.URL && ResumeFrom == o.ResumeFrom && IfRange == o.IfRange;
    }
};

// The worker: one thread that runs the transfers handed to it, one after the other.
class THTTPGetThread : public TObject {
public:
    // Starts the thread, which waits for a transfer.
    THTTPGetThread();
    // Ends the thread and closes the session. Call only when no transfer is handed over
    // whose end handler has not run yet.
    ~THTTPGetThread() override;
    THTTPGetThread(const THTTPGetThread&) = delete;
    THTTPGetThread& operator=(const THTTPGetThread&) = delete;

    // Hands a transfer to the waiting thread: Execute, then the end handler OnTerminate on
    // the interface thread (through Synchronize). Only while idle: after the end handler of
    // the previous transfer has started. OnProgress may be empty; ReportHead: run OnHead
    // when the head has come.
    void Start(bool toFile, const THTTPGetRequest& request, TOnProgressEvent onProgress,
               bool reportHead);
    // Asks the thread, while no transfer is handed over, to connect to Request's server
    // for the next transfer there (the connection waits on the line; nothing when the
    // server is reached through a proxy); no event, no outcome. A transfer handed over
    // meanwhile runs once that connect ended.
    void Preconnect(const THTTPGetRequest& request);
    // The transfers that follow the one handed over, in order, whose requests the thread
    // may send ahead (see the top of this file). Any thread, any time.
    void SetAhead(std::vector<THTTPGetNext> next);
    // The stop request (any thread) for the transfer handed over, until its end handler
    // runs: sets Success false, closes its request handle and aborts the line, so a connect
    // or read blocked in the internet library or on the line returns at once. Does not
    // wait; no effect when idle.
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // "http://" or "https://" (any case) is removed; Host is the text before the first
    // "/", Path the rest from that "/". Without any "/": Host empty, Path the whole text.
    static void SplitHostPath(const std::string& url, std::string& host, std::string& path);
    // The scheme of Url when this getter cannot fetch it ("ftp", "file" ...); "" for http,
    // https, and an address without a scheme (http).
    static std::string UnsupportedScheme(const std::string& url);
    // True for an https address (any case).
    static bool SecureUrl(const std::string& url);

    // The transfer handed over last. Read them in OnHead, the end handler, or after it.
    bool Success() const { return FSuccess; }
    void SetSuccess(bool value) { FSuccess = value; }
    bool ToFile() const { return FToFile; }
    const std::string& FileName() const { return FRequest.FileName; }
    const std::string& URL() const { return FRequest.URL; }
    const std::string& TextResult() const { return FTextResult; }
    int32_t FileSize() const { return FFileSize; }
    uint32_t BytesRead() const { return FBytesRead; }
    int32_t Readed() const { return FReaded; }
    int HttpStatus() const { return FStatus; }
    const std::string& RawHead() const { return FRawHead; }  // the final answer's head
    const std::string& ErrorText() const { return FErrorText; }
    bool Resumed() const { return FResumed; }

    // The end handler; runs on the interface thread after Execute has returned.
    std::function<void()> OnTerminate;
    // Runs on the interface thread once the final head has come, before any body byte is
    // written (when Start asked for it). An exception from it fails the transfer.
    std::function<void()> OnHead;

protected:
    // The transfer, on the worker thread.
    virtual void Execute();
    // Runs OnTerminate on the interface thread.
    virtual void DoTerminate();

private:
    void Run();
    enum TWork { wkQuit, wkTransfer, wkPreconnect };
    // Blocks until a transfer is handed over, a preconnection is asked for, or the worker
    // is ending.
    TWork WaitForWork();
    void RunPreconnect();
    void ResetOutcome();
    // Keeps the session open across transfers; opens it anew when the agent text or the
    // proxy settings of the environment changed. False when it cannot be opened.
    bool OpenSession(const std::string& agent, const std::string& proxySettings);
    void CloseSession();
    // The header lines Request carries besides the library's own; false when a value
    // holds control bytes.
    bool RequestHeaders(const THTTPGetRequest& request, std::string& lines) const;
    // Opens a connection and a request handle for a GET or POST of Request to Host;
    // null (the internet library's error set) when either cannot be opened.
    HINTERNET OpenRequest(const THTTPGetRequest& request, const std::string& host, HINTERNET& connect);
    // Where Request (to Host) goes when it goes on the line: straight to an http or https
    // server, never through a proxy; false when it may not.
    static bool LinePlaceFor(const THTTPGetRequest& request, const std::string& host, TLinePlace& place);

    // ---- requests ahead (RequestsAhead.h) ----
    // Whether this transfer goes on the line to Place (see the top of this file): one that
    // may carry requests ahead, one that finds a preconnection there, and one of a server
    // struck off that finds the connection the line kept to it.
    bool OnLine(const TLinePlace& place) const;
    // Whether this transfer may carry requests ahead.
    bool MayGoAhead() const;
    // After the head: a server that closes its connections gets no more requests ahead.
    // True when requests may wait behind this answer: the server keeps the connection and
    // the body has an end of its own.
    bool NoteConnectionKept();
    // Sends requests of the transfers the owner named ahead behind the running one.
    void SendAhead();
    // One run of the transfer (Execute runs it again when requests ahead broke it).
    void RunOnce();
    // Opens the connection and request handles and sends the request, on the line or
    // through the library; false (ErrorText set) when no response arrived.
    bool Open();
    // Sends the request through the library on the open request handle, with Body.
    bool SendThroughLibrary(HINTERNET request, const std::string& headers, const std::string& body);
    // Takes the answer of the request sent ahead, or sends the request alone, on the line.
    bool OpenOnLine(const TLinePlace& place, const std::string& headers);
    // A redirect answered on the line: the library follows it from its target on.
    bool FollowFromLine(const TLinePlace& place, const std::string& headers, const std::string& location);
    // The head the library would send for Request to Place, and how it asks about its
    // connection; false for a bad extra header line.
    bool LineHead(const THTTPGetRequest& request, const TLinePlace& place, const std::string& headers,
                  std::string& head, inetwire::TConnectionAsk& ask) const;
    // The line's time-outs for the running transfer.
    inetwire::TTimeouts LineTimeouts() const;
    // Takes the final head's status, text and raw form, and runs OnHead.
    void TakeHead();
    // Reads the body into the file or the text; the outcome of the read (ErrorText set
    // when false): the length the head tells, the target file, then the copy.
    bool ReadBody();
    // Takes the Content-Length (FHaveLength, FFileSize); false when it is unusable.
    bool ReadLength();
    // Opens the target file for the answer: created, or appended to for a 206 that
    // continues the part; false (ErrorText set) when the answer may not touch the file.
    bool OpenTarget(std::unique_ptr<TTargetFile>& file);
    // Copies the body into File (null: into the text) block by block, raising progress;
    // false when a read failed (the bytes delivered with the failure are kept).
    bool CopyBody(TTargetFile* file);
    // Closes the request and connection handles of the transfer, in this order.
    void CloseHandles();
    // On the interface thread: raises OnProgress (Sender: this worker).
    void ReportProgress();
    bool Stopped();  // checks the stop request; when set, Success becomes false
    // Records the first reason of a failure (later ones follow from it).
    void Fail(const std::string& reason);
    // The reason of the internet library's last error on this thread.
    std::string LastInternetError();

    // The transfer handed over; written by Start while the thread waits.
    bool FToFile = true;
    THTTPGetRequest FRequest;
    TOnProgressEvent FOnProgress;
    bool FReportHead = false;
    std::string FProxySettings;  // the environment's proxy settings when it started
    // Its outcome.
    std::string FTextResult;
    std::atomic<bool> FSuccess{false};
    std::atomic<bool> FTerminated{false};
    int32_t FFileSize = 0;
    uint32_t FBytesRead = 0;
    int32_t FReaded = 0;
    int FStatus = 0;
    std::string FStatusText, FRawHead, FErrorText;
    bool FHaveLength = false;
    bool FResumed = false;
    // Handles: the session is the thread's own; the request handle is shared with
    // Terminate under FLock.
    HINTERNET FSession = nullptr;
    std::string FSessionAgent, FSessionProxySettings;
    HINTERNET FConnect = nullptr;
    HINTERNET FRequestInUse = nullptr;   // for the thread's own calls
    HINTERNET FRequestHandle = nullptr;  // to be closed, by the thread or by Terminate
    std::string FHost;                   // of the running transfer
    std::unique_ptr<TGetterAnswer> FAnswer;  // the running transfer's answer, once it came
    bool FOnLine = false;                // the running transfer went on the line
    std::unique_ptr<TServerLine> FLine;      // the worker's own connection (Abort: any thread)
    std::unique_ptr<TLinePlace> FLinePlace;  // where the running transfer's line goes
    std::unique_ptr<TRequestsAhead> FAhead;  // requests sent ahead on the line, in order (thread only)
    bool FBrokenBehind = false;          // the run failed with requests ahead behind it
    std::vector<THTTPGetNext> FWanted;   // the transfers to come (under FLock)

    std::mutex FLock;
    std::condition_variable FWake;
    bool FHandedOver = false;  // a transfer waits to be run
    bool FPreconnectWanted = false;
    THTTPGetRequest FPreconnectRequest;
    bool FRunning = false;     // handed over, end handler not started
    bool FQuit = false;
    std::thread FThread;
};

class THTTPGet : public TComponent {
public:
    explicit THTTPGet(TComponent* AOwner);
    // Cancels a running transfer and waits for its end, processing messages meanwhile; no
    // event is raised for that transfer. Then ends the worker's thread and closes its
    // session. Not from inside one of this getter's own events: the worker waits for that
    // event to return.
    ~THTTPGet() override;

    // Starts a file-mode transfer with the current values. Does nothing while a transfer
    // runs. With WaitThread, returns after the done or error event, having processed
    // messages while waiting. Raises nothing itself; the outcome comes by events. An
    // exception thrown by the done or error event reaches the caller of a waiting
    // StartTransfer; without WaitThread it is dropped (it cannot reach anyone on the
    // worker), as is one thrown by the progress or head event, which fails the transfer.
    void StartTransfer();
    // The same in text mode: the body collects in a text, handed to OnDoneString.
    // ResumeFrom does not apply.
    void StartStringTransfer();
    // The file-mode GETs this getter will start next, in order, whose requests may go
    // ahead of the running transfer's (see the top of this file); replaces the list given
    // before. Takes effect at once, also while a transfer runs.
    void SetAhead(std::vector<THTTPGetNext> Next);
    // Connects to URL's server now, in the background, so that the next transfer there (a
    // POST too) finds the connection open and saves the round trip of the connect. Raises
    // no event and leaves the getter idle; ignored while a transfer runs. A transfer
    // started meanwhile waits for that connect (at most the connect time-out).
    void Preconnect(const std::string& URL);
    // Asks the running transfer, if any, to stop, and marks it failed: a blocked connect
    // or read returns at once, and the transfer ends with OnError (ErrorText "cancelled")
    // unless the getter is being destroyed. Does not wait; no effect when idle. From any
    // thread (from another one it stops whichever transfer runs at that moment).
    void CancelTransfer();
    // From StartTransfer until the end handler has raised the done or error event.
    bool Busy() const { return FBusy; }

    const std::string& AcceptTypes() const { return FRequest.AcceptTypes; }
    void SetAcceptTypes(const std::string& v) { FRequest.AcceptTypes = v; }
    const std::string& Agent() const { return FRequest.Agent; }
    void SetAgent(const std::string& v) { FRequest.Agent = v; }
    bool BinaryData() const { return FRequest.BinaryData; }
    void SetBinaryData(bool v) { FRequest.BinaryData = v; }
    const std::string& URL() const { return FRequest.URL; }
    void SetURL(const std::string& v) { FRequest.URL = v; }
    bool UseCache() const { return FRequest.UseCache; }
    void SetUseCache(bool v) { FRequest.UseCache = v; }
    const std::string& FileName() const { return FRequest.FileName; }
    void SetFileName(const std::string& v) { FRequest.FileName = v; }
    const std::string& UserName() const { return FRequest.UserName; }
    void SetUserName(const std::string& v) { FRequest.UserName = v; }
    const std::string& Password() const { return FRequest.Password; }
    void SetPassword(const std::string& v) { FRequest.Password = v; }
    const std::string& PostQuery() const { return FRequest.PostQuery; }
    void SetPostQuery(const std::string& v) { FRequest.PostQuery = v; }
    const std::string& Referer() const { return FRequest.Referer; }
    void SetReferer(const std::string& v) { FRequest.Referer = v; }
    bool WaitThread() const { return FWaitThread; }
    void SetWaitThread(bool v) { FWaitThread = v; }
    bool LastResult() const { return FLastResult; }

    // Extra request header lines, separated by CR LF, sent after the library's own. A
    // control byte inside a line fails the transfer before anything is sent.
    const std::string& ExtraHeaders() const { return FRequest.ExtraHeaders; }
    void SetExtraHeaders(const std::string& Lines) { FRequest.ExtraHeaders = Lines; }
    // Offset > 0 (file mode): "Range: bytes=Offset-", and "If-Range: Validator" when that
    // is not empty (see the top of this file). The getter does not reset them: the caller
    // sets 0 and "" for a transfer from the start.
    int64_t ResumeFrom() const { return FRequest.ResumeFrom; }
    void SetResumeFrom(int64_t Offset) { FRequest.ResumeFrom = Offset; }
    const std::string& IfRange() const { return FRequest.IfRange; }
    void SetIfRange(const std::string& Validator) { FRequest.IfRange = Validator; }
    // Time-outs of transfers started afterwards, in milliseconds (0: no bound): to
    // connect (default 10000), and without a byte received (default 30000).
    DWORD ConnectTimeout() const { return FRequest.ConnectTimeout; }
    void SetConnectTimeout(DWORD Ms) { FRequest.ConnectTimeout = Ms; }
    DWORD ReceiveTimeout() const { return FRequest.ReceiveTimeout; }
    void SetReceiveTimeout(DWORD Ms) { FRequest.ReceiveTimeout = Ms; }
    // How many requests of the transfers named by SetAhead may be out ahead of the running
    // one (default 0: none, each request waits for the answer before it).
    int AheadLimit() const { return FRequest.AheadLimit; }
    void SetAheadLimit(int Count) { FRequest.AheadLimit = Count; }
    // The memory of servers this getter shares with the other getters of a run (which
    // servers get no requests ahead); each getter starts with one of its own. Null is
    // ignored. Takes effect with the next transfer.
    const std::shared_ptr<TServerMemory>& ServerMemory() const { return FRequest.Servers; }
    void SetServerMemory(std::shared_ptr<TServerMemory> Memory) {
        if (Memory) FRequest.Servers = std::move(Memory);
    }

    // What the last transfer got, from its OnHead (the head's values) or its end on:
    // readable in the done, error and head events and after a waiting StartTransfer.
    // The final answer's status (after redirects); 0 when no answer came.
    int StatusCode() const { return FStatusCode; }
    // The first value of header Name (any case) of that answer; "" when absent.
    std::string ResponseHeader(const std::string& Name) const;
    // That answer's whole head, as received; "" when no answer came.
    const std::string& RawHead() const { return FRawHead; }
    // The reason of a failure in English ("connection refused", "receive timed out after
    // 30000 ms", "cancelled", "HTTP 404 Not Found", "cannot write 3.jpg.part: No space
    // left on device", ...); empty on success.
    const std::string& ErrorText() const { return FErrorText; }
    // True when the last transfer appended to the file (a 206 that continued it).
    bool Resumed() const { return FResumed; }

    TOnProgressEvent OnProgress;
    TOnDoneFileEvent OnDoneFile;
    TOnDoneStringEvent OnDoneString;
    TNotifyEvent OnError;
    // Raised (Sender: this getter) on the interface thread once the final response head
    // has come, before any body byte is written; for storing validators, say.
    TOnHeadEvent OnHead;

protected:
    // The worker's end handler (interface thread): records the outcome, raises the done or
    // error event, then ends the busy state.
    virtual void TransferDone();

private:
    void EnsureWorker();
    void Start(bool toFile);
    void HeadArrived();  // the worker's OnHead, on the interface thread
    void TakeOutcome(const THTTPGetThread& worker);
    void RaiseOutcome(THTTPGetThread& worker);

    THTTPGetRequest FRequest;
    bool FWaitThread = false;
    bool FLastResult = false;
    bool FDestroying = false;
    bool FBusy = false;
    int FStatusCode = 0;
    std::string FRawHead, FErrorText;
    bool FResumed = false;
    std::exception_ptr FEventError;           // thrown by an event during TransferDone
    std::unique_ptr<THTTPGetThread> FWorker;  // from the first transfer on
    std::atomic<THTTPGetThread*> FCancelTarget{nullptr};  // FWorker, for CancelTransfer
};

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
// reaches the interface thread only through Synchronize (progress, and the end handler
// TransferDone), waiting until each has run. TransferDone ends the component's busy state,
// which is what ends a WaitThread wait. Several getters run at once, each on its own
// worker and session.
//
// Outcome: Success (LastResult) is true only when a response arrived with a status below
// 400 and its body was read to its proper end: all of Content-Length in file mode, or, with
// no Content-Length, up to the chunked terminator or a clean close (BinaryData true: such
// a body is not read and the transfer fails). A failure inside the run (the file cannot be
// created or written, a Content-Length that is not a number) makes the transfer fail; no
// exception leaves the worker.
#pragma once

#include "platform/rtl/Classes.h"
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

using TOnProgressEvent = std::function<void(TObject* Sender, int32_t TotalSize, int32_t Readed)>;
using TOnDoneFileEvent = std::function<void(TObject* Sender, const std::string& FileName, int32_t FileSize)>;
using TOnDoneStringEvent = std::function<void(TObject* Sender, const std::string& Result)>;

// The request values a worker copies when it is created.
struct THTTPGetRequest {
    std::string AcceptTypes, Agent, URL, FileName, UserName, Password, PostQuery, Referer;
    bool BinaryData = false;
    bool UseCache = false;
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
    // the previous transfer has started. OnProgress may be empty.
    void Start(bool toFile, const THTTPGetRequest& request, TOnProgressEvent onProgress);
    // The stop request (any thread) for the transfer handed over, until its end handler
    // runs: sets Success false and closes its request handle, so a connect or read blocked
    // in the internet library returns at once. Does not wait; no effect when idle.
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // "http://" (any case) is removed; Host is the text before the first "/", Path the
    // rest from that "/". Without any "/": Host empty, Path the whole text.
    static void SplitHostPath(const std::string& url, std::string& host, std::string& path);

    // The transfer handed over last. Read them in the end handler (or after it).
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

    // The end handler; runs on the interface thread after Execute has returned.
    std::function<void()> OnTerminate;

protected:
    // The transfer, on the worker thread.
    virtual void Execute();
    // Runs OnTerminate on the interface thread.
    virtual void DoTerminate();

private:
    void Run();
    // Blocks until a transfer is handed over (true) or the worker is ending (false).
    bool WaitForTransfer();
    // Keeps the session open across transfers; opens it anew when the agent text or the
    // proxy settings of the environment changed. False when it cannot be opened.
    bool OpenSession();
    void CloseSession();
    // Opens the connection and request handles and sends the request; false when no
    // response arrived.
    bool Open();
    // Reads the body into the file or the text; the outcome of the read.
    bool ReadBody();
    // Closes the request and connection handles of the transfer, in this order.
    void CloseHandles();
    // On the interface thread: raises OnProgress (Sender: this worker).
    void ReportProgress();
    bool Stopped();  // checks the stop request; when set, Success becomes false

    // The transfer handed over; written by Start while the thread waits.
    bool FToFile = true;
    THTTPGetRequest FRequest;
    TOnProgressEvent FOnProgress;
    std::string FProxySettings;  // the environment's proxy settings when it started
    // Its outcome.
    std::string FTextResult;
    std::atomic<bool> FSuccess{false};
    std::atomic<bool> FTerminated{false};
    int32_t FFileSize = 0;
    uint32_t FBytesRead = 0;
    int32_t FReaded = 0;
    int FStatus = 0;
    bool FHaveLength = false;
    // Handles: the session is the thread's own; the request handle is shared with
    // Terminate under FLock.
    HINTERNET FSession = nullptr;
    std::string FSessionAgent, FSessionProxySettings;
    HINTERNET FConnect = nullptr;
    HINTERNET FRequestInUse = nullptr;   // for the thread's own calls
    HINTERNET FRequestHandle = nullptr;  // to be closed, by the thread or by Terminate

    std::mutex FLock;
    std::condition_variable FWake;
    bool FHandedOver = false;  // a transfer waits to be run
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
    // worker), as is one thrown by the progress event, which fails the transfer.
    void StartTransfer();
    // The same in text mode: the body collects in a text, handed to OnDoneString.
    void StartStringTransfer();
    // Asks the running transfer, if any, to stop, and marks it failed. Does not wait.
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

    TOnProgressEvent OnProgress;
    TOnDoneFileEvent OnDoneFile;
    TOnDoneStringEvent OnDoneString;
    TNotifyEvent OnError;

protected:
    // The worker's end handler (interface thread): records the outcome, raises the done or
    // error event, then ends the busy state.
    virtual void TransferDone();

private:
    void Start(bool toFile);
    void RaiseOutcome(THTTPGetThread& worker);

    THTTPGetRequest FRequest;
    bool FWaitThread = false;
    bool FLastResult = false;
    bool FDestroying = false;
    bool FBusy = false;
    std::exception_ptr FEventError;         // thrown by an event during TransferDone
    std::unique_ptr<THTTPGetThread> FWorker;  // from the first transfer on
};

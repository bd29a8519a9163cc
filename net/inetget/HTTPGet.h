// HTTPGet: the threaded getter. THTTPGet fetches one HTTP resource (GET, or a form POST
// when PostQuery is set) on a worker thread, THTTPGetThread, through the internet library,
// into a file (or a text), and reports the outcome by events on the interface thread.
//
// Threads: the component lives on the interface thread and raises every event there. The
// worker copies the request values when it is created and reaches the interface thread
// only through Synchronize (progress, and the end handler TransferDone), waiting until
// each has run. The component owns the worker (std::unique_ptr; its std::thread is joined
// in the worker's destructor). The worker reference is cleared by TransferDone, which is
// what ends a WaitThread wait; the finished worker is joined at the next start, at the
// end of a wait, or by the component's destructor.
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
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
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

class THTTPGetThread : public TObject {
public:
    // Created suspended: nothing runs until Start. OnProgress may be empty.
    THTTPGetThread(bool toFile, const THTTPGetRequest& request, TOnProgressEvent onProgress);
    // Joins the thread. Call only after the end handler has run (or before Start).
    ~THTTPGetThread() override;
    THTTPGetThread(const THTTPGetThread&) = delete;
    THTTPGetThread& operator=(const THTTPGetThread&) = delete;

    // Lets the worker run: Execute, then the end handler OnTerminate on the interface
    // thread (through Synchronize).
    void Start();
    // The stop request (any thread): sets Success false and closes the session handle, so a
    // connect or read blocked in the internet library returns at once. Does not wait.
    void Terminate();
    bool Terminated() const { return FTerminated; }

    // "http://" (any case) is removed; Host is the text before the first "/", Path the
    // rest from that "/". Without any "/": Host empty, Path the whole text.
    static void SplitHostPath(const std::string& url, std::string& host, std::string& path);

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
    // Opens the handles and sends the request; false when no response arrived.
    bool Open();
    // Reads the body into the file or the text; the outcome of the read.
    bool ReadBody();
    // Closes request, connection and session, in this order.
    void CloseHandles();
    // On the interface thread: raises OnProgress (Sender: this worker).
    void ReportProgress();
    bool Stopped();  // checks the stop request; when set, Success becomes false

    const bool FToFile;
    const THTTPGetRequest FRequest;
    const TOnProgressEvent FOnProgress;
    std::string FTextResult;
    std::atomic<bool> FSuccess{false};
    std::atomic<bool> FTerminated{false};
    int32_t FFileSize = 0;
    uint32_t FBytesRead = 0;
    int32_t FReaded = 0;
    int FStatus = 0;
    bool FHaveLength = false;
    std::atomic<HINTERNET> FSession{nullptr}, FConnect{nullptr}, FRequestHandle{nullptr};
    std::thread FThread;
};

class THTTPGet : public TComponent {
public:
    explicit THTTPGet(TComponent* AOwner);
    // Cancels a running transfer and waits for its worker to end, processing messages
    // meanwhile; no event is raised for that transfer. Not from inside one of this
    // getter's own events: the worker waits for that event to return.
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
    // Asks the running worker, if any, to stop, and marks it failed. Does not wait.
    void CancelTransfer();
    bool Busy() const { return FThread != nullptr; }

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
    // error event, then clears the worker reference.
    virtual void TransferDone();

private:
    void Start(bool toFile);
    void RaiseOutcome(THTTPGetThread& worker);
    void Reap();  // joins and frees a worker whose end handler has run

    THTTPGetRequest FRequest;
    bool FWaitThread = false;
    bool FLastResult = false;
    bool FDestroying = false;
    std::exception_ptr FEventError;  // thrown by an event during TransferDone
    std::unique_ptr<THTTPGetThread> FThread;    // the running worker
    std::unique_ptr<THTTPGetThread> FFinished;  // ended, not yet joined
};

// TransferQueue: the one home of what goes on which connection. It owns the connections of
// a run to the servers it fetches from (one threaded getter each, made once and reused) and
// the ordered queue of the transfers handed to it, and decides what may go ahead where; the
// owner hands in transfers and takes their results, and never sees a connection.
//
// Order and connections: transfers start in the order they were handed in, at most Limit
// at once, each on a connection of its own. The ones that do not fit wait, or join the line
// of a busy connection (the one with the shortest line, up to Ahead each), whose requests
// the getter sends ahead (HTTP/1.1 pipelining) once the server has shown it keeps the
// connection and frames its bodies; the getters share the run's memory of servers that may
// get no requests ahead (ServerMemory.h). A connection whose transfer ended goes on with
// its line first: those answers are on the way.
//
// Results and retries: WaitForEnded pumps messages until transfers ended and returns their
// results; the owner judges each and may ask for a retry (Retry), which runs again on the
// same connection after the delay, from the start of the file, ahead of that connection's
// line, so one connection's photos keep their order. A result not retried ends the
// transfer when the owner next waits or hands one in. OneAtATime (a busy site) ends
// requests ahead for the rest of the run and recalls every line into the queue, with one
// transfer at a time. Cancel stops everything at once; Abandon then waits (a few seconds
// at most) for the connections to end.
//
// Behind this interface a pipelined HTTP/1.1 line per connection carries the transfers
// (each getter's TServerLine, ServerLine.h; the getter reads its answers through
// TGetterAnswer); a multiplexed transport can take its place without the owner noticing:
// the owner speaks of transfers, results, retries and the limit only.
//
// Threads: everything runs on the interface thread; the getters' workers reach it by their
// events, which only mark the connection. Cancel may be called from any handler that runs
// while WaitForEnded pumps.
#pragma once

#include "net/inetget/HTTPGet.h"
#include "net/inetget/ServerMemory.h"
#include "platform/messages/Messages.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// One transfer into a file: the owner's number for it, its address, the file, and where
// the rest starts when a part is resumed (with the validator it must still match).
struct TTransfer {
    int Id = 0;
    std::string Url;
    std::string FileName;
    int64_t ResumeFrom = 0;
    std::string IfRange;
};

// How one try of a transfer ended.
struct TTransferResult {
    int Id = 0;
    bool Success = false;   // the body is whole in the file, the status below 400
    int StatusCode = 0;     // the final answer's status; 0 when none came
    std::string ErrorText;  // why it failed (English); empty on success
    std::string RawHead;    // the final answer's head
};

class TTransferQueue {
public:
    // Requests ahead per connection, besides the transfer arriving on it.
    static constexpr int DefaultAhead = 63;

    // Connections: transfers at once (1 ... 16). TimeoutMs: the receive time-out of a try.
    TTransferQueue(int Connections, DWORD TimeoutMs, int Ahead = DefaultAhead);
    // Cancels whatever is in flight and waits for the getters' workers.
    ~TTransferQueue();
    TTransferQueue(const TTransferQueue&) = delete;
    TTransferQueue& operator=(const TTransferQueue&) = delete;

    int Limit() const { return FLimit; }
    int Ahead() const { return FAhead; }
    // Transfers whose try runs or waits for its retry: at most Limit.
    int Running() const;

    // Opens the connections the run does not have yet (up to Limit) to Url's server, so
    // that the transfers handed in next find them ready (a guess at where they will go:
    // a connection to another server is simply not used). No result, no event; ignored
    // after Cancel.
    void Preconnect(const std::string& Url);
    // Takes Transfer: it starts at once on a free connection, or waits (in the queue or in
    // a connection's line). Ignored after Cancel.
    void Add(const TTransfer& Transfer);
    // The result of Id, just taken from WaitForEnded, is to be tried again after DelayMs
    // (at least 1 ms), from the start of the file.
    void Retry(int Id, DWORD DelayMs);
    // One transfer at a time from now on, and no requests ahead; waiting lines are recalled.
    void OneAtATime();
    // Pumps messages until at least one try has ended, Cancel was called, or nothing is
    // running, starting retries as they fall due; the results, in the order they ended.
    std::vector<TTransferResult> WaitForEnded();
    // Cancels every try in flight and every waiting transfer and retry at once; no wait.
    void Cancel();
    bool Cancelled() const { return FCancelled; }
    // After Cancel: waits (at most a few seconds) until every connection is idle; the
    // results of the tries that ended meanwhile (a try that completed as the cancel came).
    std::vector<TTransferResult> Abandon();

    // Hears each transfer's first try start.
    std::function<void(int Id)> OnStarted;
    // Hears the final head of each try, before any body byte is written.
    std::function<void(int Id, int Status, const std::string& RawHead)> OnHead;

private:
    struct TConnection {
        std::unique_ptr<THTTPGet> Getter;
        TTransfer Transfer;                   // the one it holds
        std::deque<TTransfer> Line;           // the transfers that follow on it, in order
        bool Active = false;                  // holds a transfer (in flight, or its retry waits)
        bool Ended = false;                   // the getter's done or error event came
        bool Reported = false;                // its result went out; ends unless retried
        uint64_t RetryAt = 0;                 // tick at which the waiting retry starts; 0: none
    };
    TConnection& FreeConnection();
    TConnection& NewConnection();
    size_t Taken() const;
    // Ends the transfers whose results went out without a retry.
    void SettleReported();
    // Starts waiting transfers on free connections and puts the rest in their lines.
    void Dispatch();
    void StartFirstTry(TConnection& c, const TTransfer& transfer);
    void StartTry(TConnection& c);
    // Tells the connection's getter what follows in its line.
    void ShowLine(TConnection& c);
    void RecallLines();
    bool AnyEnded() const;
    bool AnyRetryDue() const;
    DWORD MsToNextRetry() const;
    void StartDueRetries();
    TTransferResult ResultOf(TConnection& c);
    static THTTPGetNext AskedAs(const TTransfer& transfer);

    const DWORD FTimeoutMs;
    int FLimit;
    int FAhead;
    bool FCancelled = false;
    std::shared_ptr<TServerMemory> FServers;
    std::vector<std::unique_ptr<TConnection>> FConnections;
    std::deque<TTransfer> FWaiting;  // handed in, on no connection yet (in order)
};

// photoTransfers: the photos of an album run that are in flight, their retries and their
// files. Which photo goes on which connection, and what may go ahead where, is the
// transfer queue's business (net/inetget/TransferQueue.h): this unit hands it photos in
// album order and judges what comes back.
//
// Each photo goes into "N.jpg.part" and becomes "N.jpg" by a rename only when its transfer
// succeeded and the file starts with a picture signature; a failed try is tried again
// after each wait of the retry schedule (not a 4xx answer other than 408 and 429, which is
// final), and the last failure, a stop or a rename that cannot be made leaves no file of
// the photo behind. A busy site (429, 503) is waited for as its Retry-After asks (at most a
// minute) before that photo's retry, and from then on the run goes one photo at a time
// without requests ahead. When a whole answer's head arrives, its ETag or Last-Modified is
// written beside the part ("N.jpg.part.validator"): a part that a killed run left is
// resumed with a Range request (If-Range: that validator), and the getter appends to it
// only when the server answers 206 with the matching range; any other answer replaces it
// whole. Failures that come from the folder (a full disk, a file-size limit, a folder that
// cannot be written) are not tried again.
//
// The owner starts photos in album order while HasRoom, collects the ended ones with
// WaitForEnded, and, after Stop, cleans up with Abandon. Everything runs on the interface
// thread; Stop may be called from any handler that runs while WaitForEnded pumps.
#pragma once

#include "net/inetget/TransferQueue.h"
#include "platform/messages/Messages.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

// One photo to fetch: its position in the album, its address, its final file name.
struct TPhotoTask {
    int Index = 0;
    std::string Url;
    std::string FilePath;
};

// How one photo ended.
struct TPhotoOutcome {
    int Index = 0;
    std::string FilePath;
    bool Saved = false;        // FilePath now holds the photo
    bool WriteFailed = false;  // the file could not be written (the folder, the disk)
    std::string Reason;        // why the last try failed (English); empty when saved
};

class TPhotoTransfers {
public:
    // Photos asked for ahead on one connection, besides the one arriving.
    static constexpr int DefaultAhead = TTransferQueue::DefaultAhead;

    // Jobs: photos arriving at once, at most (1 ... 16). RetryDelaysMs: the wait before
    // each retry of a failed photo (empty: no retry). TimeoutMs: the receive time-out of a
    // transfer. Ahead: photos asked for ahead per connection (0: each photo is asked for
    // once the one before it on that connection has ended).
    TPhotoTransfers(int Jobs, std::vector<DWORD> RetryDelaysMs, DWORD TimeoutMs, int Ahead = DefaultAhead);
    TPhotoTransfers(const TPhotoTransfers&) = delete;
    TPhotoTransfers& operator=(const TPhotoTransfers&) = delete;

    // True when another photo may be taken now: fewer photos taken and not ended than the
    // limit times one more than the photos ahead, and not stopped.
    bool HasRoom() const;
    // No photo is taken and not ended.
    bool Idle() const { return FTaken.empty(); }
    // Photos whose try runs or waits for its retry: at most Limit.
    int Active() const { return FQueue.Running(); }
    // The photos that may arrive at once: Jobs, or 1 once the site asked for a pause.
    int Limit() const { return FQueue.Limit(); }
    // Photos asked for ahead per connection: Ahead, or 0 once the site asked for a pause.
    int Ahead() const { return FQueue.Ahead(); }

    // Opens the connections for the photos to come to Url's server before their addresses
    // are known (see TTransferQueue::Preconnect).
    void Preconnect(const std::string& Url) { FQueue.Preconnect(Url); }
    // Takes Task (only while HasRoom). Its first try replaces a ".part" of an earlier run,
    // or resumes it.
    void Start(const TPhotoTask& Task);
    // Pumps messages until at least one photo has ended, Stop was called, or no photo is
    // active; returns the photos that ended, in the order they ended.
    std::vector<TPhotoOutcome> WaitForEnded();
    // Cancels every transfer in flight and every waiting retry at once. Does not wait.
    void Stop();
    bool Stopped() const { return FStopped; }
    // After Stop: waits (at most a few seconds) until every transfer has ended, then removes
    // the files of every photo that did not end. Returns the photos that did end in the
    // meantime (a transfer that completed as the stop came).
    std::vector<TPhotoOutcome> Abandon();

    // Bytes of the photos in flight so far (their ".part" files).
    int64_t PartBytes() const;

    // Hears each photo's first try start.
    std::function<void(int Index)> OnStarted;
    // Hears each wait the site asked for (429 or 503 with Retry-After) before a retry.
    std::function<void(int Index, DWORD WaitMs)> OnSiteWait;

private:
    struct TPhoto {
        TPhotoTask Task;
        size_t Retries = 0;    // retries asked for so far
        bool Started = false;  // its first try started: its part is this run's
    };
    // Judges the try that ended: the photo's outcome, or nothing when a retry follows.
    bool Judge(const TTransferResult& result, TPhotoOutcome& outcome);
    int64_t SiteWaitMs(const TTransferResult& result);
    static TTransfer AskedAs(const TPhotoTask& task);
    static void RemovePartFiles(const TPhotoTask& task);
    static void StoreValidator(const TPhotoTask& task, const std::string& validator);
    static std::string ReadValidator(const TPhotoTask& task);

    const std::vector<DWORD> FRetryDelaysMs;
    bool FStopped = false;
    std::map<int, TPhoto> FTaken;  // photos taken and not ended, by index
    TTransferQueue FQueue;
};

// photoTransfers: the photos of an album run that are in flight.
//
// TPhotoTransfers keeps up to Jobs threaded getters, each made once and reused for every
// photo it fetches during the run, and runs them asynchronously: the interface thread
// waits in the message platform's wait (WaitForEnded) until one of them ends, so nothing
// polls. Each photo goes into "N.jpg.part" and becomes "N.jpg" by a rename only when its
// transfer succeeded and the file starts with a picture signature; a failed try is tried
// again after each wait of the retry schedule, and the last failure, a stop or a rename
// that cannot be made leaves no file of the photo behind. A busy site (429, 503) is
// waited for as its Retry-After asks (at most a minute) before that photo's retry, and
// from then on one photo at a time. When a whole answer's head arrives, its ETag or
// Last-Modified is written beside the part ("N.jpg.part.validator"): a part that a killed
// run left is resumed with a Range request (If-Range: that validator), and the getter
// appends to it only when the server answers 206 with the matching range; any other
// answer replaces it whole. Failures that come from the folder (a full disk, a file-size
// limit, a folder that cannot be written) are not tried again.
//
// The owner starts photos in album order while HasRoom, collects the ended ones with
// WaitForEnded, and, after Stop, cleans up with Abandon. Everything runs on the interface
// thread; Stop may be called from any handler that runs while WaitForEnded pumps.
#pragma once

#include "platform/messages/Messages.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class THTTPGet;

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
    // Jobs: photos in flight at most (1 ... 16). RetryDelaysMs: the wait before each retry
    // of a failed photo (empty: no retry). TimeoutMs: the receive time-out of a transfer.
    TPhotoTransfers(int Jobs, std::vector<DWORD> RetryDelaysMs, DWORD TimeoutMs);
    // Cancels whatever is still in flight and waits for the getters' workers.
    ~TPhotoTransfers();
    TPhotoTransfers(const TPhotoTransfers&) = delete;
    TPhotoTransfers& operator=(const TPhotoTransfers&) = delete;

    // True when another photo may start now: fewer photos active (in flight or waiting for
    // a retry) than the limit, and not stopped.
    bool HasRoom() const;
    // No photo is active.
    bool Idle() const;
    // The photos that may be active at once: Jobs, or 1 once the site asked for a pause.
    int Limit() const { return FLimit; }

    // Starts the first try of Task (only while HasRoom). A ".part" of an earlier run is
    // replaced.
    void Start(const TPhotoTask& Task);
    // Pumps messages until at least one photo has ended, Stop was called, or no photo is
    // active, starting retries as they fall due; returns the photos that ended, in the
    // order they ended.
    std::vector<TPhotoOutcome> WaitForEnded();
    // Cancels every transfer in flight and every waiting retry at once. Does not wait.
    void Stop();
    bool Stopped() const { return FStopped; }
    // After Stop: waits (at most a few seconds) until every getter has ended, then removes
    // the files of every photo that did not end. Returns the photos that did end in the
    // meantime (a transfer that completed as the stop came).
    std::vector<TPhotoOutcome> Abandon();

    // Bytes of the photos in flight so far (their ".part" files).
    int64_t PartBytes() const;

    // Hears each wait the site asked for (429 or 503 with Retry-After) before a retry.
    std::function<void(int Index, DWORD WaitMs)> OnSiteWait;

private:
    struct TSlot {
        std::unique_ptr<THTTPGet> Getter;
        TPhotoTask Task;
        bool Active = false;    // holds a photo (in flight or waiting for its retry)
        bool Ended = false;     // the getter's done or error event came for this try
        size_t Retries = 0;     // retries started so far
        uint64_t RetryAt = 0;   // tick at which the waiting retry starts; 0: not waiting
        int64_t ResumeFrom = 0; // the next try asks for the rest from here (a killed run's part)
        std::string IfRange;    // ... if the photo is still the one of this validator
    };
    TSlot& FreeSlot();
    void StartTry(TSlot& slot);
    // Judges the try that ended: the photo's outcome, or nothing when a retry follows.
    bool Judge(TSlot& slot, TPhotoOutcome& outcome);
    int64_t SiteWaitMs(const THTTPGet& getter);
    void ScheduleRetry(TSlot& slot, int64_t siteWaitMs);
    void StartDueRetries();
    bool AnyEnded() const;
    bool AnyRetryDue() const;
    DWORD MsToNextRetry() const;
    static void RemovePartFiles(const TPhotoTask& task);
    static void StoreValidator(const TPhotoTask& task, const std::string& validator);
    static std::string ReadValidator(const TPhotoTask& task);

    const std::vector<DWORD> FRetryDelaysMs;
    const DWORD FTimeoutMs;
    int FLimit;
    bool FStopped = false;
    std::vector<std::unique_ptr<TSlot>> FSlots;
};

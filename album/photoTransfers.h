// photoTransfers: the photos of an album run that are in flight.
//
// TPhotoTransfers keeps up to Jobs threaded getters, each made once and reused for every
// photo it fetches during the run, and runs them asynchronously: the interface thread
// waits in the message platform's wait (WaitForEnded) until one of them ends, so nothing
// polls. Each photo goes into "N.jpg.part" and becomes "N.jpg" by a rename only when its
// transfer succeeded and the file starts with a picture signature; a failed try is tried
// again after each wait of the retry schedule (not a 4xx answer other than 408 and 429,
// which is final), and the last failure, a stop or a rename
// that cannot be made leaves no file of the photo behind. A busy site (429, 503) is
// waited for as its Retry-After asks (at most a minute) before that photo's retry, and
// from then on one photo at a time. When a whole answer's head arrives, its ETag or
// Last-Modified is written beside the part ("N.jpg.part.validator"): a part that a killed
// run left is resumed with a Range request (If-Range: that validator), and the getter
// appends to it only when the server answers 206 with the matching range; any other
// answer replaces it whole. Failures that come from the folder (a full disk, a file-size
// limit, a folder that cannot be written) are not tried again.
//
// Requests ahead: each getter keeps one connection, and the photos that will follow on it
// (up to AheadPerGetter, handed out in album order to the getter with the shortest line)
// are asked for while its current photo arrives, once the site showed that it keeps the
// connection (the getters share what they learnt of the site: ServerMemory), so a
// far-away site's answers follow one another instead of costing a round trip each. At most Jobs photos arrive at once, one
// per connection; each photo is still judged, retried and named on its own. A busy site
// ends requests ahead for the rest of the run, with the one photo at a time.
//
// The owner starts photos in album order while HasRoom, collects the ended ones with
// WaitForEnded, and, after Stop, cleans up with Abandon. Everything runs on the interface
// thread; Stop may be called from any handler that runs while WaitForEnded pumps.
#pragma once

#include "net/inetget/HTTPGet.h"
#include "platform/messages/Messages.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <utility>
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
    // Photos asked for ahead on one getter's connection, besides the one arriving.
    static constexpr int DefaultAhead = 63;

    // Jobs: getters, so photos arriving at once, at most (1 ... 16). RetryDelaysMs: the
    // wait before each retry of a failed photo (empty: no retry). TimeoutMs: the receive
    // time-out of a transfer. Ahead: photos asked for ahead per getter (0: each photo is
    // asked for once the one before it on that getter has ended).
    TPhotoTransfers(int Jobs, std::vector<DWORD> RetryDelaysMs, DWORD TimeoutMs, int Ahead = DefaultAhead);
    // Cancels whatever is still in flight and waits for the getters' workers.
    ~TPhotoTransfers();
    TPhotoTransfers(const TPhotoTransfers&) = delete;
    TPhotoTransfers& operator=(const TPhotoTransfers&) = delete;

    // True when another photo may be taken now: fewer photos taken and not ended (in
    // flight, waiting for a retry, or asked for ahead) than the limit times one more than
    // the photos ahead, and not stopped.
    bool HasRoom() const;
    // No photo is taken and not ended.
    bool Idle() const;
    // Photos whose try runs or waits for its retry: at most Limit.
    int Active() const;
    // The photos that may arrive at once: Jobs, or 1 once the site asked for a pause.
    int Limit() const { return FLimit; }
    // Photos asked for ahead per getter: Ahead, or 0 once the site asked for a pause.
    int Ahead() const { return FAhead; }

    // Takes Task (only while HasRoom): it starts at once on a free getter, or waits in the
    // line of a busy one. Its first try replaces a ".part" of an earlier run, or resumes it.
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

    // Hears each photo's first try start (a photo in a line starts when the one before it
    // on that getter has ended).
    std::function<void(int Index)> OnStarted;
    // Hears each wait the site asked for (429 or 503 with Retry-After) before a retry.
    std::function<void(int Index, DWORD WaitMs)> OnSiteWait;

private:
    struct TSlot {
        std::unique_ptr<THTTPGet> Getter;
        TPhotoTask Task;
        std::deque<std::pair<TPhotoTask, THTTPGetNext>> Line;  // the photos that follow here, as asked for
        bool Active = false;    // holds a photo (in flight or waiting for its retry)
        bool Ended = false;     // the getter's done or error event came for this try
        size_t Retries = 0;     // retries started so far
        uint64_t RetryAt = 0;   // tick at which the waiting retry starts; 0: not waiting
        int64_t ResumeFrom = 0; // the next try asks for the rest from here (a killed run's part)
        std::string IfRange;    // ... if the photo is still the one of this validator
    };
    TSlot& FreeSlot();
    size_t Taken() const;
    // Starts waiting photos on free getters and puts the rest in the getters' lines.
    void Dispatch();
    void StartPhoto(TSlot& slot, const TPhotoTask& task);
    // Tells the slot's getter what follows in its line.
    void ShowLine(TSlot& slot);
    // After a photo ended on Slot: the next one of its line starts there.
    void StartNextInLine(TSlot& slot);
    // The site asked for a pause: every photo waiting in a line goes back to FWaiting.
    void RecallLines();
    void StartTry(TSlot& slot);
    // Judges the try that ended: the photo's outcome, or nothing when a retry follows.
    bool Judge(TSlot& slot, TPhotoOutcome& outcome);
    int64_t SiteWaitMs(const THTTPGet& getter);
    void ScheduleRetry(TSlot& slot, int64_t siteWaitMs);
    void StartDueRetries();
    bool AnyEnded() const;
    bool AnyRetryDue() const;
    DWORD MsToNextRetry() const;
    static THTTPGetNext AskedAs(const TPhotoTask& task);
    static void RemovePartFiles(const TPhotoTask& task);
    static void StoreValidator(const TPhotoTask& task, const std::string& validator);
    static std::string ReadValidator(const TPhotoTask& task);

    const std::vector<DWORD> FRetryDelaysMs;
    const DWORD FTimeoutMs;
    int FLimit;
    int FAhead;
    std::shared_ptr<TServerMemory> FServers;  // the run's memory of servers, for every getter
    bool FStopped = false;
    std::vector<std::unique_ptr<TSlot>> FSlots;
    std::deque<TPhotoTask> FWaiting;  // taken, in no getter's line yet (album order)
};

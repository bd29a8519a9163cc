// albumRun: one album run, from the album page to the background music.
//
// TAlbumRun owns everything a run needs: the album folder, the stop flag, the retry
// schedule, the photo transfers (photoTransfers.h), the clients it fetches texts with,
// and it reports to its owner only through events: status texts, log lines, the album
// opened, each photo listed and finished, and the run's end. The main window and
// albrivo-cli wire their controls to it; nothing of the run lives in globals.
//
// A run goes: page -> album XML -> photos (up to Jobs arriving at once, listed in album
// order; the photos that follow on a getter's connection are asked for ahead)
// -> usage report -> music (optional). Everything runs on the interface thread; every
// transfer and every wait pumps the messages, so the stop button, timers and thumbnails
// stay usable inside a run. Invariant: a file named "N.jpg" or "background.mp3" only
// ever appears by renaming a ".part" file whose transfer succeeded and whose content
// passed its check, so a second run fetches exactly what is missing or broken. Stop
// cancels every transfer in flight at once; a stopped run leaves no ".part" behind.
//
// Where the album is read: a page address names its site ("http://HOST:PORT/..."), and
// the album XML is asked for on that same scheme, host and port. The album site the user
// gave (XmlUrlPrefix) serves only pages that name no site of their own ("/album/x.html").
//
// Status texts of the photo stage name the photo they count: "正在下载: [i/N] - k.jpg"
// as photo k's transfer starts (i = k + 1, N the album's photo count), and
// "已存在，跳过: [i/N] - k.jpg" for a photo whose file an earlier run saved. Photos start
// in album order, so i never goes down, also with several in flight. Every failure line
// names its cause: the HTTP status, or the client's text with the server as host:port,
// "not a picture", the disk's reason, the unsupported address.
#pragma once

#include "album/commonFunc.h"
#include "album/photoTransfers.h"
#include "album/vo.h"
#include "platform/messages/Messages.h"
#include "platform/rtl/Classes.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class THTTPGet;
class THttpCli;

// How a run ended.
enum class TRunEnd { NotRun, Completed, Stopped, Failed };

struct TAlbumRunResult {
    TRunEnd End = TRunEnd::NotRun;
    int PhotoCount = 0;     // photos of the album
    int SavedCount = 0;     // photos whose file is in the folder (fetched or already there)
    int SkippedCount = 0;   // of those, the photos already there before the run (not fetched)
    int FailedCount = 0;    // photos that failed (after their retries, or refused)
    std::string Error;      // why a Failed run could not be done
    // The error that ended a Failed run when it was not written to the log (a page that
    // could not be fetched); the owner shows it. Null otherwise.
    std::exception_ptr Failure;
    std::string FolderError;  // the album folder could not be written: why; empty otherwise
    bool MusicFailed = false;  // the music was asked for, the album has one, and it was not saved
};

// What a log line reports: progress, or a failure (albrivo-cli puts these on stderr).
enum class TLogKind { Info, Error };

struct TAlbumRunSettings {
    std::string BaseDir;       // album folders are made in here; ends with "/"
    // The album site the user named, as its XML service up to and including "xml?";
    // empty when none was named. Pages that name no site of their own are read on this
    // site; a page that names its site has its XML asked for there.
    std::string XmlUrlPrefix;
    std::string ReportUrl;     // the usage report's address (POST)
    std::string Version;       // the report's version value
    bool Music = false;        // also save the background music
    bool UsageReport = true;   // post the usage report after the photos
    int Jobs = 4;              // photos in flight at most, 1 ... 16
    DWORD TimeoutMs = 30000;   // receive time-out of every transfer
    std::vector<DWORD> RetryDelaysMs{1000, 2000};  // waits before the retries of a photo
    int64_t MatchStepLimit = 0;  // step budget of each match on the page and the XML;
                                 // 0: the engine's default
};

// The page's title and album id, when the page matched.
struct TAlbumPage {
    bool Recognised = false;
    std::string Title;    // SafeFileName of the page title up to its first blank
    std::string AlbumId;  // as written in the page
};

class TAlbumRun : public TObject {
public:
    static constexpr int DefaultJobs = 4;
    static constexpr int MaxJobs = 16;
    // The album page is read up to this size; a longer one fails the run.
    static constexpr int64_t MaxPageBytes = 16 * 1024 * 1024;

    TAlbumRun();
    ~TAlbumRun() override;
    TAlbumRun(const TAlbumRun&) = delete;
    TAlbumRun& operator=(const TAlbumRun&) = delete;

    // Read at the start of each step; change them between runs.
    TAlbumRunSettings& Settings() { return FSettings; }
    // The client the album page is fetched with (not owned; it must outlive the run).
    // Without one the run uses a client of its own.
    void SetPageClient(THttpCli* Client) { FPageClient = Client; }

    // A whole run: FetchAlbumPage, then DownloadAlbum when the page matched. Never throws;
    // Result says how it ended and OnEnded hears it.
    void Run(const std::string& PageUrl);
    // One run whose steps the owner calls (FetchAlbumPage, DownloadAlbum): clears the stop
    // flag and the result, runs Steps, turns any error into a Failed result (or Stopped
    // when a stop ended it), raises OnEnded. Does nothing while a run is on.
    void RunSteps(const std::function<void()>& Steps);

    // ---- the steps ----
    // Fetches the page (at most MaxPageBytes) and takes the title and album id out of it;
    // the album XML will be asked for on the page's site. A page that does not match logs
    // "未能识别相册页面"; a page too large logs "获取相册信息失败: " and the reason; a page
    // the engine gives up on (its step budget) logs "无法读取相册页面" and the reason; each
    // ends the run as Failed. The stop button is heard during the match too. Throws
    // EHttpException with the cause when the page could not be fetched ("HTTP 404 Not
    // Found", "Connection refused (Error #10061): HOST:PORT"), and Exception "不支持的地址:
    // ..." for an address that names no site while no album site was given.
    TAlbumPage FetchAlbumPage(const std::string& PageUrl);
    // The album proper: the XML (on the page's site, or XmlUrlPrefix without a page; the
    // id percent-encoded where it cannot stand in a request line), the folder, the
    // photos, the usage report and the music. An XML the engine gives up on logs
    // "无法读取相册信息" and the reason and ends the run as Failed.
    void DownloadAlbum(const std::string& Title, const std::string& AlbumId);

    // The stop button: sets the flag and cancels every transfer in flight (photos, the
    // page, the XML, the report, the music) and every waiting retry. The run then ends
    // promptly; the usage report still goes (a short one), the music does not start.
    void Stop();
    bool StopRequested() const { return FStopRequested; }
    bool Running() const { return FRunning; }
    const TAlbumRunResult& Result() const { return FResult; }
    // The folder of the album of the latest run, ending in "/"; empty before.
    const std::string& AlbumDir() const { return FAlbumDir; }
    // Photos finished in the running photo stage, and bytes received for photos so far
    // (saved files of this run and the ".part" files in flight).
    int FinishedCount() const { return FResult.SavedCount + FResult.FailedCount; }
    int64_t PhotoBytes() const;
    // Photos of the running photo stage whose transfer runs or waits for its retry: at
    // most Jobs, and 1 once the site asked for a pause. Photos asked for ahead that have
    // not started, and photos listed with their outcome already in, do not count.
    int PhotosInFlight() const;

    // ---- events (interface thread; empty: skipped) ----
    TTextEvent OnStatus;
    std::function<void(const std::string& Line, TLogKind Kind)> OnLog;
    // The album's folder is known and its photos are about to be listed.
    std::function<void(const std::string& Folder, int PhotoCount)> OnAlbumOpened;
    // Photo Index starts (album order): its address goes into the photo list.
    std::function<void(int Index, const std::string& Url)> OnPhotoListed;
    // Photo Index ended: saved (FilePath holds it) or failed (there is no such file).
    std::function<void(int Index, const std::string& FilePath, bool Saved)> OnPhotoFinished;
    std::function<void(const TAlbumRunResult& Result)> OnEnded;

private:
    void Status(const std::string& Text);
    void Log(const std::string& Line, TLogKind Kind = TLogKind::Info);
    void CannotBeDone(const std::string& Line, const std::string& Reason);
    // For the engine of each match: keeps the messages flowing during a long match (the
    // stop button, Ctrl-C, repainting) and ends the match once a stop was asked for.
    std::function<bool()> MatchProgress();
    THttpCli& PageClient();
    THttpCli& TextClient();

    // The photo stage (albumRun.cpp).
    void DownloadPhotos(const TPhotoList& Photos);
    void StartPhoto(int Index, const std::string& Url);
    // Lists, in album order, the photos taken whose transfer started (or that need none),
    // up to the first that has not started yet, and ends those whose outcome came.
    // Finally: every photo up to the last one with an outcome.
    void ListReady(bool Finally = false);
    void PhotoTransferred(const TPhotoOutcome& Outcome);
    void PhotoEnded(const TPhotoOutcome& Outcome, const std::string& Detail, bool Skipped = false);
    // The status text of a photo as it is listed: started, or skipped (already there).
    void ShowPhotoStatus(int Index, bool Skipped);
    // The page address with the album site put in front when it names no site of its
    // own; empty when it names none and no album site was given.
    std::string ResolvePageUrl(const std::string& PageUrl) const;
    // Posts the report through Preconnected, whose connection to the report's server was
    // opened while the photos arrived (after a stop, through a getter of its own).
    void SendUsageReport(THTTPGet& Preconnected, const std::string& Title, const std::string& MusicUrl);
    void FetchMusic(const std::string& MusicUrl);
    // Fetches the music into MusicPath; why it failed, empty when it was saved.
    std::string MusicFailure(const std::string& MusicUrl, const std::string& MusicPath);

    TAlbumRunSettings FSettings;
    TAlbumRunResult FResult;
    bool FRunning = false;
    bool FStopRequested = false;
    std::string FSourceUrl;
    std::string FXmlUrlPrefix;  // the album XML service of the page's site, once it is known
    const TPhotoList* FPhotos = nullptr;  // the photo stage's album, while it runs
    std::string FAlbumDir;
    bool FFolderReady = false;
    int64_t FSavedBytes = 0;
    // Photos taken and not listed yet. A photo is listed once it and every photo before it
    // started, so the photo list stays in album order and holds no photo that was never
    // asked for; an outcome that comes before the listing waits for it.
    struct TUnlisted {
        std::string Url;
        bool Started = false;    // its transfer started, or it needs none
        bool Transfer = true;    // its outcome comes from a transfer
        bool HasOutcome = false;
        TPhotoOutcome Outcome;
        bool Skipped = false;    // its file was there already
        std::string Detail;      // of the log line of a failure that needed no transfer
    };
    std::map<int, TUnlisted> FUnlisted;

    THttpCli* FPageClient = nullptr;
    std::unique_ptr<THttpCli> FOwnPageClient;
    std::unique_ptr<THttpCli> FTextClient;  // the XML and the music
    THttpCli* FActiveClient = nullptr;      // the client whose request is running
    TPhotoTransfers* FTransfers = nullptr;  // the photo stage's, while it runs
    THTTPGet* FReportGetter = nullptr;      // the usage report's, while it runs

    // The photo connections and the report's, kept from one album to the next, so that
    // albums run one after another (albrivo-cli with several addresses) find their
    // servers' connections open. The photo connections are dropped after a stop, once a
    // busy site made them go one at a time, and when the run's limits changed.
    TPhotoTransfers& KeptTransfers();
    void DropTransfersIfSpent(const TPhotoTransfers& Transfers);
    std::unique_ptr<TPhotoTransfers> FKeptTransfers;
    int FKeptJobs = 0;
    DWORD FKeptTimeoutMs = 0;
    std::vector<DWORD> FKeptRetryDelaysMs;
    std::unique_ptr<THTTPGet> FKeptReportGetter;
};

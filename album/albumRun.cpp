// albumRun: one album run (see albumRun.h).
//
// Organisation: the run's frame (RunSteps, Stop), the page, the album and its folder, the
// photo stage (which hands the transfers to photoTransfers and keeps the counts, the
// texts and the events), then the usage report and the music. While a request runs, the
// client or getter doing it is noted (FActiveClient, FTransfers, FReportGetter) so that
// Stop, which runs inside the request's own message pump, can cancel it at once.
#include "album/albumRun.h"

#include "album/parser.h"
#include "album/photoTransfers.h"
#include "net/http/HttpProt.h"
#include "net/inetget/HTTPGet.h"
#include "platform/rtl/FileSys.h"
#include "platform/rtl/SysUtils.h"
#include "regex/RegExpr.h"

namespace {

// Title up to the first blank, and the album id after "code_without_top.html?id=".
constexpr const char* AlbumPagePattern = "<title>(.*?) .*?code_without_top.html\\?id=(.*?)&";

std::string ExceptionText(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// Why Client's request for Url failed, as the user reads it: "HTTP 404 Not Found" when
// the server answered with an error status; else the client's text followed by the
// server as host:port, which the socket layer's texts ("Connection refused (Error
// #10061)", "can't resolve hostname to IP address", a time-out) do not name. (The client
// reports a failed lookup or connect as status 404 too, with no header received.)
std::string RequestFailureText(const THttpCli& Client, const std::string& Url, const std::string& Text, int Code) {
    if (Code >= 400 && Client.RcvdHeader().Count() > 0 && Client.StatusCode() == Code) {
        std::string phrase = Client.ReasonPhrase();
        return "HTTP " + IntToStr(Code) + (phrase.empty() ? "" : " " + phrase);
    }
    std::string server = AddressHostPort(Url);
    if (Code == httperrUnsupportedProtocol || Code == httperrBadCharacter || server.empty()) return Text;
    return Text + ": " + server;
}

// The cause of a failed photo: the getter's text names an HTTP status, the disk, or a
// content that is no picture on its own; anything else happened on the way to the server
// or back, and gets the server's host:port.
std::string PhotoFailureText(const TPhotoOutcome& Outcome, const std::string& Url) {
    const std::string& reason = Outcome.Reason;
    if (Outcome.WriteFailed || reason.empty() || StartsText("HTTP ", reason) || reason == "not a picture")
        return reason;
    std::string server = AddressHostPort(Url);
    return server.empty() ? reason : reason + ": " + server;
}

// Notes a pointer for the length of a scope and clears it on every exit.
template <class T>
class TNoted {
public:
    TNoted(T*& slot, T* value) : FSlot(slot) { FSlot = value; }
    ~TNoted() { FSlot = nullptr; }
    TNoted(const TNoted&) = delete;
    TNoted& operator=(const TNoted&) = delete;

private:
    T*& FSlot;
};

}  // namespace

TAlbumRun::TAlbumRun() = default;
TAlbumRun::~TAlbumRun() = default;

// ==== the frame =============================================================================

void TAlbumRun::Run(const std::string& PageUrl) {
    RunSteps([this, &PageUrl] {
        TAlbumPage page = FetchAlbumPage(PageUrl);
        if (page.Recognised) DownloadAlbum(page.Title, page.AlbumId);
    });
}

void TAlbumRun::RunSteps(const std::function<void()>& Steps) {
    if (FRunning) return;  // a run pumps messages: never start a second one inside it
    FRunning = true;
    // Each run starts afresh: an earlier stop does not stop this run.
    FStopRequested = false;
    FResult = TAlbumRunResult();
    FSourceUrl.clear();
    FXmlUrlPrefix.clear();
    FAlbumDir.clear();
    try {
        Steps();
    } catch (...) {
        if (FStopRequested) {
            FResult.End = TRunEnd::Stopped;  // the stop aborted the request in flight
        } else {
            FResult.End = TRunEnd::Failed;
            FResult.Failure = std::current_exception();
            FResult.Error = ExceptionText(FResult.Failure);
        }
    }
    FRunning = false;
    if (OnEnded) OnEnded(FResult);
}

void TAlbumRun::Stop() {
    FStopRequested = true;
    if (FActiveClient) FActiveClient->Abort();  // its Get ends with code 13
    if (FTransfers) FTransfers->Stop();
    if (FReportGetter) FReportGetter->CancelTransfer();
}

void TAlbumRun::Status(const std::string& Text) {
    if (OnStatus) OnStatus(Text);
}

void TAlbumRun::Log(const std::string& Line, TLogKind Kind) {
    if (OnLog) OnLog(Line, Kind);
}

// The run cannot go on: Line with its reason, when there is one, goes to the log and to
// the status line as one text, so that an owner that prints both prints it once.
void TAlbumRun::CannotBeDone(const std::string& Line, const std::string& Reason) {
    FResult.End = TRunEnd::Failed;
    FResult.Error = Reason.empty() ? Line : Line + ": " + Reason;
    Log(FResult.Error, TLogKind::Error);
    Status(FResult.Error);
}

std::function<bool()> TAlbumRun::MatchProgress() {
    // Called every few hundred microseconds of matching: the messages are handled about
    // every 50 ms, which costs the match nothing to speak of.
    return [this, last = GetTickCount64()]() mutable {
        const uint64_t now = GetTickCount64();
        if (now - last >= 50) {
            last = now;
            ProcessMessages();
        }
        return !FStopRequested;
    };
}

THttpCli& TAlbumRun::PageClient() {
    if (FPageClient) return *FPageClient;
    if (!FOwnPageClient) FOwnPageClient = std::make_unique<THttpCli>(nullptr);
    return *FOwnPageClient;
}

THttpCli& TAlbumRun::TextClient() {
    if (!FTextClient) FTextClient = std::make_unique<THttpCli>(nullptr);
    return *FTextClient;
}

// ==== the page ==============================================================================

std::string TAlbumRun::ResolvePageUrl(const std::string& PageUrl) const {
    if (!AddressSite(PageUrl).empty()) return PageUrl;
    std::string site = AddressSite(FSettings.XmlUrlPrefix);
    if (site.empty() || PageUrl.empty() || PageUrl[0] != '/') return std::string();
    return site + PageUrl;
}

TAlbumPage TAlbumRun::FetchAlbumPage(const std::string& PageUrl) {
    const std::string pageUrl = ResolvePageUrl(PageUrl);
    if (pageUrl.empty()) throw Exception("不支持的地址: " + PageUrl + " (the address names no site)");
    FSourceUrl = pageUrl;
    // The album's XML lies on the site its page came from.
    FXmlUrlPrefix = AddressSite(pageUrl) + "/xml?";
    // The XML comes from the page's site next: its connection opens while the page comes.
    TextClient().Preconnect(pageUrl);
    THttpCli& client = PageClient();
    std::string pageText;
    {
        TStringStream stream;
        TBoundedStream bounded(stream, MaxPageBytes, "album page");
        client.SetURL(pageUrl);
        client.SetTimeout(FSettings.TimeoutMs);
        client.SetRcvdStream(&bounded);
        TNoted<THttpCli> active(FActiveClient, &client);
        try {
            client.Get();
        } catch (const EDocumentTooLarge& e) {
            client.SetRcvdStream(nullptr);
            CannotBeDone("获取相册信息失败", e.Message());
            return TAlbumPage();
        } catch (const EHttpException& e) {
            client.SetRcvdStream(nullptr);
            if (FStopRequested) throw;
            // The page could not be fetched: the run ends with its cause shown.
            throw EHttpException(RequestFailureText(client, pageUrl, e.Message(), e.ErrorCode()), e.ErrorCode());
        } catch (...) {
            client.SetRcvdStream(nullptr);
            throw;
        }
        client.SetRcvdStream(nullptr);
        pageText = stream.DataString();
    }
    TRegExpr rx;
    rx.SetExpression(AlbumPagePattern);
    rx.OnMatchProgress = MatchProgress();
    rx.SetMatchStepLimit(FSettings.MatchStepLimit);
    bool matched = false;
    try {
        matched = rx.Exec(pageText);
    } catch (const ERegExpr& e) {
        if (FStopRequested) throw;  // the stop ended the match: the run is Stopped
        CannotBeDone("无法读取相册页面", e.Message());
        return TAlbumPage();
    }
    if (!matched) {
        CannotBeDone("未能识别相册页面", "");
        return TAlbumPage();
    }
    TAlbumPage page;
    page.Recognised = true;
    page.AlbumId = rx.GroupText(2);
    page.Title = SafeFileName(rx.GroupText(1));
    return page;
}

// ==== the album =============================================================================

void TAlbumRun::DownloadAlbum(const std::string& Title, const std::string& AlbumId) {
    TTavoAlbumParser parser;
    parser.SetHttpClient(&TextClient());
    parser.OnStatus = [this](const std::string& text) { Status(text); };
    parser.OnMatchProgress = MatchProgress();
    parser.MatchStepLimit = FSettings.MatchStepLimit;
    TextClient().SetTimeout(FSettings.TimeoutMs);
    TPhotoList photos;
    const std::string xmlUrl =
        (FXmlUrlPrefix.empty() ? FSettings.XmlUrlPrefix : FXmlUrlPrefix) + EncodeRequestBytes(AlbumId);
    // The photo connections open while the XML comes, to the album's own site: a guess
    // at the photos' server (where the demo site and many others keep them); connections
    // that turn out to go elsewhere are closed unused.
    const std::string site = AddressSite(xmlUrl);
    if (!site.empty()) KeptTransfers().Preconnect(site + "/");
    try {
        TNoted<THttpCli> active(FActiveClient, &TextClient());
        photos = parser.ParseAlbum(xmlUrl);
    } catch (const ERegExpr& e) {
        if (!FStopRequested) CannotBeDone("无法读取相册信息", e.Message());
        else FResult.End = TRunEnd::Stopped;
        return;
    }
    if (FStopRequested) {
        FResult.End = TRunEnd::Stopped;
        return;
    }
    const TTransferOutcome& xml = parser.XmlFetchOutcome();
    if (!xml.Success) {
        // Nothing is known of the album: no folder, no report.
        CannotBeDone("获取相册信息失败", xml.TooLarge ? xml.ErrorText
                                                      : RequestFailureText(TextClient(), xmlUrl, xml.ErrorText,
                                                                           xml.StatusCode));
        return;
    }
    FAlbumDir = FSettings.BaseDir + AlbumFolderName(Title, AlbumId) + "/";
    FFolderReady = DirectoryExists(FAlbumDir) || ForceDirectories(FAlbumDir);
    if (!FFolderReady) FResult.FolderError = "the folder cannot be created";
    FResult.PhotoCount = int(photos.size());
    FResult.End = TRunEnd::Completed;
    if (OnAlbumOpened) OnAlbumOpened(FAlbumDir, FResult.PhotoCount);

    // The report's connection opens while the photos arrive: it waits for it then.
    if (!FKeptReportGetter) FKeptReportGetter = std::make_unique<THTTPGet>(nullptr);
    THTTPGet& reportGetter = *FKeptReportGetter;
    if (FSettings.UsageReport) reportGetter.Preconnect(FSettings.ReportUrl);
    DownloadPhotos(photos);
    if (FStopRequested) FResult.End = TRunEnd::Stopped;
    if (!FResult.FolderError.empty())
        Log("无法写入相册文件夹: " + FAlbumDir + " (" + FResult.FolderError + ")", TLogKind::Error);
    Log("相册图片下载完毕");
    Status("相册图片下载完毕");
    if (FSettings.UsageReport) SendUsageReport(reportGetter, Title, parser.MusicUrl());
    // A stopped run starts no new download.
    if (!parser.MusicUrl().empty() && !FStopRequested) FetchMusic(parser.MusicUrl());
    Log("处理完毕");
    Status("处理完毕");
}

// ==== the photos ============================================================================

TPhotoTransfers& TAlbumRun::KeptTransfers() {
    if (FKeptTransfers && (FKeptJobs != FSettings.Jobs || FKeptTimeoutMs != FSettings.TimeoutMs ||
                           FKeptRetryDelaysMs != FSettings.RetryDelaysMs || FKeptTransfers->Stopped() ||
                           !FKeptTransfers->Idle()))
        FKeptTransfers.reset();
    if (!FKeptTransfers) {
        FKeptTransfers = std::make_unique<TPhotoTransfers>(FSettings.Jobs, FSettings.RetryDelaysMs, FSettings.TimeoutMs);
        FKeptJobs = FSettings.Jobs;
        FKeptTimeoutMs = FSettings.TimeoutMs;
        FKeptRetryDelaysMs = FSettings.RetryDelaysMs;
    }
    return *FKeptTransfers;
}

void TAlbumRun::DropTransfersIfSpent(const TPhotoTransfers& Transfers) {
    // A stopped queue is cancelled for good, and one a busy site slowed down would carry
    // that pace into the next album.
    if (Transfers.Stopped() || !Transfers.Idle() || Transfers.Limit() < FKeptJobs) FKeptTransfers.reset();
}

void TAlbumRun::DownloadPhotos(const TPhotoList& Photos) {
    TPhotoTransfers& transfers = KeptTransfers();
    transfers.OnSiteWait = [this](int index, DWORD ms) {
        Status("服务器繁忙，" + IntToStr((ms + 999) / 1000) + " 秒后重试: " + IntToStr(index) + ".jpg");
    };
    transfers.OnStarted = [this](int index) {
        FUnlisted[index].Started = true;
        ListReady();
    };
    TNoted<TPhotoTransfers> noted(FTransfers, &transfers);
    TNoted<const TPhotoList> album(FPhotos, &Photos);
    FUnlisted.clear();
    FSavedBytes = 0;
    const int count = int(Photos.size());
    int next = 0;
    auto ended = [this](const TPhotoOutcome& outcome) {
        auto unlisted = FUnlisted.find(outcome.Index);
        if (unlisted == FUnlisted.end()) {
            PhotoTransferred(outcome);
            return;
        }
        unlisted->second.HasOutcome = true;
        unlisted->second.Outcome = outcome;
    };
    for (;;) {
        // New photos start in album order while there is room.
        while (!FStopRequested && next < count && transfers.HasRoom()) {
            StartPhoto(next, Photos[size_t(next)]->ImagePath());
            next++;
        }
        if (FStopRequested || transfers.Idle()) break;
        for (const TPhotoOutcome& outcome : transfers.WaitForEnded()) ended(outcome);
    }
    if (FStopRequested)
        for (const TPhotoOutcome& outcome : transfers.Abandon()) ended(outcome);
    // After a stop: photos that ended after one before them was never started.
    ListReady(true);
    FUnlisted.clear();
    transfers.OnSiteWait = nullptr;
    transfers.OnStarted = nullptr;
    DropTransfersIfSpent(transfers);
}

void TAlbumRun::PhotoTransferred(const TPhotoOutcome& Outcome) {
    if (Outcome.Saved) FSavedBytes += std::max<int64_t>(0, FileSize(Outcome.FilePath));
    std::string detail;
    if (!Outcome.Saved && !Outcome.Reason.empty())
        detail = " (" + PhotoFailureText(Outcome, (*FPhotos)[size_t(Outcome.Index)]->ImagePath()) + ")";
    PhotoEnded(Outcome, detail);
}


void TAlbumRun::StartPhoto(int Index, const std::string& Url) {
    TUnlisted& photo = FUnlisted[Index];
    photo.Url = Url;
    TPhotoTask task{Index, Url, FAlbumDir + IntToStr(Index) + ".jpg"};
    photo.Outcome.Index = Index;
    photo.Outcome.FilePath = task.FilePath;
    bool known = true;  // the outcome needs no transfer
    if (!FFolderReady) {
        photo.Outcome.WriteFailed = true;
        photo.Detail = " (" + FResult.FolderError + ")";
    } else if (FileIsWholePicture(task.FilePath)) {
        // Saved by an earlier run. A file that is no picture (an error page), or a picture
        // cut short (by an older tool, a full disk), is fetched again.
        photo.Outcome.Saved = true;
        photo.Skipped = true;
    } else if (!IsFetchableAddress(Url)) {
        photo.Detail = " (不支持的地址: " + Url + ")";
    } else {
        known = false;
    }
    if (known) {
        photo.Started = photo.HasOutcome = true;
        photo.Transfer = false;
    } else {
        FTransfers->Start(task);  // may list it at once (OnStarted): Photo is not used after
    }
    ListReady();
}

void TAlbumRun::ListReady(bool Finally) {
    int last = -1;
    if (Finally)
        for (const auto& entry : FUnlisted)
            if (entry.second.HasOutcome) last = entry.first;
    while (!FUnlisted.empty()) {
        auto first = FUnlisted.begin();
        if (!first->second.Started && first->first > last) break;
        const int index = first->first;
        TUnlisted photo = std::move(first->second);
        FUnlisted.erase(first);
        if (OnPhotoListed) OnPhotoListed(index, photo.Url);
        // A photo refused without a transfer (its address, the folder) only gets its
        // failure line; one listed after a stop without having started gets nothing.
        if (photo.Transfer ? photo.Started : photo.Skipped) ShowPhotoStatus(index, photo.Skipped);
        if (!photo.HasOutcome) continue;
        if (photo.Transfer) PhotoTransferred(photo.Outcome);
        else PhotoEnded(photo.Outcome, photo.Detail, photo.Skipped);
    }
}

void TAlbumRun::PhotoEnded(const TPhotoOutcome& Outcome, const std::string& Detail, bool Skipped) {
    if (Outcome.Saved) {
        FResult.SavedCount++;
        if (Skipped) FResult.SkippedCount++;
    } else {
        FResult.FailedCount++;
        Log("下载失败: " + IntToStr(Outcome.Index) + ".jpg" + Detail, TLogKind::Error);
        if (Outcome.WriteFailed && FResult.FolderError.empty()) FResult.FolderError = Outcome.Reason;
    }
    if (OnPhotoFinished) OnPhotoFinished(Outcome.Index, Outcome.FilePath, Outcome.Saved);
}

void TAlbumRun::ShowPhotoStatus(int Index, bool Skipped) {
    Status(std::string(Skipped ? "已存在，跳过: [" : "正在下载: [") + IntToStr(Index + 1) + "/" +
           IntToStr(FResult.PhotoCount) + "] - " + IntToStr(Index) + ".jpg");
}

int TAlbumRun::PhotosInFlight() const { return FTransfers ? FTransfers->Active() : 0; }

int64_t TAlbumRun::PhotoBytes() const { return FSavedBytes + (FTransfers ? FTransfers->PartBytes() : 0); }

// ==== the report and the music ==============================================================

// Posts the usage report; its answer goes to the scratch file and is not read.
void TAlbumRun::SendUsageReport(THTTPGet& Preconnected, const std::string& Title, const std::string& MusicUrl) {
    std::string query = "source_url=" + UrlEncode(FSourceUrl, true) + "&music=" + UrlEncode(MusicUrl, true) +
                        "&title=" + UrlEncode(Title, true) + "&version=" + FSettings.Version;
    // After a stop the report may not hold the end of the run up for long: a getter of
    // its own with short time-outs, which does not wait for a connect still under way.
    std::unique_ptr<THTTPGet> shortLived;
    THTTPGet* getter = &Preconnected;
    if (FStopRequested) {
        shortLived = std::make_unique<THTTPGet>(nullptr);
        getter = shortLived.get();
        getter->SetConnectTimeout(1000);
        getter->SetReceiveTimeout(1000);
    }
    TNoted<THTTPGet> noted(FReportGetter, getter);
    TBaseAlbumParser::PostToFile(*getter, FSettings.ReportUrl, ScratchFileName(), query);
}

// Saves the background music as "background.mp3" when asked for and not yet there,
// through "background.mp3.part" renamed on success only. An answer of type text/* (an
// error page) is no music. A file already there is said to be kept; a failure names its
// cause.
void TAlbumRun::FetchMusic(const std::string& MusicUrl) {
    const std::string musicPath = FAlbumDir + "background.mp3";
    if (!FSettings.Music) return;
    if (FileExists(musicPath)) {
        Log("已存在，跳过: background.mp3");
        Status("已存在，跳过: background.mp3");
        return;
    }
    Status("正在下载相册音乐,请稍候...");
    std::string failure = MusicFailure(MusicUrl, musicPath);
    if (failure.empty()) {
        Status("相册音乐下载完毕!");
    } else {
        FResult.MusicFailed = true;
        Log("相册音乐下载失败: " + failure, TLogKind::Error);
        Status("相册音乐下载失败: " + failure);
    }
}

std::string TAlbumRun::MusicFailure(const std::string& MusicUrl, const std::string& MusicPath) {
    if (!IsFetchableAddress(MusicUrl)) return "不支持的地址: " + MusicUrl;
    if (!FFolderReady) return FResult.FolderError;
    const std::string partPath = MusicPath + ".part";
    TTransferOutcome outcome;
    std::string failure;
    {
        TNoted<THttpCli> active(FActiveClient, &TextClient());
        try {
            TBaseAlbumParser::FetchText(TextClient(), MusicUrl, partPath, &outcome);
        } catch (const EInOutError& e) {
            failure = e.Message();  // the part file could not be made or read back
        }
    }
    if (!failure.empty()) {
        // a cause on this machine: no server to name
    } else if (!outcome.Success) {
        failure = outcome.TooLarge ? outcome.ErrorText
                                   : RequestFailureText(TextClient(), MusicUrl, outcome.ErrorText, outcome.StatusCode);
    } else if (StartsText("text/", outcome.ContentType)) {
        failure = "not music (" + outcome.ContentType + ")";
    } else if (!RenameFile(partPath, MusicPath)) {
        failure = "cannot rename " + ExtractFileName(partPath);
    }
    if (!failure.empty()) DeleteFile(partPath);
    return failure;
}
